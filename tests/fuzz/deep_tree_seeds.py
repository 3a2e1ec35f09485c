"""Writes seed inputs for fuzz_ranged_b_tree that grow the trees three levels deep at the
designed node size, which short random inputs rarely reach: runs of insertions (ascending,
descending, one value for all), then queries, removals and a key walk.

Usage: python3 deep_tree_seeds.py OUT_DIR
The byte layout follows the decoder of fuzz_ranged_b_tree.cpp.
"""

import struct
import sys
from pathlib import Path

OPS = 12  # operation choices of one step
INSERT_MANY, REMOVE_MANY, QUERY, WALK = 3, 7, 8, 10
RUN = 255  # a run of 256 ids
RUNS = 20  # enough ascending runs for a third level at the designed node size


def raw_id(n: int) -> bytes:
    return bytes([248]) + struct.pack("<I", n)


def raw_int(n: int) -> bytes:
    return bytes([7]) + struct.pack("<q", n)


def small_int(n: int) -> bytes:  # -8 <= n <= 8
    return bytes([0, n + 8])


def insert_run(pattern: int, base: bytes, first_id: int) -> bytes:
    return bytes([INSERT_MANY, RUN, pattern]) + base + raw_id(first_id) + bytes([0])


def query(lower: bytes, upper: bytes, admissible: bytes) -> bytes:
    return bytes([QUERY]) + lower + upper + admissible


def included(v: bytes) -> bytes:
    return bytes([1]) + v


def excluded(v: bytes) -> bytes:
    return bytes([2]) + v


UNBOUNDED = bytes([0])
EVERYTHING = bytes([0])
EVERY_THIRD = bytes([2, 1, 0])


def seed(pattern: int, base_of) -> bytes:
    out = b"".join(insert_run(pattern, base_of(k), 1000 + 256 * k) for k in range(RUNS))
    out += bytes([WALK])
    for lo, hi in [
        (UNBOUNDED, UNBOUNDED),
        (included(small_int(0)), excluded(raw_int(2000))),
        (excluded(small_int(3)), UNBOUNDED),
        (UNBOUNDED, included(small_int(-2))),
        (included(small_int(0)), included(small_int(0))),
    ]:
        out += query(lo, hi, EVERYTHING) + query(lo, hi, EVERY_THIRD)
    out += bytes([REMOVE_MANY, 1, 200, 0, 2]) * 6  # every second pair, 201 at a time
    out += bytes([WALK]) + query(UNBOUNDED, UNBOUNDED, EVERYTHING)
    return out


def main() -> None:
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    seeds = {
        "deep_ascending": seed(1, lambda k: raw_int(256 * k)),
        "deep_descending": seed(2, lambda k: small_int(0)),
        "deep_one_value": seed(0, lambda k: small_int(0)),
    }
    for name, data in seeds.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
