"""The systems compared: Vostrel and what a Python user would pick instead. Each builds its index
over a list of records, turns a workload tree into a call that returns a list of the records, and
assigns attributes, merges and removes records the way its users would keep the index current.
A system that does not offer an operation raises NotImplementedError; Vostrel raises Unavailable
for an operation the built module does not have yet."""
from __future__ import annotations

import collections
import heapq
import itertools
import operator
import sqlite3

from . import data
from .workloads import VIEW_FIRST, kw_tree, keywords


class Unavailable(Exception):
    """The built module lacks the operation: the suite reports it as not available."""


class System:
    name = "?"
    vostrel = False        # runs over the Vostrel records instead of the plain ones
    exact_order = False    # orders tied counts and sort keys by id, as Vostrel and the scan do
    reference = False      # gives the expected answers of the writes; its write times are not shown
    one_by_one = False     # removes records one at a time, slowly enough to be timed in chunks

    def build(self, objs: list) -> None:
        raise NotImplementedError

    def query(self, tree: tuple):
        raise NotImplementedError

    def count(self, tree: tuple):
        """A call that returns how many records match: the length of the result list."""
        q = self.query(tree)
        return lambda: len(q())

    def sorted_by(self, tree: tuple, attr: str, limit: int):
        """A call that returns the `limit` matching records of smallest attr, smallest first."""
        q, key = self.query(tree), operator.attrgetter(attr)
        return lambda: heapq.nsmallest(limit, q(), key=key)

    def value_counts(self, tree: tuple, attr: str):
        """A call that returns {value: count} of attr over the matching records, largest first."""
        q, get = self.query(tree), operator.attrgetter(attr)
        return lambda: dict(collections.Counter(map(get, q())).most_common())

    def rebase(self, tree: tuple, records: list):
        """A call that builds a new index of the records of a view and returns its records. The
        view is evaluated beforehand: records is its content, and a system that holds views of
        its own (Vostrel's view, a pandas mask) makes one outside the call."""
        raise NotImplementedError

    @classmethod
    def pair(cls, a: list, b: list) -> tuple:
        """Two new indexes, of the records a and of the records b, to be merged."""
        x, y = cls(), cls()
        x.build(a)
        y.build(b)
        return x, y

    def merge(self, other) -> None:
        """Brings every record of other (made by pair) into this index."""
        raise NotImplementedError

    def remove(self, objs: list) -> None:
        """Takes the records out of the index; the records themselves stay as they are."""
        raise NotImplementedError

    def view_narrow(self, second: tuple):
        return self.query(kw_tree(VIEW_FIRST, second))

    def view_rebase(self, second: tuple):
        """A call that narrows, builds a new index of the result and returns that index's records."""
        return self.view_narrow(second)

    def assign(self, objs: list, attr: str, values: list) -> None:
        raise NotImplementedError


_RID = operator.attrgetter("_rid")


def _is_num(v) -> bool:
    return type(v) in (int, float)


class Scan(System):
    name = "scan"
    assign = None          # a plain setattr loop: the floor itself
    exact_order = True     # its records are in id order, and Counter and nsmallest keep ties in it
    reference = True

    def build(self, objs):
        self.objs = objs

    def _expr(self, t, consts):
        op = t[0]
        if op in ("eq", "in", "bt"):
            get = f"getattr(o, {t[1]!r}, None)" if t[1] in data.MAYBE_MISSING else f"o.{t[1]}"
            c = f"_c{len(consts)}"
            if op == "eq":
                consts[c] = t[2]
                return f"{get} == {c}"
            if op == "in":
                consts[c] = frozenset(t[2])
                return f"{get} in {c}"
            consts[c], consts[c + "h"] = t[2], t[3]
            if t[1] in data.MAYBE_MISSING:
                return f"((x := {get}) is not None and {c} <= x <= {c}h)"
            return f"{c} <= {get} <= {c}h"
        if op == "not":
            return f"not ({self._expr(t[1], consts)})"
        joiner = " and " if op == "and" else " or "
        return "(" + joiner.join(f"({self._expr(p, consts)})" for p in t[1:]) + ")"

    def query(self, tree):
        consts: dict = {}
        src = f"lambda objs: [o for o in objs if {self._expr(tree, consts)}]"
        f = eval(src, consts)  # generated once per workload: as fast as a hand-written comprehension
        return lambda: f(self.objs)

    def rebase(self, tree, records):
        return lambda: list(records)

    def merge(self, other):
        self.objs = self.objs + other.objs

    def remove(self, objs):
        gone = {id(o) for o in objs}
        self.objs = [o for o in self.objs if id(o) not in gone]

class HandIndex(System):
    """dict attribute -> dict value -> set of records, and a SortedDict per numeric attribute."""
    name = "hand index"

    def build(self, objs):
        from sortedcontainers import SortedDict
        self.all = set(objs)
        self.eq = {a: {} for a in data.ATTRS}
        for o in objs:
            d = o.__dict__
            for a in data.ATTRS:
                v = d.get(a, data.MISSING)
                if v is not data.MISSING:
                    s = self.eq[a].get(v)
                    if s is None:
                        self.eq[a][v] = {o}
                    else:
                        s.add(o)
        self.sorted = {a: SortedDict(self.eq[a]) for a in data.NUMERIC_ATTRS}

    def _eval(self, t) -> set:
        op = t[0]
        if op == "eq":
            return self.eq[t[1]].get(t[2], set())
        if op == "in":
            m = self.eq[t[1]]
            return set().union(*(m[v] for v in t[2] if v in m))
        if op == "bt":
            sd = self.sorted[t[1]]
            return set(itertools.chain.from_iterable(map(sd.__getitem__, sd.irange(t[2], t[3]))))
        if op == "not":
            return self.all - self._eval(t[1])
        if op == "or":
            return set().union(*(self._eval(p) for p in t[1:]))
        pos = sorted((self._eval(p) for p in t[1:] if p[0] != "not"), key=len)
        neg = [self._eval(p[1]) for p in t[1:] if p[0] == "not"]
        out = set.intersection(*pos) if pos else set(self.all)
        for s in neg:
            out = out - s
        return out

    def query(self, tree):
        return lambda: list(self._eval(tree))

    # Counting and the view operations go over the set itself, as its user would: no list.
    def count(self, tree):
        return lambda: len(self._eval(tree))

    def sorted_by(self, tree, attr, limit):
        key = operator.attrgetter(attr)
        return lambda: heapq.nsmallest(limit, self._eval(tree), key=key)

    def value_counts(self, tree, attr):
        get = operator.attrgetter(attr)
        return lambda: dict(collections.Counter(map(get, self._eval(tree))).most_common())

    def rebase(self, tree, records):
        def run():
            new = HandIndex()
            new.build(records)
            return list(new.all)
        return run

    def merge(self, other):
        for a, theirs in other.eq.items():
            mine, sd = self.eq[a], self.sorted.get(a)
            for v, s in theirs.items():
                t = mine.get(v)
                if t is None:
                    mine[v] = t = set(s)
                    if sd is not None:
                        sd[v] = t
                else:
                    t |= s
        self.all |= other.all

    def remove(self, objs):
        for o in objs:
            self.all.discard(o)
            d = o.__dict__
            for a in data.ATTRS:
                v = d.get(a, data.MISSING)
                if v is data.MISSING:
                    continue
                m = self.eq[a]
                s = m[v]
                s.discard(o)
                if not s:
                    del m[v]
                    sd = self.sorted.get(a)
                    if sd is not None:
                        del sd[v]

    def view_rebase(self, second):
        narrow = self.view_narrow(second)

        def run():
            new = HandIndex()
            new.build(narrow())
            return list(new.all)
        return run

    def assign(self, objs, attr, values):
        m = self.eq[attr]
        sd = self.sorted.get(attr)
        for o, v in zip(objs, values):
            old = o.__dict__.get(attr, data.MISSING)
            if old is not data.MISSING:
                s = m[old]
                s.discard(o)
                if not s:
                    del m[old]
                    if sd is not None:
                        del sd[old]
            setattr(o, attr, v)
            s = m.get(v)
            if s is None:
                s = m[v] = {o}
                if sd is not None:
                    sd[v] = s
            else:
                s.add(o)


class Sqlite(System):
    """sqlite3 in memory, one index per attribute; a record's _rid is its row id, and a list by
    row id maps rows back to the records."""
    name = "sqlite3"
    exact_order = True     # its ORDER BY names the row id as the last key
    DELETE_BATCH = 900     # ids bound in one DELETE: under the 999 variables of older sqlite

    def build(self, objs):
        self.objs = self._by_rid(objs, objs)
        self.db = sqlite3.connect(":memory:", check_same_thread=False)
        self._load("t", objs)

    @staticmethod
    def _by_rid(objs, every):
        """The list of objs by row id, sized for every record of `every`."""
        if len(objs) == len(every) and list(map(_RID, objs)) == list(range(len(objs))):
            return objs
        out = [None] * (max((o._rid for o in every), default=-1) + 1)
        for o in objs:
            out[o._rid] = o
        return out

    def _load(self, table, objs):
        db = self.db
        db.execute(f"CREATE TABLE {table} (rid INTEGER PRIMARY KEY, " + ", ".join(data.ATTRS) + ")")
        getters = [lambda o, a=a: o.__dict__.get(a) for a in data.ATTRS]
        db.executemany(f"INSERT INTO {table} VALUES (?{', ?' * len(data.ATTRS)})",
                       ((o._rid, *(g(o) for g in getters)) for o in objs))
        for a in data.ATTRS:
            db.execute(f"CREATE INDEX {table}_{a} ON {table} ({a})")
        db.commit()

    @staticmethod
    def _sql(t, params):
        op = t[0]
        if op == "eq":
            params.append(t[2])
            return f"{t[1]} = ?"
        if op == "in":
            params.extend(t[2])
            return f"{t[1]} IN ({', '.join('?' * len(t[2]))})"
        if op == "bt":
            params.extend(t[2:4])
            return f"{t[1]} BETWEEN ? AND ?"
        if op == "not":  # a missing (NULL) value does not match, so NOT takes it
            return f"({Sqlite._sql(t[1], params)}) IS NOT 1"
        joiner = " AND " if op == "and" else " OR "
        return "(" + joiner.join(Sqlite._sql(p, params) for p in t[1:]) + ")"

    def query(self, tree):
        params: list = []
        sql = "SELECT rid FROM t WHERE " + self._sql(tree, params)
        objs, db = self.objs, self.db
        return lambda: [objs[r] for (r,) in db.execute(sql, params)]

    def count(self, tree):
        params: list = []
        sql = "SELECT COUNT(*) FROM t WHERE " + self._sql(tree, params)
        db = self.db
        return lambda: db.execute(sql, params).fetchone()[0]

    def sorted_by(self, tree, attr, limit):
        params: list = []
        sql = (f"SELECT rid FROM t WHERE {self._sql(tree, params)} "
               f"ORDER BY {attr}, rid LIMIT {int(limit)}")
        objs, db = self.objs, self.db
        return lambda: [objs[r] for (r,) in db.execute(sql, params)]

    def value_counts(self, tree, attr):
        params: list = []
        sql = (f"SELECT {attr}, COUNT(*) FROM t WHERE {self._sql(tree, params)} "
               f"GROUP BY {attr} ORDER BY COUNT(*) DESC, MIN(rid)")
        db = self.db
        return lambda: dict(db.execute(sql, params).fetchall())

    def _copy_where(self, where, params):
        """A call that copies the matching rows into a new indexed table and returns its records;
        the WHERE runs inside it: sqlite has no other way to hold the view."""
        def run():
            self.db.execute("DROP TABLE IF EXISTS v")
            self.db.execute("CREATE TABLE v AS SELECT * FROM t WHERE " + where, params)
            for a in data.ATTRS:
                self.db.execute(f"CREATE INDEX v_{a} ON v ({a})")
            return [self.objs[r] for (r,) in self.db.execute("SELECT rid FROM v")]
        return run

    def view_rebase(self, second):
        params: list = []
        return self._copy_where(self._sql(kw_tree(VIEW_FIRST, second), params), params)

    def rebase(self, tree, records):
        params: list = []
        return self._copy_where(self._sql(tree, params), params)

    @classmethod
    def pair(cls, a, b):
        """The other index is a second indexed table in the same database, for INSERT ... SELECT."""
        x = cls()
        x.objs = cls._by_rid(a, a + b)
        x.db = sqlite3.connect(":memory:", check_same_thread=False)
        x._load("t", a)
        x._load("u", b)
        y = cls()
        y.db, y.table, y.records = x.db, "u", b
        return x, y

    def merge(self, other):
        self.db.execute(f"INSERT INTO t SELECT * FROM {other.table}")
        self.db.commit()
        objs = self.objs
        for o in other.records:
            objs[o._rid] = o

    def remove(self, objs):
        db, rids = self.db, [o._rid for o in objs]
        for i in range(0, len(rids), self.DELETE_BATCH):
            chunk = rids[i:i + self.DELETE_BATCH]
            db.execute(f"DELETE FROM t WHERE rid IN ({', '.join('?' * len(chunk))})", chunk)
        db.commit()

    def assign(self, objs, attr, values):
        sql = f"UPDATE t SET {attr} = ? WHERE rid = ?"
        db = self.db
        for o, v in zip(objs, values):
            setattr(o, attr, v)
            db.execute(sql, (v, o._rid))
        db.commit()


class Ducks(System):
    """The ducks package; its queries are ANDs over attributes, so OR and NOT of ORs are unions."""
    name = "ducks Dex"
    frozen = False
    one_by_one = True

    def build(self, objs):
        import ducks
        self.objs = objs
        cls = ducks.FrozenDex if self.frozen else ducks.Dex
        self.dex = cls(objs, list(data.ATTRS))

    def _and_query(self, parts):
        """The ducks query of an AND of leaves and NOTs of leaves, or None if it has none."""
        q: dict = {}
        for p in parts:
            neg = p[0] == "not"
            leaf = p[1] if neg else p
            if leaf[0] not in ("eq", "in", "bt"):
                return None
            e = q.setdefault(leaf[1], {})
            if leaf[0] == "eq":
                key = "!=" if neg else "=="
            elif leaf[0] == "in":
                key = "not in" if neg else "in"
            elif neg:
                return None
            else:
                e[">="], e["<="] = leaf[2], leaf[3]
                continue
            if key in e:
                return None
            e[key] = leaf[2]
        return q

    def query(self, tree):
        op = tree[0]
        parts = tree[1:] if op == "and" else (tree,)
        q = self._and_query(parts) if op != "or" else None
        if q is not None:  # its '!=' also takes the records that lack the attribute, as NOT does
            dex = self.dex
            return lambda: dex[q]
        if op == "or":
            subs = [self.query(p) for p in tree[1:]]
            return lambda: list(set().union(*(f() for f in subs)))
        raise ValueError(f"no ducks form for {tree!r}")

    def view_rebase(self, second):
        import ducks
        narrow = self.view_narrow(second)
        cls = ducks.FrozenDex if self.frozen else ducks.Dex

        def run():
            new = cls(narrow(), list(data.ATTRS))
            return new[{}]
        return run

    def rebase(self, tree, records):
        import ducks
        cls = ducks.FrozenDex if self.frozen else ducks.Dex
        return lambda: cls(records, list(data.ATTRS))[{}]

    def assign(self, objs, attr, values):
        dex = self.dex
        for o, v in zip(objs, values):
            setattr(o, attr, v)
            dex.update(o)

    def merge(self, other):
        add = self.dex.add
        for o in other.objs:
            add(o)

    def remove(self, objs):
        remove = self.dex.remove
        for o in objs:
            remove(o)


class DucksFrozen(Ducks):
    name = "ducks FrozenDex"
    frozen = True
    assign = None          # immutable: it is rebuilt, not updated

    merge = None           # immutable: a user builds a new one
    remove = None


class Pandas(System):
    """A DataFrame with the attributes as columns and the records in an object column."""
    name = "pandas"

    def build(self, objs):
        import numpy as np
        import pandas as pd
        cols = {a: [o.__dict__.get(a) for o in objs] for a in data.ATTRS}
        df = pd.DataFrame(cols)
        df["colour"] = df["colour"].astype("category")
        arr = np.empty(len(objs), dtype=object)
        arr[:] = objs
        df["obj"] = arr
        self._take(df)

    def _take(self, df):
        self.df = df
        self.cols = {a: df[a] for a in data.ATTRS}
        self.arr = df["obj"].to_numpy()

    def _mask(self, t, cols):
        op = t[0]
        if op == "eq":
            return cols[t[1]] == t[2]
        if op == "in":
            return cols[t[1]].isin(t[2])
        if op == "bt":
            return cols[t[1]].between(t[2], t[3])
        if op == "not":
            return ~self._mask(t[1], cols)
        parts = [self._mask(p, cols) for p in t[1:]]
        out = parts[0]
        for p in parts[1:]:
            out = (out & p) if op == "and" else (out | p)
        return out

    def query(self, tree):
        return lambda: self.arr[self._mask(tree, self.cols).to_numpy()].tolist()

    def count(self, tree):
        return lambda: int(self._mask(tree, self.cols).sum())

    def sorted_by(self, tree, attr, limit):
        # keep="first" keeps tied rows in position order, which is id order
        return lambda: self.df[self._mask(tree, self.cols)].nsmallest(limit, attr)["obj"].tolist()

    def value_counts(self, tree, attr):
        def run():
            vc = self.df[self._mask(tree, self.cols)][attr].value_counts()
            return vc[vc > 0].to_dict()  # a category column also counts the absent categories
        return run

    def rebase(self, tree, records):
        mask = self._mask(tree, self.cols)
        return lambda: self.df[mask].copy()["obj"].tolist()

    def merge(self, other):
        import pandas as pd
        self._take(pd.concat([self.df, other.df], ignore_index=True))

    def remove(self, objs):
        # rows are labelled by position, which is the record's _rid in the frame of all records
        self._take(self.df.drop(index=[o._rid for o in objs]))

    def view_narrow(self, second):
        first = ("eq", *VIEW_FIRST)
        second_t = kw_tree(second)

        def run():
            sub = self.df[self._mask(first, self.cols)]
            return sub["obj"][self._mask(second_t, sub)].tolist()
        return run

    def view_rebase(self, second):
        first = ("eq", *VIEW_FIRST)
        second_t = kw_tree(second)

        def run():
            sub = self.df[self._mask(first, self.cols)]
            new = sub[self._mask(second_t, sub)].copy()
            return new["obj"].tolist()
        return run

    def assign(self, objs, attr, values):
        col = self.df.columns.get_loc(attr)
        iat = self.df.iat
        for o, v in zip(objs, values):
            setattr(o, attr, v)
            iat[o._rid, col] = v
        self.cols = {a: self.df[a] for a in data.ATTRS}


class VostrelIndex(System):
    name = "Vostrel"
    vostrel = True
    exact_order = True

    def build(self, objs):
        import Vostrel
        self.idx = Vostrel.Index()
        self.idx.add_object_many(objs)

    @staticmethod
    def _expr(t):
        from Vostrel import PyQueryExpr as Q
        op = t[0]
        if op == "eq":
            return Q.eq(t[1], t[2])
        if op == "in":
            return Q.in_(t[1], t[2])
        if op == "bt":
            return Q.bt(t[1], t[2], t[3])
        if op == "not":
            return Q.not_(VostrelIndex._expr(t[1]))
        parts = [VostrelIndex._expr(p) for p in t[1:]]
        return Q.and_(*parts) if op == "and" else Q.or_(*parts)

    def query(self, tree):
        idx = self.idx
        kw = keywords(tree)
        if kw is not None and hasattr(idx, "get_by_attribute"):
            return lambda: idx.get_by_attribute(**kw)
        expr = self._expr(tree)
        return lambda: idx.reduced_query(expr).collect()

    def evaluate(self, tree):
        """The query as a view: evaluation alone, with the GIL released, and no result list."""
        idx, expr = self.idx, self._expr(tree)
        return lambda: idx.reduced_query(expr)

    def view(self, tree):
        """A call that makes the view of tree: by keywords where it is an equality, else by
        expression."""
        idx, kw = self.idx, keywords(tree)
        if kw is not None:
            return lambda: idx.reduced(**kw)
        expr = self._expr(tree)
        return lambda: idx.reduced_query(expr)

    def _view_method(self, name: str):
        """The named method of the view type, or Unavailable when the module lacks it."""
        cls = type(self.idx.reduced())
        if not hasattr(cls, name):
            raise Unavailable(f"{cls.__name__}.{name}")
        return getattr(cls, name)

    def count(self, tree):
        self._view_method("__len__")
        view = self.view(tree)
        return lambda: len(view())

    def count_by_collect(self, tree):
        """The count by building the view's list, beside len(view)."""
        view = self.view(tree)
        return lambda: len(view().collect())

    def sorted_by(self, tree, attr, limit):
        self._view_method("sorted_by")
        view = self.view(tree)
        return lambda: view().sorted_by(attr, limit=limit)

    def value_counts(self, tree, attr):
        self._view_method("value_counts")
        view = self.view(tree)
        return lambda: view().value_counts(attr)

    def rebase(self, tree, records):
        view = self.view(tree)()
        return lambda: view.rebase().collect()

    def merge(self, other):
        self.idx.union_with(other.idx)

    def remove(self, objs):
        if not hasattr(self.idx, "remove_object_many"):
            raise Unavailable("Index.remove_object_many")
        self.idx.remove_object_many(objs)

    def view_narrow(self, second):
        idx, (a1, v1), (a2, v2) = self.idx, VIEW_FIRST, second
        return lambda: idx.reduced(**{a1: v1}).reduced(**{a2: v2}).collect()

    def view_rebase(self, second):
        idx, (a1, v1), (a2, v2) = self.idx, VIEW_FIRST, second
        return lambda: idx.reduced(**{a1: v1}).reduced(**{a2: v2}).rebase().collect()

    def assign(self, objs, attr, values):
        for o, v in zip(objs, values):
            setattr(o, attr, v)


ALL = (Scan, HandIndex, Sqlite, Ducks, DucksFrozen, Pandas, VostrelIndex)
