"""Core conventions, helpers and the simple moving averages, bit for bit."""
import ctypes
import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import reference
from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NAN_BITS, NEG_NAN, PAYLOAD_NAN,
                     SENTINEL, assert_bits, bits, call, check, f64, lib, libc)
from reference import INT_MAX, NaN, check_at_scale, check_per_bar
from strategies import SCALE_WINDOWS, examples, scale_series, scale_windows, values

lib.ctxn.argtypes = [ctypes.c_int64, ctypes.c_int, ctypes.c_int]
lib.maxi.argtypes = lib.mini.argtypes = [ctypes.c_int, ctypes.c_int]
lib.arange.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_double]
lib.arange.restype = ctypes.POINTER(ctypes.c_double)
lib.zeros.argtypes = [ctypes.c_int]
lib.zeros.restype = ctypes.POINTER(ctypes.c_double)
lib.aprint.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_double), ctypes.c_int]
lib.aprint.restype = None
libc.free.argtypes = [ctypes.c_void_p]


# ---- helpers -----------------------------------------------------------------

@pytest.mark.parametrize("ctx,size,n,expected", [
    (0, 10, 3, 2), (5, 10, 3, 2), (-1, 10, 3, 7), (-100, 10, 3, 2),
    (4294967295, 10, 3, 7), (4294967296, 10, 3, 2), (-(2**31), 10, 3, 2),
    (-2, 10, 3, 6), (0, 0, -2147483648, 2147483647),  # n-1 wraps
])
def test_ctxn(ctx, size, n, expected):
    assert lib.ctxn(ctx, size, n) == expected


def test_maxi_mini():
    assert (lib.maxi(-1, -5), lib.mini(-1, -5)) == (-1, -5)
    assert (lib.maxi(-2**31, 2**31 - 1), lib.mini(-2**31, 2**31 - 1)) == (2**31 - 1, -2**31)


def _take(p, n):
    out = [p[i] for i in range(n)]
    libc.free(p)
    return out


@pytest.mark.parametrize("start,stop,step,expected", [
    (0, 10, 3, [0, 3, 6]),
    (0, 10, 2.5, [0, 2.5, 5, 7.5]),
    (5, 0, -1, [5, 4, 3, 2, 1]),
    (-3, 3, 0.1, [i * 0.1 + -3.0 for i in range(59)]),  # product rounded, then sum
])
def test_arange_values(start, stop, step, expected):
    p = lib.arange(start, stop, step)
    got = _take(p, len(expected))
    assert bits(got).tolist() == bits(expected).tolist()


@pytest.mark.parametrize("start,stop,step", [
    (0, 10, 0), (5, 0, 1), (0, 10, NaN), (0, 10, -1),
    (0, -2**31, 1e-300),   # count out of range
])
def test_arange_null(start, stop, step):
    assert not lib.arange(start, stop, step)


def test_arange_zero_count_and_zeros():
    p = lib.arange(3, 3, 1)
    libc.free(p)  # the allocator's zero-size result; nothing written
    z = lib.zeros(0)
    libc.free(z)
    assert not lib.zeros(-1)
    assert not lib.zeros(-2**31)
    z = lib.zeros(5)
    assert _take(z, 5) == [0.0] * 5


def test_arange_wrapping_difference():
    # stop - start wraps to a negative count: null pointer, nothing written
    assert not lib.arange(-2, 2**31 - 1, 1)


@pytest.mark.parametrize("values,size,expected", [
    ([1, 2.5], None, "x = [   1,  2.5]\n"),  # every value padded to four
    ([], None, "x = []\n"),
    ([1, 2], -3, "x = []\n"),
    ([NaN, math.inf, -0.0, 1e-7, 123456789.0], None,
     "x = [ nan,  inf,   -0, 1e-07, 1.23457e+08]\n"),
])
def test_aprint(capfd, values, size, expected):
    a = f64(values)
    lib.aprint(b"x", a.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
               len(a) if size is None else size)
    libc.fflush(None)
    assert capfd.readouterr().out == expected


# ---- shared conventions over MA -------------------------------------------------

def test_size_mismatch_beats_bad_parameter():
    rc, r = call("zv_ma", [1, 2, 3], 0, size_r=2)
    assert rc == ERR_SIZE_DISMATCH
    assert (r == SENTINEL).all()


@pytest.mark.parametrize("n", [0, -1, -2**31])
def test_ma_bad_window_leaves_result(n):
    rc, r = call("zv_ma", [1, 2, 3], n)
    assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all()


@pytest.mark.parametrize("name,second", [("zv_ma", 3), ("zv_ma_a", [])])
def test_empty_series(name, second):
    rc, r = call(name, [], second)
    assert rc == ERR_OK and len(r) == 0


def test_ma_a_size_mismatch():
    for sizes in ([3, 2], [3, 4]):
        rc, r = call("zv_ma_a", [1, 2, 3], [1, 1, 1], sizes=sizes)
        assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()


# ---- zv_ma -----------------------------------------------------------------------

@pytest.mark.parametrize("x,n,expected", [
    ([1, 2, 3, 4, 5], 3, [NaN, NaN, 2, 3, 4]),
    ([NaN, NaN, 1, 2, 3, 4], 3, [NaN, NaN, NaN, NaN, 2, 3]),
    ([1, 2, NaN, 4, 5], 2, [NaN, 1.5, NaN, NaN, NaN]),
    ([1, NaN], 2, [NaN, NaN]),
    ([1, math.inf, 3, 4], 2, [NaN, math.inf, math.inf, NEG_NAN]),
    ([NaN, 1, 2], INT_MAX, [NaN, NaN, NaN]),
    ([1, 2, 3], INT_MAX, [NaN, NaN, NaN]),
    ([NaN, NaN], 1, [NaN, NaN]),
    ([5.0, -0.0], 1, [5.0, 0.0]),  # 5 - 5 + -0.0 is +0.0
])
def test_ma_examples(x, n, expected):
    rc, r = call("zv_ma", x, n)
    assert rc == ERR_OK
    assert_bits(r, expected)


def test_ma_window_one_copies_until_nan():
    x = [NaN, 3.5, -2.0, NaN, 7.0]
    rc, r = call("zv_ma", x, 1)
    assert_bits(r, [NaN, 3.5, -2.0, NaN, NaN])


def test_ma_nan_payload_enters_sum():
    # A NaN inside the first window flows through the arithmetic as it is.
    rc, r = call("zv_ma", [1.0, PAYLOAD_NAN, 3.0], 3)
    assert rc == ERR_OK
    assert np.isnan(r[2]) and (bits(r[:2]) == NAN_BITS).all()


@pytest.mark.parametrize("ctx", [5, 2**40])
def test_ma_nonnegative_context_same_as_zero(ctx):
    x = np.random.default_rng(1).normal(size=40)
    assert bits(call("zv_ma", x, 4, ctx=ctx)[1]).tolist() == bits(call("zv_ma", x, 4)[1]).tolist()


@pytest.mark.parametrize("ctx", [-2, 4294967294, 2**32 * 7 - 2])
def test_ma_negative_context_tail(ctx):
    x = np.arange(1.0, 11.0)
    rc, r = call("zv_ma", x, 3, ctx=ctx)
    assert rc == ERR_OK
    assert_bits(r[:2], [NaN, NaN])
    assert (r[2:6] == SENTINEL).all()
    assert_bits(r[6:], [6, 7, 8, 9])


def test_ma_context_all_ones():
    # 4294967295 acts as -1: only the last N-1+1 bars are computed.
    x = np.arange(1.0, 11.0)
    rc, r = call("zv_ma", x, 3, ctx=4294967295)
    assert (r[2:7] == SENTINEL).all()
    assert_bits(r[7:], [7, 8, 9])


def test_ma_negative_context_beyond_end_after_leading_nan():
    x = [NaN, NaN, NaN, 1, 2, 3, 4, 5, 6, 7]
    rc, r = call("zv_ma", x, 2, ctx=-3)
    # start = s + maxi(1, -3+10-2+1) = 3 + 6 = 9: one bar computed
    assert rc == ERR_OK
    assert_bits(r[:4], [NaN] * 4)
    assert (r[4:9] == SENTINEL).all()
    assert_bits(r[9:], [6.5])
    rc, r = call("zv_ma", [NaN] * 6 + [1, 2, 3, 4], 2, ctx=-3)
    assert_bits(r[:7], [NaN] * 7)
    assert (r[7:] == SENTINEL).all()


def test_ma_start_on_nan_bars_skipped():
    x = [1, 2, 3, 4, 5, 6, NaN, 8, 9, 10]
    rc, r = call("zv_ma", x, 1, ctx=-4)
    # start = 0 + maxi(0, -4+10-1+1) = 6; bar 6 is NaN and skipped
    assert (r[0:6] == SENTINEL).all()
    assert_bits(r[6:], [NaN, 8, 9, 10])
    # with N = 2 the skipped NaN lies in the first window: NaN from there on
    rc, r = call("zv_ma", x, 2, ctx=-3)
    assert (r[1:6] == SENTINEL).all()
    assert_bits(r[6:], [NaN] * 4)


@pytest.mark.parametrize("n", [1, 2, 7, 20, 64])
def test_ma_rounding_on_random_series(n):
    # Long windows of values with many significant bits: any change to the
    # order of the first window's additions or of the running updates moves
    # some bar by an ulp.
    x = [NaN] * 3 + list(np.random.default_rng(5).normal(100, 30, 400))
    rc, r = call("zv_ma", x, n)
    assert rc == ERR_OK
    check(r, reference.ma(x, n))


@examples(300)
@given(st.lists(values, max_size=40), st.sampled_from([1, 2, 3, 5, 39, 40, 41, INT_MAX]))
def test_ma_property(x, n):
    rc, r = call("zv_ma", x, n)
    assert rc == ERR_OK
    check(r, reference.ma(x, n))


@examples(300)
@given(st.data())
def test_ma_a_property(data):
    check_per_bar(data, "zv_ma_a", reference.ma_a)


@pytest.mark.parametrize("x,w,expected", [
    ([1, 2, 3, 4], [1, 1, 2, 3], [NaN, 2, 2.5, 3]),
    ([1, 2, 3, 4], [1, 2, 3, 4], [NaN] * 4),
    ([1, 2, NaN, 4, 5, 6], [2] * 6, [NaN, NaN, NaN, NaN, 4.5, 5.5]),
    ([1, 2, 3, 4], [2.9, 2.9, 2.9, 2.9], [NaN, NaN, 2.5, 3.5]),
    ([1, 2, 3, 4], [0.5, -1, NaN, 2147483648.0], [NaN] * 4),
    ([1, math.inf, -math.inf, 2], [1, 1, 2, 1], [NaN, math.inf, NaN, 2]),  # written as quiet NaN
])
def test_ma_a_examples(x, w, expected):
    rc, r = call("zv_ma_a", x, w)
    assert rc == ERR_OK
    assert_bits(r, expected)


@examples(100)
@given(st.data())
def test_ma_a_window_classes(data):
    # Windows that grow from one bar reuse the sum so far; every other class
    # sums afresh.  All against the fresh per-window loop.
    check_per_bar(data, "zv_ma_a", reference.ma_a, classes=True)


@pytest.mark.parametrize("wkind", SCALE_WINDOWS)
def test_ma_a_at_scale(ref_twins, wkind):
    x, w = scale_series("walk", 4000, seed=5), scale_windows(wkind, 4000, seed=6)
    x[::89] = -3e15
    check_at_scale("zv_ma_a", ref_twins, x, w)
