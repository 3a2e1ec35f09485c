"""The systems compared: Vostrel and what a Python user would pick instead. Each builds its index
over a list of records, turns a workload tree into a call that returns a list of the records, and
assigns attributes the way its users would keep the index current."""
from __future__ import annotations

import itertools
import sqlite3

from . import data
from .workloads import VIEW_FIRST, kw_tree, keywords


class System:
    name = "?"
    vostrel = False        # runs over the Vostrel records instead of the plain ones

    def build(self, objs: list) -> None:
        raise NotImplementedError

    def query(self, tree: tuple):
        raise NotImplementedError

    def view_narrow(self, second: tuple):
        return self.query(kw_tree(VIEW_FIRST, second))

    def view_rebase(self, second: tuple):
        """A call that narrows, builds a new index of the result and returns that index's records."""
        return self.view_narrow(second)

    def assign(self, objs: list, attr: str, values: list) -> None:
        raise NotImplementedError


def _is_num(v) -> bool:
    return type(v) in (int, float)


class Scan(System):
    name = "scan"
    assign = None          # a plain setattr loop: the floor itself

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
    """sqlite3 in memory, one index per attribute; row ids map back to the records."""
    name = "sqlite3"

    def build(self, objs):
        self.objs = objs
        self.db = db = sqlite3.connect(":memory:", check_same_thread=False)
        db.execute("CREATE TABLE t (rid INTEGER PRIMARY KEY, " + ", ".join(data.ATTRS) + ")")
        getters = [lambda o, a=a: o.__dict__.get(a) for a in data.ATTRS]
        db.executemany(f"INSERT INTO t VALUES (?{', ?' * len(data.ATTRS)})",
                       ((i, *(g(o) for g in getters)) for i, o in enumerate(objs)))
        for a in data.ATTRS:
            db.execute(f"CREATE INDEX t_{a} ON t ({a})")
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

    def view_rebase(self, second):
        params: list = []
        where = self._sql(kw_tree(VIEW_FIRST, second), params)

        def run():
            self.db.execute("DROP TABLE IF EXISTS v")
            self.db.execute("CREATE TABLE v AS SELECT * FROM t WHERE " + where, params)
            for a in data.ATTRS:
                self.db.execute(f"CREATE INDEX v_{a} ON v ({a})")
            return [self.objs[r] for (r,) in self.db.execute("SELECT rid FROM v")]
        return run

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

    def assign(self, objs, attr, values):
        dex = self.dex
        for o, v in zip(objs, values):
            setattr(o, attr, v)
            dex.update(o)


class DucksFrozen(Ducks):
    name = "ducks FrozenDex"
    frozen = True
    assign = None          # immutable: it is rebuilt, not updated


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
        self.df = df
        self.cols = {a: df[a] for a in data.ATTRS}
        self.arr = arr

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
