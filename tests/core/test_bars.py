"""Bar counting (BARSINCE, BARLAST, BARSLAST, BACKCOUNT, CURRBARSCOUNT)."""
import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import reference

from corelib import ERR_OK, ERR_SIZE_DISMATCH, SENTINEL, assert_bits, call
from strategies import conditions, examples

COND = ["zv_barsince", "zv_barlast", "zv_barslast", "zv_backcount"]


REF = {"zv_barsince": reference.barsince, "zv_barlast": reference.barlast,
       "zv_barslast": reference.barlast, "zv_backcount": reference.backcount}


@pytest.mark.parametrize("x,since,last,back", [
    ([0, 0, 1, 0, 1, 0], [0, 0, 1, 2, 3, 4], [0, 0, 1, 2, 1, 2], [0, 0, 1, 0, 1, 0]),
    ([1, 1, 0, 1, 1, 1, 0], [1, 2, 3, 4, 5, 6, 7], [1, 1, 2, 1, 1, 1, 2],
     [1, 2, 0, 1, 2, 3, 0]),
    ([0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0]),
    ([255, 2, 0, 128], [1, 2, 3, 4], [1, 1, 2, 1], [1, 2, 0, 1]),
    ([0], [0], [0], [0]),
    ([7], [1], [1], [1]),
])
def test_examples(x, since, last, back):
    for name, exp in zip(COND, [since, last, last, back]):
        rc, r = call(name, x)
        assert rc == ERR_OK
        assert_bits(r, exp)


def test_currbarscount_ignores_values():
    rc, r = call("zv_currbarscount", [math.nan, -1.0, math.inf, 0.0])
    assert rc == ERR_OK
    assert_bits(r, [0, 1, 2, 3])


@pytest.mark.parametrize("name", COND + ["zv_currbarscount"])
def test_sizes(name):
    for size_r in (2, 4, 0):
        rc, r = call(name, [1, 0, 1], size_r=size_r)
        assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()
    assert call(name, [])[0] == ERR_OK
    assert call(name, [], sizes=[-2], size_r=-2)[0] == ERR_OK


def test_long_series():
    n = 300_000
    x = np.zeros(n, dtype=np.uint8)
    x[0] = 1
    for name in ("zv_barsince", "zv_barlast"):
        assert_bits(call(name, x)[1], np.arange(1.0, n + 1))
    x[:] = 1
    x[n // 2] = 0
    back = np.concatenate([np.arange(1.0, n // 2 + 1), [0], np.arange(1.0, n - n // 2)])
    assert_bits(call("zv_backcount", x)[1], back)


@examples(200)
@given(st.sampled_from(COND), st.lists(conditions, max_size=40))
def test_property(name, x):
    rc, r = call(name, x)
    assert rc == ERR_OK
    assert_bits(r, REF[name](x))
