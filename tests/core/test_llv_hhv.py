"""Lowest and highest values over a trailing window, bit for bit."""
import os

import numpy as np
import pytest
from hypothesis import given, strategies as st

import builds
import reference
from corelib import ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, PAYLOAD_NAN, assert_bits, refused, run
from reference import INF, INT_MAX, INT_MIN, NaN, check_at_scale, check_per_bar, to_window
from strategies import (SCALE_SERIES, SCALE_WINDOWS, examples, level_series, scale_series,
                        scale_windows, series, tie_series, window_series, windows, windows_for)


@pytest.mark.parametrize("name,args,expected", [
    ("zv_llv", ([5, 3, NaN, 4, 6, 1], 3), [5, 3, 3, 3, 4, 1]),
    ("zv_hhv", ([5, 3, NaN, 4, 6, 1], 3), [5, 5, 5, 4, 6, 6]),
    ("zv_hhv", ([2, NaN, 1, 3], 0), [2, 2, 2, 3]),
    ("zv_llv", ([NaN, 2, NaN, -INF], 1), [NaN, 2, NaN, -INF]),
    ("zv_llv", ([NaN, NaN, 4, 2, 7], INT_MAX), [NaN, NaN, 4, 2, 2]),
    ("zv_llv", ([1, NaN, NaN], 2), [1, 1, NaN]),
    # Equal values: the most recent stays, visible with zeros of both signs.
    ("zv_llv", ([-0.0, 0.0], 2), [-0.0, 0.0]),
    ("zv_llv", ([0.0, -0.0, NaN], 0), [0.0, -0.0, -0.0]),
    ("zv_hhv", ([0.0, -0.0, 0.0, -0.0], 3), [0.0, -0.0, 0.0, -0.0]),
    # Bar 3's window joins older bars 1-2 with bar 3: the newer zero wins the
    # tie across that seam, and the newer zero wins among the older bars.
    ("zv_llv", ([5, -0.0, 5, 0.0, 5], 3), [5, -0.0, -0.0, 0.0, 0.0]),
    ("zv_llv", ([5, 0.0, -0.0, 5, 5], 3), [5, 0.0, -0.0, -0.0, -0.0]),
    ("zv_hhv", ([-0.0, 0.0, -0.0, -0.0, NaN, NaN, NaN], 2),
     [-0.0, 0.0, -0.0, -0.0, -0.0, NaN, NaN]),
    ("zv_llv", ([INF, NaN, NaN, NaN, INF], 2), [INF, INF, NaN, NaN, INF]),  # inf is not NaN
    ("zv_hhv", ([], 3), []),
    ("zv_llv_a", ([5, 3, 4, 1], [2.9, -0.5, -1, NaN]), [5, 3, NaN, NaN]),
    ("zv_hhv_a", ([5, 3, 4, 1], [1, 0, 2, 2147483648.0]), [5, 5, 4, NaN]),
    ("zv_hhv_a", ([5, 3, 4, 1], [INF, 1e10, -1e10, 2147483647.0]), [NaN, NaN, NaN, 5]),
    ("zv_llv_a", ([-0.0, 0.0, NaN], [0, 0, 2]), [-0.0, 0.0, 0.0]),
    ("zv_llv_a", ([], []), []),
])
def test_examples(name, args, expected):
    rc, r = run(name, *args)
    assert rc == ERR_OK
    assert_bits(r, expected)


def test_values_copied_with_their_bits():
    rc, r = run("zv_hhv", [PAYLOAD_NAN, -INF, PAYLOAD_NAN], 2)
    assert_bits(r, [NaN, -INF, -INF])


@pytest.mark.parametrize("name,args,kw,code", [
    ("zv_llv", ([1, 2], -1), {}, ERR_PARAM_WRONG),
    ("zv_hhv", ([1, 2], INT_MIN), {}, ERR_PARAM_WRONG),
    ("zv_llv", ([1, 2], -1), {"size_r": 1}, ERR_SIZE_DISMATCH),
    ("zv_hhv", ([1, 2], 1), {"size_r": 3}, ERR_SIZE_DISMATCH),
    ("zv_llv_a", ([1, 2], [1, 1]), {"sizes": [2, 1]}, ERR_SIZE_DISMATCH),
    ("zv_hhv_a", ([1, 2], [1, 1]), {"sizes": [2, 3]}, ERR_SIZE_DISMATCH),
    ("zv_hhv_a", ([1, 2], [1, 1]), {"size_r": 1}, ERR_SIZE_DISMATCH),
    ("zv_llv", ([1.0] * 1000, 7), {"size_r": 999}, ERR_SIZE_DISMATCH),
    ("zv_hhv", ([1.0] * 1000, 7), {"size_r": 1001}, ERR_SIZE_DISMATCH),
    ("zv_hhv", ([1.0] * 1000, -7), {}, ERR_PARAM_WRONG),
])
def test_refusals(name, args, kw, code):
    refused(name, *args, rc_expected=code, **kw)


@examples(250)
@given(st.data())
def test_property(data):
    name = data.draw(st.sampled_from(["zv_llv", "zv_hhv", "zv_llv_a", "zv_hhv_a"]))
    lower = name.startswith("zv_llv")
    x = data.draw(series)
    if name.endswith("_a"):
        w = window_series(data, len(x))
        ks, args = [to_window(v) for v in w], (x, w)
    else:
        n = data.draw(windows)
        if n < 0:
            return refused(name, x, n, rc_expected=ERR_PARAM_WRONG)
        ks, args = [n] * len(x), (x, n)
    rc, r = run(name, *args)
    assert rc == ERR_OK
    assert_bits(r, reference.extreme(x, ks, lower))


# ---- one window: the block method against fresh scans ----------------------------------

@examples(400)
@given(st.data())
def test_ties_and_windows_near_the_length(data):
    x = data.draw(tie_series())
    n = data.draw(windows_for(len(x)))
    lower = data.draw(st.booleans())
    name = "zv_llv" if lower else "zv_hhv"
    if n < 0:
        return refused(name, x, n, rc_expected=ERR_PARAM_WRONG)
    rc, r = run(name, x, n)
    assert rc == ERR_OK
    assert_bits(r, reference.extreme(x, [n] * len(x), lower))


@pytest.mark.parametrize("kind", ["walk", "zeros", "levels"])
def test_block_boundaries_at_scale(ref_twins, kind):
    # Block boundaries, partial last blocks, windows holding only NaN bars;
    # a fixed window is the per-bar twin with one window on every bar.
    x = level_series(kind)
    for n in list(range(1, 34)) + [63, 64, 65, 100, 127, 128, 199, 250, 256, 299, 300,
                                   9_999, 10_000, 10_001]:
        for name in ("zv_llv", "zv_hhv"):
            rc, r = run(name, x, n)
            assert rc == ERR_OK
            assert_bits(r, reference.run_twin(ref_twins, name + "_a", x, np.full(len(x), n)))


# ---- per-bar windows: every way to the extreme against the rescan -------------------
#
# The per-bar functions continue growing windows, run sliding ones through
# the blocks of the single-window method, and answer the rest by a rescan or,
# once rescans grow costly, from a stack in a scratch buffer.  Besides the
# installed module, two builds of the same source pin the choice: "stack"
# takes the buffer at the first rescan, "no-buffer" is refused every buffer
# and must rescan to the end.

VARIANTS = {
    "stack": ["-DRILLET_RESCAN_PER_BAR=0", "-DRILLET_RESCAN_SLACK=0"],
    "no-buffer": ["-DRILLET_RESCAN_PER_BAR=0", "-DRILLET_RESCAN_SLACK=0",
                  "-DRILLET_SCRATCH_ALLOC(bytes)=nullptr"],
}


@pytest.fixture(scope="module", params=["module", *VARIANTS])
def build(request, tmp_path_factory):
    if request.param == "module":
        return None
    if not builds.have("g++"):
        pytest.skip("g++ is needed")
    out = tmp_path_factory.mktemp("llv_hhv") / f"{request.param}.so"
    return builds.library(out, [os.path.join(builds.CORE_SRC, "families", "extremes.cpp")],
                          VARIANTS[request.param])


@examples(100)
@given(data=st.data())
def test_per_bar_window_classes(build, data):
    name = data.draw(st.sampled_from(["zv_llv_a", "zv_hhv_a"]))

    def ref(x, w):
        return reference.extreme(x, [to_window(v) for v in w], name == "zv_llv_a")

    check_per_bar(data, name, ref, classes=True, dll=build)


@pytest.mark.parametrize("name,x,w,expected", [
    # The zero met last wins, whether the window grew, slid or jumped there.
    ("zv_llv_a", [5, -0.0, 0.0, 5, 5, 5], [1, 1, 2, 3, 4, 5], [5, -0.0, 0.0, 0.0, 0.0, 0.0]),
    ("zv_hhv_a", [-1, 0.0, -0.0, -1, -1, -1, -1], [1, 2, 2, 2, 2, 2, 6],
     [-1, 0.0, -0.0, -0.0, -1, -1, -0.0]),
    ("zv_llv_a", [NaN, NaN, 3, NaN, 1], [1, 2, 1, 1, 3], [NaN, NaN, 3, NaN, 1]),
    # A window that slides off its only value gives NaN, then a value again.
    ("zv_hhv_a", [7, NaN, NaN, NaN, NaN, 2], [1] + [2] * 5, [7, 7, NaN, NaN, NaN, 2]),
])
def test_per_bar_ties_and_gaps(build, name, x, w, expected):
    rc, r = run(name, x, w, dll=build)
    assert rc == ERR_OK
    assert_bits(r, expected)


@pytest.mark.parametrize("wkind", SCALE_WINDOWS)
@pytest.mark.parametrize("xkind", SCALE_SERIES)
def test_per_bar_at_scale(build, ref_twins, xkind, wkind):
    # Deep stacks (a steady fall for the highest value), long jumps, long runs.
    x, w = scale_series(xkind, 6000, seed=1), scale_windows(wkind, 6000, seed=2)
    for name in ("zv_llv_a", "zv_hhv_a"):
        check_at_scale(name, ref_twins, x, w, dll=build)
