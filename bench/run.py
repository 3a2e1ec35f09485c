"""Runs the benchmark: builds every system over the same seeded records, checks that each returns
the same records for every workload, times it beside the floors and writes the results.
Usage: python -m bench.run [--n N ...] [--smoke] [--systems NAME ...] [--out DIR]"""
from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import statistics
import sys
import threading
import time

from . import build_info, data, floors, memory, report, systems
from .workloads import (CHECKS, COUNTS, MIX, QUERIES, REBASE_SECOND, REBASE_TREE,
                        REMOVE_SHARE, SORTED_BY, VALUE_COUNTS, VIEW_SECOND)

SEED = 20261208
ASSIGNMENTS = 100_000
SLOW_RUN_S = 1.0           # a call slower than this is timed fewer times
FAST_SAMPLE_S = 0.005      # a call faster than this is timed in loops of calls lasting about this long
FAST_REPEATS = 9           # loops timed for a fast call
MAX_LOOP = 2000            # calls in one loop at most
ASSIGN_CHUNK = 5_000       # assignments timed first, to tell whether the rest may be timed
FIRST_CHUNK = 16           # the first of those chunks: a system may take seconds for each item
ASSIGN_BUDGET_S = 20.0     # a system predicted slower than this is timed on the first chunk only
PREDICT_AFTER_S = 0.05     # chunks shorter than this predict nothing: one pause of the machine
                           # in a chunk of a few items would pass for a slow system
SLOW_SETUP_S = 5.0         # a merge slower than this is timed once: each run builds two indexes first
VOSTREL = "Vostrel"
BIG_N = 10_000_000         # the size of the optional memory measurement
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def median_time(f, repeats: int) -> float:
    """Median seconds of one f() call; the collector is kept out of the timed calls, as timeit
    does. A call faster than FAST_SAMPLE_S is timed in loops of calls that last about that long,
    as timeit does too, and over at least FAST_REPEATS loops: single calls of a few microseconds
    are at the mercy of the clock and of whatever else the machine does."""
    times = []
    inner = 1
    while len(times) < repeats:
        gc.collect()
        gc.disable()
        try:
            t = time.perf_counter()
            for _ in range(inner):
                f()
            times.append((time.perf_counter() - t) / inner)
        finally:
            gc.enable()
        if inner == 1 and len(times) == 1:
            if times[0] > SLOW_RUN_S:
                repeats = min(repeats, 3)
            elif times[0] < FAST_SAMPLE_S:
                inner = min(MAX_LOOP, int(FAST_SAMPLE_S / max(times[0], 1e-9)) + 1)
                repeats = max(repeats, FAST_REPEATS)
                times.clear()  # the first call only found the loop size
    return statistics.median(times)


def median_times_interleaved(calls: dict, repeats: int) -> dict:
    """Median seconds of one call of each, timed in turn round after round in loops of the same
    length, so that a change in the machine's load weighs on all of them alike."""
    inner = {k: max(1, min(MAX_LOOP, int(FAST_SAMPLE_S / max(median_time(f, 1), 1e-9)))) for k, f in calls.items()}
    times: dict = {k: [] for k in calls}
    for _ in range(max(repeats, FAST_REPEATS)):
        for k, f in calls.items():
            gc.collect()
            gc.disable()
            try:
                t = time.perf_counter()
                for _ in range(inner[k]):
                    f()
                times[k].append((time.perf_counter() - t) / inner[k])
            finally:
                gc.enable()
    return {k: statistics.median(v) for k, v in times.items()}


def rids(objs) -> list[int]:
    return sorted(o._rid for o in objs)


def time_in_chunks(work, count: int) -> tuple[float, int]:
    """Seconds for work(0, count) and how many items were timed. The first ASSIGN_CHUNK items go in
    chunks that double from FIRST_CHUNK, the rest in one call; a system predicted slower than
    ASSIGN_BUDGET_S after chunks of PREDICT_AFTER_S or more stops there and is scaled up (its index
    then lags its records, so it is left out of the checks that follow)."""
    done, spent, c = 0, 0.0, FIRST_CHUNK
    while done < count:
        hi = count if done >= ASSIGN_CHUNK else min(count, done + c)
        gc.collect()
        t = time.perf_counter()
        work(done, hi)
        spent += time.perf_counter() - t
        done, c = hi, 2 * c
        if done < count and spent >= PREDICT_AFTER_S and spent * count / done > ASSIGN_BUDGET_S:
            return spent * count / done, done
    return spent, done


def time_assign(s, objs: list, values: list, attr: str) -> tuple[float, int]:
    return time_in_chunks(lambda lo, hi: s.assign(objs[lo:hi], attr, values[lo:hi]), len(objs))


def throughput(calls: list, threads: int, seconds: float) -> float:
    """Queries per second of `threads` threads each cycling through calls until the time is up."""
    done = [0] * threads
    barrier = threading.Barrier(threads + 1)
    stop = [0.0]

    def worker(k: int):
        barrier.wait()
        i = 0
        while time.perf_counter() < stop[0]:
            calls[i % len(calls)]()
            i += 1
        done[k] = i

    ts = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in ts:
        t.start()
    start = time.perf_counter()
    stop[0] = start + seconds
    barrier.wait()
    for t in ts:
        t.join()
    return sum(done) / (time.perf_counter() - start)


def machine() -> dict:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform(), **build_info.roaring_info(root=ROOT)}


def peer_versions() -> dict:
    from importlib import metadata
    import sqlite3
    out = {"sqlite3": sqlite3.sqlite_version}
    for p in ("sortedcontainers", "pandas", "numpy", "ducks", "Vostrel"):
        try:
            out[p] = metadata.version(p)
        except metadata.PackageNotFoundError:
            out[p] = None
    return out


def check(res: dict, w: str, s, got, expected, ref_name: str) -> bool:
    """Whether s's answer agrees with the reference's; a disagreement is listed as a mismatch."""
    if got == expected:
        return True
    if isinstance(got, list) and isinstance(expected, list):
        res["mismatches"].append(f"{w}: {s.name} returned {len(got)} records, {ref_name} {len(expected)}")
    else:
        res["mismatches"].append(f"{w}: {s.name} answered {str(got)[:80]}, {ref_name} {str(expected)[:80]}")
    return False


def attempt(row: dict, s, make):
    """make(s), or None with the reason noted in the row: an operation that the system does not
    offer is left out ("—"), one that the built module lacks is "not available", others "err"."""
    try:
        return make(s)
    except NotImplementedError:
        return None
    except systems.Unavailable as e:
        row.setdefault("unavailable", {})[s.name] = f"not available: {e}"
    except Exception as e:
        row["missing"][s.name] = f"{type(e).__name__}: {e}"
    return None


def ordered_rids(objs) -> list[int]:
    return [o._rid for o in objs]


def op_workloads() -> dict:
    """The view operations: name -> (the view's tree, make(s) -> call, loose, strict). loose(result)
    is compared for every system; strict(result) also for systems that order ties by id."""
    sort_tree, sort_attr, limit = SORTED_BY
    vc_tree, vc_attr = VALUE_COUNTS
    by_key = lambda objs: [o._rid for o in sorted(objs, key=lambda o: (getattr(o, sort_attr), o._rid))]
    ops = {w: (t, lambda s, t=t: s.count(t), int, None) for w, t in COUNTS.items()}
    ops["sorted_by"] = (sort_tree, lambda s: s.sorted_by(sort_tree, sort_attr, limit), by_key, ordered_rids)
    ops["value_counts"] = (vc_tree, lambda s: s.value_counts(vc_tree, vc_attr),
                           lambda d: sorted((k, int(v)) for k, v in d.items()),
                           lambda d: [(k, int(v)) for k, v in d.items()])
    return ops


def time_with_setup(setup, work, repeats: int):
    """Median seconds of work(setup()), setup untimed, and the last setup's value. A run slower
    than SLOW_SETUP_S is not repeated: its setup alone takes about as long again."""
    times = []
    arg = None
    for _ in range(repeats):
        arg = None  # the previous value goes before the next is built
        arg = setup()
        gc.collect()
        gc.disable()
        try:
            t = time.perf_counter()
            work(arg)
            times.append(time.perf_counter() - t)
        finally:
            gc.enable()
        if times[0] > SLOW_SETUP_S:
            break
    return statistics.median(times), arg


def run_n(n: int, repeats: int, mix_seconds: float, with_memory: bool, log,
          which: tuple = systems.ALL) -> dict:
    res: dict = {"n": n, "queries": {}, "ops": {}, "build": {}, "read": {}, "assign": {},
                 "writes": {}, "throughput": {}, "memory": {}, "unavailable": {}, "mismatches": []}
    cols = data.make_columns(n, SEED)
    plain = data.make_plain(cols)
    rec = data.vostrel_class()
    vobjs = data.make_vostrel(cols, rec) if rec is not None else None
    if rec is None:
        res["unavailable"]["Vostrel"] = "the Vostrel module is not importable"
    take = floors.load_take(os.path.join(ROOT, "build", "bench"))
    res["floor_kind"] = "C helper" if take is not None else "comprehension over an array"

    live = []
    for cls in which:
        if cls.vostrel and vobjs is None:
            continue
        s = cls()
        objs = vobjs if cls.vostrel else plain
        try:
            res["build"][s.name] = median_time(lambda: s.build(objs), 1 if n > 200_000 else repeats)
        except Exception as e:  # a peer that cannot run here is reported, the others go on
            res["unavailable"][s.name] = f"{type(e).__name__}: {e}"
            continue
        log(f"  build {s.name}: {res['build'][s.name]:.3f}s")
        s.objs_used = objs
        live.append(s)

    # the records and indexes live to the end: later collections need not walk them again
    gc.collect()
    gc.freeze()
    ref_sys = live[0]
    floor_objs = vobjs if vobjs is not None else plain
    rng = random.Random(SEED + 1)
    k = min(ASSIGNMENTS, n)
    picks = rng.sample(range(n), k)

    # before any other index registers with the records
    attribute_reads(res, live, plain, vobjs, picks, repeats, log)

    workloads = {name: (lambda s, t=t: s.query(t)) for name, t in QUERIES.items()}
    workloads["view_narrow"] = lambda s: s.view_narrow(VIEW_SECOND)
    workloads["view_rebase"] = lambda s: s.view_rebase(REBASE_SECOND)
    calls: dict = {}
    for w, make in workloads.items():
        expected = None
        row = res["queries"][w] = {"times": {}, "missing": {}}
        for s in live:
            try:
                f = make(s)
                got = rids(f())
            except Exception as e:
                row["missing"][s.name] = f"{type(e).__name__}: {e}"
                continue
            if expected is None:
                expected = got
            elif got != expected:
                res["mismatches"].append(f"{w}: {s.name} returned {len(got)} records, "
                                         f"{ref_sys.name} {len(expected)}")
                continue
            row["times"][s.name] = median_time(f, repeats)
            calls.setdefault(s.name, {})[w] = f
        row["k"] = len(expected or [])
        if expected is not None:
            row["floor"] = median_time(floors.list_floor(take, floor_objs, expected), repeats)
        log(f"  {w} (k={row['k']}): " + ", ".join(f"{k} {v * 1e3:.2f}ms" for k, v in row["times"].items()))

    view_operations(res, live, ref_sys, repeats, log)

    for s in live:
        mix = [calls.get(s.name, {}).get(w) for w in MIX]
        if all(mix):
            one = throughput(mix, 1, mix_seconds)
            two = throughput(mix, 2, mix_seconds)
            res["throughput"][s.name] = {"1": one, "2": two}
        if hasattr(s, "evaluate"):
            # The same queries as views: evaluation runs with the GIL released, while building
            # a result list needs it, so this mix shows how far evaluation alone scales.
            views = [s.evaluate(QUERIES[w]) for w in MIX]
            res["throughput_views"] = {"1": throughput(views, 1, mix_seconds),
                                       "2": throughput(views, 2, mix_seconds)}

    # the hand index pays for a SortedDict key whenever a number is new to it: every score is
    new_values = {"num": [rng.randrange(data.NUM_RANGE) for _ in picks],
                  "colour": [rng.choice(data.COLOURS) for _ in picks],
                  "score": [rng.random() for _ in picks]}
    stale: set = set()
    for attr, values in new_values.items():
        row = res["assign"][attr] = {"times": {}}
        # the hand index reads each record's old value, so it goes first
        for s in sorted(live, key=lambda s: s.name != "hand index"):
            if s.assign is None:
                continue
            chosen = [s.objs_used[i] for i in picks]
            t, timed = time_assign(s, chosen, values, attr)
            row["times"][s.name] = t
            if timed < len(chosen):
                row.setdefault("extrapolated", {})[s.name] = timed
                stale.add(s.name)
        chosen = [plain[i] for i in picks]
        row["floor"] = median_time(lambda: floors.setattr_floor(chosen, attr, values), repeats)
        log(f"  assign {attr}: " + ", ".join(f"{k} {v * 1e3:.1f}ms" for k, v in row["times"].items()))
    for w in ("rare_eq", "common_eq", "narrow_range"):  # the indexes still agree after the assignments
        expected = None
        for s in live:
            if s.assign is None or s.name in stale:
                continue
            try:
                got = rids(s.query(QUERIES[w])())
            except AttributeError:  # a system without query methods yet
                continue
            expected = got if expected is None else expected
            if got != expected:
                res["mismatches"].append(f"{w} after assignment: {s.name} differs")

    write_workloads(res, live, ref_sys, n, repeats, stale, log)

    del live, calls
    gc.unfreeze()
    gc.collect()
    if with_memory:
        for cls in which:
            if cls.name in res["unavailable"] or (cls.vostrel and vobjs is None):
                continue
            res["memory"][cls.name] = memory.in_subprocess(cls.name, n, SEED)
            log(f"  memory {cls.name}: {res['memory'][cls.name]}")
    return res


def attribute_reads(res: dict, live: list, plain: list, vobjs, picks: list, repeats: int, log) -> None:
    """Reading one attribute of the picked records: a Vostrel record holds its values itself; a
    plain object's read is the floor."""
    sample = [plain[i] for i in picks]
    loops = {"plain objects": lambda: floors.read_loop(sample)}
    if any(s.vostrel for s in live):
        vsample = [vobjs[i] for i in picks]
        loops[VOSTREL] = lambda: floors.read_loop(vsample)
    read = res["read"] = {"attr": floors.READ_ATTR, "k": len(picks),
                          "times": median_times_interleaved(loops, repeats)}
    log(f"  read {floors.READ_ATTR}: " + ", ".join(f"{k} {v * 1e3:.2f}ms" for k, v in read["times"].items()))


def view_operations(res: dict, live: list, ref_sys, repeats: int, log) -> None:
    """The view operations: k is the number of records in the view; every answer is checked
    against the first system's (the scan's), the order too where both promise ties in id order."""
    for w, (tree, make, loose, strict) in op_workloads().items():
        row = res["ops"][w] = {"times": {}, "missing": {}, "k": len(ref_sys.query(tree)())}
        expected = None
        for s in live:
            f = attempt(row, s, make)
            if f is None:
                continue
            try:
                got = f()
            except Exception as e:
                row["missing"][s.name] = f"{type(e).__name__}: {e}"
                continue
            if expected is None:
                expected, exp_strict = loose(got), (strict(got) if strict and s.exact_order else None)
            elif not check(res, w, s, loose(got), expected, ref_sys.name):
                continue
            elif strict and s.exact_order and exp_strict is not None and strict(got) != exp_strict:
                res["mismatches"].append(f"{w}: {s.name} orders its answer unlike {ref_sys.name}")
                continue
            row["times"][s.name] = median_time(f, repeats)
        for s in live:  # a count by building the view's list, also while len(view) is missing
            if w in COUNTS and hasattr(s, "count_by_collect") and expected is not None:
                f = s.count_by_collect(tree)
                if check(res, w + " by collect", s, f(), expected, ref_sys.name):
                    row["collect"] = median_time(f, repeats)
        log(f"  {w} (k={row['k']}): " + ", ".join(f"{k} {v * 1e3:.3f}ms" for k, v in row["times"].items()))


def write_workloads(res: dict, live: list, ref, n: int, repeats: int, stale: set, log) -> None:
    """Rebase, union and removal, after the assignments so that the indexes they register with
    the records do not weigh on them. Removal changes every system's index, so it runs last."""
    expect = {w: rids(ref.query(QUERIES[w])()) for w in CHECKS}

    def agrees(w: str, s, system) -> None:
        for c in CHECKS:
            got = rids(system.query(QUERIES[c])())
            if got != expect[c]:
                res["mismatches"].append(f"{w}: {s.name} answers {c} with {len(got)} records, "
                                         f"{ref.name} with {len(expect[c])}")
                return

    # rebase: the view's records come from the reference; each system makes its view outside the
    # timed call where it can hold one (the hand index and ducks get the records themselves)
    records = ref.query(REBASE_TREE)()
    row = res["writes"]["rebase"] = {"times": {}, "missing": {}, "k": len(records)}
    expected = rids(records)
    for s in live:
        if s.reference:
            continue
        mine = [s.objs_used[o._rid] for o in records]  # its own records (Vostrel's or plain)
        f = attempt(row, s, lambda s: s.rebase(REBASE_TREE, mine))
        if f is None:
            continue
        # a stale index (timed on part of the assignments) makes a view of other records
        if s.name in stale or check(res, "rebase", s, rids(f()), expected, ref.name):
            row["times"][s.name] = median_time(f, repeats)
    log("  rebase: " + ", ".join(f"{k} {v * 1e3:.1f}ms" for k, v in row["times"].items()))

    # union: two fresh indexes of a seeded half of the records each, the second merged into the
    # first; every repeat builds the pair anew (untimed)
    order = list(range(n))
    random.Random(SEED + 2).shuffle(order)
    half_a, half_b = sorted(order[:n // 2]), sorted(order[n // 2:])
    row = res["writes"]["union"] = {"times": {}, "missing": {}, "k": n}
    for s in live:
        if s.reference or s.merge is None:
            continue
        a = [s.objs_used[i] for i in half_a]
        b = [s.objs_used[i] for i in half_b]
        try:
            t, pair = time_with_setup(lambda: type(s).pair(a, b), lambda p: p[0].merge(p[1]), repeats)
        except NotImplementedError:
            continue
        except Exception as e:
            row["missing"][s.name] = f"{type(e).__name__}: {e}"
            continue
        row["times"][s.name] = t
        if s.name not in stale:  # a stale system's records kept values the others lost
            agrees("union", s, pair[0])
        del pair
    log("  union: " + ", ".join(f"{k} {v * 1e3:.1f}ms" for k, v in row["times"].items()))

    # removal: the last workload, in every system's own index (timed once: it cannot be repeated);
    # a system that removes one record at a time slowly is timed in chunks, as for assignment
    gone = random.Random(SEED + 3).sample(range(n), int(n * REMOVE_SHARE))
    row = res["writes"]["remove"] = {"times": {}, "missing": {}, "k": len(gone)}
    expect = None  # until the reference has removed them too
    for s in [ref] + [s for s in live if s is not ref]:
        if s.remove is None:
            continue
        objs = [s.objs_used[i] for i in gone]
        gc.collect()
        try:
            if s.one_by_one:
                t, timed = time_in_chunks(lambda lo, hi: s.remove(objs[lo:hi]), len(objs))
            else:
                t, timed = time.perf_counter(), len(objs)
                s.remove(objs)
                t = time.perf_counter() - t
            extrapolated = timed < len(objs)
        except NotImplementedError:
            continue
        except systems.Unavailable as e:
            row.setdefault("unavailable", {})[s.name] = f"not available: {e}"
            continue
        except Exception as e:
            row["missing"][s.name] = f"{type(e).__name__}: {e}"
            continue
        if s is ref and not extrapolated:
            expect = {w: rids(ref.query(QUERIES[w])()) for w in CHECKS}
        if not s.reference:
            row["times"][s.name] = t
            if extrapolated:
                row.setdefault("extrapolated", {})[s.name] = timed
            elif s is not ref and expect is not None and s.name not in stale:
                agrees("remove", s, s)
    log("  remove: " + ", ".join(f"{k} {v * 1e3:.1f}ms" for k, v in row["times"].items()))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n", type=int, nargs="+", default=[100_000, 1_000_000])
    ap.add_argument("--smoke", action="store_true", help="N=2000, one repeat, no memory: seconds")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--mix-seconds", type=float, default=2.0)
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--memory-10m", action="store_true",
                    help="also measure memory at 10M records (hand index and Vostrel, one process "
                         "each, about 20 GiB; skipped with a note when it does not fit)")
    ap.add_argument("--systems", nargs="+", metavar="NAME", choices=[s.name for s in systems.ALL],
                    help="run only these systems (a quick look at one change); default: all")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results"))
    a = ap.parse_args(argv)
    if a.smoke:
        a.n, a.repeats, a.mix_seconds, a.no_memory = [2000], 1, 0.05, True
        if a.out == ap.get_default("out"):
            a.out = os.path.join(ROOT, "build", "bench-smoke")
    if a.systems is not None and a.out == ap.get_default("out"):
        a.out = os.path.join(ROOT, "build", "bench-quick")  # a partial run keeps the full results
    os.makedirs(a.out, exist_ok=True)
    log = lambda m: print(m, flush=True)
    which = tuple(s for s in systems.ALL if a.systems is None or s.name in a.systems)
    results = {"machine": machine(), "versions": peer_versions(), "runs": []}
    for n in a.n:
        log(f"N = {n:,}")
        repeats = a.repeats if n <= 200_000 else min(a.repeats, 3)
        results["runs"].append(run_n(n, repeats, a.mix_seconds, not a.no_memory, log, which))
        with open(os.path.join(a.out, "results.json"), "w") as f:  # a later N may not finish
            json.dump(results, f, indent=1)
        report.write(results, a.out)
    if a.memory_10m:
        log(f"memory at {BIG_N:,}")
        largest = max(results["runs"], key=lambda r: r["n"]) if results["runs"] else {"memory": {}}
        names = [s for s in memory.BIG_SYSTEMS if s in {c.name for c in which}]
        results["memory_big"] = memory.big(BIG_N, SEED, largest["memory"], names, log)
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    report.write(results, a.out)
    bad = [m for r in results["runs"] for m in r["mismatches"]]
    for m in bad:
        print("MISMATCH", m, file=sys.stderr)
    print(f"results in {a.out}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
