"""Threads on shared indexes: no crash, no hang, only borrow conflicts, and consistent results.

The threaded workload runs in a child interpreter (this file run as a script), so that a crash or a
deadlock that holds the interpreter lock fails the test instead of ending or stopping the run. A
watchdog in the child dumps every thread's stack when the work or the final check overruns. Run it
by hand with `python test_stress.py --seconds N [--threads T] [--seed S]`.
"""
import argparse
import collections
import faulthandler
import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time
import traceback

from model import as_number
from Vostrel import Index, Indexable, PyQueryExpr as Q

BORROW_CONFLICTS = {"Already borrowed", "Already mutably borrowed"}
NUMERIC = ["n", "f"]
TEXT = ["colour"]
LATER = ["x0", "x1", "x2"]  # attributes that objects get only by assignment
HIDDEN = ["_p"]
NAMES = NUMERIC + TEXT + LATER + HIDDEN
COLOURS = ["c%d" % i for i in range(6)]
MISSING = object()
# The pools keep a fixed length or only grow, so that a thread never picks a place that another
# thread has just removed; dropping an object, index or view means replacing it.
INITIAL_OBJECTS = 300
MAX_OBJECTS = 400  # small enough for the final check to stay quick
INDEXES = 4
# Seconds between one thread's operations that shrink or replace an index.
SCHEDULED_EVERY = 0.5
RANGE_BOUNDS = 24  # range queries per attribute and comparison in the final check
# The summary line the child prints for the parent to read.
SUMMARY_TAG = "STRESS-SUMMARY "


class Record(Indexable):
    @property
    def doubled(self):  # host code run by an attribute read, reading the object again
        return sum(range(50)) * 0 + self.n * 2


def model_hash(value):
    """The grouping key of a value: its hash, or 0 for an unhashable value."""
    try:
        return hash(value)
    except Exception:
        return 0


def is_number(value):
    return as_number(value) is not None


def random_number(rng):
    return rng.randint(-40, 40) if rng.random() < 0.6 else rng.randint(-160, 160) / 4


def random_value(rng, name):
    if name in NUMERIC:
        return random_number(rng)
    if name in TEXT:
        return rng.choice(COLOURS)
    return rng.choice([random_number(rng), rng.choice(COLOURS), None, True, (1, 2), "x"])


def new_record(rng):
    return Record(n=random_number(rng), f=random_number(rng), colour=rng.choice(COLOURS),
                  _p=rng.randrange(3))


def random_expr(rng, depth=0):
    if depth < 2 and rng.random() < 0.3:
        kind = rng.choice(["and_", "or_", "not_"])
        if kind == "not_":
            return Q.not_(random_expr(rng, depth + 1))
        return getattr(Q, kind)(*[random_expr(rng, depth + 1) for _ in range(rng.randint(1, 3))])
    name = rng.choice(NAMES)
    op = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in_"])
    if op == "bt":
        return Q.bt(name, random_number(rng), random_number(rng))
    if op == "in_":
        return Q.in_(name, [random_value(rng, name) for _ in range(3)])
    if op in ("eq", "ne"):
        return getattr(Q, op)(name, random_value(rng, name))
    return getattr(Q, op)(name, random_number(rng))


# --- the final check: every answer recomputed from the objects' own attributes ---

def attributes_of(obj):
    return {name: value for name in NAMES if (value := getattr(obj, name, MISSING)) is not MISSING}


def id_order(objects):
    """Rank of every object by object id: a fresh index lists its objects in id order."""
    everything = Index()
    everything.add_object_many(list({id(o): o for o in objects}.values()))
    return {id(o): rank for rank, o in enumerate(everything.collect())}


def check_index(index, order, label="index"):
    """Every failure found in `index`: its list, and equality and range queries on every name."""
    failures = []
    members = index.collect()
    ranks = [order[id(o)] for o in members]
    if ranks != sorted(set(ranks)):
        failures.append(f"{label}: collect() is not in id order or repeats an object")
    rows = [(o, attributes_of(o)) for o in members]

    def compare(what, got, want):
        if got != want:
            failures.append(f"{label}: {what}: {len(got)} objects, expected {len(want)}")

    for name in NAMES:
        indexed = not name.startswith("_")
        groups = collections.defaultdict(list)  # hash to the members holding it, in id order
        numbered = []  # (value, member) for exact ints and floats
        value_of = {}
        for obj, row in rows:
            if name in row:
                h = model_hash(row[name])
                groups[h].append(obj)
                value_of.setdefault(h, row[name])
                if is_number(row[name]):
                    numbered.append((row[name], obj))
        value_of.setdefault(model_hash("absent"), "absent")
        for h, value in value_of.items():
            want = groups.get(h, []) if indexed else []
            compare(f"get_by_attribute({name}={value!r})", index.get_by_attribute(**{name: [value]}), want)
            compare(f"reduced({name}={value!r})", index.reduced(**{name: [value]}).collect(), want)
            compare(f"eq({name!r}, {value!r})", index.reduced_query(Q.eq(name, value)).collect(), want)
        if not indexed:
            continue
        numbers = sorted({v for v, _ in numbered})
        step = max(1, len(numbers) // RANGE_BOUNDS)
        bounds = numbers[::step] + [-100, 0.5, 100]
        tests = {
            "gt": lambda x, t: x > t, "ge": lambda x, t: x >= t,
            "lt": lambda x, t: x < t, "le": lambda x, t: x <= t,
        }
        for t in bounds:
            for op, test in tests.items():
                want = [obj for v, obj in numbered if test(v, t)]
                compare(f"{op}({name!r}, {t!r})", index.reduced_query(getattr(Q, op)(name, t)).collect(), want)
        for lower, upper in zip(bounds, bounds[len(bounds) // 2:]):
            want = [obj for v, obj in numbered if lower <= v <= upper]
            compare(f"bt({name!r}, {lower!r}, {upper!r})",
                    index.reduced_query(Q.bt(name, lower, upper)).collect(), want)
    return failures


# --- the threaded workload ---

class Workload:
    """Shared pools of objects, indexes and views, and the operations threads run on them."""

    def __init__(self, seed):
        rng = random.Random(seed)
        self.objects = [new_record(rng) for _ in range(INITIAL_OBJECTS)]
        self.indexes = [Index() for _ in range(INDEXES)]
        for i, index in enumerate(self.indexes):
            index.add_object_many(self.objects[i::2])
        self.views = [index.reduced(colour=COLOURS[:3]) for index in self.indexes]
        self.ops = {
            "add_object": (6, self.add_object),
            "add_object_many": (3, self.add_object_many),
            "assign_number": (12, lambda r: self.assign(r, r.choice(NUMERIC))),
            "assign_string": (6, lambda r: self.assign(r, "colour")),
            "assign_new": (4, lambda r: self.assign(r, r.choice(LATER))),
            "assign_hidden": (2, lambda r: self.assign(r, "_p")),
            "read_attribute": (8, self.read_attribute),
            "get_by_attribute": (5, self.get_by_attribute),
            "reduced": (4, self.reduced),
            "reduced_query": (5, self.reduced_query),
            "collect": (3, lambda r: r.choice(self.indexes).collect()),
            "view_reduced": (3, self.view_reduced),
            "view_collect": (3, lambda r: r.choice(self.views).collect()),
            "rebase": (2, lambda r: r.choice(self.views).rebase()),
            "value_counts": (2, lambda r: r.choice(self.indexes + self.views).value_counts(r.choice(NAMES))),
            "sorted_by": (2, lambda r: r.choice(self.indexes + self.views).sorted_by(
                r.choice(NUMERIC + TEXT), reverse=r.random() < 0.5, limit=r.choice([None, 10]))),
            "reduce_keeping_all": (1, lambda r: r.choice(self.indexes).reduce(colour=COLOURS)),
            "union_with": (0.3, lambda r: r.choice(self.indexes).union_with(r.choice(self.indexes))),
            "create_object": (0.5, self.create_object),
            "drop_object": (1, self.drop_object),
            "drop_view": (1, self.drop_view),
        }
        self.kinds = list(self.ops)
        self.weights = [self.ops[k][0] for k in self.kinds]
        # Operations that shrink or replace an index run on a clock instead, so that the indexes
        # keep a useful size whatever the speed of the build.
        self.scheduled = {
            "reduce": self.reduce,
            "rebase_into_pool": self.rebase_into_pool,
            "drop_index": self.drop_index,
        }

    def keep_view(self, rng, view):
        self.views[rng.randrange(len(self.views))] = view

    def add_object(self, rng):
        rng.choice(self.indexes).add_object(rng.choice(self.objects))

    def add_object_many(self, rng):
        rng.choice(self.indexes).add_object_many(rng.sample(self.objects, rng.randint(1, 8)))

    def assign(self, rng, name):
        setattr(rng.choice(self.objects), name, random_value(rng, name))

    def read_attribute(self, rng):
        obj = rng.choice(self.objects)
        what = rng.randrange(4)
        if what == 0:
            getattr(obj, rng.choice(NAMES), None)
        elif what == 1:
            obj.doubled
        elif what == 2:
            repr(obj)
        else:
            dir(obj)

    def get_by_attribute(self, rng):
        name = rng.choice(NAMES)
        rng.choice(self.indexes).get_by_attribute(**{name: [random_value(rng, name)]})

    def reduced(self, rng):
        view = rng.choice(self.indexes).reduced(colour=rng.sample(COLOURS, 2))
        if rng.random() < 0.3:
            self.keep_view(rng, view)
        else:
            view.collect()

    def reduced_query(self, rng):
        view = rng.choice(self.indexes).reduced_query(random_expr(rng))
        if rng.random() < 0.3:
            self.keep_view(rng, view)
        else:
            view.collect()

    def view_reduced(self, rng):
        name = rng.choice(NAMES)
        rng.choice(self.views).reduced(**{name: [random_value(rng, name)]}).collect()

    def rebase_into_pool(self, rng):
        self.indexes[rng.randrange(len(self.indexes))] = rng.choice(self.views).rebase()

    def reduce(self, rng):
        rng.choice(self.indexes).reduce(colour=rng.sample(COLOURS, 5))

    def create_object(self, rng):
        obj = new_record(rng)
        if len(self.objects) < MAX_OBJECTS:
            self.objects.append(obj)
        else:
            self.objects[rng.randrange(len(self.objects))] = obj

    def drop_object(self, rng):
        self.objects[rng.randrange(len(self.objects))] = rng.choice(self.objects)

    def drop_index(self, rng):
        index = Index()
        for obj in rng.sample(self.objects, INITIAL_OBJECTS // 3):
            try:
                index.add_object(obj)
            except RuntimeError as e:
                if str(e) not in BORROW_CONFLICTS:
                    raise
        self.indexes[rng.randrange(len(self.indexes))] = index

    def drop_view(self, rng):
        self.keep_view(rng, rng.choice(self.views).reduced(colour=rng.sample(COLOURS, 4)))

    def run_thread(self, seed, deadline, stats, unexpected):
        """Runs random operations until the deadline, counting them in this thread's `stats`."""
        rng = random.Random(seed)
        scheduled = list(self.scheduled)
        next_scheduled = time.monotonic() + rng.uniform(0, SCHEDULED_EVERY)
        while (now := time.monotonic()) < deadline:
            if now >= next_scheduled:
                kind = rng.choice(scheduled)
                op = self.scheduled[kind]
                next_scheduled = now + SCHEDULED_EVERY
            else:
                kind = rng.choices(self.kinds, self.weights)[0]
                op = self.ops[kind][1]
            try:
                op(rng)
                stats[kind, "ok"] += 1
            except RuntimeError as e:
                if type(e) is RuntimeError and str(e) in BORROW_CONFLICTS:
                    stats[kind, str(e)] += 1
                else:
                    unexpected.append(f"{kind}: {traceback.format_exc()}")
            except BaseException:  # a PanicException derives from BaseException
                unexpected.append(f"{kind}: {traceback.format_exc()}")


def run_workload(seconds, threads, seed):
    """Runs the threads, then checks every index; returns the process exit status."""
    # Watchdogs: after the work plus a margin, and again for the check, dump all stacks and exit.
    faulthandler.dump_traceback_later(seconds + 60, exit=True)
    sys.setswitchinterval(1e-5)  # hand the interpreter lock over often, also inside short calls
    work = Workload(seed)
    per_thread = [collections.Counter() for _ in range(threads)]
    unexpected = []
    deadline = time.monotonic() + seconds
    workers = [threading.Thread(target=work.run_thread, args=(seed * 100 + i, deadline, per_thread[i], unexpected),
                                daemon=True) for i in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(timeout=seconds + 30)
    sys.setswitchinterval(0.005)
    if any(t.is_alive() for t in workers):
        print("threads still running after their deadline:", file=sys.stderr)
        faulthandler.dump_traceback(all_threads=True)
        sys.stderr.flush()
        os._exit(2)  # the hung threads may never let the interpreter finish
    faulthandler.cancel_dump_traceback_later()
    faulthandler.dump_traceback_later(300, exit=True)
    stats = sum(per_thread, collections.Counter())

    started = time.monotonic()
    failures = list(unexpected)
    views = [v.collect() for v in work.views]  # every admitted id still has its object
    order = id_order(work.objects + [o for i in work.indexes for o in i.collect()] +
                     [o for members in views for o in members])
    for i, index in enumerate(work.indexes):
        failures += check_index(index, order, f"index {i}")
    faulthandler.cancel_dump_traceback_later()

    summary = {
        "threads": threads, "seconds": seconds, "seed": seed,
        "check_seconds": round(time.monotonic() - started, 1),
        "ops": {k: {outcome: n for (kind, outcome), n in stats.items() if kind == k}
                for k in work.kinds + list(work.scheduled)},
        "members": [len(i.collect()) for i in work.indexes],
        "unexpected": len(unexpected), "failures": len(failures),
    }
    for failure in failures[:20]:
        print(failure, file=sys.stderr)
    print(SUMMARY_TAG + json.dumps(summary), flush=True)
    return 1 if failures else 0


# --- the tests ---

def run_child(args, timeout):
    """Runs this file or a snippet in a child interpreter with this one's environment."""
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout,
                          cwd=os.path.dirname(os.path.abspath(__file__)))


def format_summary(summary):
    lines = [f"stress: {summary['threads']} threads for {summary['seconds']} s "
             f"(seed {summary['seed']}); final check {summary['check_seconds']} s "
             f"of indexes holding {summary['members']} objects"]
    total = collections.Counter()
    for kind, outcomes in summary["ops"].items():
        total.update(outcomes)
        conflicts = ", ".join(f"{n} {o!r}" for o, n in outcomes.items() if o != "ok")
        lines.append(f"  {kind:<17} {outcomes.get('ok', 0):>8} ok" + (f"; {conflicts}" if conflicts else ""))
    conflicts = ", ".join(f"{n} {o!r}" for o, n in total.items() if o != "ok")
    lines.append(f"  {'total':<17} {total.get('ok', 0):>8} ok; {conflicts or 'no conflicts'}")
    return "\n".join(lines)


def test_threads_on_shared_indexes(capsys):
    seconds = float(os.environ.get("VOSTREL_STRESS_SECONDS", "20"))
    child = run_child([os.path.abspath(__file__), "--seconds", str(seconds)], timeout=seconds + 420)
    lines = [line for line in child.stdout.splitlines() if line.startswith(SUMMARY_TAG)]
    assert child.returncode == 0 and lines, (
        f"exit status {child.returncode}\n{child.stdout[-5000:]}\n{child.stderr[-20000:]}")
    summary = json.loads(lines[-1][len(SUMMARY_TAG):])
    with capsys.disabled():
        print("\n" + format_summary(summary))
    assert all(outcomes for outcomes in summary["ops"].values()), "some kind of operation never ran"


def run_snippet(code, timeout=60):
    child = run_child(["-c", textwrap.dedent(code)], timeout=timeout)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stdout}\n{child.stderr}"
    return child.stdout


def test_a_property_may_change_the_indexes_of_the_object_it_reads():
    # The read holds no index lock while the property runs, so the property's own writes proceed.
    out = run_snippet("""
        import faulthandler
        faulthandler.dump_traceback_later(30, exit=True)
        from Vostrel import Index, Indexable
        index = Index()
        class Busy(Indexable):
            @property
            def touch(self):
                other.colour = "blue"
                index.add_object(Indexable(colour="green"))
                index.reduce(colour=["blue", "green", "red"])
                return len(index.get_by_attribute(colour="blue"))
        obj, other = Busy(colour="red"), Indexable(colour="red")
        index.add_object_many([obj, other])
        print(obj.touch, len(index.collect()))
        faulthandler.cancel_dump_traceback_later()
    """)
    assert out.split() == ["1", "3"]


def test_a_property_read_beside_writers_on_other_threads():
    # A writer waiting for a table with the interpreter lock must not wait for a reader that
    # needs the interpreter lock to finish.
    run_snippet("""
        import faulthandler, sys, threading, time
        faulthandler.dump_traceback_later(30, exit=True)
        sys.setswitchinterval(1e-6)
        from Vostrel import Index, Indexable
        class Slow(Indexable):
            @property
            def slow(self):
                return sum(range(300)) + self.n
        index = Index()
        objects = [Slow(n=i, colour="x") for i in range(30)]
        index.add_object_many(objects)
        stop = time.monotonic() + 2
        def read():
            while time.monotonic() < stop:
                for o in objects:
                    try:
                        o.slow
                    except RuntimeError:
                        pass
        def write():
            while time.monotonic() < stop:
                try:
                    index.reduce(colour="x")
                    objects[0].n += 1
                except RuntimeError:
                    pass
        threads = [threading.Thread(target=f) for f in (read, write, read)]
        for t in threads: t.start()
        for t in threads: t.join()
        faulthandler.cancel_dump_traceback_later()
    """)


def test_value_counts_and_sorted_by_beside_assignments_in_flight():
    # An assignment changes the indexes first and the object's own attribute when it has the
    # interpreter lock back; in between, the object is refused to readers, as an attribute read
    # refuses it.
    out = run_snippet("""
        import faulthandler, sys, threading, time
        faulthandler.dump_traceback_later(60, exit=True)
        sys.setswitchinterval(1e-3)
        from Vostrel import Index, Indexable
        index = Index()
        objects = [Indexable(k="v0") for i in range(50)]  # k only ever holds strings: ordered
        index.add_object_many(objects)
        stop = time.monotonic() + 1.5
        wrong = []
        def assign():
            n = 0
            while time.monotonic() < stop:
                n += 1
                for o in objects:
                    try:
                        setattr(o, "late%d" % (n % 5), n)
                        o.k = "v%d" % n
                    except RuntimeError:
                        pass
        def count():
            while time.monotonic() < stop:
                for n in range(5):
                    try:
                        counts = index.value_counts("late%d" % n)
                        ordered = index.sorted_by("k")
                        by_k = index.value_counts("k")
                    except RuntimeError as e:
                        if str(e) != "Already mutably borrowed":
                            wrong.append(repr(e))
                        continue
                    except BaseException as e:
                        wrong.append(repr(e))
                        return
                    if sum(counts.values()) > len(objects) or sum(by_k.values()) != len(objects) \
                            or len(ordered) != len(objects):
                        wrong.append("counts do not add up")
        threads = [threading.Thread(target=f) for f in (assign, count)]
        for t in threads: t.start()
        for t in threads: t.join()
        faulthandler.cancel_dump_traceback_later()
        print(wrong[:3])
    """)
    assert out.strip() == "[]"


class Stubborn:
    """A value whose comparisons fail and whose hash fails on demand."""

    def __init__(self, hash_fails):
        self.hash_fails = hash_fails

    def __hash__(self):
        if self.hash_fails:
            raise ValueError("no hash")
        return 7

    def __eq__(self, other):
        raise ValueError("no comparison")


def test_ordinary_errors_leave_the_index_working_and_consistent():
    index, other = Index(), Index()
    objects = [Record(n=i, f=i / 2, colour=COLOURS[i % 6], _p=i) for i in range(12)]
    index.add_object_many(objects[:8])
    other.add_object_many(objects[6:])
    a, b = objects[0], objects[1]

    class Meddling(list):
        """A sequence whose items are fetched while the index is held by add_object_many."""

        def __iter__(self):
            for item in list.__iter__(self):
                index.collect()
                yield item

    def meddling_values():
        yield "c0"
        index.add_object(a)  # get_by_attribute holds the index shared

    failing = [
        (TypeError, lambda: index.add_object(5)),
        (TypeError, lambda: index.add_object_many("ab")),
        (TypeError, lambda: index.add_object_many([a, 5])),
        (TypeError, lambda: index.union_with(5)),
        (TypeError, lambda: index.reduced_query("eq")),
        (TypeError, lambda: index.reduced(1)),
        (AttributeError, lambda: delattr(a, "n")),
        (OverflowError, lambda: setattr(a, "n", 2**70)),
        (RuntimeError, lambda: index.add_object_many([a, b, a])),
        (RuntimeError, lambda: index.union_with(index)),
        (RuntimeError, lambda: index.add_object_many(Meddling([a, b]))),
        (RuntimeError, lambda: index.get_by_attribute(colour=meddling_values())),
    ]
    for error, call in failing:
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"{call} did not fail")
    # Values whose hash or comparison fails are grouped, never raised, whether added or assigned.
    a.x0 = Stubborn(hash_fails=True)
    b.x1 = Stubborn(hash_fails=False)
    b.x1 = Stubborn(hash_fails=True)
    fresh = Record(n=1, f=2.0, colour="c1", x0=Stubborn(hash_fails=True), x1=Stubborn(hash_fails=False))
    index.add_object(fresh)
    index.union_with(other)
    a.n, b.colour, fresh.x0 = 100, "c5", "x"

    order = id_order(objects + [fresh])
    assert check_index(index, order) == []
    assert check_index(other, order) == []
    assert index.collect() == sorted(objects + [fresh], key=lambda o: order[id(o)])  # ids are reused


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--threads", type=int, default=6)
    parser.add_argument("--seed", type=int, default=int(os.environ.get("VOSTREL_STRESS_SEED", "1")))
    args = parser.parse_args()
    return run_workload(args.seconds, args.threads, args.seed)


if __name__ == "__main__":
    sys.exit(main())
