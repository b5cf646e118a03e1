"""Pieces shared by the family tests: value and window strategies, the
window conversion in plain Python, a guarded call and a bar-by-bar check.

References mark a missing bar with None (the core must write the exact quiet
NaN there); a float NaN in a reference is one that arithmetic produced, whose
payload is the hardware's, so only its NaN-ness is compared.
"""
import math

import numpy as np
from hypothesis import strategies as st

from corelib import NAN_BITS, NEG_NAN, SENTINEL, SNAN, bits, call

NaN = math.nan
INF = math.inf
INT_MAX = 2147483647
INT_MIN = -2147483648

values = st.one_of(
    st.sampled_from([NaN, INF, -INF, 0.0, -0.0, 1.0, -2.5, 1e300, SNAN, NEG_NAN]),
    st.floats(-1e6, 1e6),
)
series = st.lists(values, max_size=30)
windows = st.sampled_from([0, 1, 2, 3, 5, 29, 30, 31, -1, INT_MIN, INT_MAX])
window_values = st.one_of(
    st.sampled_from([NaN, 0.0, -0.0, -0.5, 0.5, 2.9, -1.5, -2.9, 1e10, -1e10, INF, -INF,
                     2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0]),
    st.integers(-3, 33).map(float),
)


def window_series(data, n):
    return data.draw(st.lists(window_values, min_size=n, max_size=n))


def to_window(v):
    """Truncation toward zero; NaN and out-of-range values give INT_MIN."""
    if math.isnan(v) or not (-2147483649.0 < v < 2147483648.0):
        return INT_MIN
    return int(v)


def wrap32(v):
    return (v + 2**31) % 2**32 - 2**31


def first_valid(x):
    return next((i for i, v in enumerate(x) if not math.isnan(v)), len(x))


def run(name, *args, **kw):
    """Calls with two guard elements past the result: neither may change."""
    n = len(args[0])
    r = np.full(n + 2, SENTINEL)
    rc, r = call(name, *args, r=r, size_r=n, **kw)
    assert (r[n:] == SENTINEL).all(), "written past the end"
    return rc, r[:n]


def check(got, expected):
    assert len(got) == len(expected)
    for i, (g, e) in enumerate(zip(got, expected)):
        if e is None:
            ok = bits(g) == NAN_BITS
        elif math.isnan(e):
            ok = math.isnan(g)
        else:
            ok = bits(g) == bits(e)
        assert ok, f"bar {i}: got {g!r} ({hex(bits(g))}), expected {e!r}\n{got!r}"


def refused(name, *args, rc_expected, **kw):
    """The call fails with rc_expected and leaves the result untouched."""
    rc, r = call(name, *args, **kw)
    assert rc == rc_expected
    assert (r == SENTINEL).all()
