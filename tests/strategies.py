"""The inputs the tests draw, in one place: hypothesis strategies for values,
series and windows, and seeded generators of long series."""
import math
import struct

import os

import numpy as np
from hypothesis import settings, strategies as st

NaN, INF = math.nan, math.inf
INT_MAX, INT_MIN = 2147483647, -2147483648


# Runs that are slow per example (sanitized builds) draw a share of the
# examples: ZELVO_EXAMPLES=0.2 draws a fifth.
EXAMPLES_SHARE = float(os.environ.get("ZELVO_EXAMPLES", "1"))


def examples(n):
    """The settings of a property test that draws n examples (scaled by
    ZELVO_EXAMPLES), without a deadline."""
    return settings(max_examples=max(5, round(n * EXAMPLES_SHARE)), deadline=None)


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


NEG_NAN = from_bits(0xFFF8000000000000)       # what x86 makes of inf - inf
SNAN = from_bits(0x7FF0000000000001)
PAYLOAD_NAN = from_bits(0x7FF8DEADBEEF0001)
# Quiet and signalling NaNs of both signs, with and without payloads.
NANS = [from_bits(b) for b in (
    0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8DEADBEEF0001, 0xFFFC00000000ABCD,
    0x7FF0000000000001, 0xFFF0000000000001, 0x7FF4000000000005, 0xFFF7FFFFFFFFFFFF)]

# The NaNs of the tie-rich series: plain, negative, signalling, with a payload.
FOUR_NANS = [NaN, NEG_NAN, SNAN, PAYLOAD_NAN]

any_float = st.floats(allow_nan=True, allow_infinity=True, width=64)
SPECIAL = [NaN, INF, -INF, 0.0, -0.0, 1.0, -2.5, 1e300, SNAN, NEG_NAN]
values = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e6, 1e6))
series = st.lists(values, max_size=30)
# Few distinct values, so equalities, crossings and ties are common.
small_values = st.one_of(
    st.sampled_from([NaN, INF, -INF, 0.0, -0.0, 1.0, -1.0, 2.5, SNAN, PAYLOAD_NAN]),
    st.integers(-2, 2).map(float))
conditions = st.sampled_from([0, 0, 1, 255, 3])
# Smoothing factors of DMA, inside and outside [0, 1].
factors = st.one_of(st.sampled_from([0.0, 1.0, 2.0, -1.0, NaN, INF, -0.0]), st.floats(0, 1))

windows = st.sampled_from([0, 1, 2, 3, 5, 29, 30, 31, -1, INT_MIN, INT_MAX])
# Per-bar window values: fractions, NaN, infinities and the int range's edges.
window_values = st.one_of(
    st.sampled_from([NaN, 0.0, -0.0, -0.5, 0.5, 2.9, -1.5, -2.9, 1e10, -1e10, INF, -INF,
                     2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0]),
    st.integers(-3, 33).map(float),
)


def window_series(data, n):
    return data.draw(st.lists(window_values, min_size=n, max_size=n))


# ---- series in runs, windows in classes ---------------------------------------------------

# Runs of NaN bars, of values that tie (zeros of both signs) or are infinite,
# and of ordinary values.
value_runs = st.lists(st.one_of(
    st.integers(1, 12).map(lambda k: [NaN] * k),
    st.lists(st.sampled_from([0.0, -0.0, 1.0, -1.0, INF, -INF, NaN]), min_size=1, max_size=12),
    st.lists(values, min_size=1, max_size=12),
), max_size=25).map(lambda runs: [v for run in runs for v in run])


@st.composite
def tie_series(draw, max_size=200):
    """Runs of values from a small palette: equal values, zeros of both
    signs and NaNs of every kind in long stretches."""
    palette_values = st.one_of(st.sampled_from(FOUR_NANS + [INF, -INF, 1.0, -1.0, 2.5]),
                               st.sampled_from([0.0, -0.0]), st.floats(-1e3, 1e3, allow_nan=False))
    palette = draw(st.lists(palette_values, min_size=1, max_size=6))
    runs = draw(st.lists(st.tuples(st.sampled_from(palette), st.integers(1, 12)), max_size=60))
    return [v for v, k in runs for _ in range(k)][:max_size]


def windows_for(n):
    """Fixed windows for an n-bar series: small ones, ones near n, refusals."""
    return st.one_of(st.sampled_from([0, 1, 2, INT_MAX, -1, INT_MIN]), st.integers(3, 12),
                     st.sampled_from([max(n - 1, 0), n, n + 1]), st.integers(1, max(n, 1)))


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


# ---- ordinary values with a few special ones --------------------------------------------

ordinary = st.one_of(
    st.floats(-1e6, 1e6),
    st.integers(-4, 4).map(float),
    # magnitudes far apart, so every rounding step shows
    st.sampled_from([1e16, -1e16, 2.0 ** 53 + 2, 1e-8, 0.1, 1 / 3, 1e154, -1e154, 1e-160,
                     1e200, 3e-300]),
)
SPRINKLED = NANS + [INF, -INF, 0.0, -0.0, 5e-324, 1e308, -1e308]


@st.composite
def sprinkled(draw, max_size=70):
    """Ordinary values with a few special ones sprinkled in (often none, so
    whole runs of windows compute numbers), sometimes after leading NaN bars."""
    x = draw(st.lists(ordinary, max_size=max_size))
    if x and draw(st.booleans()):
        for _ in range(draw(st.integers(1, 6))):
            x[draw(st.integers(0, len(x) - 1))] = draw(st.sampled_from(SPRINKLED))
    lead = draw(st.sampled_from([0, 0, 0, 1, 3]))
    return [draw(st.sampled_from(NANS)) for _ in range(lead)] + x


# ---- where the elementwise functions turn ---------------------------------------------

# Zeros of both signs, denormals, the truth threshold |x| = 1 and values just
# inside it, infinities, NaNs, values whose EXP, POW and products overflow,
# and negatives for SQRT, LN and LOG.
EDGES = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-310, 1.0, -1.0,
         0.9999999999999999, -0.9999999999999999, 0.5, -0.5, 2.0, -2.5, 710.0, -745.5, 1e308,
         -1e308, INF, -INF] + FOUR_NANS


@st.composite
def edge_series(draw, n):
    """n bars in runs: NaN runs, runs of edge values, runs of ordinary ones."""
    run = st.one_of(
        st.integers(1, 8).map(lambda k: [NaN] * k),
        st.lists(st.sampled_from(EDGES), min_size=1, max_size=8),
        st.lists(ordinary, min_size=1, max_size=8),
    )
    x: list = []
    while len(x) < n:
        x += draw(run)
    return x[:n]


# ---- long series, seeded ------------------------------------------------------------------

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


SCALE_SERIES = ["walk", "fall", "rise"]
SCALE_WINDOWS = ["since", "random", "runs", "shrink"]


def level_series(kind, n=10_000, seed=11):
    """n bars for block boundaries and partial last blocks: a walk, zeros of
    both signs among a few values, or few levels held over runs; NaN runs,
    some longer than a 300-bar window, placed at fixed bars."""
    rng = np.random.default_rng(seed)
    if kind == "walk":
        x = 100.0 * np.exp(np.cumsum(rng.standard_normal(n) * 0.01))
    elif kind == "zeros":
        x = rng.choice([0.0, -0.0, 1.0, -1.0, INF, -INF], n, p=[.35, .35, .1, .1, .05, .05])
    else:
        x = np.repeat(rng.integers(-3, 4, n).astype(float), rng.integers(1, 40, n))[:n]
    for start, length in ((50, 3), (700, 40), (2000, 350), (n - 120, 20)):
        x[start:start + length] = rng.choice(FOUR_NANS)
    return x
