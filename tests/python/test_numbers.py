"""Numbers of every kind Python orders are ordered: int and float subclasses (bool, IntEnum,
NumPy's float64), objects with __index__ (NumPy's integers), within 64 bits. Checked beside a scan."""
import enum
import importlib.util
import os
import random
import subprocess
import sys

import pytest

from model import as_number
from Vostrel import Index, Indexable, PyQueryExpr as Q


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 7


class Index_:  # an object with __index__, like NumPy's integers
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __hash__(self):
        return hash(self.n)


def kinds(with_numpy):
    made = [lambda r: r.randint(-9, 9), lambda r: r.uniform(-9, 9), lambda r: r.random() < 0.5,
            lambda r: Level.LOW if r.random() < 0.5 else Level.HIGH, lambda r: Index_(r.randint(-9, 9))]
    if not with_numpy:
        return made
    import numpy as np
    return made + [lambda r: np.float64(r.uniform(-9, 9)), lambda r: np.int64(r.randint(-9, 9)),
                   lambda r: np.int32(r.randint(-9, 9)), lambda r: np.uint8(r.randint(0, 9)),
                   lambda r: np.bool_(r.random() < 0.5)]


def scan(objs, test):
    return [o for o in objs if as_number(o.v) is not None and test(as_number(o.v))]


def check_numbers_against_a_scan(with_numpy):
    rng = random.Random(7)
    makers = kinds(with_numpy)
    objs = [Indexable(v=makers[i % len(makers)](rng)) for i in range(300)]
    index = Index()
    index.add_object_many(objs)
    for maker in makers:
        bound = maker(rng)
        b = as_number(bound)
        if b is None:  # a kind that is not ordered (NumPy's bool has no __index__): matches by equality only
            assert index.reduced_query(Q.gt("v", bound)).collect() == []
            continue
        for op, test in [("gt", lambda x: x > b), ("ge", lambda x: x >= b), ("lt", lambda x: x < b),
                         ("le", lambda x: x <= b)]:
            assert index.reduced_query(getattr(Q, op)("v", bound)).collect() == scan(objs, test), (op, bound)
        assert index.reduced_query(Q.bt("v", bound, 9)).collect() == scan(objs, lambda x: b <= x <= 9)
    numbers = Index()
    numbers.add_object_many(o for o in objs if as_number(o.v) is not None)
    assert [as_number(o.v) for o in numbers.sorted_by("v")] == sorted(as_number(o.v) for o in numbers)


def test_numbers_of_every_kind_against_a_scan():
    check_numbers_against_a_scan(with_numpy=False)


def test_numpy_numbers_against_a_scan():
    if importlib.util.find_spec("numpy") is None:  # not imported here: see below
        pytest.skip("NumPy is not installed")
    # In a child: NumPy keeps some objects of its own until the process ends, which a leak checker
    # watching this process would report.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    done = subprocess.run([sys.executable, "-c", "import test_numbers; test_numbers.check_numbers_against_a_scan(True)"],
                          cwd=os.path.dirname(os.path.abspath(__file__)), env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]


def test_big_and_broken_numbers_match_by_equality_only():
    class Big(int):
        pass

    class BrokenIndex(Index_):
        def __index__(self):
            raise ValueError("no")

    big, broken = Indexable(v=Big(2**70)), Indexable(v=BrokenIndex(3))
    index = Index()
    index.add_object_many([big, broken])
    assert index.reduced_query(Q.gt("v", 0)).collect() == []
    assert index.get_by_attribute(v=Big(2**70)) == [big] and index.get_by_attribute(v=3) == [broken]
