"""Runs the benchmark: builds every system over the same seeded records, checks that each returns
the same records for every workload, times it beside the floors and writes the results.
Usage: python -m bench.run [--n N ...] [--smoke] [--systems NAME ...] [--out DIR]"""
from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import statistics
import sys
import threading
import time

from . import data, floors, memory, report, systems
from .workloads import MIX, QUERIES, REBASE_SECOND, VIEW_SECOND

SEED = 20261208
ASSIGNMENTS = 100_000
SLOW_RUN_S = 1.0           # a call slower than this is timed fewer times
FAST_SAMPLE_S = 0.005      # a call faster than this is timed in loops of calls lasting about this long
FAST_REPEATS = 9           # loops timed for a fast call
MAX_LOOP = 2000            # calls in one loop at most
ASSIGN_CHUNK = 5_000       # assignments timed first, to tell whether the rest may be timed
ASSIGN_BUDGET_S = 20.0     # a system predicted slower than this is timed on the first chunk only
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def median_time(f, repeats: int) -> float:
    """Median seconds of one f() call; the collector is kept out of the timed calls, as timeit
    does. A call faster than FAST_SAMPLE_S is timed in loops of calls that last about that long,
    as timeit does too, and over at least FAST_REPEATS loops: single calls of a few microseconds
    are at the mercy of the clock and of whatever else the machine does."""
    times = []
    inner = 1
    while len(times) < repeats:
        gc.collect()
        gc.disable()
        try:
            t = time.perf_counter()
            for _ in range(inner):
                f()
            times.append((time.perf_counter() - t) / inner)
        finally:
            gc.enable()
        if inner == 1 and len(times) == 1:
            if times[0] > SLOW_RUN_S:
                repeats = min(repeats, 3)
            elif times[0] < FAST_SAMPLE_S:
                inner = min(MAX_LOOP, int(FAST_SAMPLE_S / max(times[0], 1e-9)) + 1)
                repeats = max(repeats, FAST_REPEATS)
                times.clear()  # the first call only found the loop size
    return statistics.median(times)


def rids(objs) -> list[int]:
    return sorted(o._rid for o in objs)


def time_assign(s, objs: list, values: list, attr: str) -> tuple[float, bool]:
    """Seconds for all the assignments; a slow system is timed on the first chunk and scaled up
    (its index then lags its records, so it is left out of the checks that follow)."""
    c = min(ASSIGN_CHUNK, len(objs))
    gc.collect()
    t = time.perf_counter()
    s.assign(objs[:c], attr, values[:c])
    first = time.perf_counter() - t
    if first * len(objs) / c > ASSIGN_BUDGET_S:
        return first * len(objs) / c, True
    gc.collect()
    t = time.perf_counter()
    s.assign(objs[c:], attr, values[c:])
    return first + time.perf_counter() - t, False


def throughput(calls: list, threads: int, seconds: float) -> float:
    """Queries per second of `threads` threads each cycling through calls until the time is up."""
    done = [0] * threads
    barrier = threading.Barrier(threads + 1)
    stop = [0.0]

    def worker(k: int):
        barrier.wait()
        i = 0
        while time.perf_counter() < stop[0]:
            calls[i % len(calls)]()
            i += 1
        done[k] = i

    ts = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in ts:
        t.start()
    start = time.perf_counter()
    stop[0] = start + seconds
    barrier.wait()
    for t in ts:
        t.join()
    return sum(done) / (time.perf_counter() - start)


def machine() -> dict:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform(), **roaring_info()}


def roaring_info() -> dict:
    """The CRoaring the module was built against and whether that build has a SIMD path."""
    version, simd = "unknown", "unknown"
    for h in ("/usr/include/roaring/roaring_version.h", "/usr/include/roaring/roaring.h"):
        try:
            with open(h) as f:
                for line in f:
                    if line.startswith("#define ROARING_VERSION ") or "ROARING_VERSION =" in line:
                        version = line.split("=")[-1].split()[-1].strip(' ",;')
                        break
        except OSError:
            continue
        if version != "unknown":
            break
    try:
        import Vostrel
        import subprocess
        libs = subprocess.run(["ldd", Vostrel.__file__], capture_output=True, text=True).stdout
        lib = next((l.split("=>")[1].split()[0] for l in libs.splitlines() if "libroaring" in l), None)
        if lib:
            dis = subprocess.run(["objdump", "-d", "--no-show-raw-insn", lib],
                                 capture_output=True, text=True).stdout
            simd = "AVX2" if "%ymm" in dis else ("SSE4.2/SSE" if "pcmpistri" in dis else "scalar")
            simd += f" ({os.path.basename(lib)})"
    except Exception:  # the figure is informative only
        pass
    return {"croaring": version, "croaring_simd": simd}


def peer_versions() -> dict:
    from importlib import metadata
    import sqlite3
    out = {"sqlite3": sqlite3.sqlite_version}
    for p in ("sortedcontainers", "pandas", "numpy", "ducks", "Vostrel"):
        try:
            out[p] = metadata.version(p)
        except metadata.PackageNotFoundError:
            out[p] = None
    return out


def run_n(n: int, repeats: int, mix_seconds: float, with_memory: bool, log,
          which: tuple = systems.ALL) -> dict:
    res: dict = {"n": n, "queries": {}, "build": {}, "assign": {}, "throughput": {},
                 "memory": {}, "unavailable": {}, "mismatches": []}
    cols = data.make_columns(n, SEED)
    plain = data.make_plain(cols)
    rec = data.vostrel_class()
    vobjs = data.make_vostrel(cols, rec) if rec is not None else None
    if rec is None:
        res["unavailable"]["Vostrel"] = "the Vostrel module is not importable"
    take = floors.load_take(os.path.join(ROOT, "build", "bench"))
    res["floor_kind"] = "C helper" if take is not None else "comprehension over an array"

    live = []
    for cls in which:
        if cls.vostrel and vobjs is None:
            continue
        s = cls()
        objs = vobjs if cls.vostrel else plain
        try:
            res["build"][s.name] = median_time(lambda: s.build(objs), 1 if n > 200_000 else repeats)
        except Exception as e:  # a peer that cannot run here is reported, the others go on
            res["unavailable"][s.name] = f"{type(e).__name__}: {e}"
            continue
        log(f"  build {s.name}: {res['build'][s.name]:.3f}s")
        s.objs_used = objs
        live.append(s)

    # the records and indexes live to the end: later collections need not walk them again
    gc.collect()
    gc.freeze()
    ref_sys = live[0]
    floor_objs = vobjs if vobjs is not None else plain
    workloads = {name: (lambda s, t=t: s.query(t)) for name, t in QUERIES.items()}
    workloads["view_narrow"] = lambda s: s.view_narrow(VIEW_SECOND)
    workloads["view_rebase"] = lambda s: s.view_rebase(REBASE_SECOND)
    calls: dict = {}
    for w, make in workloads.items():
        expected = None
        row = res["queries"][w] = {"times": {}, "missing": {}}
        for s in live:
            try:
                f = make(s)
                got = rids(f())
            except Exception as e:
                row["missing"][s.name] = f"{type(e).__name__}: {e}"
                continue
            if expected is None:
                expected = got
            elif got != expected:
                res["mismatches"].append(f"{w}: {s.name} returned {len(got)} records, "
                                         f"{ref_sys.name} {len(expected)}")
                continue
            row["times"][s.name] = median_time(f, repeats)
            calls.setdefault(s.name, {})[w] = f
        row["k"] = len(expected or [])
        if expected is not None:
            row["floor"] = median_time(floors.list_floor(take, floor_objs, expected), repeats)
        log(f"  {w} (k={row['k']}): " + ", ".join(f"{k} {v * 1e3:.2f}ms" for k, v in row["times"].items()))

    for s in live:
        mix = [calls.get(s.name, {}).get(w) for w in MIX]
        if all(mix):
            one = throughput(mix, 1, mix_seconds)
            two = throughput(mix, 2, mix_seconds)
            res["throughput"][s.name] = {"1": one, "2": two}
        if hasattr(s, "evaluate"):
            # The same queries as views: evaluation runs with the GIL released, while building
            # a result list needs it, so this mix shows how far evaluation alone scales.
            views = [s.evaluate(QUERIES[w]) for w in MIX]
            res["throughput_views"] = {"1": throughput(views, 1, mix_seconds),
                                       "2": throughput(views, 2, mix_seconds)}

    rng = random.Random(SEED + 1)
    k = min(ASSIGNMENTS, n)
    picks = rng.sample(range(n), k)
    new_values = {"num": [rng.randrange(data.NUM_RANGE) for _ in picks],
                  "colour": [rng.choice(data.COLOURS) for _ in picks]}
    stale: set = set()
    for attr, values in new_values.items():
        row = res["assign"][attr] = {"times": {}}
        # the hand index reads each record's old value, so it goes first
        for s in sorted(live, key=lambda s: s.name != "hand index"):
            if s.assign is None:
                continue
            chosen = [s.objs_used[i] for i in picks]
            t, extrapolated = time_assign(s, chosen, values, attr)
            row["times"][s.name] = t
            if extrapolated:
                row.setdefault("extrapolated", []).append(s.name)
                stale.add(s.name)
        chosen = [plain[i] for i in picks]
        row["floor"] = median_time(lambda: floors.setattr_floor(chosen, attr, values), repeats)
        log(f"  assign {attr}: " + ", ".join(f"{k} {v * 1e3:.1f}ms" for k, v in row["times"].items()))
    for w in ("rare_eq", "common_eq"):  # the indexes still agree after the assignments
        expected = None
        for s in live:
            if s.assign is None or s.name in stale:
                continue
            try:
                got = rids(s.query(QUERIES[w])())
            except AttributeError:  # a system without query methods yet
                continue
            expected = got if expected is None else expected
            if got != expected:
                res["mismatches"].append(f"{w} after assignment: {s.name} differs")

    del live, calls
    gc.unfreeze()
    gc.collect()
    if with_memory:
        for cls in which:
            if cls.name in res["unavailable"] or (cls.vostrel and vobjs is None):
                continue
            res["memory"][cls.name] = memory.in_subprocess(cls.name, n, SEED)
            log(f"  memory {cls.name}: {res['memory'][cls.name]}")
    return res


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n", type=int, nargs="+", default=[100_000, 1_000_000])
    ap.add_argument("--smoke", action="store_true", help="N=2000, one repeat, no memory: seconds")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--mix-seconds", type=float, default=2.0)
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--systems", nargs="+", metavar="NAME", choices=[s.name for s in systems.ALL],
                    help="run only these systems (a quick look at one change); default: all")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results"))
    a = ap.parse_args(argv)
    if a.smoke:
        a.n, a.repeats, a.mix_seconds, a.no_memory = [2000], 1, 0.05, True
        if a.out == ap.get_default("out"):
            a.out = os.path.join(ROOT, "build", "bench-smoke")
    if a.systems is not None and a.out == ap.get_default("out"):
        a.out = os.path.join(ROOT, "build", "bench-quick")  # a partial run keeps the full results
    os.makedirs(a.out, exist_ok=True)
    log = lambda m: print(m, flush=True)
    which = tuple(s for s in systems.ALL if a.systems is None or s.name in a.systems)
    results = {"machine": machine(), "versions": peer_versions(), "runs": []}
    for n in a.n:
        log(f"N = {n:,}")
        repeats = a.repeats if n <= 200_000 else min(a.repeats, 3)
        results["runs"].append(run_n(n, repeats, a.mix_seconds, not a.no_memory, log, which))
        with open(os.path.join(a.out, "results.json"), "w") as f:  # a later N may not finish
            json.dump(results, f, indent=1)
        report.write(results, a.out)
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    report.write(results, a.out)
    bad = [m for r in results["runs"] for m in r["mismatches"]]
    for m in bad:
        print("MISMATCH", m, file=sys.stderr)
    print(f"results in {a.out}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
