"""Regression slope (SLOPE), bit for bit."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NAN_BITS, NEG_NAN,
                     PAYLOAD_NAN, SENTINEL, SNAN, assert_bits, bits, call)

NaN = math.nan
INT_MAX = 2147483647
MISSING = object()  # a bar the core writes as the exact quiet NaN


def constants(n):
    """Position sums as exact integers, each rounded once to double."""
    sum_x = float(n * (n - 1) // 2)
    sum_xx = float(n * (n - 1) * (2 * n - 1) // 6)
    return sum_x, float(n) * sum_xx - sum_x * sum_x


def slope_of(n, sum_xy, sum_y, sum_x, den):
    num = float(n) * sum_xy - sum_x * sum_y
    return NaN if den == 0.0 else num / den  # only N = 1 has den 0, and num 0 or NaN


def ref_slope(y, n):
    y = [float(v) for v in y]
    if n == 0:
        return [1.0] * len(y)
    out = [MISSING] * len(y)
    if len(y) < n:
        return out
    sum_x, den = constants(n)
    for k in range(len(y) - n + 1):
        sum_xy = sum_y = 0.0
        for j in range(n):
            sum_y += y[k + j]
            sum_xy += float(j) * y[k + j]
        out[k + n - 1] = slope_of(n, sum_xy, sum_y, sum_x, den)
    return out


def assert_matches(got, expected):
    assert len(got) == len(expected)
    for i, (g, e) in enumerate(zip(got, expected)):
        if e is MISSING:
            assert bits(g) == NAN_BITS, i
        elif math.isnan(e):
            assert math.isnan(g), i  # payload of an arithmetic NaN may follow operand order
        else:
            assert bits(g) == bits(e), (i, g, e)


@pytest.mark.parametrize("y,n,expected", [
    ([1, 3, 5, 7], 2, [NaN, 2, 2, 2]),
    ([2, 4, 3, 8], 3, [NaN, NaN, 0.5, 2.0]),
    ([2, 4, 3, 8], 4, [NaN, NaN, NaN, 1.7]),
    ([2, 4, 3, 8], 5, [NaN] * 4),
    ([2, 4, 3], INT_MAX, [NaN] * 3),
    ([1, 2, 3], 1, [NEG_NAN] * 3),  # 0 / 0
    ([1, NaN, 3], 0, [1, 1, 1]),
    ([1, NaN, 3, 4, 5], 2, [NaN, NaN, NaN, 1, 1]),  # only windows holding the NaN
    ([1, PAYLOAD_NAN, 3], 2, [NaN, PAYLOAD_NAN, PAYLOAD_NAN]),
    ([5, 5, -0.0, -0.0], 2, [NaN, 0.0, -5.0, 0.0]),
])
def test_examples(y, n, expected):
    rc, r = call("zv_slope", y, n)
    assert rc == ERR_OK
    assert_bits(r, expected)


def test_refusals_and_empty():
    rc, r = call("zv_slope", [1, 2, 3], -1)
    assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all()
    rc, r = call("zv_slope", [1, 2, 3], -1, size_r=2)
    assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()
    for n in (0, 2, INT_MAX):
        assert call("zv_slope", [], n)[0] == ERR_OK
        assert call("zv_slope", [], n, sizes=[-3], size_r=-3)[0] == ERR_OK


def test_long_window_position_sums():
    # N(N-1)(2N-1)/6 exceeds 64 bits here; it must still be exact before its
    # one rounding to double.  cumsum adds strictly in order, as the core does.
    n = 4_200_000
    y = np.random.default_rng(5).normal(size=n + 1)
    rc, r = call("zv_slope", y, n)
    assert rc == ERR_OK
    assert (bits(r[:n - 1]) == NAN_BITS).all()
    sum_x, den = constants(n)
    pos = np.arange(n, dtype=np.float64)
    for k in (0, 1):
        w = y[k:k + n]
        exp = slope_of(n, float(np.cumsum(pos * w)[-1]), float(np.cumsum(w)[-1]), sum_x, den)
        assert bits(r[k + n - 1]) == bits(exp)


SPECIALS = [NaN, math.inf, -math.inf, 0.0, -0.0, 1e300, SNAN, NEG_NAN, PAYLOAD_NAN]


@st.composite
def series(draw):
    y = draw(st.lists(st.one_of(st.floats(-1e6, 1e6), st.integers(-3, 3).map(float)),
                      max_size=30))
    for _ in range(draw(st.integers(0, 2)) if y else 0):
        y[draw(st.integers(0, len(y) - 1))] = draw(st.sampled_from(SPECIALS))
    return y


@settings(max_examples=250, deadline=None)
@given(series(), st.one_of(st.integers(0, 8), st.sampled_from([29, 30, 31, INT_MAX])))
def test_property(y, n):
    rc, r = call("zv_slope", y, n)
    assert rc == ERR_OK
    assert_matches(r, ref_slope(y, n))
