"""Window sums and window counts, bit for bit."""
import numpy as np
import pytest
from hypothesis import given, strategies as st

import reference
from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NEG_NAN, PAYLOAD_NAN,
                     assert_bits, check, refused, run)
from reference import INF, INT_MAX, INT_MIN, NaN, check_at_scale, check_per_bar
from strategies import (SCALE_WINDOWS, examples, level_series, scale_series, scale_windows,
                        series, tie_series, window_values, windows)


@pytest.mark.parametrize("name,args,expected", [
    ("zv_sum", ([NaN, 1, NaN, 2], 0), [0, 1, 1, 3]),
    ("zv_sum", ([NaN, -0.0], 0), [0.0, 0.0]),
    ("zv_sum", ([INF, NaN, -INF, 1], 0), [INF, INF, NEG_NAN, NEG_NAN]),
    ("zv_sum", ([1, 2, 3, 4], 2), [NaN, 3, 5, 7]),
    ("zv_sum", ([NaN, 1, 2, 3], 2), [NaN, NaN, 3, 5]),
    ("zv_sum", ([1, NaN, 3, 4], 2), [NaN] * 4),
    ("zv_sum", ([1, INF, 3, 4], 2), [NaN, INF, INF, NEG_NAN]),  # inf leaves NaN behind
    ("zv_sum", ([NaN, 3, -2, NaN, 7], 1), [NaN, 3, -2, NaN, NaN]),
    ("zv_sum", ([1, 2], 3), [NaN, NaN]),
    ("zv_sum", ([NaN, 1, 2], INT_MAX), [NaN] * 3),
    ("zv_sum", ([], 3), []),
    ("zv_sum_a", ([1, 2, 3, 4], [1, 1, 2, 3]), [NaN, 2, 5, 9]),
    ("zv_sum_a", ([1, 2, NaN, 4, 5, 6], [2] * 6), [NaN, NaN, NaN, NaN, 9, 11]),
    ("zv_sum_a", ([1, 2, 3, 4], [0, -3, NaN, 1e10]), [NaN] * 4),
    ("zv_sum_a", ([1, 2, 3, 4], [1, 2.9, 2.9, -0.5]), [NaN, NaN, 5, NaN]),
    ("zv_sum_a", ([1, INF, -INF, 2], [1, 1, 2, 1]), [NaN, INF, NEG_NAN, 2]),
    ("zv_sum_a", ([1, PAYLOAD_NAN, 3], [1, 1, 1]), [NaN, NaN, 3]),  # plain NaN for a NaN bar
    ("zv_sum_a", ([-0.0, -0.0, -0.0], [1, 1, 2]), [NaN, 0.0, 0.0]),
    ("zv_count", ([NaN, 0, 2, 0, -1], 0), [1, 1, 2, 2, 3]),
    ("zv_count", ([NaN, NaN, 1, NaN, 0], 2), [NaN, NaN, NaN, 2, 1]),
    ("zv_count", ([NaN, 1, 0, NaN, -0.0], 1), [NaN, 1, 0, 1, 0]),
    ("zv_count", ([-0.0, 0.0, 5], 0), [0, 0, 1]),
    ("zv_count", ([NaN, NaN], 2), [NaN, NaN]),
    ("zv_count", ([1, 2, 3], INT_MAX), [NaN] * 3),
    ("zv_count", ([], 2), []),
    ("zv_count_a", ([1, 0, 3, NaN], [5, 0, 2, 1]), [1, 1, 1, 0]),
    ("zv_count_a", ([1, 1, 1], [-1, NaN, -0.5]), [NaN, NaN, 3]),
    ("zv_count_a", ([NaN, -0.0, 1], [0, 0, 0]), [0, 0, 1]),
    ("zv_count_a", ([1, 1, 1], [2147483648.0, -1e10, 2147483647.0]), [NaN, NaN, 3]),
    ("zv_count_a", ([], []), []),
])
def test_examples(name, args, expected):
    rc, r = run(name, *args)
    assert rc == ERR_OK
    assert_bits(r, expected)


@pytest.mark.parametrize("name,args,kw,code", [
    ("zv_sum", ([1, 2], -1), {}, ERR_PARAM_WRONG),
    ("zv_count", ([1, 2], INT_MIN), {}, ERR_PARAM_WRONG),
    ("zv_sum", ([1, 2], -1), {"size_r": 3}, ERR_SIZE_DISMATCH),
    ("zv_count", ([1, 2], 1), {"size_r": 1}, ERR_SIZE_DISMATCH),
    ("zv_sum_a", ([1, 2], [1, 1]), {"sizes": [2, 1]}, ERR_SIZE_DISMATCH),
    ("zv_sum_a", ([1, 2], [1, 1]), {"size_r": 1}, ERR_SIZE_DISMATCH),
    ("zv_count_a", ([1, 2], [1, 1]), {"sizes": [2, 3]}, ERR_SIZE_DISMATCH),
    ("zv_count_a", ([1, 2], [1, 1]), {"size_r": 3}, ERR_SIZE_DISMATCH),
    ("zv_count_a", ([1.0] * 1000, [5.0] * 1000), {"sizes": [1000, 999]}, ERR_SIZE_DISMATCH),
    ("zv_count_a", ([1.0] * 1000, [5.0] * 1000), {"size_r": 999}, ERR_SIZE_DISMATCH),
])
def test_refusals(name, args, kw, code):
    refused(name, *args, rc_expected=code, **kw)


@pytest.mark.parametrize("n", [0, 1, 7])
def test_sum_rounding_on_random_series(n):
    x = [NaN] * 3 + list(np.random.default_rng(3).normal(100, 30, 300))
    w = [float(n)] * len(x)
    check(run("zv_sum", x, n)[1], reference.sum_(x, n))
    assert_bits(run("zv_sum_a", x, w)[1], reference.sum_a(x, w))


@examples(200)
@given(series, windows)
def test_sum_property(x, n):
    if n < 0:
        return refused("zv_sum", x, n, rc_expected=ERR_PARAM_WRONG)
    rc, r = run("zv_sum", x, n)
    assert rc == ERR_OK
    check(r, reference.sum_(x, n))


@examples(200)
@given(st.data())
def test_sum_a_property(data):
    check_per_bar(data, "zv_sum_a", reference.sum_a)


@examples(200)
@given(st.data())
def test_count_property(data):
    if data.draw(st.booleans()):
        return check_per_bar(data, "zv_count_a", reference.count_a)
    x = data.draw(series)
    n = data.draw(windows)
    if n < 0:
        return refused("zv_count", x, n, rc_expected=ERR_PARAM_WRONG)
    rc, r = run("zv_count", x, n)
    assert rc == ERR_OK
    assert_bits(r, reference.count(x, n))


# ---- per-bar windows that grow, slide, jump ...: reuse against fresh sums -----------

@examples(100)
@given(st.data())
def test_per_bar_window_classes(data):
    # SUM_A continues the sum of a window that grows from the same first bar;
    # COUNT_A takes differences of prefix counts.  Both against the fresh
    # per-window loops.
    check_per_bar(data, "zv_sum_a", reference.sum_a, classes=True)
    check_per_bar(data, "zv_count_a", reference.count_a, classes=True)


@pytest.mark.parametrize("x,w,expected", [
    # A growing window carries its sum, oldest first: each 1 added to 1e16 is
    # lost to rounding (summing the newest first would give 1e16 + 4), and
    # -0.0 alone sums to +0.0 (0.0 + -0.0).
    ([9, -0.0, 1e16, 1, 1, 1], [1, 1, 2, 3, 4, 5], [NaN, 0.0, 1e16, 1e16, 1e16, 1e16]),
    # A negative window between two bars of one growth: the sum resumes.
    ([9, 1, 2, NaN, 4], [1, 1, -1, 3, 4], [NaN, 1, NaN, NaN, NaN]),
    ([9, 1, 2, 3, 4], [1, 1, -1, 3, 4], [NaN, 1, NaN, 6, 10]),
    # inf + -inf inside a growing window stays the NaN of the addition.
    ([9, INF, -INF, 1], [1, 1, 2, 3], [NaN, INF, NEG_NAN, NEG_NAN]),
])
def test_sum_a_growth(x, w, expected):
    rc, r = run("zv_sum_a", x, w)
    assert rc == ERR_OK
    assert_bits(r, expected)


@pytest.mark.parametrize("wkind", SCALE_WINDOWS)
def test_sum_a_at_scale(ref_twins, wkind):
    x, w = scale_series("walk", 4000, seed=3), scale_windows(wkind, 4000, seed=4)
    x[::97] = 1e15   # large and small values: the order of additions shows
    check_at_scale("zv_sum_a", ref_twins, x, w)


# ---- COUNT_A's prefix counts against fresh counts -------------------------------------

@examples(200)
@given(st.data())
def test_count_a_ties_and_long_windows(data):
    x = data.draw(tie_series())
    n = len(x)
    w = data.draw(st.lists(st.one_of(window_values, st.integers(-2, n + 2).map(float),
                                     st.sampled_from([float(n), float(n + 1), 0.0])),
                           min_size=n, max_size=n))
    rc, r = run("zv_count_a", x, w)
    assert rc == ERR_OK
    assert_bits(r, reference.count_a(x, w))


@pytest.mark.parametrize("kind", ["walk", "zeros", "levels"])
def test_count_a_at_scale(ref_twins, kind):
    x = level_series(kind)
    rng = np.random.default_rng(5)
    for w in (np.full(len(x), 250.0), rng.integers(-5, 400, len(x)).astype(float),
              rng.choice([0.0, 1.0, 9_999.0, 10_000.0, 10_001.0, NaN], len(x))):
        check_at_scale("zv_count_a", ref_twins, x, w)
