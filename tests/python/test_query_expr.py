# PyQueryExpr: the eleven constructors, their argument errors, reprs, copies and reference counts.
import inspect
import re
import sys

import pytest

from Vostrel import PyQueryExpr as Q

MAX_DEPTH = 1000
PY = r"Py\(0x[0-9a-f]+\)"


def value_repr(obj, primitave):
    return f"PyValue {{ obj: Py({hex(id(obj))}), primitave: {primitave}, hash: {hash(obj) % 2**64} }}"


def body(expr):
    """The debug form inside "<QueryExpr: ...>"."""
    text = repr(expr)
    assert text.startswith("<QueryExpr: ") and text.endswith(">")
    return text[len("<QueryExpr: "):-1]


class Seq:
    """A sequence that is neither list nor tuple, reading items through __getitem__."""

    def __init__(self, *items, fail_at=None, error=IndexError):
        self.items, self.fail_at, self.error = items, fail_at, error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error("item unreadable")
        return self.items[i]


# --- constructors ---

COMPARISONS = [("eq", "Eq"), ("ne", "Ne"), ("gt", "Gt"), ("ge", "Ge"), ("lt", "Lt"), ("le", "Le")]


@pytest.mark.parametrize("method,alt", COMPARISONS)
@pytest.mark.parametrize("keywords", [False, True])
def test_comparisons(method, alt, keywords):
    v = 30
    ctor = getattr(Q, method)
    e = ctor(attr="age", value=v) if keywords else ctor("age", v)
    assert body(e) == f'{alt}("age", {value_repr(v, "Int(30)")})'


@pytest.mark.parametrize(
    "call",
    [
        lambda lo, hi: Q.bt("n", lo, hi),
        lambda lo, hi: Q.bt("n", upper=hi, lower=lo),
        lambda lo, hi: Q.bt(attr="n", lower=lo, upper=hi),
    ],
    ids=["positional", "keywords-swapped", "all-keywords"],
)
def test_bt_binds_bounds_by_name(call):
    lo, hi = 1, 2.5
    assert body(call(lo, hi)) == f'Bt("n", {value_repr(lo, "Int(1)")}, {value_repr(hi, "Float(2.5)")})'


@pytest.mark.parametrize(
    "values,expected",
    [
        ([], "[]"),
        ((), "[]"),
        (range(0), "[]"),
        (["a"], None),
        ((1, 2.0, None), None),
        (range(3), None),
        (b"ab", None),
        (Seq("x", 7), None),
    ],
    ids=["list-empty", "tuple-empty", "range-empty", "list", "tuple", "range", "bytes", "custom"],
)
def test_in_takes_any_sequence_in_order(values, expected):
    e = Q.in_("tag", values)
    items = list(values)
    if expected is None:
        prims = {int: lambda x: f"Int({x})", float: lambda x: f"Float({x})", str: lambda x: f'Str("{x}")'}
        expected = "[" + ", ".join(value_repr(x, prims.get(type(x), lambda _: "Unknown")(x)) for x in items) + "]"
    assert body(e) == f'In("tag", {expected})'
    assert body(Q.in_(attr="tag", values=values)) == body(e)


def test_in_does_not_trust_a_huge_length():
    class Lying(Seq):
        def __len__(self):
            return 2**62

    assert body(Q.in_("a", Lying(1))) == f'In("a", [{value_repr(1, "Int(1)")}])'


def test_in_copies_the_sequence():
    values = [1]
    e = Q.in_("a", values)
    values.append(2)
    assert body(e).count("PyValue") == 1


@pytest.mark.parametrize("method,alt", [("and_", "And"), ("or_", "Or")])
def test_and_or(method, alt):
    ctor = getattr(Q, method)
    a, b = Q.eq("a", 1), Q.not_(Q.eq("b", 2))
    assert body(ctor()) == f"{alt}([])"
    assert body(ctor(a)) == f"{alt}([{body(a)}])"
    assert body(ctor(a, b, a)) == f"{alt}([{body(a)}, {body(b)}, {body(a)}])"
    many = ctor(*[a] * 500)
    assert body(many) == f"{alt}([" + ", ".join([body(a)] * 500) + "])"


@pytest.mark.parametrize("keywords", [False, True])
def test_not_renders_its_sub_expression_directly(keywords):
    sub = Q.in_("tag", ["a"])
    e = Q.not_(exprs=sub) if keywords else Q.not_(sub)
    assert re.fullmatch(
        rf'Not\(In\("tag", \[PyValue {{ obj: {PY}, primitave: Str\("a"\), hash: \d+ }}\]\)\)', body(e)
    )
    assert body(Q.not_(Q.not_(sub))) == f"Not(Not({body(sub)}))"


# --- values and names as the repr shows them ---

class Plain:
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


@pytest.mark.parametrize(
    "value,primitave",
    [
        (5, "Int(5)"),
        (-1, "Int(-1)"),
        (2**63 - 1, f"Int({2**63 - 1})"),
        (-(2**63), f"Int({-(2**63)})"),
        (0.5, "Float(0.5)"),
        (-0.0, "Float(-0.0)"),
        (1e16, "Float(1e16)"),
        (0.0001, "Float(0.0001)"),
        (0.00001, "Float(1e-5)"),
        (float("inf"), "Float(inf)"),
        ("a\"b\\c\n", 'Str("a\\"b\\\\c\\n")'),
        ("", 'Str("")'),
        (True, "Int(1)"),
        (None, "Unknown"),
        (IntSub(3), "Int(3)"),
        (IntSub(2**70), "Unknown"),
        (FloatSub(2.5), "Float(2.5)"),
        ((1, 2), "Unknown"),
        (Plain(), "Unknown"),
    ],
)
def test_value_forms(value, primitave):
    assert body(Q.eq("v", value)) == f'Eq("v", {value_repr(value, primitave)})'


def test_unhashable_value_has_hash_zero():
    v = [1]
    assert body(Q.eq("v", v)) == f'Eq("v", PyValue {{ obj: Py({hex(id(v))}), primitave: Unknown, hash: 0 }})'


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "attr,shown",
    [
        ("age", '"age"'),
        (StrSub("sub"), '"sub"'),
        ("", '""'),
        ('q"\\\t\r\n\0', '"q\\"\\\\\\t\\r\\n\\0"'),
        ("\x7f\u200b", '"\\u{7f}\\u{200b}"'),
        ("caf\u00e9", '"caf\u00e9"'),
        ("a_name_well_beyond_twenty_three_bytes", '"a_name_well_beyond_twenty_three_bytes"'),
    ],
)
def test_attribute_names(attr, shown):
    assert body(Q.ne(attr, 1)).startswith(f"Ne({shown}, PyValue {{")


def test_values_are_not_checked_for_kind():
    assert re.fullmatch(rf'Gt\("name", PyValue {{ obj: {PY}, primitave: Str\("x"\), hash: \d+ }}\)', body(Q.gt("name", "x")))


# --- errors ---

e1 = Q.eq("a", 1)

ERRORS = [
    (lambda: Q.eq(1, 2), TypeError, "argument 'attr': 'int' object cannot be converted to 'PyString'"),
    (lambda: Q.bt(b"a", 1, 2), TypeError, "argument 'attr': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: Q.in_(None, []), TypeError, "argument 'attr': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: Q.in_("x", "abc"), TypeError, "argument 'values': Can't extract `str` to `Vec`"),
    (lambda: Q.in_("x", StrSub("abc")), TypeError, "argument 'values': Can't extract `str` to `Vec`"),
    (lambda: Q.in_("x", 5), TypeError, "argument 'values': 'int' object cannot be converted to 'Sequence'"),
    (lambda: Q.in_("x", Seq(1, 2, fail_at=1, error=TypeError)), TypeError, "argument 'values': item unreadable"),
    (lambda: Q.in_("x", Seq(1, 2, fail_at=1, error=ValueError)), ValueError, "item unreadable"),
    (lambda: Q.and_(e1, 5), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.or_("a"), TypeError, "argument 'exprs': 'str' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.not_(Q), TypeError, "argument 'exprs': 'type' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.not_(), TypeError, "PyQueryExpr.not_() missing 1 required positional argument: 'exprs'"),
    (lambda: Q.not_(e1, e1), TypeError, "PyQueryExpr.not_() takes 1 positional arguments but 2 were given"),
    (lambda: Q.and_(exprs=e1), TypeError, "PyQueryExpr.and_() got an unexpected keyword argument 'exprs'"),
    (lambda: Q.or_(e1, x=e1), TypeError, "PyQueryExpr.or_() got an unexpected keyword argument 'x'"),
    (lambda: Q.eq(), TypeError, "PyQueryExpr.eq() missing 2 required positional arguments: 'attr' and 'value'"),
    (lambda: Q.le("a"), TypeError, "PyQueryExpr.le() missing 1 required positional argument: 'value'"),
    (lambda: Q.bt(), TypeError, "PyQueryExpr.bt() missing 3 required positional arguments: 'attr', 'lower', and 'upper'"),
    (lambda: Q.bt("a", upper=1), TypeError, "PyQueryExpr.bt() missing 1 required positional argument: 'lower'"),
    (lambda: Q.gt("a", 1, 2), TypeError, "PyQueryExpr.gt() takes 2 positional arguments but 3 were given"),
    (lambda: Q.lt("a", 1, value=2), TypeError, "PyQueryExpr.lt() got multiple values for argument 'value'"),
    (lambda: Q.ge(attr="a", value=1, other=2), TypeError, "PyQueryExpr.ge() got an unexpected keyword argument 'other'"),
    (lambda: Q.in_("a", value=[]), TypeError, "PyQueryExpr.in_() got an unexpected keyword argument 'value'"),
    (lambda: Q(), TypeError, "No constructor defined for PyQueryExpr"),
    # Values that cannot be converted raise the interpreter's ordinary errors.
    (lambda: Q.gt("a", 2**70), OverflowError, None),
    (lambda: Q.eq("a", 2**63), OverflowError, None),
    (lambda: Q.eq("a", -(2**63) - 1), OverflowError, None),
    (lambda: Q.in_("a", [1, 2**64]), OverflowError, None),
    (lambda: Q.eq("a", "\ud800"), UnicodeEncodeError, None),
    (lambda: Q.eq("\udfff", 1), UnicodeEncodeError, None),
    # attr is converted first, then the other arguments in parameter order.
    (lambda: Q.eq(1, 2**70), TypeError, "argument 'attr': 'int' object cannot be converted to 'PyString'"),
    (lambda: Q.in_(1, "abc"), TypeError, "argument 'attr': 'int' object cannot be converted to 'PyString'"),
    (lambda: Q.bt("a", 2**70, "\ud800"), OverflowError, None),
    (lambda: Q.bt("a", upper=2**70, lower="\ud800"), UnicodeEncodeError, None),
    (lambda: Q.and_(5, "x"), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
]


@pytest.mark.parametrize("call,error,message", ERRORS)
def test_errors(call, error, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_rewritten_type_error_keeps_the_cause():
    class Failing(Seq):
        def __getitem__(self, i):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        Q.in_("a", Failing(1))
    assert str(info.value) == "argument 'values': outer"
    assert isinstance(info.value.__cause__, KeyError)


# --- class surface ---

SIGNATURES = [
    ("eq", "(attr, value)"),
    ("ne", "(attr, value)"),
    ("gt", "(attr, value)"),
    ("ge", "(attr, value)"),
    ("le", "(attr, value)"),
    ("lt", "(attr, value)"),
    ("bt", "(attr, lower, upper)"),
    ("in_", "(attr, values)"),
    ("and_", "(*exprs)"),
    ("or_", "(*exprs)"),
    ("not_", "(exprs)"),
    ("has", "(attr)"),
]


@pytest.mark.parametrize("method,signature", SIGNATURES)
def test_text_signatures(method, signature):
    f = getattr(Q, method)
    assert f.__text_signature__ == signature
    assert str(inspect.signature(f)) == signature
    assert isinstance(inspect.getattr_static(Q, method), staticmethod)


def test_methods_are_registered_in_table_order():
    assert [name for name in vars(Q) if not name.startswith("_")] == [m for m, _ in SIGNATURES]


def test_class_cannot_be_subclassed_and_instances_are_immutable():
    assert Q.__module__ == "builtins" and Q.__qualname__ == "PyQueryExpr"
    with pytest.raises(TypeError):
        type("Sub", (Q,), {})
    e = Q.eq("a", 1)
    with pytest.raises(AttributeError):
        e.expr = None
    with pytest.raises(AttributeError):
        e.anything = 1


# --- copies and reference counts ---

def test_expressions_are_copied_into_every_tree():
    v = Plain()
    base = sys.getrefcount(v)
    e = Q.eq("a", v)
    assert sys.getrefcount(v) == base + 1
    shown = body(e)
    trees = [Q.and_(e, e), Q.or_(e, Q.not_(e)), Q.not_(Q.and_(e)), Q.in_("b", [v, v])]
    # Every copy of a leaf owns a reference of its own (the not_ in or_ copies e twice over).
    assert sys.getrefcount(v) == base + 1 + 7
    assert body(trees[0]) == f"And([{shown}, {shown}])"
    assert body(trees[1]) == f"Or([{shown}, Not({shown})])"
    del e
    assert body(trees[2]) == f"Not(And([{shown}]))"
    assert sys.getrefcount(v) == base + 7
    del trees
    assert sys.getrefcount(v) == base


@pytest.mark.parametrize(
    "fail",
    [
        lambda v: Q.bt("a", v, 2**70),
        lambda v: Q.bt("a", lower=v, upper="\ud800"),
        lambda v: Q.in_("a", [v, v, 2**70]),
        lambda v: Q.in_("a", Seq(v, v, fail_at=2, error=TypeError)),
        lambda v: Q.and_(Q.eq("a", v), Q.not_(Q.eq("b", v)), 5),
        lambda v: Q.or_(Q.eq("a", v), "x"),
        lambda v: Q.eq(1, v),
    ],
)
def test_a_failing_conversion_leaves_nothing_behind(fail):
    v = Plain()
    base = sys.getrefcount(v)
    for _ in range(3):
        with pytest.raises((TypeError, OverflowError, UnicodeEncodeError)):
            fail(v)
    assert sys.getrefcount(v) == base


def test_values_live_as_long_as_an_expression_holds_them():
    import weakref

    v = Plain()
    ref = weakref.ref(v)
    e = Q.not_(Q.or_(Q.eq("a", v)))
    del v
    assert ref() is not None
    assert hex(id(ref())) in repr(e)
    del e
    assert ref() is None


# --- depth ---

def chain(depth, step):
    e = Q.eq("a", 1)
    for level in range(1, depth):
        e = step(level, e)
    return e


STEPS = {
    "not": lambda level, e: Q.not_(e),
    "and": lambda level, e: Q.and_(Q.eq("b", level), e),
    "mixed": lambda level, e: Q.not_(e) if level % 2 else Q.or_(e, Q.eq("b", level)),
}


@pytest.mark.parametrize("shape", sorted(STEPS))
def test_deep_trees_up_to_the_limit(shape):
    step = STEPS[shape]
    e = chain(MAX_DEPTH, step)
    text = body(e)
    assert text.count("(") == text.count(")")
    assert body(Q.and_(Q.eq("c", 1))).startswith("And([Eq(")
    with pytest.raises(RecursionError) as info:
        step(MAX_DEPTH, e)
    assert str(info.value).endswith(f"maximum query expression depth exceeded (at most {MAX_DEPTH} levels)")
    assert body(e) == text
    # Wide trees are not deep.
    wide = Q.or_(*[Q.eq("w", i) for i in range(5000)])
    assert body(Q.not_(wide)).count("Eq(") == 5000
