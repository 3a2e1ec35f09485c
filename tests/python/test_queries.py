"""Keyword and expression queries, filtered views, rebase and reduce."""
import gc
import sys
import weakref

import pytest

import Vostrel
from Vostrel import Index, Indexable, PyQueryExpr as Q


class Record(Indexable):
    pass


def build(*attribute_sets, order=None):
    """Objects made in turn from the dicts, in id order, added in `order` (default: in turn)."""
    # Ids are reused lowest first, so an id freed while the objects are made (a collection, a
    # release left for later) can put a later object first; such a set is made again.
    for _ in range(10):
        objs = [Record(**attrs) for attrs in attribute_sets]
        every = Index()
        every.add_object_many(objs)
        if every.collect() == objs:
            break
    else:
        raise AssertionError("could not make the objects in id order")
    index = Index()
    for i in order or range(len(objs)):
        index.add_object(objs[i])
    return index, objs


def picks(result, objs):
    return [objs.index(o) for o in result]


PEOPLE = [
    {"colour": "red", "size": 1, "age": 30, "flag": True},
    {"colour": "blue", "size": 2, "age": 30.0, "tag": "x"},
    {"colour": "red", "size": 2, "age": 10, "tag": "y", "data": 97},
    {"colour": "red", "size": 5, "age": 20, "tag": "z", "data": 98},
    {"colour": "green", "size": 1.0, "age": 40.5, "flag": 1},
]


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, []),
        ({"colour": "red"}, [0, 2, 3]),
        ({"colour": "re"}, []),
        ({"colour": ["red", "blue"]}, [0, 1, 2, 3]),
        ({"size": [1, 2]}, [0, 1, 2, 4]),
        ({"size": 5}, [3]),
        ({"size": (1, 1.0)}, [0, 4]),
        ({"size": []}, []),
        ({"data": b"ab"}, [2, 3]),
        (lambda: {"size": (n for n in (2, 5))}, [1, 2, 3]),
        ({"size": {5: "five"}}, [3]),
        ({"flag": 1}, [0, 4]),
        ({"colour": "red", "size": [1, 2]}, [0, 2]),
        ({"colour": "red", "missing": 1}, []),
        ({"missing": []}, []),
        ({"age": 30}, [0, 1]),
    ],
)
def test_keyword_queries(kwargs, expected):
    index, objs = build(*PEOPLE, order=[4, 2, 0, 3, 1])
    make = kwargs if callable(kwargs) else lambda: kwargs
    assert picks(index.get_by_attribute(**make()), objs) == expected
    assert picks(index.reduced(**make()).collect(), objs) == expected
    assert picks(index.reduced_query(Q.and_()).reduced(**make()).collect(), objs) == expected


def failing_values():
    yield 1
    raise KeyError("while iterating")


class NotIterable:
    def __iter__(self):
        raise ValueError("not today")

    def __hash__(self):
        return 5


@pytest.mark.parametrize("method", ["get_by_attribute", "reduced", "reduce"])
def test_errors_while_reading_keyword_values_pass_unchanged(method):
    index, objs = build(*PEOPLE)
    for kwargs, error, text in [
        ({"size": failing_values()}, KeyError, "'while iterating'"),
        ({"size": 2**64}, OverflowError, None),
        ({"size": [1, 2**63]}, OverflowError, None),
        ({"colour": "\ud800"}, UnicodeEncodeError, None),
    ]:
        with pytest.raises(error) as info:
            getattr(index, method)(**kwargs)
        if text:
            assert str(info.value) == text
    # nothing changed, also for reduce
    assert index.collect() == objs
    assert picks(index.get_by_attribute(size=2), objs) == [1, 2]


def test_an_object_that_cannot_be_iterated_is_one_value():
    index, objs = build({"v": 5}, {"v": 6})
    assert picks(index.get_by_attribute(v=NotIterable()), objs) == [0]


@pytest.mark.parametrize(
    "expr, expected",
    [
        (Q.eq("colour", "red"), [0, 2, 3]),
        (Q.eq("missing", 1), []),
        (Q.eq("colour", "purple"), []),
        (Q.ne("colour", "red"), [1, 4]),
        (Q.ne("missing", 1), [0, 1, 2, 3, 4]),
        (Q.ne("colour", "purple"), [0, 1, 2, 3, 4]),
        (Q.gt("colour", "x"), []),
        (Q.lt("age", None), []),
        (Q.bt("age", 1, "z"), []),
        (Q.ge("age", 30), [0, 1, 4]),
        (Q.ge("age", 30.0), [0, 1, 4]),
        (Q.gt("age", 30), [4]),
        (Q.le("age", 20), [2, 3]),
        (Q.lt("age", 20.5), [2, 3]),
        (Q.bt("age", 10, 20), [2, 3]),
        (Q.bt("age", 20, 10), []),
        (Q.ge("flag", 1), [0, 4]),  # True is the number 1, as in Python
        (Q.has("tag"), [1, 2, 3]),
        (Q.not_(Q.has("flag")), [1, 2, 3]),
        (Q.and_(), [0, 1, 2, 3, 4]),
        (Q.or_(), []),
        (Q.not_(Q.or_()), [0, 1, 2, 3, 4]),
        (Q.and_(Q.eq("colour", "red"), Q.not_(Q.eq("size", 2))), [0, 3]),
        (Q.in_("tag", []), []),
        (Q.in_("tag", ["x", "y"]), [1, 2]),
        (Q.or_(Q.eq("tag", "z"), Q.lt("age", 15)), [2, 3]),
    ],
)
def test_expression_queries(expr, expected):
    index, objs = build(*PEOPLE, order=[3, 1, 4, 0, 2])
    assert picks(index.reduced_query(expr).collect(), objs) == expected
    assert picks(index.reduced_query(query=expr).collect(), objs) == expected


def test_eq_answers_from_the_whole_table_other_alternatives_from_this_index():
    shared, objs = build({"a": 1}, {"a": 1}, {"a": 2})
    view = shared.reduced(a=1)
    narrowed = view.rebase()
    narrowed.reduce(a=1)
    assert picks(narrowed.reduced_query(Q.and_()).collect(), objs) == [0, 1]


CALL_ERRORS = [
    (lambda i, v: i.get_by_attribute(1), "Index.get_by_attribute() takes 0 positional arguments but 1 was given"),
    (lambda i, v: i.reduced(1), "Index.reduced() takes 0 positional arguments but 1 was given"),
    (lambda i, v: i.reduce(1, 2), "Index.reduce() takes 0 positional arguments but 2 were given"),
    (lambda i, v: v.reduced(1), "FilteredIndex.reduced() takes 0 positional arguments but 1 was given"),
    (lambda i, v: i.reduced_query(5), "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'"),
    (lambda i, v: i.reduced_query(), "Index.reduced_query() missing 1 required positional argument: 'query'"),
    (lambda i, v: i.reduced_query(Q.and_(), 1), "Index.reduced_query() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", CALL_ERRORS)
def test_argument_errors_change_nothing(call, message):
    index, objs = build(*PEOPLE)
    view = index.reduced(colour="red")
    with pytest.raises(TypeError) as info:
        call(index, view)
    assert str(info.value) == message
    assert index.collect() == objs


@pytest.mark.parametrize("method", ["collect", "rebase"])
def test_view_methods_without_arguments(method):
    view = Index().reduced()
    with pytest.raises(TypeError):
        getattr(view, method)(1)


def test_views_are_results_only():
    view = Index().reduced()
    assert type(view).__name__ == "FilteredIndex"
    assert not hasattr(Vostrel, "FilteredIndex")
    with pytest.raises(TypeError) as info:
        type(view)()
    assert str(info.value) == "No constructor defined for FilteredIndex"
    assert not hasattr(view, "reduce") and not hasattr(view, "get_by_attribute")


def test_method_order_and_signatures():
    names = [n for n in vars(Index) if not n.startswith("__")]
    assert names[:7] == ["collect", "add_object_many", "add_object", "reduce", "reduced", "reduced_query",
                         "get_by_attribute"]
    view_type = type(Index().reduced())
    for method, signature in [
        (Index.reduced_query, "($self, query)"),
        (Index.reduce, "($self, **kwargs)"),
        (Index.reduced, "($self, **kwargs)"),
        (Index.get_by_attribute, "($self, **kwargs)"),
        (view_type.reduced, "($self, **kwargs)"),
        (view_type.rebase, "($self)"),
    ]:
        assert method.__text_signature__ == signature
    # the methods beyond the first ones come after them
    assert [n for n in vars(view_type) if not n.startswith("__")][:3] == ["reduced", "collect", "rebase"]


def test_empty_views():
    index, objs = build(*PEOPLE)
    view = index.reduced()
    assert view.collect() == []
    assert view.reduced(colour="red").collect() == []
    rebased = view.rebase()
    assert isinstance(rebased, Index) and rebased.collect() == []
    assert index.reduced_query(Q.or_()).collect() == []


def test_views_have_fixed_ids_and_chain():
    index, objs = build({"a": 1, "b": 2}, {"a": 1, "b": 3}, {"a": 2, "b": 2})
    first = index.reduced(a=1)
    other = index.reduced_query(Q.eq("b", 2))
    late = Record(a=1, b=2)
    index.add_object(late)
    second = first.reduced(b=2)
    assert first.collect() == [objs[0], objs[1]]
    assert second.collect() == [objs[0]]
    assert other.collect() == [objs[0], objs[2]]
    assert index.reduced(a=1, b=2).collect() == [objs[0], late]
    assert first.reduced().collect() == []
    # the views read the current table: an object whose b changed leaves the second filter
    objs[0].b = 9
    assert first.reduced(b=2).collect() == []
    assert second.collect() == [objs[0]]


def test_rebase_builds_an_independent_index():
    index, objs = build({"c": "red", "n": 1, "_hidden": "h"}, {"c": "red", "n": 2.5}, {"c": "blue", "n": 3})
    rebased = index.reduced(c="red").rebase()
    assert rebased.collect() == [objs[0], objs[1]]
    assert rebased.get_by_attribute(c="red") == [objs[0], objs[1]]
    assert rebased.reduced_query(Q.gt("n", 1)).collect() == [objs[1]]
    assert rebased.get_by_attribute(c="blue") == []
    # names beginning with "_" stay on the objects but are not indexed, as when adding
    assert rebased.get_by_attribute(_hidden="h") == []
    assert objs[0]._hidden == "h"
    # assignments update both indexes; objects not admitted are unaffected by the new one
    objs[0].n = 7
    objs[2].c = "red"
    assert index.reduced_query(Q.gt("n", 5)).collect() == [objs[0]]
    assert rebased.reduced_query(Q.gt("n", 5)).collect() == [objs[0]]
    assert rebased.get_by_attribute(c="red") == [objs[0], objs[1]]
    assert index.get_by_attribute(c="red") == objs
    # adding to the new index leaves the old one alone
    extra = Record(c="red")
    rebased.add_object(extra)
    assert extra not in index.collect()


def test_rebase_of_a_busy_object_fails_before_anything_is_built():
    index, objs = build({"a": 1}, {"a": 1})
    view = index.reduced(a=1)
    results = []

    class Busy(Record):
        @property
        def trigger(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                view.rebase()
            results.append(True)

    busy = Busy(a=1)
    index.add_object(busy)
    view = index.reduced(a=1)
    busy.trigger
    assert results == [True]
    rebased = view.rebase()
    busy.a = 2
    assert rebased.get_by_attribute(a=2) == [busy]


class TripwireHash:
    """A value whose hash runs `action` once, while an assignment holds its object exclusively."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        action, self.action = self.action, None
        if action:
            action()
        return 77


@pytest.mark.parametrize("kw, message", [({"a": 2}, "Already borrowed")])
def test_reduce_with_a_busy_object_fails_before_anything_changes(kw, message):
    index, objs = build({"a": 1}, {"a": 2})
    caught = []

    def attempt():
        with pytest.raises(RuntimeError) as info:
            index.reduce(**kw)
        caught.append(str(info.value))

    objs[0].b = TripwireHash(attempt)  # objs[0] is held exclusively by the assignment
    assert caught == [message]
    assert index.collect() == objs
    assert index.get_by_attribute(a=[1, 2]) == objs


def test_reduce_narrows_the_whole_index():
    index, objs = build(
        {"c": "red", "n": 1}, {"c": "blue", "n": 2}, {"c": "red", "n": 3}, {"c": "blue", "n": 4.0})
    before = index.reduced_query(Q.and_())
    keyed = index.reduced(c="blue")
    assert index.reduce(c="red") is None
    red = [objs[0], objs[2]]
    assert index.collect() == red
    assert index.get_by_attribute(c="blue") == []
    assert index.get_by_attribute(n=[1, 2, 3, 4]) == red
    for expr, expected in [
        (Q.gt("n", 0), red),
        (Q.bt("n", 2, 4), [objs[2]]),
        (Q.ne("c", "green"), red),
        (Q.not_(Q.eq("c", "red")), []),
        (Q.and_(), red),
        (Q.eq("c", "blue"), []),
    ]:
        assert index.reduced_query(expr).collect() == expected
    # earlier views follow the index: the objects it dropped leave them in every answer alike
    assert before.collect() == red
    assert keyed.collect() == []
    assert before.reduced(c="blue").collect() == [] and before.reduced(c="red").collect() == red
    assert before.rebase().collect() == red
    assert len(before) == 2 and len(keyed) == 0
    # a dropped object's assignments leave the index alone, also for new attributes
    objs[1].c = "red"
    objs[1].extra = 1
    assert index.get_by_attribute(c="red") == red
    assert index.get_by_attribute(extra=1) == []
    assert index.reduced_query(Q.lt("n", 10)).collect() == red
    # kept objects still follow their assignments
    objs[2].n = 30
    assert index.reduced_query(Q.gt("n", 10)).collect() == [objs[2]]
    # adding a dropped object again brings it back with its current values
    index.add_object(objs[1])
    assert index.collect() == [objs[0], objs[1], objs[2]]
    assert index.get_by_attribute(c="red") == [objs[0], objs[1], objs[2]]
    assert index.reduced_query(Q.eq("n", 2)).collect() == [objs[1]]


def test_reduce_with_no_keywords_empties_the_index():
    index, objs = build({"a": 1, "n": 1.5}, {"a": 2})
    index.reduce()
    assert index.collect() == []
    assert index.get_by_attribute(a=[1, 2]) == []
    assert index.reduced_query(Q.ge("n", 0)).collect() == []
    assert index.reduced_query(Q.and_()).collect() == []


def test_reduce_then_chained_filters():
    index, objs = build({"c": "red", "s": 1}, {"c": "red", "s": 2}, {"c": "blue", "s": 1})
    index.reduce(c="red")
    assert index.get_by_attribute(s=1) == [objs[0]]
    assert index.reduced(s=[1, 2]).reduced(s=2).collect() == [objs[1]]


def test_views_keep_the_table_and_store_alive():
    index, objs = build({"a": 1}, {"a": 2})
    refs = [weakref.ref(o) for o in objs]
    view = index.reduced(a=[1, 2])
    del index, objs
    gc.collect()
    assert all(r() is not None for r in refs)
    assert view.reduced(a=2).collect() == [refs[1]()]
    del view
    gc.collect()
    assert all(r() is None for r in refs)


def test_results_hold_no_extra_references():
    index, objs = build({"a": 1}, {"a": 1})
    counts = [sys.getrefcount(o) for o in objs]
    for _ in range(3):
        index.get_by_attribute(a=1)
        index.reduced(a=1).collect()
        index.reduced_query(Q.eq("a", 1)).rebase()
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == counts
    rebased = index.reduced(a=1).rebase()
    del index
    gc.collect()
    refs = [weakref.ref(o) for o in objs]
    del objs
    gc.collect()
    assert all(r() is not None for r in refs)
    del rebased
    gc.collect()
    assert all(r() is None for r in refs)


def test_queries_run_beside_assignments_on_other_threads():
    import threading

    index, objs = build(*({"n": i % 7, "c": "red" if i % 2 else "blue"} for i in range(50)))
    errors = []

    def query():
        try:
            for _ in range(200):
                view = index.reduced_query(Q.and_(Q.ge("n", 0), Q.ne("c", "green")))
                assert view.reduced(c=["red", "blue"]).collect() == objs
                assert len(index.reduced(c="red").collect()) == 25
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def change():
        try:
            for i in range(200):
                objs[i % 50].n = i % 11  # updates the table the queries read, under its lock
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=query) for _ in range(2)] + [threading.Thread(target=change)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert index.reduced_query(Q.ge("n", 0)).collect() == objs
    assert index.get_by_attribute(n=list(range(11))) == objs
