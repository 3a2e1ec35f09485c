"""Checks of the benchmark itself: its data, the agreement of every system with the scan (queries,
view operations, rebase, merge and removal), index upkeep under assignment, the floor helper, the
mismatch and "not available" reports, the memory guard and the CRoaring detection. Runs with the
smoke run."""
import collections

import pytest

from bench import build_info, data, floors, memory, report, run, systems
from bench.workloads import CHECKS, QUERIES, REBASE_SECOND, REBASE_TREE, VIEW_SECOND

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


@pytest.mark.parametrize("cls", systems.ALL[1:], ids=lambda c: c.name)
def test_every_system_answers_the_view_operations_as_the_scan(cls, cols):
    scan, _ = built(systems.Scan, cols)
    s, _ = built(cls, cols)
    for w, (tree, make, loose, strict) in run.op_workloads().items():
        expected = make(scan)()
        try:
            got = make(s)()
        except systems.Unavailable:
            continue  # reported as not available until the module has it
        assert loose(got) == loose(expected), w
        if strict and s.exact_order:
            assert strict(got) == strict(expected), w


def query_all(s) -> dict:
    return {w: run.rids(s.query(QUERIES[w])()) for w in CHECKS}


@pytest.mark.parametrize("cls", systems.ALL[1:], ids=lambda c: c.name)
def test_rebase_merge_and_removal_leave_the_records_of_the_scan(cls, cols):
    scan, plain = built(systems.Scan, cols)
    s, objs = built(cls, cols)
    records = scan.query(REBASE_TREE)()
    try:
        got = s.rebase(REBASE_TREE, [objs[o._rid] for o in records])()
    except systems.Unavailable:
        pass
    else:
        assert run.rids(got) == run.rids(records)
    if s.merge is not None:
        # parts of unequal size, the second interleaved with the first
        first, second = cls.pair([o for o in objs if o._rid % 3], [o for o in objs if not o._rid % 3])
        first.merge(second)
        assert query_all(first) == query_all(scan)
    if s.remove is not None:
        gone = list(range(0, len(objs), 4))
        scan.remove([plain[i] for i in gone])
        try:
            s.remove([objs[i] for i in gone])
        except systems.Unavailable:
            return
        assert query_all(s) == query_all(scan)


@pytest.mark.parametrize("cls", [c for c in systems.ALL if c.assign is not None], ids=lambda c: c.name)
@pytest.mark.parametrize("attr", ["num", "colour", "tag", "score"])
def test_assignment_keeps_the_index_current(cls, attr, cols):
    s, objs = built(cls, cols)
    pick = objs[::3]
    values = [data.COLOURS[i % 8] if attr == "colour" else (i % 7) / (1 if attr != "score" else 8)
              for i in range(len(pick))]
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


class Lacking(systems.HandIndex):
    """A system whose view operations and removal the built module lacks, as Vostrel's may."""
    name = VOSTREL = report.VOSTREL

    def count(self, tree):
        raise systems.Unavailable("FilteredIndex.__len__")

    def remove(self, objs):
        raise systems.Unavailable("Index.remove_object_many")


def test_disagreement_and_missing_operations_are_reported():
    res = run.run_n(500, 1, 0.01, False, lambda m: None, (systems.Scan, WrongScan, Lacking))
    assert any(m.startswith("common_eq: wrong") for m in res["mismatches"])
    assert any(m.startswith("count_12: wrong") for m in res["mismatches"])
    assert not any("Vostrel" in m for m in res["mismatches"])
    assert "wrong" not in res["queries"]["common_eq"]["times"]
    assert res["writes"]["union"]["times"].keys() == {"Vostrel"}  # the scans only give answers
    results = {"machine": run.machine(), "versions": {}, "runs": [res]}
    md, summary = report.markdown(results), report.summary(results)
    assert "| common_eq |" in md and "| sorted_by |" in md and "| union |" in md
    assert "not available in the built module: Vostrel: FilteredIndex.__len__" in md
    assert "| count_12 | " in summary and "| not available |" in summary
    assert "| remove | 50 |" in summary


@pytest.mark.parametrize("times, best", [
    ({"scan": 2.0, "Vostrel": 1.0, "pandas": 3.0}, ("scan", 2.0)),
    ({"Vostrel": 1.0}, (None, None)),
])
def test_best_peer_leaves_vostrel_out(times, best):
    assert report.best_peer(times) == best


def test_memory_is_not_measured_where_it_would_not_fit():
    got = memory.in_subprocess("hand index", 1000, 7, estimate=1e15)
    assert got["skipped"].startswith("needs about")
    md = report.memory_big_tables({"n": 1000, "bytes": {}, "skipped": {"hand index": got["skipped"]}})
    assert "Not measured: hand index (needs about" in "\n".join(md)


@pytest.mark.parametrize("text, version", [
    ('#define ROARING_VERSION = 0.2.66,  \n', "0.2.66"),     # Debian's 0.2.x header
    ('#define ROARING_VERSION "4.6.1"\n', "4.6.1"),          # 4.x and its amalgamation
    ('set(PACKAGE_VERSION "1.3.0")\n', "1.3.0"),             # a CMake package version file
    ('#define ROARING_VERSION_MAJOR 4\n', None),
])
def test_croaring_version_is_read_from_headers(tmp_path, text, version):
    (tmp_path / "h").write_text(text)
    assert build_info.version_in_header(str(tmp_path / "h")) == version


@pytest.mark.parametrize("path, version", [
    ("/usr/lib/x86_64-linux-gnu/libroaring.so.0.2.66", "0.2.66"),
    ("/site-packages/Vostrel.libs/libroaring-1a2b3c4d.so.4.6.1", "4.6.1"),
    ("/usr/lib/libroaring.so.0", None),
])
def test_croaring_version_is_read_from_library_names(path, version):
    assert build_info.version_of_library(path) == version


@pytest.mark.parametrize("paths, flags, taken", [
    (["AVX-512", "AVX2"], set(build_info.AVX512_FLAGS) | set(build_info.AVX2_FLAGS), "AVX-512"),
    (["AVX-512", "AVX2"], {"avx2", "bmi2", "avx512f"}, "AVX2"),
    (["AVX2"], {"avx2"}, "scalar"),
    ([], {"avx2", "bmi2"}, "scalar"),
])
def test_the_simd_path_follows_the_code_and_the_cpu(paths, flags, taken):
    assert build_info.simd_taken(paths, flags) == taken


@pytest.mark.parametrize("seconds_per_item, first_pause, timed", [
    (0.0, 0.0, 1000),
    (0.002, 0.0, 2 * run.FIRST_CHUNK + run.FIRST_CHUNK),  # stops once its chunks predict anything
    (0.0, 0.01, 1000),  # one pause of the machine in the first chunk is not a slow system
])
def test_slow_work_is_timed_on_its_first_chunks_then_scaled_up(monkeypatch, seconds_per_item, first_pause, timed):
    import time
    monkeypatch.setattr(run, "ASSIGN_BUDGET_S", 0.5)
    monkeypatch.setattr(run, "PREDICT_AFTER_S", 0.05)
    done = []

    def work(lo, hi):
        assert lo == len(done)  # chunks follow each other without gaps or overlaps
        done.extend(range(lo, hi))
        time.sleep(seconds_per_item * (hi - lo) + (first_pause if lo == 0 else 0))
    t, got = run.time_in_chunks(work, 1000)
    assert got == timed == len(done)
    assert t >= seconds_per_item * 1000
