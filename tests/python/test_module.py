"""The module's face: entries, classes, the one function and the argument-binding conventions."""
import importlib
import sys

import pytest

import Vostrel


def test_import_returns_the_same_module():
    assert importlib.import_module("Vostrel") is Vostrel
    assert Vostrel.__all__ == ["sum_as_string", "Index", "Indexable", "PyQueryExpr"]
    for name in Vostrel.__all__:
        assert hasattr(Vostrel, name)
    assert not hasattr(Vostrel, "FilteredIndex")
    assert Vostrel.__doc__


@pytest.mark.parametrize(
    "cls, name, text_signature",
    [
        (Vostrel.Index, "Index", "()"),
        (Vostrel.Indexable, "Indexable", "(*_args, **kwargs)"),
        (Vostrel.PyQueryExpr, "PyQueryExpr", None),
    ],
)
def test_class_identity(cls, name, text_signature):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert cls.__text_signature__ == text_signature
    instance_attrs = getattr(cls, "__dictoffset__", 0)
    assert instance_attrs == 0  # no instance __dict__
    assert cls.__weakrefoffset__ == 0


def test_only_indexable_is_subclassable():
    class Record(Vostrel.Indexable):
        pass

    assert isinstance(Record(), Vostrel.Indexable)
    for base in (Vostrel.Index, Vostrel.PyQueryExpr):
        with pytest.raises(TypeError):
            type("Sub", (base,), {})


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Vostrel.PyQueryExpr(), "No constructor defined for PyQueryExpr"),
        (lambda: Vostrel.Index(1), "Index.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Vostrel.Index(x=1), "Index.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_refusals(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, result",
    [
        ((2, 3), {}, "5"),
        ((), {"a": 2, "b": 3}, "5"),
        ((2,), {"b": 3}, "5"),
        ((18446744073709551615, 1), {}, "0"),
        ((0, 0), {}, "0"),
        ((True, 1), {}, "2"),
    ],
)
def test_sum_as_string(args, kwargs, result):
    assert Vostrel.sum_as_string(*args, **kwargs) == result


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((-1, 1), {}, OverflowError, None),
        ((1, 2**64), {}, OverflowError, None),
        (("x", 1), {}, TypeError, "argument 'a': "),
        ((1, 1.5), {}, TypeError, "argument 'b': "),
        ((1,), {}, TypeError, "sum_as_string() missing 1 required positional argument: 'b'"),
        ((), {}, TypeError, "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        ((1, 2, 3), {}, TypeError, "sum_as_string() takes 2 positional arguments but 3 were given"),
        ((1,), {"a": 2}, TypeError, "sum_as_string() got multiple values for argument 'a'"),
        ((1, 2), {"c": 3}, TypeError, "sum_as_string() got an unexpected keyword argument 'c'"),
    ],
)
def test_sum_as_string_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Vostrel.sum_as_string(*args, **kwargs)
    if message is not None:
        if message.endswith(": "):
            assert str(info.value).startswith(message)
        else:
            assert str(info.value) == message
    if error is OverflowError:
        assert type(info.value) is OverflowError  # passed on unchanged, not rewritten


def test_sum_as_string_signature_and_doc():
    f = Vostrel.sum_as_string
    assert f.__text_signature__ == "(a, b)"
    assert f.__doc__ == "Formats the sum of two numbers as string."
    assert f.__self__ is Vostrel


def test_conversion_cause_is_kept():
    class Bad:
        def __index__(self):
            try:
                raise ValueError("root")
            except ValueError as e:
                raise TypeError("inner") from e

    with pytest.raises(TypeError) as info:
        Vostrel.sum_as_string(Bad(), 1)
    assert str(info.value) == "argument 'a': inner"
    assert isinstance(info.value.__cause__, ValueError)


def test_indexable_constructor_accepts_anything_for_now():
    assert isinstance(Vostrel.Indexable(1, 2, a=3), Vostrel.Indexable)


def test_reference_counts_return_to_start():
    big = 10**18
    before = sys.getrefcount(big)
    for _ in range(100):
        Vostrel.sum_as_string(big, big)
        with pytest.raises(TypeError):
            Vostrel.sum_as_string(big, "x")
    assert sys.getrefcount(big) == before


def test_sub_interpreter_import_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    interp = si.create()
    try:
        with pytest.raises(si.RunFailedError) as info:
            si.run_string(interp, "import Vostrel")
        assert "ImportError" in str(info.value)
        assert "sub-interpreters are not supported" in str(info.value)
    finally:
        si.destroy(interp)
    assert Vostrel.sum_as_string(1, 1) == "2"  # the first interpreter keeps working
