"""The window median, bit for bit: the core and panels against the plain sort
of every window (its stream is checked with every function's, in tests/stream)."""
import warnings

import numpy as np
import pytest
from hypothesis import given, strategies as st

import reference
from corelib import ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, assert_bits, check, refused, run
from reference import INF, INT_MAX, NaN
from strategies import NEG_NAN, examples, scale_series, series, tie_series, value_runs

import zelvo


@pytest.mark.parametrize("x,n,expected", [
    ([5, 1, 4, NaN, 2, 8], 3, [5, 3, 4, 2.5, 3, 5]),
    ([NaN, NaN, 1], 2, [NaN, NaN, 1]),
    ([1, NaN, NaN], 2, [1, 1, NaN]),
    ([3, 1, 2], INT_MAX, [3, 2, 2]),
    ([7, 8], 1, [7, 8]),
    # -0.0 sorts before +0.0, so the middle of three zeros is fixed.
    ([0.0, -0.0, 0.0], 3, [0.0, 0.0, 0.0]),
    ([-0.0, -0.0, 0.0], 3, [-0.0, -0.0, -0.0]),
    ([-0.0, 0.0, -0.0], 3, [-0.0, 0.0, -0.0]),
    ([-0.0, 0.0], 2, [-0.0, 0.0]),
    # The mean of the two middle values: opposite infinities give NaN, huge
    # values of one sign overflow as their sum does.
    ([-INF, INF], 2, [-INF, NEG_NAN]),
    ([1e308, 1e308], 2, [1e308, INF]),
    ([], 3, []),
])
def test_examples(x, n, expected):
    rc, r = run("zv_median", x, n)
    assert rc == ERR_OK
    assert_bits(r, expected)


@pytest.mark.parametrize("n,kw,rc", [(0, {}, ERR_PARAM_WRONG), (-5, {}, ERR_PARAM_WRONG),
                                     (1, {"size_r": 3}, ERR_SIZE_DISMATCH)])
def test_refusals_leave_the_result_untouched(n, kw, rc):
    refused("zv_median", [1.0, 2.0], n, rc_expected=rc, **kw)


@given(st.one_of(series, value_runs, tie_series()), st.integers(1, 40))
@examples(300)
def test_matches_the_plain_sort(x, n):
    rc, r = run("zv_median", x, n)
    assert rc == ERR_OK
    check(r, reference.median(x, n))


@pytest.mark.parametrize("kind", ["walk", "ties", "nan_runs"])
@pytest.mark.parametrize("n", [1, 2, 64, 1000])
def test_long_series_against_numpy(kind, n):
    # np.nanmedian takes the same middle values and the same (lo + hi) / 2.
    x = scale_series(kind, 3000, seed=n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # all-NaN windows
        want = [np.nanmedian(x[max(0, i - n + 1):i + 1]) for i in range(len(x))]
    got = zelvo.MEDIAN(np.asarray(x, dtype=float), n)
    np.testing.assert_array_equal(got, np.asarray(want, dtype=float))


@given(st.lists(st.lists(st.sampled_from([NaN, 0.0, -0.0, 1.0, 2.0, -5.0]), min_size=12,
                         max_size=12), min_size=1, max_size=20), st.integers(1, 6))
@examples(60)
def test_panel_lanes_equal_one_series(rows, n):
    p = np.asarray(rows, dtype=float)
    for threads in (1, 2):
        zelvo.set_threads(threads)
        try:
            got = zelvo.MEDIAN(p, n)
            got_t = zelvo.MEDIAN(np.ascontiguousarray(p.T), n, axis=0)
        finally:
            zelvo.set_threads(0)
        for k, row in enumerate(p):
            check(got[k], reference.median(list(row), n))
            assert got_t[:, k].tobytes() == got[k].tobytes()
