"""Object lifetimes and reference counts.

Indexes and views keep their objects alive and nothing more: objects never keep an index alive,
every reference the system takes is given back, and references dropped while the interpreter lock
is released are released once it is held again.
"""
import gc
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from Vostrel import Index, Indexable, PyQueryExpr as Q


class Record(Indexable):
    deleted = 0

    def __del__(self):
        type(self).deleted += 1


class Token:
    """A value with a chosen hash, so that distinct tokens can share one value set."""

    deleted = 0

    def __init__(self, hash_value):
        self.hash_value = hash_value

    def __hash__(self):
        return self.hash_value

    def __del__(self):
        Token.deleted += 1


class FailingToken(Token):
    def __del__(self):
        1 / 0


def collected():
    gc.collect()


def index_of(*objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


# --- objects live exactly as long as the last index or view that holds them -----------------------

def held_by_index(objs):
    index = Index()
    for obj in objs:
        index.add_object(obj)
    return [index]


def held_by_batch(objs):
    return [index_of(*objs)]


def held_by_views(objs):
    index = index_of(*objs)
    return [index.reduced(k=[o.k for o in objs]), index.reduced_query(Q.and_()), index]


def held_by_view_only(objs):
    return [index_of(*objs).reduced_query(Q.ge("n", 0))]


def held_by_view_of_view(objs):
    return [index_of(*objs).reduced_query(Q.and_()).reduced(k=[o.k for o in objs])]


def held_by_rebase(objs):
    index = index_of(*objs)
    return [index.reduced_query(Q.and_()).rebase(), index]


def held_by_rebase_only(objs):
    return [index_of(*objs).reduced_query(Q.and_()).rebase()]


def held_by_union(objs):
    target, source = Index(), index_of(*objs)
    target.union_with(source)
    return [source, target]


def held_by_two_indexes(objs):
    return [index_of(*objs), index_of(*reversed(objs))]


def held_after_reduce(objs):
    index = index_of(*objs)
    view = index.reduced_query(Q.and_())
    index.reduce(k=[o.k for o in objs])  # every object stays
    return [index, view]


def held_after_assignments(objs):
    index = index_of(*objs)
    for obj in objs:
        obj.n = obj.n + 100
        obj.k = "changed"
        obj.fresh = [obj.k]
    return [index, index.reduced(k="changed")]


HOLDERS = [held_by_index, held_by_batch, held_by_views, held_by_view_only, held_by_view_of_view, held_by_rebase,
           held_by_rebase_only, held_by_union, held_by_two_indexes, held_after_reduce, held_after_assignments]


@pytest.mark.parametrize("release_order", ["first-made-first", "last-made-first"])
@pytest.mark.parametrize("hold", HOLDERS, ids=lambda f: f.__name__)
def test_objects_are_freed_with_their_last_holder(hold, release_order):
    objs = [Record(k="k%d" % i, n=i, payload=Token(i)) for i in range(5)]
    refs = [weakref.ref(o) for o in objs]
    payloads = [weakref.ref(o.payload) for o in objs]
    holders = hold(objs)
    deleted = Record.deleted
    del objs
    collected()
    if release_order == "last-made-first":
        holders.reverse()
    while holders:
        assert all(r() is not None for r in refs), "freed while a holder remains"
        holders.pop(0)
        collected()
    assert all(r() is None for r in refs)
    assert all(p() is None for p in payloads)
    assert Record.deleted == deleted + 5


def test_a_view_freed_on_another_thread_frees_the_objects():
    objs = [Record(k=i) for i in range(3)]
    refs = [weakref.ref(o) for o in objs]
    views = [index_of(*objs).reduced(k=[0, 1, 2])]
    del objs
    worker = threading.Thread(target=views.clear)
    worker.start()
    worker.join()
    collected()
    assert all(r() is None for r in refs)


# --- objects do not keep indexes alive ------------------------------------------------------------

def index_only_object(index_parts):
    """An object that only the index made by `index_parts` still holds, and two objects that hold
    records of that index."""
    first, second, sentinel = Record(v=5), Record(v=5), Record(v=6)
    token = weakref.ref(sentinel)
    parts = index_parts(first, second, sentinel)
    del sentinel
    collected()
    assert token() is not None
    return token, parts, (first, second)


INDEX_PARTS = {
    "index": lambda a, b, c: [index_of(a, b, c)],
    "index-and-views": lambda a, b, c: (lambda i: [i, i.reduced(v=6), i.reduced_query(Q.eq("v", 6))])(index_of(a, b, c)),
    "view-only": lambda a, b, c: [index_of(a, b, c).reduced_query(Q.and_())],
    "rebase": lambda a, b, c: [index_of(a, b, c).reduced_query(Q.and_()).rebase()],
    "union-target": lambda a, b, c: (lambda t: (t.union_with(index_of(a, b, c)), [t])[1])(Index()),
    "two-records": lambda a, b, c: (lambda i: (i.add_object(a), i.add_object_many([b, a]), [i])[2])(index_of(a, b, c)),
    "iterator": lambda a, b, c: [iter(index_of(a, b, c))],
}


@pytest.mark.parametrize("parts", sorted(INDEX_PARTS))
def test_objects_do_not_keep_their_indexes_alive(parts):
    token, holders, (first, second) = index_only_object(INDEX_PARTS[parts])
    objs = (first, second)
    counts = [sys.getrefcount(h) for h in holders]
    first.v = first.v  # reads, assignments and new attributes leave the holders' counts alone
    first.w = 1
    second.w = second.v
    second.w = first.w
    assert [sys.getrefcount(h) for h in holders] == counts
    collected()
    assert token() is not None
    holders.clear()
    collected()
    assert token() is None  # the index went with its last holder, though two of its objects live on
    for obj in objs:
        obj.v = 2  # their records of it no longer resolve and are skipped
    later = index_of(*objs)
    assert later.get_by_attribute(v=2) == list(objs)


TAKE_OUT = {
    "remove_object": lambda index, objs: [index.remove_object(o) for o in objs],
    "remove_object_many": lambda index, objs: index.remove_object_many(objs),
    "reduce": lambda index, objs: index.reduce(k="keep"),
}


@pytest.mark.parametrize("how", sorted(TAKE_OUT))
def test_objects_taken_out_are_no_longer_held(how):
    keeper = Record(k="keep")
    objs = [Record(k="k%d" % i, payload=Token(i)) for i in range(3)]
    refs = [weakref.ref(o) for o in objs]
    index = index_of(keeper, *objs)
    views = [index.reduced_query(Q.and_()), index.reduced(k="k1")]
    TAKE_OUT[how](index, objs)
    del objs
    collected()
    assert all(r() is None for r in refs)  # neither the index nor the views made earlier hold them
    assert index.collect() == [keeper] and views[0].collect() == [keeper] and views[1].collect() == []


def test_class_objects_are_not_leaked_by_instances():
    types = [Index, Indexable, Record, Q, type(Index().reduced())]
    collected()
    before = [sys.getrefcount(t) for t in types]
    for _ in range(50):
        index = index_of(Record(a=1), Indexable(a=2))
        index.reduced(a=1).rebase().reduced_query(Q.not_(Q.eq("a", 2))).collect()
    del index
    collected()
    assert [sys.getrefcount(t) for t in types] == before


# --- reference counts return to where they started ------------------------------------------------

def runtime_values():
    """Values made at run time, so that no constant or cache of the interpreter shares them."""
    big = int("1" + "0" * 18) + 7
    return {
        "int": big,
        "negative-int": -big,
        "str": "".join(["colour", "-", "red"]),
        "float": float("1.25") * 3,
        "tuple": tuple([big, "x"]),
        "unhashable": [big],
        "token": Token(17),
    }


def cycle_construct(objs, v):
    Record(v=v, w=v, _v=v)


def cycle_add(objs, v):
    index = Index()
    index.add_object(objs[0])
    index.add_object_many(objs)
    index.add_object(objs[0])


def cycle_assign(objs, v):
    index = index_of(*objs)
    objs[0].v = v
    objs[1].v = v
    objs[0].v = 1
    objs[1].fresh = v
    objs[1].fresh = v
    objs[1]._hidden = v
    del index
    objs[1].v = 2


def cycle_keyword_queries(objs, v):
    index = index_of(*objs)
    index.get_by_attribute(v=v)
    index.get_by_attribute(v=[v, v], k=(v,))
    index.reduced(v=v).collect()
    index.reduced(v=iter([v])).reduced(v=v).collect()


def cycle_expressions(objs, v):
    index = index_of(*objs)
    leaves = [Q.eq("v", v), Q.ne("v", v), Q.gt("v", v), Q.ge("v", v), Q.lt("v", v), Q.le("v", v),
              Q.bt("v", v, v), Q.in_("v", [v, v])]
    counts = [sys.getrefcount(e) for e in leaves]
    tree = Q.and_(Q.or_(*leaves), Q.not_(leaves[0]))
    index.reduced_query(tree).collect()
    index.reduced_query(query=leaves[1]).reduced(v=v)
    repr(tree)
    assert [sys.getrefcount(e) for e in leaves] == counts  # combining and querying copy them


def cycle_views(objs, v):
    index = index_of(*objs)
    view = index.reduced_query(Q.in_("v", [v]))
    view.collect()
    view.reduced(v=v).collect()
    view.rebase().reduced(v=v).rebase().collect()


def cycle_rebase(objs, v):
    index = index_of(*objs)
    rebased = index.reduced_query(Q.and_()).rebase()
    objs[0].v = v  # updates both indexes
    rebased.get_by_attribute(v=v)
    del index
    objs[0].v = 3


def cycle_union(objs, v):
    a, b = index_of(objs[0]), index_of(*objs)
    a.union_with(b)
    b.union_with(a)
    a.get_by_attribute(v=v)
    objs[1].v = v


def cycle_reduce(objs, v):
    index = index_of(*objs)
    view = index.reduced(v=v)
    index.reduce(v=[v])
    index.reduce(v=[v, 1])
    index.collect()
    view.collect()
    index.add_object(objs[1])
    index.reduce()


def cycle_failures(objs, v):
    index = index_of(*objs)
    for call in [lambda: Record(v=v, bad=2**64), lambda: setattr(objs[0], "v", 2**64),
                 lambda: index.get_by_attribute(v=[v, 2**64]), lambda: Q.bt("v", v, 2**64),
                 lambda: Q.in_("v", [v, "\ud800"]), lambda: index.reduce(v=[v, "\udc00"]),
                 lambda: index.add_object_many([objs[0], objs[0]]), lambda: delattr(objs[0], "v"),
                 lambda: objs[1].missing]:
        try:
            call()
        except (OverflowError, UnicodeEncodeError, RuntimeError, AttributeError):
            pass


CYCLES = [cycle_construct, cycle_add, cycle_assign, cycle_keyword_queries, cycle_expressions, cycle_views,
          cycle_rebase, cycle_union, cycle_reduce, cycle_failures]


@pytest.mark.parametrize("cycle", CYCLES, ids=lambda f: f.__name__[len("cycle_"):])
def test_reference_counts_return_to_their_start(cycle):
    values = runtime_values()
    name = "".join(["run", "time", "name"])  # an attribute name made at run time
    objs = [Record(v=values["int"], k="a", **{name: 1}), Record(v=values["str"], k="b"),
            Record(v=values["tuple"], k="c")]
    tracked = list(values.values()) + objs + [name]

    def one_round():
        for v in values.values():
            cycle(objs, v)
            getattr(objs[0], name)
            index_of(*objs).reduced_query(Q.eq(name, 1)).reduced(**{name: [1]}).collect()

    one_round()  # a round leaves the objects' attributes as every later round does
    collected()
    before = [sys.getrefcount(x) for x in tracked]
    for _ in range(3):
        one_round()
    collected()
    after = [sys.getrefcount(x) for x in tracked]
    labels = list(values) + ["obj-a", "obj-b", "obj-c", "name"]
    assert dict(zip(labels, after)) == dict(zip(labels, before))


def test_the_same_value_in_many_places_is_held_once_per_holder():
    v = "".join(["shared", "-value"])
    base = sys.getrefcount(v)
    a, b = Record(x=v), Record(x=v, y=v)
    assert sys.getrefcount(v) == base + 3  # one per attribute
    index = index_of(a, b)
    assert sys.getrefcount(v) == base + 3  # the table shares the attribute's holder
    e = Q.eq("x", v)
    assert sys.getrefcount(v) == base + 4
    del a, b, index, e
    collected()
    assert sys.getrefcount(v) == base


# --- references dropped without the interpreter lock ----------------------------------------------

def test_values_live_as_long_as_the_objects_that_hold_them():
    """An index keeps no value of its own: replacing a value releases it at once, with the lock held."""
    first, second = Record(v=Token(5)), Record(v=Token(5))
    index = index_of(first, second)
    tokens = [weakref.ref(first.v), weakref.ref(second.v)]
    deleted = Token.deleted
    first.v = 0
    assert tokens[0]() is None and tokens[1]() is not None
    second.v = 0
    assert tokens[1]() is None and Token.deleted == deleted + 2
    assert index.get_by_attribute(v=0) == [first, second]
    assert index.get_by_attribute(v=5) == []


def test_finalisers_run_by_the_deferred_release_may_use_the_system():
    """The finaliser runs once no index lock is held: it may query and change the index."""
    code = textwrap.dedent("""
        import sys
        from Vostrel import Index, Indexable, PyQueryExpr as Q

        seen = []

        class Twin:
            def __hash__(self):
                return 5

        class Token(Twin):
            def __del__(self):
                seen.append(len(index.get_by_attribute(v=0)))
                index.add_object(Indexable(v=9))
                first.w = 1
                seen.append(len(index.reduced_query(Q.ge("v", 0)).collect()))
                raise ValueError("reported, not raised")

        unraisable = []
        sys.unraisablehook = lambda info: unraisable.append(info.exc_type)
        first, second = Indexable(v=Token()), Indexable(v=Twin())
        index = Index()
        index.add_object_many([first, second])
        first.v = 0  # the token goes once the assignment is done and the object is free again
        second.v = 0
        assert seen == [1, 2], seen
        assert unraisable == [ValueError], unraisable
        assert len(index.get_by_attribute(v=[0, 9])) == 3
        print("done")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "done\n"


def test_a_finaliser_that_raises_during_the_release_does_not_fail_the_call():
    first, second = Record(v=FailingToken(5)), Record(v=Token(5))
    index = index_of(first, second)
    reported = []
    hook, sys.unraisablehook = sys.unraisablehook, lambda info: reported.append(info.exc_type)
    try:
        first.v = 0  # the failing token's last holder was the object
    finally:
        sys.unraisablehook = hook
    assert reported == [ZeroDivisionError]
    assert index.get_by_attribute(v=0) == [first]


def retried(call):
    """Calls until no other thread holds what the call needs."""
    while True:
        try:
            return call()
        except RuntimeError as e:
            if str(e) not in ("Already borrowed", "Already mutably borrowed"):
                raise


def test_tables_freed_while_other_threads_update_them_release_their_values():
    """Threads assign to objects of the indexes that the main thread keeps making and dropping, so
    that some tables lose their last holder inside an assignment, with the lock released."""
    a, c = Record(v=0), Record(v=0)
    busy = [Record(v=0) for _ in range(3)]
    tokens = []
    stop = threading.Event()
    errors = []

    def assign(obj):
        try:
            n = 0
            while not stop.is_set():
                retried(lambda: setattr(obj, "v", n % 3))  # the main thread's adding holds obj at times
                n += 1
                time.sleep(0)  # lets the main thread in while obj is free, or it could never add obj
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    workers = [threading.Thread(target=assign, args=(obj,)) for obj in busy]
    for w in workers:
        w.start()
    try:
        for _ in range(300):
            token = Token(1234)
            tokens.append(weakref.ref(token))
            a.v = token
            c.v = Token(1234)
            index = index_of(a, c)  # the key of the value is a's token
            for obj in busy:  # the workers' assignments now update this index
                retried(lambda: index.add_object(obj))
            a.v = 0  # the key is the token's only holder
            del token, index
    finally:
        stop.set()
        for w in workers:
            w.join()
    assert errors == []
    a.v = 1  # a host call: whatever is still queued is released
    collected()
    assert [t for t in tokens if t() is not None] == []


def test_many_threads_adding_querying_and_dropping_leave_no_reference_behind():
    values = runtime_values()
    objs = [Record(v=v, k=i) for i, v in enumerate(values.values())]
    before = [sys.getrefcount(x) for x in list(values.values()) + objs]
    errors = []

    def one(seed, i):
        index = retried(lambda: index_of(*objs[seed % 3:]))
        view = index.reduced(k=list(range(10)))
        index.reduced_query(Q.or_(Q.ge("v", 0), Q.eq("k", seed))).reduced(k=seed).collect()
        if i % 5 == 0:
            retried(view.rebase).get_by_attribute(k=seed)
        del index
        view.collect()

    def work(seed):
        try:
            for i in range(60):
                one(seed, i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    collected()
    assert [sys.getrefcount(x) for x in list(values.values()) + objs] == before
