"""Index: construction, the stored objects, adding one or many objects, lifetimes and threads."""
import gc
import sys
import weakref

import pytest

from Vostrel import Index, Indexable, PyQueryExpr


class Record(Indexable):
    pass


def test_new_index_is_empty():
    assert Index().collect() == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "Index.__new__() takes 0 positional arguments but 1 was given"),
        ((), {"a": 1}, "Index.__new__() got an unexpected keyword argument 'a'"),
    ],
)
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Index(*args, **kwargs)
    assert str(info.value) == message


def test_collect_is_in_id_order_and_holds_each_object_once():
    first, second, third = Indexable(a=1), Indexable(a=2), Indexable(a=3)
    index = Index()
    index.add_object(third)
    index.add_object(first)
    index.add_object_many([second, third])
    index.add_object(first)
    assert index.collect() == [first, second, third]


@pytest.mark.parametrize(
    "call",
    [
        lambda index, obj: index.add_object(obj),
        lambda index, obj: index.add_object(py_ref=obj),
        lambda index, obj: index.add_object_many([obj]),
        lambda index, obj: index.add_object_many((obj,)),
        lambda index, obj: index.add_object_many(objs=[obj]),
    ],
)
def test_adding_forms(call):
    index, obj = Index(), Record(a=1, _b=2, __c=3)
    assert call(index, obj) is None
    assert index.collect() == [obj]
    assert (obj.a, obj._b, obj.__c) == (1, 2, 3)  # names with "_" stay on the object


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda i: i.add_object(5), TypeError, "argument 'py_ref': 'int' object cannot be converted to 'Indexable'"),
        (lambda i: i.add_object(), TypeError, "Index.add_object() missing 1 required positional argument: 'py_ref'"),
        (lambda i: i.add_object(Indexable(), Indexable()), TypeError,
         "Index.add_object() takes 1 positional arguments but 2 were given"),
        (lambda i: i.add_object_many("ab"), TypeError, "argument 'objs': Can't extract `str` to `Vec`"),
        (lambda i: i.add_object_many(5), TypeError, "argument 'objs': 'int' object cannot be converted to 'Sequence'"),
        (lambda i: i.add_object_many([Indexable(), 1]), TypeError,
         "argument 'objs': 'int' object cannot be converted to 'Indexable'"),
        (lambda i: i.add_object_many(), TypeError,
         "Index.add_object_many() missing 1 required positional argument: 'objs'"),
    ],
)
def test_bad_arguments_change_nothing(call, error, message):
    index = Index()
    with pytest.raises(error) as info:
        call(index)
    assert str(info.value) == message
    assert index.collect() == []


def test_an_object_listed_twice_fails_before_anything_is_added():
    index, shared, other = Index(), Indexable(a=1), Indexable(a=2)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        index.add_object_many([other, shared, shared])
    assert index.collect() == []
    index.add_object_many([other, shared])  # the failed call released every borrow
    assert index.collect() == [shared, other]  # ascending ids: shared was made first


def test_empty_batch_changes_nothing():
    index = Index()
    assert index.add_object_many([]) is None
    assert index.collect() == []


def test_adding_while_the_object_is_being_read_fails_cleanly():
    index = Index()

    class Busy(Indexable):
        @property
        def trigger(self):
            index.add_object(self)  # the read holds the object; adding needs it exclusively

    obj = Busy(a=1)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        obj.trigger
    assert index.collect() == []
    index.add_object(obj)
    assert index.collect() == [obj]


def test_indexes_keep_objects_alive_and_objects_do_not_keep_indexes():
    index = Index()
    obj = Record(colour="red")
    ref = weakref.ref(obj)
    before = sys.getrefcount(index)
    index.add_object(obj)
    index.add_object_many([obj])
    assert sys.getrefcount(index) == before
    del obj
    gc.collect()
    assert ref() is not None
    assert ref().colour == "red"
    del index
    gc.collect()
    assert ref() is None


def test_object_outlives_its_index_and_joins_another():
    obj = Record(colour="red")
    first = Index()
    first.add_object(obj)
    del first
    obj.colour = "blue"  # the record of the vanished index is skipped
    second = Index()
    second.add_object(obj)  # and dropped here
    obj.colour = "green"
    assert second.collect() == [obj]
    assert obj.colour == "green"


def test_values_are_released_when_replaced():
    value = object()
    obj = Indexable(v=value)
    index = Index()
    index.add_object(obj)
    held = sys.getrefcount(value)
    obj.v = 1
    assert sys.getrefcount(value) < held
    obj.v = 2
    del index, obj
    gc.collect()
    assert sys.getrefcount(value) == 2


@pytest.mark.parametrize("first, second", [(-1, -2), (2, 2.0), (1, True), (0, -0.0), (3.0, 3)])
def test_an_object_added_twice_moves_once_between_values_of_one_hash(first, second):
    obj, other = Record(n=first), Record(n=7)
    index = Index()
    index.add_object(other)
    index.add_object(obj)
    index.add_object_many([obj])  # two records of one index
    obj.n = second
    obj.n = second  # again, to a value equal to the current one
    assert index.get_by_attribute(n=second) == [obj]
    obj.n = 50
    assert index.reduced_query(PyQueryExpr.lt("n", 10)).collect() == [other]
    assert index.reduced_query(PyQueryExpr.gt("n", 10)).collect() == [obj]
    assert index.get_by_attribute(n=[first, second]) == []
    assert index.get_by_attribute(n=50) == [obj]
