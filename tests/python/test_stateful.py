"""The whole host surface driven by random operations and compared with a plain-Python model.

The model keeps each object's attributes and each index's members with the epoch each entered at;
an index's table is what its members hold under the names that adding indexes. Values are grouped
by hash(); ranges hold between numbers (model.as_number). A view admits the ids it matched while
they stay in its index without leaving it since the view was made. Ids of objects that are gone are
handed out again, so the model reads the id order of its objects from an index that holds them all.
"""
import copy
import pickle

import hypothesis.strategies as st
import pytest
from hypothesis import settings
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

from model import as_number, is_comparable_number
from Vostrel import Index, Indexable, PyQueryExpr as Q


class Record(Indexable):
    pass


NAMES = ["a", "b", "c", "_p"]
QUERY_NAMES = NAMES + ["zz"]
VALUES = st.sampled_from(
    [None, True, False, -2, -1, 0, 1, 2, 3, 5, -0.0, 1.0, 2.5, -1.5, 3.0, float("nan"), "", "x", "y", "1"])
ATTRIBUTES = st.dictionaries(st.sampled_from(NAMES), VALUES, max_size=4)

# A keyword value: one scalar, a str (one value), or a list of values.
KEYWORD_VALUE = st.one_of(VALUES, st.lists(VALUES, max_size=3))
KEYWORDS = st.dictionaries(st.sampled_from(QUERY_NAMES), KEYWORD_VALUE, max_size=3)

LEAVES = st.one_of(
    st.tuples(st.sampled_from(["eq", "ne", "gt", "ge", "lt", "le"]), st.sampled_from(QUERY_NAMES), VALUES),
    st.tuples(st.just("bt"), st.sampled_from(QUERY_NAMES), VALUES, VALUES),
    st.tuples(st.just("in_"), st.sampled_from(QUERY_NAMES), st.lists(VALUES, max_size=3)),
    st.tuples(st.just("has"), st.sampled_from(QUERY_NAMES)),
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


def keyword_hashes(value):
    values = [value] if isinstance(value, str) or not isinstance(value, list) else value
    return {hash(v) for v in values}


class ModelIndex:
    def __init__(self, machine, members=()):
        self.machine = machine
        self.epoch = 1
        self.entered = {m: 1 for m in members}  # member -> epoch it entered at

    @property
    def members(self):
        return set(self.entered)

    def enter(self, objs):
        new = [m for m in objs if m not in self.entered]
        if new:
            self.epoch += 1
            for m in new:
                self.entered[m] = self.epoch

    def leave(self, objs):
        if objs:
            self.epoch += 1
            for m in objs:
                del self.entered[m]

    def table(self, among=None):
        """Object number to its indexed attributes."""
        attrs = self.machine.attrs
        members = self.members if among is None else among
        return {m: {n: v for n, v in attrs[m].items() if not n.startswith("_")} for m in members}

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
        if kind == "has":
            return {m for m in cand if e[1] in table[m]}
        if kind in ("gt", "ge", "lt", "le", "bt"):
            bounds = e[2:]
            if not all(is_comparable_number(b) for b in bounds):
                return set()
            b = [as_number(x) for x in bounds]
            test = {
                "gt": lambda x: x > b[0], "ge": lambda x: x >= b[0],
                "lt": lambda x: x < b[0], "le": lambda x: x <= b[0],
                "bt": lambda x: b[0] <= x <= b[1],
            }[kind]
            return {m for m in cand if as_number(table[m].get(e[1])) is not None and test(as_number(table[m][e[1]]))}
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

    def sorted_by(self, among, name, reverse, limit):
        """The objects' order by `name` as the index gives it, or TypeError."""
        attrs = self.machine.attrs
        rank = self.machine.rank.__getitem__
        holders = sorted((m for m in among if name in attrs[m] and not name.startswith("_")), key=rank)
        rest = sorted(set(among) - set(holders), key=rank)
        numbers = [m for m in holders if is_comparable_number(attrs[m][name])]
        nans = [m for m in holders if as_number(attrs[m][name]) is not None and m not in numbers]
        others = [m for m in holders if as_number(attrs[m][name]) is None]
        groups = {}  # one group per distinct number, one per hash of the other values
        for m in numbers:
            groups.setdefault(("n", as_number(attrs[m][name])), []).append(m)
        for m in others:
            groups.setdefault(("h", hash(attrs[m][name])), []).append(m)
        ordered = sorted(groups.values(), key=lambda g: rank(g[0]))
        if others:
            reps = [attrs[g[0]][name] for g in ordered]
            for x in reps:  # the index raises when two values cannot be ordered
                for y in reps:
                    if x is not y:
                        x < y  # noqa: B015 - raises TypeError when Python cannot order them
        ordered = sorted(ordered, key=lambda g: as_number(attrs[g[0]][name]) if not others else attrs[g[0]][name],
                         reverse=reverse)
        result = [m for g in ordered for m in g] + sorted(nans + rest, key=rank)
        return result if limit is None else result[:limit]

    def value_counts(self, among, name):
        attrs = self.machine.attrs
        rank = self.machine.rank.__getitem__
        groups = {}
        for m in sorted(among, key=rank):
            if name in attrs[m] and not name.startswith("_"):
                groups.setdefault(hash(attrs[m][name]), []).append(m)
        ordered = sorted(groups.values(), key=lambda g: (-len(g), rank(g[0])))
        return [(attrs[g[0]][name], len(g)) for g in ordered]


class QueriesMachine(RuleBasedStateMachine):
    objects = Bundle("objects")
    indexes = Bundle("indexes")
    views = Bundle("views")

    @initialize()
    def setup(self):
        self.real_objects = []
        self.attrs = []
        self.everything = Index()  # lists every object in id order
        self.rank = {}

    def listed(self, numbers):
        return [self.real_objects[m] for m in sorted(numbers, key=self.rank.__getitem__)]

    @staticmethod
    def admitted(view):
        _, model, ids, epoch = view
        return {m for m in ids if model.entered.get(m, epoch + 1) <= epoch}

    @rule(target=objects, attributes=ATTRIBUTES)
    def create_object(self, attributes):
        self.real_objects.append(Record(**attributes))
        self.attrs.append(dict(attributes))
        self.everything.add_object(self.real_objects[-1])
        position = {id(o): m for m, o in enumerate(self.real_objects)}
        self.rank = {position[id(o)]: r for r, o in enumerate(self.everything.collect())}
        return len(self.attrs) - 1

    @rule(target=indexes)
    def create_index(self):
        return (Index(), ModelIndex(self))

    @rule(index=indexes, obj=objects)
    def add_object(self, index, obj):
        index[0].add_object(self.real_objects[obj])
        index[1].enter([obj])

    @rule(index=indexes, objs=st.lists(objects, unique=True, max_size=4), as_set=st.booleans())
    def add_object_many(self, index, objs, as_set):
        real = [self.real_objects[m] for m in objs]
        index[0].add_object_many(set(real) if as_set else iter(real))
        index[1].enter(objs)

    @rule(index=indexes, objs=st.lists(objects, max_size=3))
    def remove_objects(self, index, objs):
        real = [self.real_objects[m] for m in objs]
        absent = [m for m in objs if m not in index[1].entered]
        if absent:
            with pytest.raises(KeyError):
                index[0].remove_object_many(real)
        elif len(set(objs)) < len(objs):
            with pytest.raises(RuntimeError, match="Already borrowed"):
                index[0].remove_object_many(real)
        else:
            if len(objs) == 1:
                assert index[0].remove_object(real[0]) is None
            else:
                assert index[0].remove_object_many(real) is None
            index[1].leave(objs)

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
        expected = self.listed(model.evaluate(expr, model.members))
        built = build_expr(expr)
        assert index[0].reduced_query(built).collect() == expected
        # A NaN matches only itself, and comes back from a pickle as a new object that no record
        # holds: a restored expression answers as the model does for a restored tree.
        restored = self.listed(model.evaluate(pickle.loads(pickle.dumps(expr)), model.members))
        assert index[0].reduced_query(pickle.loads(pickle.dumps(built))).collect() == restored

    @rule(target=views, index=indexes, kwargs=KEYWORDS)
    def keyword_view(self, index, kwargs):
        return (index[0].reduced(**kwargs), index[1], index[1].keyword_match(kwargs), index[1].epoch)

    @rule(target=views, index=indexes, expr=EXPRESSIONS)
    def expression_view(self, index, expr):
        model = index[1]
        return (index[0].reduced_query(build_expr(expr)), model, model.evaluate(expr, model.members), model.epoch)

    @rule(target=views, view=views, kwargs=KEYWORDS)
    def reduced_view(self, view, kwargs):
        real, source, ids, epoch = view
        return (real.reduced(**kwargs), source, ids & source.keyword_match(kwargs), epoch)

    @rule(target=views, view=views, expr=EXPRESSIONS)
    def queried_view(self, view, expr):
        real, source, ids, epoch = view
        matched = source.evaluate(expr, self.admitted(view))
        return (real.reduced_query(build_expr(expr)), source, ids & matched, epoch)

    @rule(view=views)
    def collect_view(self, view):
        expected = self.listed(self.admitted(view))
        assert view[0].collect() == expected
        assert list(view[0]) == expected
        assert len(view[0]) == len(expected)
        assert all(o in view[0] for o in expected)

    @rule(target=indexes, view=views)
    def rebase(self, view):
        return (view[0].rebase(), ModelIndex(self, self.admitted(view)))

    @rule(index=indexes, kwargs=KEYWORDS)
    def reduce(self, index, kwargs):
        kept = index[1].keyword_match(kwargs)
        assert index[0].reduce(**kwargs) is None
        index[1].leave(index[1].members - kept)

    @rule(index=indexes, other=indexes)
    def union(self, index, other):
        if index is other:
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                index[0].union_with(other[0])
            return
        before = other[0].collect()
        assert index[0].union_with(other[0]) is None
        index[1].enter(other[1].members)
        assert other[0].collect() == before

    @rule(index=indexes)
    def collect_index(self, index):
        expected = self.listed(index[1].members)
        assert index[0].collect() == expected
        assert list(index[0]) == expected and len(index[0]) == len(expected)
        assert [o in index[0] for o in self.real_objects] == [m in index[1].members for m in range(len(self.attrs))]
        assert copy.copy(index[0]).collect() == expected

    SORT_ARGS = dict(name=st.sampled_from(QUERY_NAMES), reverse=st.booleans(), limit=st.one_of(st.none(), st.integers(0, 4)))

    @rule(source=indexes, **SORT_ARGS)
    def sorted_index(self, source, name, reverse, limit):
        self.check_sorted(source[0], source[1], source[1].members, name, reverse, limit)

    @rule(source=views, **SORT_ARGS)
    def sorted_view(self, source, name, reverse, limit):
        self.check_sorted(source[0], source[1], self.admitted(source), name, reverse, limit)

    def check_sorted(self, real, model, among, name, reverse, limit):
        try:
            expected = self.listed_in_order(model.sorted_by(among, name, reverse, limit))
        except TypeError:
            with pytest.raises(TypeError):
                real.sorted_by(name, reverse=reverse, limit=limit)
            return
        assert real.sorted_by(name, reverse=reverse, limit=limit) == expected

    def listed_in_order(self, numbers):
        return [self.real_objects[m] for m in numbers]

    @rule(source=indexes, name=st.sampled_from(QUERY_NAMES))
    def counts_index(self, source, name):
        self.check_counts(source[0], source[1], source[1].members, name)

    @rule(source=views, name=st.sampled_from(QUERY_NAMES))
    def counts_view(self, source, name):
        self.check_counts(source[0], source[1], self.admitted(source), name)

    def check_counts(self, real, model, among, name):
        got = list(real.value_counts(name).items())
        expected = model.value_counts(among, name)
        assert [n for _, n in got] == [n for _, n in expected]
        assert all(g is e for (g, _), (e, _) in zip(got, expected))

    @invariant()
    def attributes_read_back(self):
        for obj, attrs in zip(getattr(self, "real_objects", []), getattr(self, "attrs", [])):
            for name, value in attrs.items():
                assert getattr(obj, name) is value


QueriesMachine.TestCase.settings = settings(max_examples=int(__import__("os").environ.get("VOSTREL_STATEFUL_EXAMPLES", 60)), stateful_step_count=30, deadline=None)
TestQueries = QueriesMachine.TestCase
