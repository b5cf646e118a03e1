"""Smoothing averages EMA, SMA, DMA (seeded recurrences) and WMA, bit for bit."""
import numpy as np
import pytest
from hypothesis import given, strategies as st

import reference
from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NEG_NAN, assert_bits, call, check,
                     refused, run)
from reference import INT_MAX, INT_MIN, NaN
from strategies import examples, factors, series, windows


@pytest.mark.parametrize("name,args,expected", [
    ("zv_ema", ([NaN, 2, 4, 6], 3), [NaN, 2, 3, 4.5]),
    ("zv_ema", ([1, 2, 3], 0), [1, 3, 3]),
    ("zv_ema", ([1, NaN, 3], 3), [1, NaN, NaN]),
    ("zv_ema", ([1, 0], 10), [1, 9 / 11]),             # (N-1)/(N+1), not 1 - 2/(N+1)
    ("zv_ema", ([0, 1], INT_MAX), [0, 2 / INT_MIN]),   # N+1 wraps
    ("zv_ema", ([1, 0], INT_MAX), [1, (INT_MAX - 1) / 2**31]),
    ("zv_ema", ([NaN, NaN], 3), [NaN, NaN]),
    ("zv_sma", ([3, 6, 9], 3, 1), [3, 4, 1 / 3 * 9 + 2 / 3 * 4]),
    ("zv_sma", ([1, 2], 0, 1), [1, NEG_NAN]),          # inf*2 + -inf*1
    ("zv_sma", ([1, 2], 0, 0), [1, NEG_NAN]),          # 0/0 weights
    ("zv_sma", ([1, 0], 2, INT_MIN), [1, -1073741823.0]),  # N-M wraps
    ("zv_sma", ([1, 0], 2, 5), [1, -1.5]),             # M > N: negative weight kept
    ("zv_dma", ([NaN, 10, 20, 30], [7, 7, 0.5, 0.1]), [NaN, 10, 15, 16.5]),
    ("zv_dma", ([1, 2, 3, 4], [0, 0.5, NaN, 0.5]), [1, 1.5, NaN, NaN]),
    ("zv_dma", ([NaN, NaN], [0.5, 0.5]), [NaN, NaN]),
    ("zv_wma", ([1, 2, 3, 4], 3), [NaN, NaN, 14 / 6, 20 / 6]),
    ("zv_wma", ([NaN, 2, -0.0, NaN, 5], 1), [NaN, 2, 0.0, NaN, NaN]),
    ("zv_wma", ([NaN, 1, 2], 3), [NaN, NaN, NaN]),
    ("zv_wma", ([NaN, 1, 2], INT_MAX), [NaN, NaN, NaN]),
])
def test_examples(name, args, expected):
    rc, r = run(name, *args)
    assert rc == ERR_OK
    assert_bits(r, expected)


def test_wma_denominator_beyond_int32():
    # 50000 * 50001 overflows 32 bits; the weight total is 1250025000.
    x = np.ones(50000)
    x[-1] = 2.0
    rc, r = call("zv_wma", x, 50000)
    assert rc == ERR_OK
    assert r[-1] == (1250025000.0 + 50000.0) / 1250025000.0
    assert np.isnan(r[:-1]).all()


@pytest.mark.parametrize("name,args,kw,code", [
    ("zv_ema", ([1, 2], -1), {}, ERR_PARAM_WRONG),
    ("zv_ema", ([1, 2], INT_MIN), {}, ERR_PARAM_WRONG),
    ("zv_sma", ([1, 2], -1, 1), {}, ERR_PARAM_WRONG),
    ("zv_wma", ([1, 2], 0), {}, ERR_PARAM_WRONG),
    ("zv_wma", ([1, 2], -5), {}, ERR_PARAM_WRONG),
    ("zv_ema", ([1, 2], -1), {"size_r": 1}, ERR_SIZE_DISMATCH),  # size first
    ("zv_sma", ([1, 2], 3, 1), {"size_r": 3}, ERR_SIZE_DISMATCH),
    ("zv_wma", ([1, 2], 0), {"size_r": 1}, ERR_SIZE_DISMATCH),
    ("zv_dma", ([1, 2], [0.5, 0.5]), {"sizes": [2, 1]}, ERR_SIZE_DISMATCH),
    ("zv_dma", ([1, 2], [0.5, 0.5]), {"sizes": [2, 3]}, ERR_SIZE_DISMATCH),
    ("zv_dma", ([1, 2], [0.5, 0.5]), {"size_r": 1}, ERR_SIZE_DISMATCH),
])
def test_refusals(name, args, kw, code):
    refused(name, *args, rc_expected=code, **kw)


@pytest.mark.parametrize("name,args", [
    ("zv_ema", (7,)), ("zv_sma", (7, 2)), ("zv_wma", (1,)), ("zv_wma", (7,)), ("zv_dma", ()),
])
def test_rounding_on_random_series(name, args):
    # Ordinary random values, where every rounding step shows in the last bits.
    rng = np.random.default_rng(7)
    x = list(rng.normal(100, 30, 300))
    x[:3] = [NaN] * 3
    if name == "zv_dma":
        args = (list(rng.uniform(0, 1, 300)),)
    ref = getattr(reference, name[3:])
    rc, r = run(name, x, *args)
    assert rc == ERR_OK
    check(r, ref(x, *args))


@examples(250)
@given(st.data())
def test_property(data):
    name = data.draw(st.sampled_from(["zv_ema", "zv_sma", "zv_wma", "zv_dma"]))
    x = data.draw(series)
    if name == "zv_dma":
        a = data.draw(st.lists(factors, min_size=len(x), max_size=len(x)))
        rc, r = run(name, x, a)
        assert rc == ERR_OK
        check(r, reference.dma(x, a))
        return
    n = data.draw(windows)
    args, ref = (x, n), None
    if name == "zv_ema" and n >= 0:
        ref = reference.ema(x, n)
    elif name == "zv_sma":
        m = data.draw(st.sampled_from([0, 1, 2, 3, -1, 40, INT_MIN, INT_MAX]))
        args = (x, n, m)
        ref = reference.sma(x, n, m) if n >= 0 else None
    elif name == "zv_wma" and n >= 1:
        ref = reference.wma(x, n)
    if ref is None:
        refused(name, *args, rc_expected=ERR_PARAM_WRONG)
        return
    rc, r = run(name, *args)
    assert rc == ERR_OK
    check(r, ref)
