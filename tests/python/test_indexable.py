"""Indexable: construction, the attribute hooks, repr, __dir__ and subclassing."""
import gc
import sys

import pytest

from Vostrel import Index, Indexable


@pytest.mark.parametrize(
    "args, kwargs, count",
    [((), {}, 0), ((), {"a": 1, "b": 2}, 2), ((1, 2), {"a": 3}, 1), ((), {"_x": 1, "__y": 2, "": 3}, 3)],
)
def test_construction_and_repr(args, kwargs, count):
    obj = Indexable(*args, **kwargs)
    assert repr(obj) == "<MyClass with %d attributes>" % count
    for name, value in kwargs.items():
        assert getattr(obj, name) is value


def test_objects_made_in_turn_are_stored_in_turn():
    first, second = Indexable(), Indexable()
    index = Index()
    index.add_object_many([second, first])
    assert index.collect() == [first, second]


def test_reading_returns_the_assigned_object():
    value = ["unhashable"]
    obj = Indexable()
    obj.items = value
    assert obj.items is value
    obj.items = 5
    assert obj.items == 5
    assert repr(obj) == "<MyClass with 1 attributes>"


def test_missing_attribute_error_carries_only_the_name():
    with pytest.raises(AttributeError) as info:
        Indexable(a=1).nothing
    assert info.value.args == ("nothing",)
    assert getattr(Indexable(), "nothing", "default") == "default"


def test_deletion_is_refused():
    obj = Indexable(a=1)
    with pytest.raises(AttributeError) as info:
        del obj.a
    assert str(info.value) == "can't delete attribute"
    with pytest.raises(AttributeError):
        del obj.never_set
    assert obj.a == 1


def test_values_that_cannot_be_converted_change_nothing():
    with pytest.raises(OverflowError):
        Indexable(a=2**63)
    obj = Indexable(a=2**63 - 1, b=-2**63)
    with pytest.raises(OverflowError):
        obj.a = 2**63
    assert obj.a == 2**63 - 1
    assert repr(obj) == "<MyClass with 2 attributes>"


def test_dir_lists_attributes_then_the_base_names():
    obj = Indexable(z=1, a=2)
    names = obj.__dir__()
    assert sorted(names[:2]) == ["a", "z"]
    assert names[2:] == object.__dir__(obj)
    assert {"a", "z", "__dir__", "__class__"} <= set(dir(obj))


def test_class_attributes_methods_and_properties_are_found():
    class Book(Indexable):
        shelf = "left"

        def __init__(self, title, pages):
            self.title = title
            self.pages = pages

        @property
        def long(self):
            return self.pages > 100

        def describe(self):
            return "%s (%d)" % (self.title, self.pages)

    book = Book("Dune", 412)
    assert (book.shelf, book.long, book.describe()) == ("left", True, "Dune (412)")
    assert book.__class__ is Book and isinstance(book, Indexable)
    assert repr(book) == "<MyClass with 2 attributes>"
    book.shelf = "right"  # stored on the object, not the class
    assert book.shelf == "right" and Book.shelf == "left"


def test_assigning_while_the_object_is_being_read_fails_cleanly():
    class Busy(Indexable):
        @property
        def trigger(self):
            self.a = 2  # the read holds the object shared

    obj = Busy(a=1)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        obj.trigger
    assert obj.a == 1


def test_attribute_values_are_released_with_the_object():
    value = object()
    before = sys.getrefcount(value)
    obj = Indexable(v=value, w=value)
    obj.x = value
    assert sys.getrefcount(value) == before + 3
    del obj
    gc.collect()
    assert sys.getrefcount(value) == before


def test_reading_an_object_held_by_an_assignment_fails_cleanly():
    seen = []
    obj = Indexable(a=1)

    class Probe:
        def __hash__(self):  # runs while the assignment holds obj exclusively
            for action in (lambda: obj.a, lambda: repr(obj), lambda: obj.__dir__()):
                try:
                    action()
                except BaseException as e:
                    seen.append((type(e), str(e)))
            return 7

    obj.b = Probe()
    assert seen == [(RuntimeError, "Already mutably borrowed")] * 3
    assert obj.a == 1 and isinstance(obj.b, Probe)
