"""The linear-time kernels of LLV/HHV (one window) and COUNT_A (prefix counts)
against the straightforward per-bar rescans they replace, bit for bit.

The rescans live here only, as a small C++ library built with g++ for the
module: every bar scans its own window from the newest bar backwards.
"""
import ctypes
import os
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NEG_NAN, PAYLOAD_NAN, SNAN,
                     assert_bits, f64)
from reflib import INF, INT_MAX, INT_MIN, NaN, refused, run, window_values

RESCAN_SOURCE = r"""
#include <cmath>
#include <cstdint>
#include <cstring>

static double quiet_nan() {
    const uint64_t b = 0x7FF8000000000000ULL;
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

static int32_t to_window(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Non-NaN bars X[i], X[i-1], ... X[max(0, i-k+1)] from the newest; only a
// strictly better value replaces the kept one.
static double extreme(const double *X, int64_t i, int64_t k, bool lower) {
    const int64_t lo = k > i ? 0 : i - k + 1;
    double r = quiet_nan();
    bool have = false;
    for (int64_t j = i; j >= lo; --j) {
        const double v = X[j];
        if (std::isnan(v)) continue;
        if (!have || (lower ? v < r : v > r)) {
            r = v;
            have = true;
        }
    }
    return r;
}

extern "C" void rescan_extreme(const double *X, int n, int N, int lower, double *R) {
    for (int64_t i = 0; i < n; ++i) R[i] = extreme(X, i, N == 0 ? i + 1 : N, lower != 0);
}

extern "C" void rescan_count_a(const double *X, int n, const double *N, double *R) {
    for (int64_t i = 0; i < n; ++i) {
        const int64_t w = to_window(N[i]);
        if (w < 0) {
            R[i] = quiet_nan();
            continue;
        }
        const int64_t k = (w == 0 || w > i + 1) ? i + 1 : w;
        double c = 0.0;
        for (int64_t j = 0; j < k; ++j) {
            const double v = X[i - j];
            if (v != 0.0 && !std::isnan(v)) c = c + 1.0;
        }
        R[i] = c;
    }
}
"""


@pytest.fixture(scope="module")
def rescan(tmp_path_factory):
    gxx = shutil.which("g++")
    if gxx is None:
        pytest.skip("g++ is needed to build the rescan reference")
    d = tmp_path_factory.mktemp("rescan")
    src, so = d / "rescan.cpp", d / "librescan.so"
    src.write_text(RESCAN_SOURCE)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([gxx, "-std=c++17", "-O2", "-fwrapv", "-ffp-contract=off", "-shared", "-fPIC",
                    str(src), "-o", str(so)], check=True, env=env)
    lib = ctypes.CDLL(str(so))
    D = ctypes.POINTER(ctypes.c_double)
    lib.rescan_extreme.argtypes = [D, ctypes.c_int, ctypes.c_int, ctypes.c_int, D]
    lib.rescan_count_a.argtypes = [D, ctypes.c_int, D, D]

    def extreme(x, N, lower):
        x = f64(x)
        r = np.empty(len(x))
        lib.rescan_extreme(x.ctypes.data_as(D), len(x), N, int(lower), r.ctypes.data_as(D))
        return r

    def count_a(x, w):
        x, w = f64(x), f64(w)
        r = np.empty(len(x))
        lib.rescan_count_a(x.ctypes.data_as(D), len(x), w.ctypes.data_as(D), r.ctypes.data_as(D))
        return r

    return extreme, count_a


# ---- series rich in ties: runs of values from a small palette ------------------

NANS = [NaN, NEG_NAN, SNAN, PAYLOAD_NAN]
values = st.one_of(
    st.sampled_from(NANS + [INF, -INF, 1.0, -1.0, 2.5]),
    st.sampled_from([0.0, -0.0]),
    st.sampled_from([0.0, -0.0]),
    st.floats(-1e3, 1e3, allow_nan=False),
)


@st.composite
def tie_series(draw, max_size=200):
    palette = draw(st.lists(values, min_size=1, max_size=6))
    runs = draw(st.lists(st.tuples(st.sampled_from(palette), st.integers(1, 12)), max_size=60))
    return [v for v, k in runs for _ in range(k)][:max_size]


def windows_for(n):
    return st.one_of(
        st.sampled_from([0, 1, 2, INT_MAX, -1, INT_MIN]),
        st.integers(3, 12),
        st.sampled_from([max(n - 1, 0), n, n + 1]),
        st.integers(1, max(n, 1)),
    )


@settings(max_examples=400, deadline=None)
@given(st.data())
def test_llv_hhv_match_rescan(rescan, data):
    x = data.draw(tie_series())
    N = data.draw(windows_for(len(x)))
    lower = data.draw(st.booleans())
    name = "zv_llv" if lower else "zv_hhv"
    if N < 0:
        return refused(name, x, N, rc_expected=ERR_PARAM_WRONG)
    rc, r = run(name, x, N)
    assert rc == ERR_OK
    assert_bits(r, rescan[0](x, N, lower))


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_count_a_matches_rescan(rescan, data):
    x = data.draw(tie_series())
    n = len(x)
    w = data.draw(st.lists(st.one_of(window_values, st.integers(-2, n + 2).map(float),
                                     st.sampled_from([float(n), float(n + 1), 0.0])),
                           min_size=n, max_size=n))
    rc, r = run("zv_count_a", x, w)
    assert rc == ERR_OK
    assert_bits(r, rescan[1](x, w))


# ---- long series: block boundaries, partial last blocks, windows of only NaN ---

def long_series(kind, n=10_000):
    rng = np.random.default_rng(11)
    if kind == "walk":
        x = 100.0 * np.exp(np.cumsum(rng.standard_normal(n) * 0.01))
    elif kind == "zeros":
        x = rng.choice([0.0, -0.0, 1.0, -1.0, INF, -INF], n, p=[.35, .35, .1, .1, .05, .05])
    else:  # few levels held over runs of bars
        x = np.repeat(rng.integers(-3, 4, n).astype(float), rng.integers(1, 40, n))[:n]
    # NaN runs, some longer than the windows tried below.
    for start, length in ((50, 3), (700, 40), (2000, 350), (n - 120, 20)):
        x[start:start + length] = rng.choice(NANS)
    return x


WINDOWS = list(range(1, 34)) + [63, 64, 65, 100, 127, 128, 199, 250, 256, 299, 300,
                                 9_999, 10_000, 10_001]


@pytest.mark.parametrize("kind", ["walk", "zeros", "levels"])
def test_long_series_match_rescan(rescan, kind):
    x = long_series(kind)
    for name, lower in (("zv_llv", True), ("zv_hhv", False)):
        for N in WINDOWS:
            rc, r = run(name, x, N)
            assert rc == ERR_OK
            assert np.array_equal(r.view(np.uint64), rescan[0](x, N, lower).view(np.uint64)), \
                f"{name} N={N}"
    rng = np.random.default_rng(5)
    for w in (np.full(len(x), 250.0), rng.integers(-5, 400, len(x)).astype(float),
              rng.choice([0.0, 1.0, 9_999.0, 10_000.0, 10_001.0, NaN], len(x))):
        rc, r = run("zv_count_a", x, w)
        assert rc == ERR_OK
        assert np.array_equal(r.view(np.uint64), rescan[1](x, w).view(np.uint64))


@pytest.mark.parametrize("name,args,kw,code", [
    ("zv_llv", ([1.0] * 1000, 7), {"size_r": 999}, ERR_SIZE_DISMATCH),
    ("zv_hhv", ([1.0] * 1000, 7), {"size_r": 1001}, ERR_SIZE_DISMATCH),
    ("zv_hhv", ([1.0] * 1000, -7), {}, ERR_PARAM_WRONG),
    ("zv_count_a", ([1.0] * 1000, [5.0] * 1000), {"sizes": [1000, 999]}, ERR_SIZE_DISMATCH),
    ("zv_count_a", ([1.0] * 1000, [5.0] * 1000), {"size_r": 999}, ERR_SIZE_DISMATCH),
])
def test_refusals_leave_result_untouched(name, args, kw, code):
    refused(name, *args, rc_expected=code, **kw)
