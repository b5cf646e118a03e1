"""Dispersion statistics (STD, STDDEV, STDP, AVEDEV), bit for bit."""
import math

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
def test_examples(x, n, std, stddev, avedev):
    for name, exp in zip(FUNCS, [std, stddev, stddev, avedev]):
        rc, r = call(name, x, n)
        assert rc == ERR_OK, name
        assert_bits(r, exp)


def test_two_pass_not_shortcut():
    # A large common offset: the sum-of-squares shortcut would lose every
    # digit; deviations from the window mean keep them.
    x = [1e9 + 1, 1e9 + 2, 1e9 + 3]
    assert_bits(call("zv_std", x, 3)[1], [NaN, NaN, 1.0])
    assert_bits(call("zv_avedev", x, 3)[1], [NaN, NaN, 0.6666666666666666])


@pytest.mark.parametrize("name", FUNCS)
def test_refusals_leave_result(name):
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
    lead = draw(st.integers(0, 3))
    return [NaN] * lead + x


@settings(max_examples=250, deadline=None)
@given(st.sampled_from(FUNCS),
       series(),
       st.one_of(st.integers(1, 8), st.sampled_from([30, 32, 33, 34, INT_MAX])))
def test_property(name, x, n):
    rc, r = call(name, x, n)
    assert rc == ERR_OK
    assert_matches(r, ref_dispersion(name, x, n))
