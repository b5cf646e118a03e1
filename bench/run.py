#!/usr/bin/env python3
"""Benchmark of the 31 functions of zelvo._zelvo against peer libraries.

Every function is timed on a seeded random-walk close series (or on real daily
bars with --data real) at several sizes and windows, side by side in one
process with each installed peer that computes the same quantity (bottleneck,
pandas, TA-Lib, polars) and with the memory floor (numpy.copyto of the same
array into a preallocated result).  Peers are optional: the suite runs with
whichever are installed and names the missing ones.

    python3 bench/run.py                 # full run: 10^3, 10^5, 10^6 bars; N = 5, 20, 250
    python3 bench/run.py --quick         # smaller and shorter
    python3 bench/run.py --record        # full run, then rewrite the record in bench/RESULTS.md
    python3 bench/run.py --check         # only verify that the peers compute the same quantity

Timing: for each (function, bars, window) cell the zelvo call and its peers
are sampled in alternating rounds; each sample runs enough calls to last about
a millisecond, sampling goes on until a candidate has at least --repeat samples
and --min-time seconds of them, and the minimum time per call is kept.
"""

from __future__ import annotations

import argparse
import csv
import datetime as _dt
import glob
import importlib
import json
import math
import os
import platform
import subprocess
import sys
import time
import timeit

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA_DIR = os.path.normpath(os.path.join(ROOT, "..", "shared", "data"))
RESULTS_MD = os.path.join(HERE, "RESULTS.md")
RECORD_START = "<!-- bench-record:start -->"
RECORD_END = "<!-- bench-record:end -->"

DEFAULT_SIZES = [10**3, 10**5, 10**6]
DEFAULT_WINDOWS = [5, 20, 250]
SMA_M = 1  # the M of SMA(a, N, M); the smoothing factor is M/N

# ---------------------------------------------------------------------------
# Imports


def _import_zelvo():
    for attempt in range(3):
        try:
            return importlib.import_module("zelvo._zelvo")
        except ImportError as exc:  # someone may be reinstalling the package
            if attempt == 2:
                sys.exit(f"cannot import zelvo._zelvo ({exc}); install the package first")
            print(f"import zelvo._zelvo failed ({exc}); retrying in 60 s", file=sys.stderr)
            time.sleep(60)
    raise AssertionError


PEER_MODULES = {"bottleneck": "bottleneck", "pandas": "pandas", "talib": "talib", "polars": "polars"}
PEER_LABEL = {"bottleneck": "bottleneck", "pandas": "pandas", "talib": "TA-Lib", "polars": "polars"}
PEER_SHORT = {"bottleneck": "bn", "pandas": "pd", "talib": "ta", "polars": "pl"}


def import_peers(wanted):
    found, missing = {}, {}
    for name in wanted:
        try:
            found[name] = importlib.import_module(PEER_MODULES[name])
        except Exception as exc:  # ImportError, or a broken binary
            missing[name] = f"{type(exc).__name__}: {exc}"
    return found, missing


# ---------------------------------------------------------------------------
# Data


def random_walk(n, seed):
    """Close prices of a geometric random walk: 1 % daily volatility, start 100."""
    rng = np.random.default_rng(seed)
    steps = rng.standard_normal(n) * 0.01
    steps[0] = 0.0
    return 100.0 * np.exp(np.cumsum(steps))


def real_returns():
    """Daily log returns of the Close column of every CSV in ../shared/data."""
    files = sorted(glob.glob(os.path.join(DATA_DIR, "*.csv")))
    if not files:
        sys.exit(f"--data real: no CSV files in {DATA_DIR}")
    rets = []
    for path in files:
        with open(path, newline="") as fh:
            rows = list(csv.DictReader(fh))
        close = np.array([float(r["Close"]) for r in rows if r.get("Close") not in (None, "", "null")])
        close = close[close > 0]
        rets.append(np.diff(np.log(close)))
    return np.concatenate(rets), [os.path.basename(f) for f in files]


def real_walk(n, rets):
    """The real daily returns, cycled to length n and chained into one price path."""
    steps = np.resize(rets, n)
    steps[0] = 0.0
    return 100.0 * np.exp(np.cumsum(steps))


class Inputs:
    """Every input series of one size, built once."""

    def __init__(self, z, close):
        n = close.size
        self.n = n
        self.close = np.ascontiguousarray(close, dtype=np.float64)
        self.line = z.EMA(self.close, 20)  # a smooth reference line to cross and compare with
        above = self.close > self.line
        self.cond_f = above.astype(np.float64)  # 1.0 while above the line
        self.cond_u8 = above.astype(np.uint8)
        cross = z.CROSS(self.close, self.line)
        cross[0] = 0.0
        self.cross_f = cross  # 1.0 on the bars where close crosses above the line
        self.cross_u8 = (cross != 0).astype(np.uint8)
        rng = np.random.default_rng(12345 + n)
        self.dma_a = rng.uniform(0.01, 0.2, n)  # turnover-like smoothing factors in (0, 1)
        self.none_u8 = np.zeros(n, dtype=np.uint8)
        self.all_u8 = np.ones(n, dtype=np.uint8)
        self.out = np.empty(n)
        self.out[:] = 0.0  # touch every page of the preallocated result


# ---------------------------------------------------------------------------
# What is timed
#
# Each entry: name shown, zelvo statement, whether it takes a window, and the
# peers that compute the same quantity as statements.  Names in a statement:
#   a close, s pandas Series of a, ps polars Series of a, c/cs 0-1 float
#   condition and its pandas Series, cu uint8 condition, y reference line,
#   x 0-1 float crossing signal, xu its uint8 form, A DMA factors, Nv window
#   series, N window, M and al for SMA, o preallocated result.

# Copy-like functions: reported against the memory floor as well.
COPY_LIKE = {"REF", "REFXV", "FIF", "CROSS", "CURRBARSCOUNT", "BARSINCE"}

BENCH = [
    # moving averages
    ("MA", "z.MA(a, N)", True, {
        "bottleneck": "bn.move_mean(a, N)",
        "pandas": "s.rolling(N).mean()",
        "talib": "talib.SMA(a, N)",
        "polars": "ps.rolling_mean(N)"}),
    ("MA_A", "z.MA_A(a, Nv)", True, {}),
    ("EMA", "z.EMA(a, N)", True, {
        "pandas": "s.ewm(span=N, adjust=False).mean()",
        "talib": "talib.EMA(a, N)"}),
    ("SMA", "z.SMA(a, N, M)", True, {
        "pandas": "s.ewm(alpha=al, adjust=False).mean()"}),
    ("WMA", "z.WMA(a, N)", True, {
        "talib": "talib.WMA(a, N)"}),
    ("DMA", "z.DMA(a, A)", False, {}),
    # sums and counts
    ("SUM", "z.SUM(a, N)", True, {
        "bottleneck": "bn.move_sum(a, N)",
        "pandas": "s.rolling(N).sum()",
        "talib": "talib.SUM(a, N)",
        "polars": "ps.rolling_sum(N)"}),
    ("SUM_A", "z.SUM_A(a, Nv)", True, {}),
    ("COUNT", "z.COUNT(c, N)", True, {
        "bottleneck": "bn.move_sum(c, N)",
        "pandas": "cs.rolling(N).sum()"}),
    ("COUNT_A", "z.COUNT_A(c, Nv)", True, {}),
    # back references
    ("REF", "z.REF(a, N)", True, {}),
    ("REFIF", "z.REFIF(a, x, y)", False, {}),
    ("REFXV", "z.REFXV(a, N)", True, {}),
    ("REF_A", "z.REF_A(a, Nv)", True, {}),
    # lowest and highest
    ("LLV", "z.LLV(a, N)", True, {
        "bottleneck": "bn.move_min(a, N)",
        "pandas": "s.rolling(N).min()",
        "talib": "talib.MIN(a, N)",
        "polars": "ps.rolling_min(N)"}),
    ("LLV_A", "z.LLV_A(a, Nv)", True, {}),
    ("HHV", "z.HHV(a, N)", True, {
        "bottleneck": "bn.move_max(a, N)",
        "pandas": "s.rolling(N).max()",
        "talib": "talib.MAX(a, N)",
        "polars": "ps.rolling_max(N)"}),
    ("HHV_A", "z.HHV_A(a, Nv)", True, {}),
    # bar counting
    ("BARSINCE", "z.BARSINCE(xu)", False, {}),
    ("BARLAST", "z.BARLAST(xu)", False, {}),
    ("BARLAST[no event]", "z.BARLAST(nu)", False, {}),
    ("BARSLAST", "z.BARSLAST(xu)", False, {}),
    ("BACKCOUNT", "z.BACKCOUNT(cu)", False, {}),
    ("BACKCOUNT[all true]", "z.BACKCOUNT(au)", False, {}),
    ("CURRBARSCOUNT", "z.CURRBARSCOUNT(a)", False, {}),
    # crossing, filter, selection
    ("CROSS", "z.CROSS(a, y)", False, {}),
    ("FIF", "z.FIF(cu, a, y)", False, {}),
    ("FILTER", "z.FILTER(x, N)", True, {}),
    ("SLOPE", "z.SLOPE(a, N)", True, {
        "talib": "talib.LINEARREG_SLOPE(a, N)"}),
    # dispersion
    ("STD", "z.STD(a, N)", True, {
        "bottleneck": "bn.move_std(a, N, ddof=1)",
        "pandas": "s.rolling(N).std()",
        "polars": "ps.rolling_std(N)"}),
    ("STDDEV", "z.STDDEV(a, N)", True, {
        "bottleneck": "bn.move_std(a, N)",
        "pandas": "s.rolling(N).std(ddof=0)",
        "talib": "talib.STDDEV(a, N, 1.0)",
        "polars": "ps.rolling_std(N, ddof=0)"}),
    ("STDP", "z.STDP(a, N)", True, {
        "bottleneck": "bn.move_std(a, N)",
        "pandas": "s.rolling(N).std(ddof=0)",
        "talib": "talib.STDDEV(a, N, 1.0)",
        "polars": "ps.rolling_std(N, ddof=0)"}),
    ("AVEDEV", "z.AVEDEV(a, N)", True, {
        "talib": "talib.AVGDEV(a, N)"}),
]

FLOOR = "np.copyto(o, a)"
ALLOC_COPY = "a.copy()"

MODULE_FUNCTIONS = [
    "MA", "MA_A", "EMA", "SMA", "WMA", "DMA", "COUNT", "COUNT_A", "SUM", "SUM_A", "REF", "REFIF",
    "REFXV", "REF_A", "LLV", "LLV_A", "HHV", "HHV_A", "BARSINCE", "BARLAST", "BARSLAST", "CROSS",
    "FIF", "SLOPE", "CURRBARSCOUNT", "BACKCOUNT", "STD", "STDDEV", "STDP", "AVEDEV", "FILTER",
]


def base_of(name):
    return name.split("[", 1)[0]


def namespace(z, peers, d: Inputs):
    ns = {"z": z, "np": np, "a": d.close, "c": d.cond_f, "cu": d.cond_u8, "y": d.line,
          "x": d.cross_f, "xu": d.cross_u8, "A": d.dma_a, "nu": d.none_u8, "au": d.all_u8,
          "o": d.out, "M": SMA_M}
    if "bottleneck" in peers:
        ns["bn"] = peers["bottleneck"]
    if "pandas" in peers:
        pd = peers["pandas"]
        ns["pd"] = pd
        ns["s"] = pd.Series(d.close)
        ns["cs"] = pd.Series(d.cond_f)
    if "talib" in peers:
        ns["talib"] = peers["talib"]
    if "polars" in peers:
        pl = peers["polars"]
        ns["pl"] = pl
        ns["ps"] = pl.Series("a", d.close)
    return ns


# ---------------------------------------------------------------------------
# Timing


class Candidate:
    def __init__(self, key, stmt, ns, sample_target):
        self.key = key
        self.timer = timeit.Timer(stmt, globals=ns)
        t = self.timer.timeit(1)  # warm-up and a first estimate
        if t < 1.0:
            t = min(t, self.timer.timeit(1))
        self.first = t
        self.loops = max(1, int(sample_target / max(t, 1e-9)))
        self.samples = []
        self.total = 0.0

    def sample(self):
        t = self.timer.timeit(self.loops)
        self.samples.append(t / self.loops)
        self.total += t

    def done(self, repeat, min_time, max_time):
        k = len(self.samples)
        return (k >= repeat and self.total >= min_time) or (k >= 1 and self.total >= max_time)

    @property
    def best(self):
        return min(self.samples)


def measure(cands, repeat, min_time):
    """Alternating rounds over the candidates; the minimum seconds per call of each."""
    max_time = max(10 * min_time, 2.0)
    live = list(cands)
    while live:
        for cand in live:
            cand.sample()
        live = [c for c in live if not c.done(repeat, min_time, max_time)]
    return {c.key: c.best for c in cands}


def run_bench(z, peers, sizes, windows, names, args, log):
    """Returns the list of result rows (dicts)."""
    rows = []
    sample_target = 1e-3
    last_call = {}  # (name, window) -> (bars, seconds of one call) at the last size
    for n in sizes:
        d = make_inputs(z, n, args)
        base_ns = namespace(z, peers, d)
        for name, zstmt, windowed, peer_stmts in BENCH:
            if base_of(name) not in names:
                continue
            for N in (windows if windowed else [None]):
                if N is not None and N > n:
                    continue
                ns = dict(base_ns)
                if N is not None:
                    ns["N"] = N
                    ns["Nv"] = np.full(n, float(N))
                    ns["al"] = SMA_M / N
                stmts = {"zelvo": zstmt}
                for peer, stmt in peer_stmts.items():
                    if peer in peers:
                        stmts[peer] = stmt
                if base_of(name) in COPY_LIKE:
                    stmts["floor"] = FLOOR
                    stmts["alloc+copy"] = ALLOC_COPY
                # A function whose time grew fast at the smaller sizes is projected
                # quadratically and left out when one call would take too long.
                prev = last_call.get((name, N))
                if prev is not None:
                    projected = prev[1] * (n / prev[0]) ** 2
                    if projected > args.max_call:
                        row = {"function": name, "bars": n, "window": N, "ns_per_bar": {},
                               "skipped": f"projected {projected:.0f} s per call"}
                        rows.append(row)
                        log(format_row(row, list(peers)), 0.0)
                        continue
                t0 = time.perf_counter()
                cands = [Candidate(k, s, ns, sample_target) for k, s in stmts.items()]
                last_call[(name, N)] = (n, cands[0].first)
                best = measure(cands, args.repeat, args.min_time)
                row = {"function": name, "bars": n, "window": N,
                       "ns_per_bar": {k: v * 1e9 / n for k, v in best.items()}}
                rows.append(row)
                log(format_row(row, list(peers)), time.perf_counter() - t0)
    return rows


def per_call_overhead(z, peers, args, bars=100, window=20):
    """ns per call on a short array: the fixed cost of a call."""
    a = random_walk(bars, args.seed)
    o = np.empty(bars)
    ns = {"z": z, "np": np, "a": a, "o": o, "N": window}
    stmts = {"zelvo MA": "z.MA(a, N)", "zelvo REF": "z.REF(a, N)", "numpy copyto": "np.copyto(o, a)"}
    if "talib" in peers:
        ns["talib"] = peers["talib"]
        stmts["TA-Lib SMA"] = "talib.SMA(a, N)"
    if "bottleneck" in peers:
        ns["bn"] = peers["bottleneck"]
        stmts["bottleneck move_mean"] = "bn.move_mean(a, N)"
    cands = [Candidate(k, s, ns, 2e-3) for k, s in stmts.items()]
    best = measure(cands, max(args.repeat, 5), max(args.min_time, 0.2))
    return {"bars": bars, "window": window, "ns_per_call": {k: v * 1e9 for k, v in best.items()}}


def make_inputs(z, n, args):
    if args.data == "real":
        close = real_walk(n, args._real_returns)
    else:
        close = random_walk(n, args.seed)
    return Inputs(z, close)


# ---------------------------------------------------------------------------
# Peer agreement


def _np(v):
    if hasattr(v, "to_numpy"):
        v = v.to_numpy()
    return np.asarray(v, dtype=np.float64)


def check_peers(z, peers, windows, n=20000, seed=7, verbose=True):
    """Each claimed peer must compute the same quantity as its zelvo function.

    Compared on NaN-free data past the warm-up of both sides: zelvo's window
    functions give NaN for the first N-1 bars (LLV/HHV instead clip the
    window to the bars that exist), as the peers do, except that TA-Lib's EMA
    seeds with the mean of the first N bars where zelvo EMA and pandas ewm
    seed with the first bar, so that pair is compared only once the seed has
    decayed below 1e-13.  Tolerance: |zelvo - peer| <= rtol * (|peer| + median|peer|),
    the median term standing in for values near zero (slopes); "max diff" is
    the largest |zelvo - peer| / (|peer| + median|peer|).
    Running sums and min/max must agree to 1e-9 or exactly; the dispersion
    and regression peers use other formulas (Welford updates, sums of
    squares), which differ in rounding, so they get looser tolerances."""
    d = Inputs(z, random_walk(n, seed))
    ns = namespace(z, peers, d)
    failures = []
    lines = []
    # rtol per (function, peer); 0.0 is exact equality
    rtol = {
        ("MA", None): 1e-9, ("SUM", None): 1e-9, ("COUNT", None): 0.0,
        ("LLV", None): 0.0, ("HHV", None): 0.0,
        ("EMA", None): 1e-9, ("SMA", None): 1e-9, ("WMA", None): 1e-9,
        ("STD", None): 1e-7, ("STDDEV", None): 1e-7, ("STDP", None): 1e-7,
        ("STDDEV", "talib"): 1e-6, ("STDP", "talib"): 1e-6,
        ("AVEDEV", None): 1e-9, ("SLOPE", None): 1e-9,
    }
    for name, zstmt, windowed, peer_stmts in BENCH:
        for peer, stmt in peer_stmts.items():
            if peer not in peers:
                continue
            for N in windows:
                env = dict(ns, N=N, Nv=np.full(n, float(N)), al=SMA_M / N)
                zr = _np(eval(zstmt, env))
                pr = _np(eval(stmt, env))
                start = N - 1
                if name == "EMA" and peer == "talib":
                    alpha = 2.0 / (N + 1)
                    start += int(math.ceil(math.log(1e-13) / math.log(1.0 - alpha)))
                if name in ("EMA", "SMA") and peer == "pandas":
                    start = 0
                if start >= n:
                    continue
                zt, pt = zr[start:], pr[start:]
                tol = rtol.get((name, peer), rtol.get((name, None), 1e-9))
                finite = np.isfinite(zt) & np.isfinite(pt)
                nan_ok = bool(np.all(finite))
                diff = np.abs(zt - pt)
                scale = np.abs(pt)
                norm = scale + float(np.median(scale))
                worst = float(np.max(diff / np.maximum(norm, 1e-300))) if zt.size else 0.0
                ok = nan_ok and bool(np.all(diff <= tol * norm))
                tag = "ok  " if ok else "FAIL"
                line = (f"{tag} {name:<7} vs {PEER_LABEL[peer]:<10} {stmt:<38} N={N:<4} "
                        f"bars {start}..{n - 1}  max diff {worst:.1e} (tol {tol:.0e})")
                if not nan_ok:
                    line += "  non-finite values past warm-up"
                lines.append(line)
                if not ok:
                    failures.append(line)
    if verbose:
        print("\n".join(lines))
    return failures, lines


# ---------------------------------------------------------------------------
# Output


def fmt_ns(v):
    if v is None:
        return "-"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def fmt_ratio(v):
    if v >= 100:
        return f"{v:.0f}x"
    if v >= 10:
        return f"{v:.1f}x"
    return f"{v:.2f}x"


def peer_cell(row, key):
    t = row["ns_per_bar"]
    if key not in t:
        return ""
    if key == "floor":
        return f"{fmt_ns(t[key])} ({fmt_ratio(t['zelvo'] / t[key])})"
    if key == "alloc+copy":
        return f"{fmt_ns(t[key])} ({fmt_ratio(t['zelvo'] / t[key])})"
    return f"{fmt_ns(t[key])} ({fmt_ratio(t[key] / t['zelvo'])})"


def header(peer_names):
    cols = [f"{'function':<20}", f"{'bars':>8}", f"{'N':>4}", f"{'zelvo':>8}"]
    for p in peer_names:
        cols.append(f"{PEER_LABEL[p]:>16}")
    cols.append(f"{'copy floor':>16}")
    cols.append(f"{'alloc+copy':>16}")
    return "  ".join(cols)


def format_row(row, peer_names):
    n = row["bars"]
    w = "-" if row["window"] is None else str(row["window"])
    if row.get("skipped"):
        return f"{row['function']:<20}  {n:>8}  {w:>4}  skipped: {row['skipped']}"
    cols = [f"{row['function']:<20}", f"{n:>8}", f"{w:>4}", f"{fmt_ns(row['ns_per_bar']['zelvo']):>8}"]
    for p in peer_names:
        cols.append(f"{peer_cell(row, p):>16}")
    cols.append(f"{peer_cell(row, 'floor'):>16}")
    cols.append(f"{peer_cell(row, 'alloc+copy'):>16}")
    return "  ".join(cols)


def markdown_table(rows, peer_names):
    head = ["function", "bars", "N", "zelvo"] + [PEER_LABEL[p] for p in peer_names] + [
        "copy floor", "alloc+copy"]
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        w = "-" if r["window"] is None else str(r["window"])
        if r.get("skipped"):
            out.append(f"| {r['function']} | {r['bars']:,} | {w} | skipped: {r['skipped']} |")
            continue
        cells = [r["function"], f"{r['bars']:,}", w, fmt_ns(r["ns_per_bar"]["zelvo"])]
        cells += [peer_cell(r, p) for p in peer_names]
        cells += [peer_cell(r, "floor"), peer_cell(r, "alloc+copy")]
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out)


def find(rows, function, bars, window):
    for r in rows:
        if r["function"] == function and r["bars"] == bars and r["window"] == window:
            return r
    return None


def key_ratios(rows, overhead, windows):
    """The headline comparisons at the largest size: (what, zelvo, other, ratio, goal, met).

    Each ratio is shown in the form of its goal: "peer/zelvo" where zelvo is
    to be faster by a factor, "zelvo/peer" or "zelvo/floor" where it may be
    slower by at most a factor."""
    if not rows:
        return [], None
    big = max(r["bars"] for r in rows)
    out = []

    def add(function, window, key, label, form, limit):
        r = find(rows, function, big, window)
        if not r or key not in r["ns_per_bar"] or "zelvo" not in r["ns_per_bar"]:
            return
        zt, pt = r["ns_per_bar"]["zelvo"], r["ns_per_bar"][key]
        if form == "peer/zelvo":
            ratio, goal, met = pt / zt, f">= {limit:g}", pt / zt >= limit
        else:
            ratio, goal, met = zt / pt, f"<= {limit:g}", zt / pt <= limit
        wtxt = "" if window is None else f" N={window}"
        out.append((f"{function}{wtxt} vs {label}", fmt_ns(zt), fmt_ns(pt), f"{form} {ratio:.2f}",
                    f"{form} {goal}", "yes" if met else "no"))

    for f, peer in (("LLV", "move_min"), ("HHV", "move_max")):
        for N in (20, 250):
            if N in windows:
                add(f, N, "bottleneck", "bottleneck " + peer, "peer/zelvo", 3)
    for f, peer in (("MA", "move_mean"), ("SUM", "move_sum")):
        for N in windows:
            add(f, N, "bottleneck", "bottleneck " + peer, "zelvo/peer", 1.2)
    for N in windows:
        add("EMA", N, "pandas", "pandas ewm", "peer/zelvo", 3)
    if 20 in windows:
        add("STD", 20, "bottleneck", "bottleneck move_std", "zelvo/peer", 2)
    mid = windows[len(windows) // 2]
    for f in ("REF", "REFXV", "FIF", "CROSS", "CURRBARSCOUNT", "BARSINCE"):
        add(f, mid if f in ("REF", "REFXV") else None, "floor", "copy floor", "zelvo/floor", 2.5)
    if overhead and "TA-Lib SMA" in overhead["ns_per_call"]:
        zt = overhead["ns_per_call"]["zelvo MA"]
        pt = overhead["ns_per_call"]["TA-Lib SMA"]
        out.append((f"MA on {overhead['bars']} bars, per call, vs TA-Lib SMA", f"{zt:.0f} ns/call",
                    f"{pt:.0f} ns/call", f"zelvo/peer {zt / pt:.2f}", "zelvo/peer <= 1",
                    "yes" if zt <= pt else "no"))
    return out, big


def key_table_md(keys, big):
    out = [f"ns per bar at {big:,} bars unless said otherwise.", "",
           "| comparison | zelvo | other | ratio | goal | met |", "|---|---|---|---|---|---|"]
    for k in keys:
        out.append("| " + " | ".join(k) + " |")
    return "\n".join(out)


def key_table_text(keys, big):
    out = [f"Key ratios (ns per bar at {big} bars unless said otherwise)"]
    for k in keys:
        out.append(f"  {k[0]:<44} {k[1]:>12} {k[2]:>12}  {k[3]:<18} goal {k[4]:<18} {k[5]}")
    return "\n".join(out)


def machine():
    info = {}
    model = None
    fam = {}
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                key = line.split(":", 1)[0].strip()
                if key == "model name" and model is None:
                    model = line.split(":", 1)[1].strip()
                if key in ("cpu family", "model") and key not in fam:
                    fam[key] = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    info["simd"] = " ".join(f for f in ("sse4_2", "avx2", "fma", "avx512f") if f in flags)
                    break
    except OSError:
        pass
    info["cpu"] = model or platform.processor() or platform.machine()
    if fam:
        info["cpu"] += f" (family {fam.get('cpu family', '?')}, model {fam.get('model', '?')})"
    info["cores"] = os.cpu_count()
    try:
        with open("/proc/meminfo") as fh:
            kb = int(fh.readline().split()[1])
        info["memory"] = f"{kb / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    info["os"] = f"{platform.system()} {platform.release()}"
    info["python"] = platform.python_version()
    info["numpy"] = np.__version__
    return info


def _loadavg():
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def git_revision():
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no",
                                "--", "rillet", "zelvo"], capture_output=True, text=True).stdout.strip()
        return rev + (" (with uncommitted changes to rillet/ or zelvo/)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def versions(z, peers, missing):
    v = {}
    zpkg = sys.modules.get("zelvo")
    v["zelvo"] = getattr(zpkg, "__version__", None) or getattr(z, "__version__", "?")
    for name, mod in peers.items():
        ver = getattr(mod, "__version__", "?")
        if name == "talib" and hasattr(mod, "__ta_version__"):
            ta = mod.__ta_version__
            ta = ta.decode() if isinstance(ta, bytes) else str(ta)
            ver = f"{ver} (TA-Lib C {ta.split()[0]})"
        v[PEER_LABEL[name]] = ver
    for name in missing:
        v[PEER_LABEL[name]] = "not installed"
    return v


def record_markdown(meta, rows, overhead, keys, big, peer_names, check_lines):
    m = meta["machine"]
    lines = [f"## Run of {meta['date']}", ""]
    lines.append(f"- Command: `{meta['command']}` ({meta['wall_s']:.0f} s wall time)")
    lines.append(f"- Data: {meta['data']}")
    lines.append(f"- Sampling: per candidate at least {meta['repeat']} samples and {meta['min_time']:g} s "
                 "of them, alternating with the other candidates of the cell; the minimum is kept")
    lines.append(f"- Machine: {m['cpu']}, {m['cores']} cores"
                 + (f", {m['memory']}" if "memory" in m else "")
                 + (f", SIMD {m['simd']}" if m.get("simd") else "") + f"; {m['os']}")
    lines.append("- Versions: Python " + m["python"] + ", NumPy " + m["numpy"] + ", "
                 + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()))
    lines.append(f"- Repository revision at run time: {meta['revision']}; module measured: "
                 f"`{meta['module']}`, installed {meta['module_time']}")
    if meta.get("module_replaced"):
        lines.append("- The installed module was replaced while this run went on; the figures are "
                     "of the build imported at the start")
    if meta.get("load") and None not in meta["load"]:
        lines.append(f"- Load average (1 min) at start and end: {meta['load'][0]:.1f}, {meta['load'][1]:.1f} "
                     "(other work on the machine; the minima filter most of it)")
    if check_lines is not None:
        bad = [c for c in check_lines if not c.startswith("ok")]
        lines.append(f"- Peer agreement check: {len(check_lines) - len(bad)} of {len(check_lines)} "
                     f"comparisons agree" + ("" if not bad else " — DISAGREEMENTS: " + "; ".join(bad)))
    lines.append("")
    lines.append("### Key ratios")
    lines.append("")
    lines.append(key_table_md(keys, big))
    lines.append("")
    if overhead:
        lines.append(f"### Per-call time on {overhead['bars']}-bar arrays (N = {overhead['window']})")
        lines.append("")
        lines.append("| call | ns per call |")
        lines.append("|---|---|")
        for k, v in overhead["ns_per_call"].items():
            lines.append(f"| {k} | {v:.0f} |")
        lines.append("")
    lines.append("### All timings")
    lines.append("")
    lines.append("ns per bar, minimum over samples.  Peer cells: peer ns/bar (peer/zelvo, above 1 means "
                 "zelvo is faster).  Copy floor (`np.copyto` into a preallocated array) and alloc+copy "
                 "(`a.copy()`): ns/bar (zelvo/that time).")
    lines.append("")
    lines.append(markdown_table(rows, peer_names))
    lines.append("")
    return "\n".join(lines)


RESULTS_HEAD = f"""# Benchmark results

Figures from `bench/run.py` (see `bench/README.md`).  The section between the
markers is rewritten by `python3 bench/run.py --record`; `--append` adds a
dated record at the end of this file instead, keeping the older ones.

{RECORD_START}
{RECORD_END}
"""


def write_record(path, text, append):
    body = open(path).read() if os.path.exists(path) else RESULTS_HEAD
    if RECORD_START not in body or RECORD_END not in body:
        body = body.rstrip("\n") + "\n\n" + RECORD_START + "\n" + RECORD_END + "\n"
    if append:
        body = body.rstrip("\n") + "\n\n" + text.rstrip("\n") + "\n"
    else:
        pre, rest = body.split(RECORD_START, 1)
        _, post = rest.split(RECORD_END, 1)
        body = pre + RECORD_START + "\n" + text.rstrip("\n") + "\n" + RECORD_END + post
    with open(path, "w") as fh:
        fh.write(body)


def chart(rows, peer_names, path, title):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except Exception as exc:
        print(f"no chart: matplotlib unavailable ({exc})")
        return False
    big = max(r["bars"] for r in rows)
    rows = [r for r in rows if r["bars"] == big and not r.get("skipped")]
    if not rows:
        print(f"no chart: nothing timed at {big} bars")
        return False
    windows = sorted({r["window"] for r in rows if r["window"] is not None})
    panels = [(f"N = {w}", [r for r in rows if r["window"] == w]) for w in windows]
    panels.append(("no window", [r for r in rows if r["window"] is None]))
    panels = [p for p in panels if p[1]]
    keys = ["zelvo"] + list(peer_names)
    colours = {"zelvo": "#d62728", "bottleneck": "#1f77b4", "pandas": "#2ca02c", "talib": "#9467bd",
               "polars": "#ff7f0e"}
    floors = [t for r in rows for k, t in r["ns_per_bar"].items() if k == "floor"]
    floor = min(floors) if floors else None
    height = max(len(p[1]) for p in panels)
    fig, axes = plt.subplots(1, len(panels), figsize=(5.0 * len(panels), max(4.5, 1.5 + 0.5 * height)),
                             squeeze=False)
    bar_h = 0.8 / len(keys)
    for ax, (ptitle, prow) in zip(axes[0], panels):
        prow = list(reversed(prow))
        drawn = set()
        for i, r in enumerate(prow):
            present = [k for k in keys if k in r["ns_per_bar"]]
            for j, k in enumerate(present):
                y = i + (len(present) / 2 - j - 0.5) * bar_h
                label = None
                if k not in drawn:
                    label = "zelvo" if k == "zelvo" else PEER_LABEL[k]
                    drawn.add(k)
                ax.barh([y], [r["ns_per_bar"][k]], height=bar_h, color=colours.get(k, "grey"),
                        label=label)
        if floor:
            ax.axvline(floor, color="black", linestyle="--", linewidth=1, label="copy floor")
        ax.set_yticks(range(len(prow)))
        ax.set_yticklabels([r["function"] for r in prow], fontsize=8)
        ax.set_ylim(-0.6, max(len(prow), 6) - 0.4)
        ax.set_xscale("log")
        lo, hi = ax.get_xlim()
        if hi / lo < 100:  # at least two decades, so that major ticks are labelled
            mid = math.sqrt(lo * hi)
            ax.set_xlim(mid / 10, mid * 10)
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlabel("ns per bar (log)")
        ax.set_title(ptitle)
        ax.grid(axis="x", which="both", alpha=0.3)
    labels = {}
    for ax in axes[0]:
        for h, l in zip(*ax.get_legend_handles_labels()):
            labels.setdefault(l, h)
    order = ["zelvo"] + [PEER_LABEL[p] for p in peer_names] + ["copy floor"]
    names = [l for l in order if l in labels]
    fig.legend([labels[l] for l in names], names, loc="upper center", bbox_to_anchor=(0.5, 0.965),
               ncol=len(names), frameon=False)
    fig.suptitle(title, y=0.995, fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.94))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# ---------------------------------------------------------------------------
# Command line


def parse_sizes(text):
    out = []
    for part in text.split(","):
        part = part.strip()
        if part:
            out.append(int(float(part)))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", help="bars per series, comma separated (default 1e3,1e5,1e6)")
    ap.add_argument("--windows", help="window lengths N, comma separated (default 5,20,250)")
    ap.add_argument("--functions", help="only these module functions, comma separated")
    ap.add_argument("--peers", help="only these peers (bottleneck,pandas,talib,polars); 'none' for none")
    ap.add_argument("--quick", action="store_true", help="1e3 and 1e5 bars, shorter sampling")
    ap.add_argument("--repeat", type=int, default=3, help="minimum samples per candidate (default 3)")
    ap.add_argument("--min-time", type=float, default=None,
                    help="minimum seconds of samples per candidate (default 0.2, 0.05 with --quick)")
    ap.add_argument("--max-call", type=float, default=20.0,
                    help="leave out a cell whose one call is projected (quadratically from the "
                         "smaller size) to take longer than this many seconds (default 20)")
    ap.add_argument("--data", choices=("walk", "real"), default="walk",
                    help="seeded random walk (default) or the real daily bars of ../shared/data, "
                         "their returns cycled to the length wanted")
    ap.add_argument("--seed", type=int, default=7, help="random-walk seed (default 7)")
    ap.add_argument("--out", default=os.path.join(HERE, "out"), help="output folder (default bench/out)")
    ap.add_argument("--chart", help="PNG path (default OUT/ns_per_bar.png; 'none' for no chart)")
    ap.add_argument("--record", action="store_true",
                    help="rewrite the record section of bench/RESULTS.md with this run")
    ap.add_argument("--append", action="store_true", help="append this run as a new record")
    ap.add_argument("--results", default=RESULTS_MD, help="markdown record file (default bench/RESULTS.md)")
    ap.add_argument("--check", action="store_true", help="only check that the peers agree, then exit")
    ap.add_argument("--no-check", action="store_true", help="skip the agreement check before timing")
    args = ap.parse_args(argv)

    sizes = parse_sizes(args.sizes) if args.sizes else ([10**3, 10**5] if args.quick else DEFAULT_SIZES)
    windows = parse_sizes(args.windows) if args.windows else list(DEFAULT_WINDOWS)
    if args.min_time is None:
        args.min_time = 0.05 if args.quick else 0.2
    names = set(MODULE_FUNCTIONS)
    if args.functions:
        names = {f.strip().upper() for f in args.functions.split(",") if f.strip()}
        unknown = names - set(MODULE_FUNCTIONS)
        if unknown:
            ap.error(f"unknown functions: {', '.join(sorted(unknown))}")
    wanted = list(PEER_MODULES)
    if args.peers:
        wanted = [] if args.peers == "none" else [p.strip() for p in args.peers.split(",") if p.strip()]
        bad = [p for p in wanted if p not in PEER_MODULES]
        if bad:
            ap.error(f"unknown peers: {', '.join(bad)}")

    z = _import_zelvo()
    module_mtime = os.path.getmtime(z.__file__)
    revision = git_revision()
    absent = [f for f in MODULE_FUNCTIONS if not hasattr(z, f)]
    if absent:
        sys.exit(f"zelvo._zelvo lacks {', '.join(absent)}")
    peers, missing = import_peers(wanted)
    peer_names = [p for p in PEER_MODULES if p in peers]
    print(f"zelvo: {z.__file__}")
    print("peers: " + (", ".join(f"{PEER_LABEL[p]} {getattr(peers[p], '__version__', '?')}" for p in peer_names)
                       or "none"))
    for p, why in missing.items():
        print(f"peer missing: {PEER_LABEL[p]} ({why}); its columns are left out")

    data_desc = f"seeded geometric random walk (seed {args.seed}, 1 % daily steps)"
    if args.data == "real":
        args._real_returns, files = real_returns()
        data_desc = (f"real daily returns of {', '.join(files)} ({args._real_returns.size} bars), "
                     "cycled and chained into one price path")
    print(f"data: {data_desc}")

    check_lines = None
    if args.check or not args.no_check:
        failures, check_lines = check_peers(z, peers, windows, verbose=args.check)
        if args.check:
            print(f"{len(check_lines) - len(failures)} of {len(check_lines)} peer comparisons agree")
            return 1 if failures else 0
        if failures:
            print("peer agreement check failed (run with --check for all lines):")
            print("\n".join(failures))
            return 1
        print(f"peer agreement check: {len(check_lines)} comparisons agree")

    t_start = time.perf_counter()
    load_start = _loadavg()
    print()
    print("ns per bar (minimum).  Peer cells: ns/bar (peer/zelvo; above 1 = zelvo faster).  "
          "Floor cells: ns/bar (zelvo/that).")
    print(header(peer_names))
    sys.stdout.flush()

    def log(line, _dt_cell):
        print(line, flush=True)

    rows = run_bench(z, peers, sizes, windows, names, args, log)
    overhead = per_call_overhead(z, peers, args)
    wall = time.perf_counter() - t_start
    replaced = os.path.getmtime(z.__file__) != module_mtime
    if replaced:
        print("warning: the installed zelvo module was replaced during the run; this process kept "
              "the one it imported, but a rerun will measure the new build")

    print()
    print(f"Per-call time on {overhead['bars']}-bar arrays (N = {overhead['window']}):")
    for k, v in overhead["ns_per_call"].items():
        print(f"  {k:<22} {v:8.0f} ns")
    keys, big = key_ratios(rows, overhead, windows)
    if keys:
        print()
        print(key_table_text(keys, big))

    cmd = " ".join(["python3 bench/run.py"] + list(sys.argv[1:] if argv is None else argv))
    meta = {"date": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "command": cmd, "wall_s": wall, "data": data_desc, "machine": machine(),
            "versions": versions(z, peers, missing), "revision": revision,
            "missing_peers": list(missing), "repeat": args.repeat, "min_time": args.min_time,
            "module": os.path.basename(z.__file__),
            "module_time": _dt.datetime.fromtimestamp(module_mtime, _dt.timezone.utc)
            .strftime("%Y-%m-%d %H:%M UTC"),
            "module_replaced": replaced,
            "load": [load_start, _loadavg()]}

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as fh:
        json.dump({"meta": meta, "rows": rows, "per_call": overhead}, fh, indent=1)
    chart_path = args.chart or os.path.join(args.out, "ns_per_bar.png")
    if chart_path != "none" and rows:
        title = (f"zelvo vs peers, ns per bar at {big:,} bars (log scale) — {meta['machine']['cpu']}, "
                 f"{meta['date']}")
        if chart(rows, peer_names, chart_path, title):
            print(f"\nchart: {chart_path}")
    print(f"results: {os.path.join(args.out, 'results.json')}")
    if args.record or args.append:
        text = record_markdown(meta, rows, overhead, keys, big, peer_names, check_lines)
        write_record(args.results, text, append=args.append)
        print(f"record {'appended to' if args.append else 'written to'} {args.results}")
    print(f"timed in {wall:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
