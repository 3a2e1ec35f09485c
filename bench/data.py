"""Seeded data for the benchmark: the columns of one record class, and the records built from them
as plain Python objects (for the peers) and as Vostrel records."""
from __future__ import annotations

import bisect
import itertools
import random

COLOURS = ("red", "green", "blue", "cyan", "magenta", "yellow", "black", "white")
NUM_RANGE = 1000           # num: uniform int 0..999
TAG_RANGE = 100            # tag: uniform int 0..99, missing on MISSING_SHARE of the records
MISSING_SHARE = 0.10
ZIPF_VALUES = 10_000       # zipf: ranks 1..10_000 drawn with weight 1 / rank**ZIPF_EXPONENT
ZIPF_EXPONENT = 1.1
ATTRS = ("colour", "num", "tag", "score", "name", "zipf")
NUMERIC_ATTRS = ("num", "tag", "score", "zipf")
MAYBE_MISSING = ("tag",)
MISSING = None             # how a missing value is held in a column


def make_columns(n: int, seed: int) -> dict[str, list]:
    """The attribute values of n records, column by column; MISSING marks an absent tag."""
    rng = random.Random(seed)
    cum = list(itertools.accumulate(1.0 / r**ZIPF_EXPONENT for r in range(1, ZIPF_VALUES + 1)))
    total = cum[-1]
    return {
        "colour": [COLOURS[rng.randrange(len(COLOURS))] for _ in range(n)],
        "num": [rng.randrange(NUM_RANGE) for _ in range(n)],
        "tag": [MISSING if rng.random() < MISSING_SHARE else rng.randrange(TAG_RANGE) for _ in range(n)],
        "score": [rng.random() for _ in range(n)],
        "name": [f"item-{i:08d}-{rng.getrandbits(32):08x}" for i in range(n)],
        "zipf": [bisect.bisect_left(cum, rng.random() * total) + 1 for _ in range(n)],
    }


def record_kwargs(cols: dict[str, list], i: int) -> dict:
    """The attributes of record i; a missing tag is left out."""
    kw = {a: cols[a][i] for a in ATTRS}
    if kw["tag"] is MISSING:
        del kw["tag"]
    return kw


class Plain:
    """An ordinary Python record, what a user of the peers would have."""

    def __init__(self, **kw):
        self.__dict__.update(kw)


def make_plain(cols: dict[str, list]) -> list[Plain]:
    n = len(cols["num"])
    out = []
    for i in range(n):
        o = Plain(**record_kwargs(cols, i))
        o._rid = i
        out.append(o)
    return out


def vostrel_class():
    """The Vostrel record class; None when the module is not importable."""
    try:
        import Vostrel
    except ImportError:
        return None

    class Rec(Vostrel.Indexable):
        pass

    return Rec


def make_vostrel(cols: dict[str, list], cls) -> list:
    n = len(cols["num"])
    return [cls(_rid=i, **record_kwargs(cols, i)) for i in range(n)]
