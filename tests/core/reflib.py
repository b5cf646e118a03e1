"""Pieces shared by the family tests: value and window strategies, the
window conversion in plain Python, a guarded call and a bar-by-bar check.

References mark a missing bar with None (the core must write the exact quiet
NaN there); a float NaN in a reference is one that arithmetic produced, whose
payload is the hardware's, so only its NaN-ness is compared.
"""
import ctypes
import math

import numpy as np
from hypothesis import strategies as st

from corelib import D, ERR_OK, NAN_BITS, NEG_NAN, SENTINEL, SNAN, assert_bits, bits, call, f64, ptr

NaN = math.nan
INF = math.inf
INT_MAX = 2147483647
INT_MIN = -2147483648

values = st.one_of(
    st.sampled_from([NaN, INF, -INF, 0.0, -0.0, 1.0, -2.5, 1e300, SNAN, NEG_NAN]),
    st.floats(-1e6, 1e6),
)
series = st.lists(values, max_size=30)
windows = st.sampled_from([0, 1, 2, 3, 5, 29, 30, 31, -1, INT_MIN, INT_MAX])
window_values = st.one_of(
    st.sampled_from([NaN, 0.0, -0.0, -0.5, 0.5, 2.9, -1.5, -2.9, 1e10, -1e10, INF, -INF,
                     2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0]),
    st.integers(-3, 33).map(float),
)


def window_series(data, n):
    return data.draw(st.lists(window_values, min_size=n, max_size=n))


# ---- longer series in runs, and per-bar windows in classes ----------------------

# Runs of NaN bars, of values that tie (zeros of both signs) or are infinite,
# and of ordinary values.
value_runs = st.lists(st.one_of(
    st.integers(1, 12).map(lambda k: [NaN] * k),
    st.lists(st.sampled_from([0.0, -0.0, 1.0, -1.0, INF, -INF, NaN]), min_size=1, max_size=12),
    st.lists(values, min_size=1, max_size=12),
), max_size=25).map(lambda runs: [v for run in runs for v in run])

WINDOW_CLASSES = ["grow", "slide", "shrink", "jump", "zero", "negative", "nan", "long", "fraction"]


def _class_window(kind, i, j, p):
    """Window of bar i, the j-th bar of a run of `kind` whose parameter is p."""
    if kind == "grow":        # the bars since a start at or before the run's first bar
        start = (i - j) - p % (i - j + 1)
        return float(i - start + 1)
    if kind == "slide":       # the same length on every bar of the run
        return float(1 + p % 60)
    if kind == "shrink":      # one bar shorter each bar: the start moves by two
        return float(max(1, 1 + p % 60 - j))
    if kind == "jump":
        return float(p * (j + 1) % (i + 3) - 1)
    if kind == "zero":
        return [0.0, -0.0, -0.5, 0.5][p % 4]
    if kind == "negative":
        return [-1.0, -2.5, -2147483648.0, -2147483649.0, -1e10][p % 5]
    if kind == "nan":
        return [NaN, INF, -INF, 2147483648.0][p % 4]
    if kind == "long":        # reaching bar 0, or beyond it
        return [float(i + 1 + p % 4), 2147483647.0][p % 5 == 4]
    return float(1 + p % (i + 1)) + 0.9   # "fraction": truncated toward zero


def class_windows(data, n):
    """Per-bar window lengths for n bars, drawn as runs of the classes in
    WINDOW_CLASSES: windows that grow from an event, slide, shrink, jump, are
    0, negative, NaN or out of range, or longer than the history."""
    run = st.tuples(st.sampled_from(WINDOW_CLASSES), st.integers(1, 40), st.integers(0, 10**6))
    w = []
    while len(w) < n:
        kind, length, p = data.draw(run)
        i0 = len(w)
        w += [_class_window(kind, i0 + j, j, p) for j in range(min(length, n - i0))]
    return w


def to_window(v):
    """Truncation toward zero; NaN and out-of-range values give INT_MIN."""
    if math.isnan(v) or not (-2147483649.0 < v < 2147483648.0):
        return INT_MIN
    return int(v)


def wrap32(v):
    return (v + 2**31) % 2**32 - 2**31


def first_valid(x):
    return next((i for i, v in enumerate(x) if not math.isnan(v)), len(x))


def run(name, *args, **kw):
    """Calls with two guard elements past the result: neither may change."""
    n = len(args[0])
    r = np.full(n + 2, SENTINEL)
    rc, r = call(name, *args, r=r, size_r=n, **kw)
    assert (r[n:] == SENTINEL).all(), "written past the end"
    return rc, r[:n]


def check(got, expected):
    assert len(got) == len(expected)
    for i, (g, e) in enumerate(zip(got, expected)):
        if e is None:
            ok = bits(g) == NAN_BITS
        elif math.isnan(e):
            ok = math.isnan(g)
        else:
            ok = bits(g) == bits(e)
        assert ok, f"bar {i}: got {g!r} ({hex(bits(g))}), expected {e!r}\n{got!r}"


def refused(name, *args, rc_expected, **kw):
    """The call fails with rc_expected and leaves the result untouched."""
    rc, r = call(name, *args, **kw)
    assert rc == rc_expected
    assert (r == SENTINEL).all()


def check_window_classes(data, name, ref, dll=None):
    """Draws runs of values and class windows; the per-bar function `name`
    must give the bits of ref(x, w)."""
    x = data.draw(value_runs)
    w = class_windows(data, len(x))
    rc, r = run(name, x, w, dll=dll)
    assert rc == ERR_OK
    assert_bits(r, ref(x, w))


# ---- series at scale, for the C++ twins of ref_kernels.cpp ------------------------

def run_twin(dll, name, x, w):
    """Result of the reference loop `name` (X, size, N, R) of ref_kernels.cpp."""
    x, w = f64(x), f64(w)
    r = np.full(len(x), SENTINEL)
    f = getattr(dll, name)
    f.argtypes = [D, ctypes.c_int, D, D]
    f(ptr(x), len(x), ptr(w), ptr(r))
    return r


def scale_series(kind, n, seed):
    """n bars: a random walk, or a steady fall or rise (the longest stacks of
    candidates for an extreme), with runs of NaN bars and of tied zeros."""
    rng = np.random.default_rng(seed)
    if kind == "walk":
        x = np.cumsum(rng.normal(0.0, 1.0, n))
    else:
        x = np.arange(n, dtype=np.float64) * (-1.0 if kind == "fall" else 1.0)
    for _ in range(n // 500 + 1):
        at, k = rng.integers(0, n), rng.integers(1, 40)
        x[at:at + k] = np.nan if rng.random() < 0.5 else rng.choice([0.0, -0.0], size=len(x[at:at + k]))
    return x


def scale_windows(kind, n, seed):
    """n per-bar window lengths: the bars since a rare event, random lengths
    up to the history (with 0 and negative ones), runs of one length, or
    lengths that shrink by one per bar."""
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    if kind == "since":
        events = np.flatnonzero(rng.random(n) < 0.002)
        last = np.maximum.accumulate(np.where(np.isin(i, events), i, -1))
        return np.where(last < 0, 0.0, i - last + 1.0)
    if kind == "random":
        return rng.integers(-2, n, n).astype(np.float64)
    if kind == "runs":
        return np.repeat(rng.integers(1, 300, n // 50 + 1), 50)[:n].astype(np.float64)
    return (300.0 - i % 300).astype(np.float64)   # "shrink"


def check_at_scale(name, twins, x, w, dll=None):
    """The per-bar function `name` gives the bits of its C++ twin."""
    rc, r = run(name, x, w, dll=dll)
    assert rc == ERR_OK
    assert_bits(r, run_twin(twins, name.replace("zv_", "ref_"), x, w))


SCALE_SERIES = ["walk", "fall", "rise"]
SCALE_WINDOWS = ["since", "random", "runs", "shrink"]
