"""Bar counting (BARSINCE, BARLAST, BARSLAST, BACKCOUNT, CURRBARSCOUNT)."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from corelib import ERR_OK, ERR_SIZE_DISMATCH, SENTINEL, assert_bits, call

COND = ["zv_barsince", "zv_barlast", "zv_barslast", "zv_backcount"]


def ref_barsince(x):
    first = next((i for i, v in enumerate(x) if v), None)
    return [0 if first is None or i < first else i - first + 1 for i in range(len(x))]


def ref_barlast(x):
    """A fresh backward search from every bar, the plain definition."""
    out = []
    for i in range(len(x)):
        j = next((j for j in range(i, -1, -1) if x[j]), None)
        out.append(0 if j is None else i - j + 1)
    return out


def ref_backcount(x):
    """A fresh backward count from every bar until a false bar."""
    out = []
    for i in range(len(x)):
        n = 0
        for j in range(i, -1, -1):
            if not x[j]:
                break
            n += 1
        out.append(n)
    return out


REF = {"zv_barsince": ref_barsince, "zv_barlast": ref_barlast, "zv_barslast": ref_barlast,
       "zv_backcount": ref_backcount}


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


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(COND), st.lists(st.sampled_from([0, 0, 1, 255, 3]), max_size=40))
def test_property(name, x):
    rc, r = call(name, x)
    assert rc == ERR_OK
    assert_bits(r, REF[name](x))
