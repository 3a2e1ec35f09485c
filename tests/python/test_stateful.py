"""The whole host surface driven by random operations and compared with a plain-Python model.

The model keeps each object's attributes and each index's members; an index's table is what its
members hold under the names that adding indexes. Values are grouped by hash(); ranges hold only
between exact ints and floats. Objects are made in turn, so creation order is id order.
"""
import hypothesis.strategies as st
import pytest
from hypothesis import settings
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

from Vostrel import Index, Indexable, PyQueryExpr as Q


class Record(Indexable):
    pass


NAMES = ["a", "b", "c", "_p"]
QUERY_NAMES = NAMES + ["zz"]
VALUES = st.sampled_from(
    [None, True, False, -2, -1, 0, 1, 2, 3, 5, -0.0, 1.0, 2.5, -1.5, 3.0, "", "x", "y", "1"])
ATTRIBUTES = st.dictionaries(st.sampled_from(NAMES), VALUES, max_size=4)

# A keyword value: one scalar, a str (one value), or a list of values.
KEYWORD_VALUE = st.one_of(VALUES, st.lists(VALUES, max_size=3))
KEYWORDS = st.dictionaries(st.sampled_from(QUERY_NAMES), KEYWORD_VALUE, max_size=3)

LEAVES = st.one_of(
    st.tuples(st.sampled_from(["eq", "ne", "gt", "ge", "lt", "le"]), st.sampled_from(QUERY_NAMES), VALUES),
    st.tuples(st.just("bt"), st.sampled_from(QUERY_NAMES), VALUES, VALUES),
    st.tuples(st.just("in_"), st.sampled_from(QUERY_NAMES), st.lists(VALUES, max_size=3)),
)
EXPRESSIONS = st.recursive(
    LEAVES,
    lambda sub: st.one_of(
        st.tuples(st.just("not_"), sub),
        st.tuples(st.sampled_from(["and_", "or_"]), st.lists(sub, max_size=3)),
    ),
    max_leaves=8,
)


def build_expr(e):
    kind = e[0]
    if kind in ("and_", "or_"):
        return getattr(Q, kind)(*[build_expr(s) for s in e[1]])
    if kind == "not_":
        return Q.not_(build_expr(e[1]))
    return getattr(Q, kind)(*e[1:])


def is_number(v):
    return type(v) in (int, float)


def keyword_hashes(value):
    values = [value] if isinstance(value, str) or not isinstance(value, list) else value
    return {hash(v) for v in values}


class ModelIndex:
    def __init__(self, machine):
        self.machine = machine
        self.members = set()

    def table(self):
        """Object number to its indexed attributes."""
        attrs = self.machine.attrs
        return {m: {n: v for n, v in attrs[m].items() if not n.startswith("_")} for m in self.members}

    def keyword_match(self, kwargs):
        if not kwargs:
            return set()
        wanted = {n: keyword_hashes(v) for n, v in kwargs.items()}
        return {m for m, row in self.table().items()
                if all(n in row and hash(row[n]) in hs for n, hs in wanted.items())}

    def evaluate(self, e, cand):
        table = self.table()
        kind = e[0]
        if kind == "eq":
            return {m for m, row in table.items() if e[1] in row and hash(row[e[1]]) == hash(e[2])}
        if kind == "ne":
            return cand - self.evaluate(("eq",) + e[1:], cand)
        if kind == "in_":
            hs = {hash(v) for v in e[2]}
            return {m for m in cand if e[1] in table[m] and hash(table[m][e[1]]) in hs}
        if kind in ("gt", "ge", "lt", "le", "bt"):
            bounds = e[2:]
            if not all(is_number(b) for b in bounds):
                return set()
            test = {
                "gt": lambda x: x > bounds[0], "ge": lambda x: x >= bounds[0],
                "lt": lambda x: x < bounds[0], "le": lambda x: x <= bounds[0],
                "bt": lambda x: bounds[0] <= x <= bounds[1],
            }[kind]
            return {m for m in cand if is_number(table[m].get(e[1], "")) and test(table[m][e[1]])}
        if kind == "not_":
            return cand - self.evaluate(e[1], cand)
        if kind == "and_":
            result = set(cand)
            for sub in e[1]:
                if not result:
                    break
                result &= self.evaluate(sub, result)
            return result
        result = set()
        for sub in e[1]:
            result |= self.evaluate(sub, cand)
        return result


class QueriesMachine(RuleBasedStateMachine):
    objects = Bundle("objects")
    indexes = Bundle("indexes")
    views = Bundle("views")

    @initialize()
    def setup(self):
        self.real_objects = []
        self.attrs = []

    def listed(self, numbers):
        return [self.real_objects[m] for m in sorted(numbers)]

    @rule(target=objects, attributes=ATTRIBUTES)
    def create_object(self, attributes):
        self.real_objects.append(Record(**attributes))
        self.attrs.append(dict(attributes))
        return len(self.attrs) - 1

    @rule(target=indexes)
    def create_index(self):
        return (Index(), ModelIndex(self))

    @rule(index=indexes, obj=objects)
    def add_object(self, index, obj):
        index[0].add_object(self.real_objects[obj])
        index[1].members.add(obj)

    @rule(index=indexes, objs=st.lists(objects, unique=True, max_size=4))
    def add_object_many(self, index, objs):
        index[0].add_object_many([self.real_objects[m] for m in objs])
        index[1].members.update(objs)

    @rule(obj=objects, name=st.sampled_from(NAMES + ["d"]), value=VALUES)
    def assign(self, obj, name, value):
        setattr(self.real_objects[obj], name, value)
        self.attrs[obj][name] = value

    @rule(index=indexes, kwargs=KEYWORDS)
    def keyword_query(self, index, kwargs):
        expected = self.listed(index[1].keyword_match(kwargs))
        assert index[0].get_by_attribute(**kwargs) == expected
        assert index[0].reduced(**kwargs).collect() == expected

    @rule(index=indexes, expr=EXPRESSIONS)
    def expression_query(self, index, expr):
        model = index[1]
        expected = self.listed(model.evaluate(expr, set(model.members)))
        assert index[0].reduced_query(build_expr(expr)).collect() == expected

    @rule(target=views, index=indexes, kwargs=KEYWORDS)
    def keyword_view(self, index, kwargs):
        return (index[0].reduced(**kwargs), index[1], index[1].keyword_match(kwargs))

    @rule(target=views, index=indexes, expr=EXPRESSIONS)
    def expression_view(self, index, expr):
        model = index[1]
        return (index[0].reduced_query(build_expr(expr)), model, model.evaluate(expr, set(model.members)))

    @rule(target=views, view=views, kwargs=KEYWORDS)
    def reduced_view(self, view, kwargs):
        real, source, ids = view
        return (real.reduced(**kwargs), source, ids & source.keyword_match(kwargs))

    @rule(view=views)
    def collect_view(self, view):
        assert view[0].collect() == self.listed(view[2])

    @rule(target=indexes, view=views)
    def rebase(self, view):
        model = ModelIndex(self)
        model.members = set(view[2])
        return (view[0].rebase(), model)

    @rule(index=indexes, kwargs=KEYWORDS)
    def reduce(self, index, kwargs):
        kept = index[1].keyword_match(kwargs)
        assert index[0].reduce(**kwargs) is None
        index[1].members = kept

    @rule(index=indexes, other=indexes)
    def union(self, index, other):
        if index is other:
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                index[0].union_with(other[0])
            return
        before = other[0].collect()
        assert index[0].union_with(other[0]) is None
        index[1].members |= other[1].members
        assert other[0].collect() == before

    @rule(index=indexes)
    def collect_index(self, index):
        assert index[0].collect() == self.listed(index[1].members)

    @invariant()
    def attributes_read_back(self):
        for obj, attrs in zip(getattr(self, "real_objects", []), getattr(self, "attrs", [])):
            for name, value in attrs.items():
                assert getattr(obj, name) is value


QueriesMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
TestQueries = QueriesMachine.TestCase
