"""Index.union_with: arguments, borrows, what arrives, what stays, and lifetimes."""
import gc
import sys
import threading
import weakref

import pytest

from Vostrel import Index, Indexable, PyQueryExpr as Q

queries = pytest.mark.skipif(
    not (hasattr(Index, "get_by_attribute") and hasattr(Index, "reduced_query")),
    reason="the index has no query methods yet",
)


class Record(Indexable):
    pass


def index_of(*objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


@pytest.fixture
def pair():
    """Two indexes with a shared object, objects of their own, shared and own attributes."""
    shared = Record(colour="red", size=3, name="shared")
    left = [Record(colour="red", size=1, name="l1"), Record(colour="blue", size=2.5, name="l2"), shared]
    right = [shared, Record(colour="green", size=10, name="r1", weight=7), Record(colour="red", size=2, name="r2")]
    return index_of(*left), index_of(*right), left, right


def test_text_signature_and_result():
    assert Index.union_with.__text_signature__ == "($self, other)"
    index = Index()
    assert index.union_with(Index()) is None
    assert index.union_with(other=Index()) is None


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda a: a.union_with(5), TypeError, "argument 'other': 'int' object cannot be converted to 'Index'"),
        (lambda a: a.union_with(Indexable()), TypeError,
         "argument 'other': 'Indexable' object cannot be converted to 'Index'"),
        (lambda a: a.union_with(), TypeError, "Index.union_with() missing 1 required positional argument: 'other'"),
        (lambda a: a.union_with(Index(), Index()), TypeError,
         "Index.union_with() takes 1 positional arguments but 2 were given"),
        (lambda a: a.union_with(others=Index()), TypeError,
         "Index.union_with() got an unexpected keyword argument 'others'"),
        (lambda a: a.union_with(a), RuntimeError, "Already mutably borrowed"),
    ],
)
def test_bad_calls_change_nothing(call, error, message):
    obj = Record(a=1)
    index = index_of(obj)
    with pytest.raises(error) as info:
        call(index)
    assert str(info.value) == message
    assert index.collect() == [obj]


def test_union_with_an_empty_index_changes_nothing():
    obj = Record(a=1)
    index = index_of(obj)
    assert index.union_with(Index()) is None
    assert index.collect() == [obj]
    empty = Index()
    empty.union_with(Index())
    assert empty.collect() == []


def test_objects_arrive_once_and_other_is_unchanged(pair):
    a, b, left, right = pair
    a.union_with(b)
    in_id_order = [left[2], left[0], left[1], right[1], right[2]]  # creation order
    assert a.collect() == in_id_order
    assert b.collect() == [right[0], right[1], right[2]]
    a.union_with(b)  # again: nothing new arrives
    assert a.collect() == in_id_order


def test_union_into_an_empty_index_takes_every_object():
    objs = [Record(v=i) for i in range(6)]
    b = index_of(*objs)
    a = Index()
    a.union_with(b)
    assert a.collect() == objs


def test_unions_in_both_directions_agree(pair):
    a, b, left, right = pair
    a.union_with(b)
    b.union_with(a)
    assert a.collect() == b.collect()


def test_an_arriving_object_borrowed_elsewhere_fails_unchanged():
    a = Index()

    class Busy(Indexable):
        @property
        def trigger(self):
            a.union_with(b)  # the read holds self, which would arrive in a

    busy = Busy(colour="red")
    b = index_of(Record(colour="red"), busy)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        busy.trigger
    assert a.collect() == []
    a.union_with(b)
    assert a.collect() == b.collect()


class CallingSequence:
    """A sequence whose first item read runs `hook`, while add_object_many holds its index."""

    def __init__(self, hook, items):
        self.hook, self.items = hook, items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0:
            self.hook()
        return self.items[i]


@pytest.mark.parametrize("held", ["this", "other"])
def test_an_index_held_by_another_call_refuses_the_union(held):
    a, b = index_of(Record(x=1)), index_of(Record(x=2))
    seen = []

    def hook():
        with pytest.raises(RuntimeError) as info:
            a.union_with(b)
        seen.append(str(info.value))

    (a if held == "this" else b).add_object_many(CallingSequence(hook, [Record(x=3)]))
    assert seen == ["Already borrowed" if held == "this" else "Already mutably borrowed"]
    assert len(a.collect()) == (2 if held == "this" else 1)


def test_reference_counts_return_to_their_start():
    objs = [Record(v=i, tag=object()) for i in range(4)]
    before = [sys.getrefcount(o) for o in objs]
    a, b = index_of(objs[0], objs[1]), index_of(objs[1], objs[2], objs[3])
    a.union_with(b)
    # each store holds a reference of its own to every object it holds
    assert [sys.getrefcount(o) for o in objs] == [before[0] + 1, before[1] + 2, before[2] + 2, before[3] + 2]
    del b
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == [before[0] + 1, before[1] + 1, before[2] + 1, before[3] + 1]
    del a
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before


def test_arrived_objects_live_as_long_as_this_index():
    obj = Record(colour="red")
    ref = weakref.ref(obj)
    b = index_of(obj)
    a = Index()
    a.union_with(b)
    del obj, b
    gc.collect()
    assert a.collect() == [ref()]
    ref().colour = "blue"  # the record of the vanished index is skipped
    del a
    gc.collect()
    assert ref() is None


def test_threads_uniting_into_their_own_indexes():
    sources = [index_of(*[Record(v=i * 10 + j) for j in range(20)]) for i in range(3)]
    targets = [Index() for _ in range(4)]
    errors = []

    def run(target):
        try:
            for _ in range(20):
                for source in sources:
                    try:
                        target.union_with(source)
                    except RuntimeError as e:  # an arriving object held by another union
                        assert str(e) == "Already borrowed"
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    expected = [o for s in sources for o in s.collect()]
    for t in targets:
        t.union_with(sources[0]), t.union_with(sources[1]), t.union_with(sources[2])
        assert t.collect() == expected


# --- queries through the united index ------------------------------------------------------


def names(objs):
    return sorted(o.name for o in objs)


@queries
def test_keyword_queries_see_both_sides(pair):
    a, b, _, _ = pair
    a.union_with(b)
    assert names(a.get_by_attribute(colour="red")) == ["l1", "r2", "shared"]
    assert names(a.get_by_attribute(colour="green")) == ["r1"]
    assert names(a.get_by_attribute(weight=7)) == ["r1"]  # an attribute only the other had
    assert names(a.get_by_attribute(size=[2, 3])) == ["r2", "shared"]
    assert names(b.get_by_attribute(colour="red")) == ["r2", "shared"]
    assert b.get_by_attribute(colour="blue") == []


@queries
@pytest.mark.parametrize(
    "expr, expected",
    [
        (Q.eq("colour", "red"), ["l1", "r2", "shared"]),
        (Q.ne("colour", "red"), ["l2", "r1"]),
        (Q.gt("size", 2), ["l2", "r1", "shared"]),
        (Q.ge("size", 2), ["l2", "r1", "r2", "shared"]),
        (Q.lt("size", 3), ["l1", "l2", "r2"]),
        (Q.le("size", 2.5), ["l1", "l2", "r2"]),
        (Q.bt("size", 2, 3), ["l2", "r2", "shared"]),
        (Q.in_("name", ["r1", "l1", "x"]), ["l1", "r1"]),
        (Q.not_(Q.lt("size", 3)), ["r1", "shared"]),
        (Q.and_(Q.eq("colour", "red"), Q.gt("size", 1)), ["r2", "shared"]),
        (Q.or_(Q.eq("weight", 7), Q.eq("size", 1)), ["l1", "r1"]),
        (Q.and_(), ["l1", "l2", "r1", "r2", "shared"]),
    ],
)
def test_expression_queries_views_and_rebase(pair, expr, expected):
    a, b, _, right = pair
    a.union_with(b)
    view = a.reduced_query(expr)
    assert names(view.collect()) == expected
    assert names(view.rebase().collect()) == expected
    assert names(b.reduced_query(Q.and_()).collect()) == names(right)


@queries
def test_assignment_after_the_union_updates_both_indexes(pair):
    a, b, left, right = pair
    a.union_with(b)
    r1, l1, shared = right[1], left[0], left[2]
    r1.size = 1  # arrived from b
    shared.colour = "blue"  # in both before the union
    l1.size = 20  # only in a
    assert names(a.reduced_query(Q.lt("size", 2)).collect()) == ["r1"]
    assert names(b.reduced_query(Q.lt("size", 2)).collect()) == ["r1"]
    assert names(a.get_by_attribute(colour="blue")) == ["l2", "shared"]
    assert names(b.get_by_attribute(colour="blue")) == ["shared"]
    assert names(a.reduced_query(Q.gt("size", 15)).collect()) == ["l1"]
    assert b.reduced_query(Q.gt("size", 15)).collect() == []
