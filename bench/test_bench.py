"""Checks of the benchmark itself: its data, the agreement of every system with the scan, index
upkeep under assignment, the floor helper and the mismatch report. Runs with the smoke run."""
import collections
import os

import pytest

from bench import data, floors, report, run, systems
from bench.workloads import QUERIES, REBASE_SECOND, VIEW_SECOND

N = 3000


@pytest.fixture(scope="module")
def cols():
    return data.make_columns(N, 7)


def test_columns_have_the_promised_shape(cols):
    assert set(cols["colour"]) == set(data.COLOURS)
    assert set(cols["num"]) <= set(range(data.NUM_RANGE))
    missing = sum(v is data.MISSING for v in cols["tag"]) / N
    assert 0.07 < missing < 0.13
    assert len(set(cols["name"])) == N
    assert all(0.0 <= x < 1.0 for x in cols["score"])
    zipf = collections.Counter(cols["zipf"])
    assert min(zipf) >= 1 and max(zipf) <= data.ZIPF_VALUES
    assert zipf.most_common(1)[0][0] == 1
    assert data.make_columns(50, 7) == data.make_columns(50, 7)
    assert data.make_columns(50, 7) != data.make_columns(50, 8)


def built(cls, cols):
    if cls.vostrel:
        rec = data.vostrel_class()
        if rec is None:
            pytest.skip("Vostrel is not importable")
        objs = data.make_vostrel(cols, rec)
    else:
        objs = data.make_plain(cols)
    s = cls()
    try:
        s.build(objs)
    except ImportError as e:
        pytest.skip(f"{cls.name} is not installed: {e}")
    return s, objs


def answer(s, make):
    try:
        return run.rids(make(s)())
    except AttributeError as e:
        pytest.skip(f"{s.name} lacks a query method: {e}")


WORKLOADS = {**{w: (lambda s, t=t: s.query(t)) for w, t in QUERIES.items()},
             "view_narrow": lambda s: s.view_narrow(VIEW_SECOND),
             "view_rebase": lambda s: s.view_rebase(REBASE_SECOND)}


@pytest.mark.parametrize("cls", systems.ALL[1:], ids=lambda c: c.name)
def test_every_system_returns_the_records_of_the_scan(cls, cols):
    scan, _ = built(systems.Scan, cols)
    s, objs = built(cls, cols)
    for w, make in WORKLOADS.items():
        expected = answer(scan, make)
        assert answer(s, make) == expected, w
        assert all(o is objs[o._rid] for o in make(s)()), w


@pytest.mark.parametrize("cls", [c for c in systems.ALL if c.assign is not None], ids=lambda c: c.name)
@pytest.mark.parametrize("attr", ["num", "colour", "tag"])
def test_assignment_keeps_the_index_current(cls, attr, cols):
    s, objs = built(cls, cols)
    pick = objs[::3]
    values = [data.COLOURS[i % 8] if attr == "colour" else i % 7 for i in range(len(pick))]
    s.assign(pick, attr, values)
    scan = systems.Scan()
    scan.build(objs)
    for tree in [("eq", attr, values[0]), ("eq", attr, values[1]), ("not", ("eq", attr, values[2]))]:
        assert answer(s, lambda x: x.query(tree)) == answer(scan, lambda x: x.query(tree)), tree


def test_floor_helper_takes_the_listed_records(tmp_path):
    take = floors.load_take(str(tmp_path))
    if take is None:
        pytest.skip("no C compiler")
    objs = [object() for _ in range(10)]
    got = floors.list_floor(take, objs, [0, 3, 9])()
    assert got == [objs[0], objs[3], objs[9]]
    with pytest.raises(IndexError):
        floors.list_floor(take, objs, [10])()


class WrongScan(systems.Scan):
    name = "wrong"

    def query(self, tree):
        f = super().query(tree)
        return lambda: f()[1:]


def test_a_system_that_disagrees_is_reported():
    res = run.run_n(500, 1, 0.01, False, lambda m: None, (systems.Scan, WrongScan))
    assert any(m.startswith("common_eq: wrong") for m in res["mismatches"])
    assert "wrong" not in res["queries"]["common_eq"]["times"]
    md = report.markdown({"machine": run.machine(), "versions": {}, "runs": [res]})
    assert "| common_eq |" in md


@pytest.mark.parametrize("times, best", [
    ({"scan": 2.0, "Vostrel": 1.0, "pandas": 3.0}, ("scan", 2.0)),
    ({"Vostrel": 1.0}, (None, None)),
])
def test_best_peer_leaves_vostrel_out(times, best):
    assert report.best_peer(times) == best
