"""The slow references of the core's functions: each computes its function
the plain way, one bar and one window at a time, with the same operations in
the same order as the core, so its bits are the ones to expect.

A reference marks a missing bar with None (the core must write the exact
quiet NaN there); a float NaN is one that arithmetic produced, whose payload
is the hardware's, so only its NaN-ness is compared.  `twins()` loads the
straightforward C++ loops of ref_kernels.cpp, for the sizes where Python is
too slow.
"""
import ctypes
import math
import os

import numpy as np

import builds
from corelib import D, ERR_OK, SENTINEL, assert_bits, f64, ptr, run
from strategies import class_windows, series, value_runs, window_series

NaN = math.nan
INF = math.inf
INT_MAX = 2147483647
INT_MIN = -2147483648


# ---- window lengths and IEEE pieces Python lacks ---------------------------------------

def to_window(v):
    """A per-bar window: truncation toward zero; NaN and out-of-range values
    give INT_MIN."""
    if math.isnan(v) or not (-2147483649.0 < v < 2147483648.0):
        return INT_MIN
    return int(v)


def wrap32(v):
    return (v + 2**31) % 2**32 - 2**31


def div(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return NaN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def first_valid(x):
    return next((i for i, v in enumerate(x) if not math.isnan(v)), len(x))


# ---- moving sums and averages, counts ------------------------------------------------------

def ma(x, n):
    """Running-sum moving average: the first full window summed oldest first,
    then one bar leaves and one enters."""
    x = list(map(float, x))
    out = [None] * len(x)
    s = first_valid(x)
    i = s + n - 1
    if i >= len(x):
        return out
    total = 0.0
    for j in range(i - n + 1, i + 1):
        total = total + x[j]
    out[i] = total / n
    for t in range(i + 1, len(x)):
        total = total - x[t - n]
        total = total + x[t]
        out[t] = total / n
    return out


def sum_(x, n):
    if n == 0:   # a running total over the non-NaN bars
        out, total = [], 0.0
        for v in x:
            if not math.isnan(v):
                total = total + v
            out.append(total)
        return out
    out = [None] * len(x)
    s = first_valid(x)
    total = 0.0
    for k in range(s, min(s + n, len(x))):
        total = total + x[k]
    if s + n - 1 < len(x):
        out[s + n - 1] = total
        for t in range(s + n, len(x)):
            total = total - x[t - n]
            total = total + x[t]
            out[t] = total
    return out


def _window_sum_a(x, w, mean):
    """SUM_A / MA_A: every window summed afresh, oldest first; the plain NaN
    without a window (n <= 0 or reaching bar 0), with a NaN bar in it, and
    for the mean also when the sum is NaN."""
    out = []
    for i in range(len(x)):
        n = to_window(w[i])
        window = x[i - n + 1:i + 1] if 0 < n <= i else None
        if window is None or any(math.isnan(v) for v in window):
            out.append(NaN)
            continue
        total = 0.0
        for v in window:
            total = total + v
        out.append((NaN if math.isnan(total) else total / n) if mean else total)
    return out


def sum_a(x, w):
    return _window_sum_a(x, w, mean=False)


def ma_a(x, w):
    return _window_sum_a(x, w, mean=True)


def count(x, n):
    if n == 0:
        out, c = [], 0
        for v in x:
            c += v != 0.0
            out.append(float(c))
        return out
    s = first_valid(x)
    return [float(sum(v != 0.0 for v in x[i - n + 1:i + 1])) if i >= s + n - 1 else NaN
            for i in range(len(x))]


def count_a(x, w):
    out = []
    for i in range(len(x)):
        n = to_window(w[i])
        if n < 0:
            out.append(NaN)
            continue
        lo = 0 if n == 0 or n > i + 1 else i - n + 1
        out.append(float(sum(v != 0.0 and not math.isnan(v) for v in x[lo:i + 1])))
    return out


# ---- extremes ----------------------------------------------------------------------

def extreme_at(x, i, k, lower):
    """The lowest (highest) non-NaN value of bars i, i-1, ... over k bars,
    clipped at bar 0; only a strictly better value replaces the kept one."""
    best = NaN
    for j in range(i, max(0, i - k + 1) - 1, -1):
        v = x[j]
        if math.isnan(v):
            continue
        if math.isnan(best) or (v < best if lower else v > best):
            best = v
    return best


def extreme(x, ks, lower):
    """LLV/HHV over per-bar windows ks (ints): 0 reaches bar 0, negative is NaN."""
    return [NaN if k < 0 else extreme_at(x, i, k if k else i + 1, lower) for i, k in enumerate(ks)]


# ---- seeded recurrences and the weighted average ------------------------------------------

def _seeded(x, weights):
    out = [None] * len(x)
    s = first_valid(x)
    if s == len(x):
        return out
    prev = out[s] = x[s]
    for t in range(s + 1, len(x)):
        w, v = weights(t)
        prev = out[t] = w * x[t] + v * prev
    return out


def ema(x, n):
    alpha, prev_alpha = div(2.0, float(wrap32(n + 1))), (n - 1.0) / (n + 1.0)
    return _seeded(x, lambda t: (alpha, prev_alpha))


def sma(x, n, m):
    alpha, prev_alpha = div(float(m), float(n)), div(float(wrap32(n - m)), float(n))
    return _seeded(x, lambda t: (alpha, prev_alpha))


def dma(x, a):
    return _seeded(x, lambda t: (a[t], 1.0 - a[t]))


def wma(x, n):
    out = [None] * len(x)
    s = first_valid(x)
    total = total2 = 0.0
    for k in range(s, min(s + n, len(x))):
        total2 = total2 + float(k - s + 1) * x[k]
        total = total + x[k]
    last = s + n - 1
    if last >= len(x):
        return out
    den = float(n * (n + 1) // 2)
    out[last] = total2 / den
    for t in range(last + 1, len(x)):
        out[t] = ((den * out[t - 1] - total) + n * x[t]) / den
        total = total - x[t - n]
        total = total + x[t]
    return out


# ---- dispersion and slope ---------------------------------------------------------------
#
# Both sum afresh over every window.  The loops run over the window's
# positions with every bar's window at once (numpy, one IEEE operation per
# element and call), which is the per-window loop's arithmetic exactly and
# fast enough for long series.

def dispersion(x, n):
    """{"zv_std", "zv_stddev", "zv_stdp", "zv_avedev": result} for window n
    >= 1: a running sum for the mean (leading NaN bars skipped, one bar
    entering before and one leaving after each mean), the deviations summed
    afresh over the window, oldest first."""
    x = np.asarray(x, dtype=np.float64)
    size = len(x)
    s = first_valid(x)
    first = s + n - 1
    out = {name: [None] * size for name in ("zv_std", "zv_stddev", "zv_stdp", "zv_avedev")}
    if first >= size:
        return out
    total = 0.0
    for j in range(s, first):
        total = total + float(x[j])
    avg = np.empty(size - first)
    for i in range(first, size):
        total = total + float(x[i])
        avg[i - first] = total / n
        total = total - float(x[i - n + 1])
    sq = np.zeros(size - first)
    ab = np.zeros(size - first)
    with np.errstate(all="ignore"):
        for j in range(n):
            d = x[s + j:s + j + size - first] - avg
            sq = sq + d * d
            ab = ab + np.abs(d)
        pop = np.sqrt(sq / float(n)).tolist()
        std = [0.0] * len(pop) if n == 1 else np.sqrt(sq / float(n - 1)).tolist()
        mad = (ab / float(n)).tolist()
    for name, r in (("zv_std", std), ("zv_stddev", pop), ("zv_stdp", pop), ("zv_avedev", mad)):
        out[name][first:] = r
    return out


def slope_constants(n):
    """The position sums as exact integers, each rounded once to double, and
    the denominator N * sumXX - sumX * sumX."""
    sum_x = float(n * (n - 1) // 2)
    sum_xx = float(n * (n - 1) * (2 * n - 1) // 6)
    return sum_x, float(n) * sum_xx - sum_x * sum_x


def slope(y, n):
    """Least-squares slope of every N-bar window, bars numbered 0..N-1."""
    y = np.asarray(y, dtype=np.float64)
    size = len(y)
    if n == 0:
        return [1.0] * size
    out = [None] * size
    if size < n:
        return out
    m = size - n + 1
    sum_x, den = slope_constants(n)
    sy, sxy = np.zeros(m), np.zeros(m)
    with np.errstate(all="ignore"):
        for j in range(n):
            col = y[j:j + m]
            sy = sy + col
            sxy = sxy + float(j) * col
        out[n - 1:] = ((float(n) * sxy - sum_x * sy) / den).tolist()
    return out


# ---- references, crossing, filter, selection, bar counts -----------------------------

def at(x, i, k, fallback):
    return x[k] if 0 <= k < len(x) else fallback


def refif(x, c, v):
    out, kept = [], NaN
    for i in range(len(x)):
        out.append(v[i] if math.isnan(kept) else kept)
        if c[i] != 0.0:
            kept = x[i]
    return out


def cross(x, y, r0):
    """Bar 0 keeps what the caller put there."""
    return [r0 if i == 0 else 1.0 if x[i - 1] < y[i - 1] and x[i] > y[i] else 0.0
            for i in range(len(x))]


def filter_(x, n):
    n = n or len(x)
    out, i = list(x), 0
    while i < len(x):
        if not math.isnan(x[i]) and x[i] != 0.0:
            for j in range(i + 1, min(i + n, len(x))):
                out[j] = 0.0
            i += n
        else:
            i += 1
    return out


def fif(c, a, b):
    return [a[i] if c[i] else b[i] for i in range(len(c))]


def barsince(x):
    first = next((i for i, v in enumerate(x) if v), None)
    return [0 if first is None or i < first else i - first + 1 for i in range(len(x))]


def barlast(x):
    """A fresh backward search from every bar."""
    out = []
    for i in range(len(x)):
        j = next((j for j in range(i, -1, -1) if x[j]), None)
        out.append(0 if j is None else i - j + 1)
    return out


def backcount(x):
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


def median(x, n):
    """Every window sorted afresh (-0.0 before +0.0), NaN bars left out."""
    out = []
    for i in range(len(x)):
        v = sorted((w for w in x[max(0, i - n + 1):i + 1] if not math.isnan(w)),
                   key=lambda w: (w, not math.copysign(1.0, w) < 0))
        k = len(v)
        out.append(None if k == 0 else v[k // 2] if k % 2 else (v[k // 2 - 1] + v[k // 2]) / 2)
    return out


# ---- the C++ twins -----------------------------------------------------------------------

TWINS_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ref_kernels.cpp")


def twins(path):
    """Builds ref_kernels.cpp into the library `path` and loads it."""
    return builds.library(path, [TWINS_SOURCE])


def run_twin(dll, name, x, w):
    """Result of the twin loop (X, size, N, R) of the per-bar function `name`
    over per-bar windows w."""
    x, w = f64(x), f64(w)
    r = np.full(len(x), SENTINEL)
    f = getattr(dll, name.replace("zv_", "ref_"))
    f.argtypes = [D, ctypes.c_int, D, D]
    f(ptr(x), len(x), ptr(w), ptr(r))
    return r


def check_at_scale(name, dll_twins, x, w, dll=None):
    """The per-bar function `name` gives the bits of its C++ twin."""
    rc, r = run(name, x, w, dll=dll)
    assert rc == ERR_OK
    assert_bits(r, run_twin(dll_twins, name, x, w))


def check_per_bar(data, name, ref, classes=False, dll=None):
    """Draws a series and per-bar windows (plain window values, or with
    `classes` runs of values and runs of window classes); the per-bar
    function `name` must give the bits of ref(x, w)."""
    if classes:
        x = data.draw(value_runs)
        w = class_windows(data, len(x))
    else:
        x = data.draw(series)
        w = window_series(data, len(x))
    rc, r = run(name, x, w, dll=dll)
    assert rc == ERR_OK
    assert_bits(r, ref(x, w))
