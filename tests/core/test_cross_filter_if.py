"""Crossing, signal filter and conditional selection (CROSS, FILTER, FIF)."""
import pytest
from hypothesis import given, strategies as st

import reference

from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NEG_NAN, PAYLOAD_NAN,
                     SENTINEL, SNAN, assert_bits, call)
from reference import INF as inf, INT_MAX, NaN
from strategies import examples, small_values

# ---- zv_cross --------------------------------------------------------------------

@pytest.mark.parametrize("x,y,expected", [
    ([1, 3, 1, 2, 3], [2] * 5, [SENTINEL, 1, 0, 0, 0]),  # through equality: not marked
    ([NaN, 3], [2, 2], [SENTINEL, 0]),
    ([1, NaN], [2, 2], [SENTINEL, 0]),
    ([1, 3], [NaN, 2], [SENTINEL, 0]),
    ([-inf, inf], [0, 0], [SENTINEL, 1]),
    ([-0.0, 0.0], [0.0, -0.0], [SENTINEL, 0]),  # signed zeros compare equal
    ([3, 1], [2, 2], [SENTINEL, 0]),  # downward cross is not marked
    ([5], [1], [SENTINEL]),
])
def test_cross_examples(x, y, expected):
    rc, r = call("zv_cross", x, y)
    assert rc == ERR_OK
    assert_bits(r, expected)


# ---- zv_filter -------------------------------------------------------------------

@pytest.mark.parametrize("x,n,expected", [
    ([1, 1, 1, 0, 2, 3, 0], 2, [1, 0, 1, 0, 2, 0, 0]),
    ([0, 5, 1, 1], 0, [0, 5, 0, 0]),
    ([NaN, 1, NaN, 1], 3, [NaN, 1, 0, 0]),
    ([-0.0, SNAN, 2.5, 7], 1, [-0.0, SNAN, 2.5, 7]),  # N = 1 copies, payloads kept
    ([-0.0, -1.0, NaN, inf, 4], 2, [-0.0, -1.0, 0, inf, 0]),  # negatives, infinities signal
    ([0, 2, 3, 4], INT_MAX, [0, 2, 0, 0]),
    ([0, 0, PAYLOAD_NAN, 9], INT_MAX - 1, [0, 0, PAYLOAD_NAN, 9]),
    ([NEG_NAN, 0.5], 0, [NEG_NAN, 0.5]),
])
def test_filter_examples(x, n, expected):
    rc, r = call("zv_filter", x, n)
    assert rc == ERR_OK
    assert_bits(r, expected)


# ---- zv_fif ----------------------------------------------------------------------

def test_fif_examples():
    rc, r = call("zv_fif", [1, 0, 255], [1, 2, 3], [10, 20, 30])
    assert rc == ERR_OK
    assert_bits(r, [1, 20, 3])
    rc, r = call("zv_fif", [2, 0, 1, 0], [SNAN, 1, -0.0, 1], [1, PAYLOAD_NAN, 1, NEG_NAN])
    assert_bits(r, [SNAN, PAYLOAD_NAN, -0.0, NEG_NAN])


# ---- refusals --------------------------------------------------------------------

@pytest.mark.parametrize("name,args,sizes,size_r", [
    ("zv_cross", ([1, 2, 3], [1, 2, 3]), [3, 2], None),
    ("zv_cross", ([1, 2, 3], [1, 2, 3]), [3, 4], None),
    ("zv_cross", ([1, 2, 3], [1, 2, 3]), None, 2),
    ("zv_filter", ([1, 2, 3], -1), None, 4),  # size checked before N
    ("zv_fif", ([1, 0, 1], [1, 2, 3], [4, 5, 6]), [3, 2, 3], None),
    ("zv_fif", ([1, 0, 1], [1, 2, 3], [4, 5, 6]), [3, 3, 2], None),
    ("zv_fif", ([1, 0, 1], [1, 2, 3], [4, 5, 6]), None, 2),
])
def test_size_mismatch(name, args, sizes, size_r):
    rc, r = call(name, *args, sizes=sizes, size_r=size_r)
    assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()


def test_filter_negative_window_and_empty():
    for n in (-1, -2**31):
        rc, r = call("zv_filter", [1, 2], n)
        assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all()
    for name, args in [("zv_cross", ([], [])), ("zv_filter", ([], 0)), ("zv_fif", ([], [], []))]:
        assert call(name, *args)[0] == ERR_OK
    assert call("zv_filter", [], 0, sizes=[-3], size_r=-3)[0] == ERR_OK
    assert call("zv_cross", [], [], sizes=[-3, -3], size_r=-3)[0] == ERR_OK


# ---- properties ------------------------------------------------------------------

@examples(200)
@given(st.data())
def test_property(data):
    x = data.draw(st.lists(small_values, max_size=30))
    y, a, b = (data.draw(st.lists(small_values, min_size=len(x), max_size=len(x))) for _ in range(3))
    c = data.draw(st.lists(st.sampled_from([0, 1, 255]), min_size=len(x), max_size=len(x)))
    n = data.draw(st.one_of(st.integers(0, 6), st.sampled_from([29, 30, 31, INT_MAX])))
    rc, r = call("zv_cross", x, y)
    assert rc == ERR_OK
    assert_bits(r, reference.cross(x, y, SENTINEL))
    rc, r = call("zv_filter", x, n)
    assert rc == ERR_OK
    assert_bits(r, reference.filter_(x, n))
    rc, r = call("zv_fif", c, a, b)
    assert rc == ERR_OK
    assert_bits(r, reference.fif(c, a, b))
