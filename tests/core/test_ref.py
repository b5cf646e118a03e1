"""Back references, bit for bit: values are copied with their exact bits."""
import pytest
from hypothesis import given, strategies as st

import reference
from corelib import ERR_OK, ERR_SIZE_DISMATCH, PAYLOAD_NAN, SNAN, assert_bits, refused, run
from reference import INT_MAX, INT_MIN, NaN, at, to_window
from strategies import examples, series, values, window_series, windows

X4 = [1, 2, 3, 4]


@pytest.mark.parametrize("name,args,expected", [
    ("zv_ref", (X4, 1), [NaN, 1, 2, 3]),
    ("zv_ref", (X4, 0), X4),
    ("zv_ref", (X4, -1), [2, 3, 4, NaN]),
    ("zv_ref", (X4, 4), [NaN] * 4),
    ("zv_ref", (X4, INT_MIN), [NaN] * 4),
    ("zv_ref", (X4, INT_MAX), [NaN] * 4),
    ("zv_ref", ([], 1), []),
    ("zv_ref_a", (X4, [0, 1, 3, NaN]), [1, 1, NaN, NaN]),
    ("zv_ref_a", (X4, [-1, -1, -1, -1]), [2, 3, 4, NaN]),
    ("zv_ref_a", (X4, [-1.5, 2.9, -0.5, 1e10]), [2, NaN, 3, NaN]),
    ("zv_ref_a", (X4, [-2147483648.0, -2147483649.0, 2147483647.0, -1e10]), [NaN] * 4),
    ("zv_refxv", (X4, 1), [2, 3, 4, 4]),
    ("zv_refxv", (X4, -1), [1, 1, 2, 3]),
    ("zv_refxv", (X4, 10), X4),
    ("zv_refxv", (X4, INT_MAX), X4),
    ("zv_refxv", (X4, INT_MIN), X4),
    ("zv_refxv", ([PAYLOAD_NAN, SNAN, -0.0], 1), [SNAN, -0.0, -0.0]),
    ("zv_refif", ([10, 20, 30, 40], [0, 1, 0, 1], [7, 7, 7, 7]), [7, 7, 20, 20]),
    ("zv_refif", ([10, NaN, 30, 40], [1, 1, 0, 1], [5, 6, 7, 8]), [5, 10, 7, 8]),
    ("zv_refif", ([10, 20, 30], [NaN, -0.0, 0], [5, 6, 7]), [5, 10, 10]),
    ("zv_refif", ([-0.0, 1], [1, 0], [5, 6]), [5, -0.0]),
    ("zv_refif", ([], [], []), []),
])
def test_examples(name, args, expected):
    rc, r = run(name, *args)
    assert rc == ERR_OK
    assert_bits(r, expected)


@pytest.mark.parametrize("name,args,kw", [
    ("zv_ref", (X4, 1), {"size_r": 3}),
    ("zv_refxv", (X4, -1), {"size_r": 5}),
    ("zv_ref_a", (X4, X4), {"sizes": [4, 3]}),
    ("zv_ref_a", (X4, X4), {"size_r": 3}),
    ("zv_refif", (X4, X4, X4), {"sizes": [4, 5, 4]}),
    ("zv_refif", (X4, X4, X4), {"sizes": [4, 4, 3]}),
    ("zv_refif", (X4, X4, X4), {"size_r": 3}),
])
def test_size_mismatch(name, args, kw):
    refused(name, *args, rc_expected=ERR_SIZE_DISMATCH, **kw)


@examples(250)
@given(st.data())
def test_property(data):
    name = data.draw(st.sampled_from(["zv_ref", "zv_ref_a", "zv_refxv", "zv_refif"]))
    x = data.draw(series)
    n = len(x)
    if name == "zv_refif":
        c, v = (data.draw(st.lists(values, min_size=n, max_size=n)) for _ in range(2))
        args, expected = (x, c, v), reference.refif(x, c, v)
    elif name == "zv_ref_a":
        w = window_series(data, n)
        args = (x, w)
        expected = [at(x, i, i - to_window(w[i]), NaN) for i in range(n)]
    else:
        k = data.draw(windows | st.integers(-35, 35))
        args = (x, k)
        expected = ([at(x, i, i - k, NaN) for i in range(n)] if name == "zv_ref"
                    else [at(x, i, i + k, x[i]) for i in range(n)])
    rc, r = run(name, *args)
    assert rc == ERR_OK
    assert_bits(r, expected)
