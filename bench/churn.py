"""Memory of an index in a long-running process: what an index costs after many records were made
and dropped, beside the same index in a fresh process. Each figure comes from a fresh process.
Run as: python -m bench.churn [CHURN] (default 5,000,000 records made and dropped first)."""
from __future__ import annotations

import json
import os
import subprocess
import sys

CODE = r"""
import gc, json, os, sys
from Vostrel import Index, Indexable

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

churn, keep = int(sys.argv[1]), int(sys.argv[2])
batch = 100_000
for _ in range(churn // batch):  # made and dropped, a batch at a time
    made = [Indexable(k=i) for i in range(batch)]
    del made
kept = [Indexable(k=i) for i in range(keep)]   # the records the index will hold
gc.collect()
before = rss()
index = Index()
index.add_object_many(kept)
gc.collect()
print(json.dumps(rss() - before))
"""


def measure(churn: int, keep: int) -> int:
    done = subprocess.run([sys.executable, "-c", CODE, str(churn), str(keep)], capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout)


def main() -> None:
    churn = int(sys.argv[1]) if len(sys.argv) > 1 else 5_000_000
    rows = []
    for keep in (1, 10_000):
        fresh, after = measure(0, keep), measure(churn, keep)
        rows.append((keep, fresh, after))
    print(f"Index memory after {churn:,} records were made and dropped, beside a fresh process")
    print("| records held | fresh process, bytes | after the churn, bytes | ratio |")
    print("|---:|---:|---:|---:|")
    for keep, fresh, after in rows:
        print(f"| {keep:,} | {fresh:,} | {after:,} | {after / max(fresh, 1):.2f} |")


if __name__ == "__main__":
    main()
