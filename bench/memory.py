"""Memory per record of one system, measured in a fresh process: the growth of the resident set
from building the records and the index over value columns that exist beforehand.
Run as: python -m bench.memory SYSTEM N SEED [ESTIMATE] (prints bytes per record). With ESTIMATE,
bytes per record expected from a smaller run, a process that would not fit in the memory available
prints {"skipped": reason} instead of building."""
from __future__ import annotations

import gc
import json
import os
import subprocess
import sys

from . import data, systems

GIB = 1 << 30
HEADROOM = 1.15           # per-record cost grows a little with N (larger tables, deeper trees)
ESTIMATE_N = 100_000       # the size measured for an estimate when the run gives none
BIG_SYSTEMS = ("hand index", "Vostrel")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def available() -> int:
    """Bytes the kernel reckons can be allocated without swapping (MemAvailable)."""
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def measure(name: str, n: int, seed: int, estimate: float | None = None):
    cls = {s.name: s for s in systems.ALL}[name]
    cols = data.make_columns(n, seed)
    if estimate is not None:
        need, free = estimate * n * HEADROOM, available()
        if need > free:
            return {"skipped": f"needs about {need / GIB:.1f} GiB beside its value columns, "
                               f"{free / GIB:.1f} GiB available"}
    rec = data.vostrel_class() if cls.vostrel else None
    gc.collect()
    before = rss()
    objs = data.make_vostrel(cols, rec) if cls.vostrel else data.make_plain(cols)
    system = cls()
    system.build(objs)
    gc.collect()
    return (rss() - before) / n


def in_subprocess(name: str, n: int, seed: int, estimate: float | None = None):
    """Bytes per record; {"skipped": reason} when an estimate says it would not fit; None when the
    process failed (its error output is passed on)."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    args = [sys.executable, "-m", "bench.memory", name, str(n), str(seed)]
    if estimate is not None:
        args.append(repr(float(estimate)))
    p = subprocess.run(args, cwd=root, capture_output=True, text=True)
    if p.returncode != 0:
        sys.stderr.write(p.stderr[-2000:])
        return None
    return json.loads(p.stdout)


def big(n: int, seed: int, estimates: dict, names=BIG_SYSTEMS, log=print) -> dict:
    """Bytes per record at a large n for each named system, one process each; a system whose
    estimate (bytes per record measured at a smaller n) says it would not fit is skipped."""
    out: dict = {"n": n, "bytes": {}, "skipped": {}}
    for name in names:
        est = estimates.get(name)
        if est is None:
            est = in_subprocess(name, min(ESTIMATE_N, n), seed)
        if not isinstance(est, float):
            out["skipped"][name] = "no estimate: the smaller measurement failed"
            continue
        got = in_subprocess(name, n, seed, est)
        if isinstance(got, dict):
            out["skipped"][name] = got["skipped"]
        elif got is None:
            out["skipped"][name] = "the measuring process failed (out of memory?)"
        else:
            out["bytes"][name] = got
        log(f"  memory at {n:,} {name}: {got}")
    return out


if __name__ == "__main__":
    est = float(sys.argv[4]) if len(sys.argv) > 4 else None
    print(json.dumps(measure(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), est)))
