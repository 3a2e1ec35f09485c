"""What the index orders, as the tests' models see it."""
import math
import operator


def as_number(value):
    """The number the index orders `value` as, or None when it matches by equality only: ints and
    their subclasses (bool included) and objects with __index__, within 64 bits, and floats and
    their subclasses. NaN is a number that no comparison matches, as in Python."""
    if isinstance(value, float):
        return float(value)
    if isinstance(value, int):
        n = int(value)
    elif hasattr(type(value), "__index__"):
        try:
            n = operator.index(value)
        except Exception:
            return None
    else:
        return None
    return n if -(2**63) <= n < 2**63 else None


def is_number(value):
    return as_number(value) is not None


def is_comparable_number(value):
    """A number that comparisons can match: any but NaN."""
    n = as_number(value)
    return n is not None and not (isinstance(n, float) and math.isnan(n))
