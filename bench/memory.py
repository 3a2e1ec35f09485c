"""Memory per record of one system, measured in a fresh process: the growth of the resident set
from building the records and the index over value columns that exist beforehand.
Run as: python -m bench.memory SYSTEM N SEED (prints bytes per record)."""
from __future__ import annotations

import gc
import json
import os
import subprocess
import sys

from . import data, systems


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(name: str, n: int, seed: int) -> float:
    cls = {s.name: s for s in systems.ALL}[name]
    cols = data.make_columns(n, seed)
    rec = data.vostrel_class() if cls.vostrel else None
    gc.collect()
    before = rss()
    objs = data.make_vostrel(cols, rec) if cls.vostrel else data.make_plain(cols)
    system = cls()
    system.build(objs)
    gc.collect()
    return (rss() - before) / n


def in_subprocess(name: str, n: int, seed: int) -> float | None:
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = subprocess.run([sys.executable, "-m", "bench.memory", name, str(n), str(seed)],
                       cwd=root, capture_output=True, text=True)
    if p.returncode != 0:
        sys.stderr.write(p.stderr[-2000:])
        return None
    return json.loads(p.stdout)


if __name__ == "__main__":
    print(json.dumps(measure(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))))
