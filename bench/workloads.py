"""The query workloads, written once as small trees that each system translates into its own form.

A tree is a tuple: ("eq", attr, v), ("in", attr, [v...]), ("bt", attr, lo, hi) with both bounds
included, ("and", q...), ("or", q...), ("not", q). An object without the attribute matches no
"eq", "in" or "bt"; "not" takes every indexed object that its part does not match."""
from __future__ import annotations

QUERIES: dict[str, tuple] = {
    "rare_eq": ("eq", "num", 500),                                        # ~0.1%
    "common_eq": ("eq", "colour", "blue"),                                # ~12.5%
    "and_rare": ("and", ("eq", "colour", "green"), ("eq", "tag", 42)),    # ~0.11%
    "or": ("or", ("eq", "colour", "cyan"), ("eq", "tag", 5)),             # ~13.4%
    "and_not": ("and", ("eq", "colour", "red"), ("not", ("eq", "tag", 3))),  # ~12.4%
    "not": ("not", ("eq", "colour", "black")),                            # ~87.5%
    "narrow_range": ("bt", "score", 0.5, 0.501),                          # ~0.1%
    "wide_range": ("bt", "num", 0, 499),                                  # ~50%
    "in10": ("in", "zipf", [3, 7, 20, 50, 120, 300, 800, 2000, 5000, 9000]),
    "eq_and_range": ("and", ("eq", "colour", "white"), ("bt", "score", 0.1, 0.2)),  # ~1.25%
}

# A view narrowed twice (keyword filters), then collected or rebased into a new index.
VIEW_FIRST = ("colour", "magenta")
VIEW_SECOND = ("tag", 7)
REBASE_SECOND = ("tag", list(range(10)))

# Operations on a view beyond listing it; each view is made inside the timed call.
COUNTS: dict[str, tuple] = {
    "count_12": ("eq", "colour", "blue"),                                 # ~12.5%
    "count_50": ("bt", "num", 0, 499),                                    # ~50%
}
SORTED_BY = (("eq", "colour", "blue"), "score", 10)      # the 10 smallest scores of a 12% view
VALUE_COUNTS = (("bt", "num", 0, 124), "colour")         # the 8 colours' counts in a 12.5% view

# Writes beyond assignment.
REBASE_TREE = ("bt", "num", 0, 99)                       # a view of ~10% rebased into a new index
REMOVE_SHARE = 0.1                                       # the share of the records removed
# The queries that check an index after it was merged or had records removed.
CHECKS = ("common_eq", "and_rare", "not", "narrow_range", "wide_range")

# The mix that the throughput runs cycle through.
MIX = ("rare_eq", "and_rare", "narrow_range", "eq_and_range", "in10", "common_eq")


def kw_tree(*pairs) -> tuple:
    """The tree of a keyword filter: each keyword is one value or a list of values."""
    parts = [("in", a, v) if isinstance(v, list) else ("eq", a, v) for a, v in pairs]
    return parts[0] if len(parts) == 1 else ("and", *parts)


def keywords(tree: tuple) -> dict | None:
    """The tree as keyword filters when it is an equality or an AND of equalities, else None."""
    if tree[0] == "eq":
        return {tree[1]: tree[2]}
    if tree[0] == "and" and all(p[0] == "eq" for p in tree[1:]):
        kw = {p[1]: p[2] for p in tree[1:]}
        return kw if len(kw) == len(tree) - 1 else None
    return None
