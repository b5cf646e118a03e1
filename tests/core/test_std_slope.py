"""Dispersion statistics (STD, STDDEV, STDP, AVEDEV) and the regression slope
(SLOPE), bit for bit."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NAN_BITS, NEG_NAN,
                     PAYLOAD_NAN, SENTINEL, SNAN, assert_bits, bits, call, double_from_bits)

NaN = math.nan
INT_MAX = 2147483647
FUNCS = ["zv_std", "zv_stddev", "zv_stdp", "zv_avedev"]
QUIET_SNAN = double_from_bits(0x7FF8000000000001)  # SNAN after passing through arithmetic
MISSING = object()  # a bar the core writes as the exact quiet NaN


def ref_dispersion(name, x, n):
    """Running sum for the mean, deviations summed afresh over every window."""
    x = [float(v) for v in x]
    out = [MISSING] * len(x)
    s = next((i for i, v in enumerate(x) if not math.isnan(v)), len(x))
    total = 0.0
    for j in range(s, min(s + n - 1, len(x))):
        total += x[j]
    for i in range(s + n - 1, len(x)):
        total += x[i]
        avg = total / n
        sig = 0.0
        for k in range(i - n + 1, i + 1):
            d = x[k] - avg
            sig += abs(d) if name == "zv_avedev" else d * d
        if name == "zv_std":
            out[i] = 0.0 if n == 1 else math.sqrt(sig / (n - 1))
        elif name == "zv_avedev":
            out[i] = sig / n
        else:
            out[i] = math.sqrt(sig / n)
        total -= x[i - n + 1]
    return out


def assert_matches(got, expected):
    """Exact bits, except that a NaN made by arithmetic only has to be a NaN
    (its payload can depend on the operand order the compiler picks)."""
    assert len(got) == len(expected)
    for i, (g, e) in enumerate(zip(got, expected)):
        if e is MISSING:
            assert bits(g) == NAN_BITS, i
        elif math.isnan(e):
            assert math.isnan(g), i
        else:
            assert bits(g) == bits(e), (i, g, e)


S3 = 0.816496580927726
S2 = 0.7071067811865476


@pytest.mark.parametrize("x,n,std,stddev,avedev", [
    ([1, 2, 3, 4], 3, [NaN, NaN, 1, 1], [NaN, NaN, S3, S3],
     [NaN, NaN, 0.6666666666666666, 0.6666666666666666]),
    ([2, 4, 4, 4, 5, 5, 7, 9], 8, [NaN] * 7 + [2.138089935299395], [NaN] * 7 + [2.0],
     [NaN] * 7 + [1.5]),
    ([NaN, 1, 2, 3], 2, [NaN, NaN, S2, S2], [NaN, NaN, 0.5, 0.5], [NaN, NaN, 0.5, 0.5]),
    ([1, NaN, 2, 3, 4], 2, [NaN] * 5, [NaN] * 5, [NaN] * 5),
    # N = 1: STD is 0.0 from the first valid bar on whatever the data
    ([NaN, 1, NaN, 2], 1, [NaN, 0, 0, 0], [NaN, 0, NaN, NaN], [NaN, 0, NaN, NaN]),
    ([1, 2, 3], 4, [NaN] * 3, [NaN] * 3, [NaN] * 3),
    ([NaN, 1, 2], INT_MAX, [NaN] * 3, [NaN] * 3, [NaN] * 3),
    ([NaN, NaN], 1, [NaN] * 2, [NaN] * 2, [NaN] * 2),
    ([-0.0, -0.0], 1, [0.0, 0.0], [0.0, 0.0], [0.0, 0.0]),  # never a negative zero
    # infinity minus infinity once the infinite bar leaves the window: the
    # negative default NaN, which the absolute value of AVEDEV turns positive
    ([1, math.inf, 3, 4], 2, [NaN, NEG_NAN, NEG_NAN, NEG_NAN], [NaN, NEG_NAN, NEG_NAN, NEG_NAN],
     [NaN, NaN, NaN, NaN]),
    ([1, 2, NEG_NAN], 2, [NaN, S2, NEG_NAN], [NaN, 0.5, NEG_NAN], [NaN, 0.5, NaN]),
    ([1, 2, PAYLOAD_NAN], 2, [NaN, S2, PAYLOAD_NAN], [NaN, 0.5, PAYLOAD_NAN],
     [NaN, 0.5, PAYLOAD_NAN]),
    ([3, SNAN], 1, [0, 0], [0, QUIET_SNAN], [0, QUIET_SNAN]),
])
def test_dispersion_examples(x, n, std, stddev, avedev):
    for name, exp in zip(FUNCS, [std, stddev, stddev, avedev]):
        rc, r = call(name, x, n)
        assert rc == ERR_OK, name
        assert_bits(r, exp)


@pytest.mark.parametrize("name", FUNCS)
def test_dispersion_refusals(name):
    for n in (0, -1, -2**31):
        rc, r = call(name, [1, 2, 3], n)
        assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all()
    for size_r in (2, 4):
        rc, r = call(name, [1, 2, 3], 0, size_r=size_r)  # size beats parameter
        assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()
    assert call(name, [], 3)[0] == ERR_OK
    rc, r = call(name, [], 1, sizes=[-4], size_r=-4)
    assert rc == ERR_OK


SPECIALS = [NaN, math.inf, -math.inf, 0.0, -0.0, 1e300, 1e-300, SNAN, NEG_NAN, PAYLOAD_NAN]


@st.composite
def series(draw, max_size=30):
    """Finite values with a few special ones sprinkled in (often leading NaN)."""
    x = draw(st.lists(st.one_of(st.floats(-1e6, 1e6), st.integers(-3, 3).map(float)),
                      max_size=max_size))
    for _ in range(draw(st.integers(0, 3)) if x else 0):
        x[draw(st.integers(0, len(x) - 1))] = draw(st.sampled_from(SPECIALS))
    lead = draw(st.integers(0, 3))  # leading NaN bars
    return [NaN] * lead + x


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(FUNCS),
       series(),
       st.one_of(st.integers(1, 8), st.sampled_from([30, 32, 33, 34, INT_MAX])))
def test_dispersion_property(name, x, n):
    rc, r = call(name, x, n)
    assert rc == ERR_OK
    assert_matches(r, ref_dispersion(name, x, n))


# ---- zv_slope ----------------------------------------------------------------------

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
def test_slope_examples(y, n, expected):
    rc, r = call("zv_slope", y, n)
    assert rc == ERR_OK
    assert_bits(r, expected)


def test_slope_refusals_and_empty():
    rc, r = call("zv_slope", [1, 2, 3], -1)
    assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all()
    rc, r = call("zv_slope", [1, 2, 3], -1, size_r=2)
    assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()
    for n in (0, 2, INT_MAX):
        assert call("zv_slope", [], n)[0] == ERR_OK
        assert call("zv_slope", [], n, sizes=[-3], size_r=-3)[0] == ERR_OK


def test_slope_long_window_position_sums():
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


@settings(max_examples=200, deadline=None)
@given(series(), st.one_of(st.integers(0, 8), st.sampled_from([29, 30, 31, INT_MAX])))
def test_slope_property(y, n):
    rc, r = call("zv_slope", y, n)
    assert rc == ERR_OK
    assert_matches(r, ref_slope(y, n))
