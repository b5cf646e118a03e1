"""The peer libraries, the statements by which they compute what a zelvo function
computes, and the check that they really agree.

Names in a statement: ``bn`` bottleneck, ``talib``, ``s``/``cs`` pandas Series of
the close and of the 0/1 condition, ``ps`` polars Series of the close; the
rest as in ``cases``.
"""
from __future__ import annotations

import importlib
import math

import numpy as np

from . import cases, data

# Import name -> label shown; the order of the table columns.
LABEL = {"bottleneck": "bottleneck", "pandas": "pandas", "talib": "TA-Lib", "polars": "polars"}

STATEMENTS = {
    "MA": {"bottleneck": "bn.move_mean(a, N)", "pandas": "s.rolling(N).mean()",
           "talib": "talib.SMA(a, N)", "polars": "ps.rolling_mean(N)"},
    "EMA": {"pandas": "s.ewm(span=N, adjust=False).mean()", "talib": "talib.EMA(a, N)"},
    "SMA": {"pandas": "s.ewm(alpha=al, adjust=False).mean()"},
    "WMA": {"talib": "talib.WMA(a, N)"},
    "SUM": {"bottleneck": "bn.move_sum(a, N)", "pandas": "s.rolling(N).sum()",
            "talib": "talib.SUM(a, N)", "polars": "ps.rolling_sum(N)"},
    "COUNT": {"bottleneck": "bn.move_sum(c, N)", "pandas": "cs.rolling(N).sum()"},
    "LLV": {"bottleneck": "bn.move_min(a, N)", "pandas": "s.rolling(N).min()",
            "talib": "talib.MIN(a, N)", "polars": "ps.rolling_min(N)"},
    "HHV": {"bottleneck": "bn.move_max(a, N)", "pandas": "s.rolling(N).max()",
            "talib": "talib.MAX(a, N)", "polars": "ps.rolling_max(N)"},
    "SLOPE": {"talib": "talib.LINEARREG_SLOPE(a, N)"},
    "STD": {"bottleneck": "bn.move_std(a, N, ddof=1)", "pandas": "s.rolling(N).std()",
            "polars": "ps.rolling_std(N)"},
    "STDDEV": {"bottleneck": "bn.move_std(a, N)", "pandas": "s.rolling(N).std(ddof=0)",
               "talib": "talib.STDDEV(a, N, 1.0)", "polars": "ps.rolling_std(N, ddof=0)"},
    "AVEDEV": {"talib": "talib.AVGDEV(a, N)"},
}
STATEMENTS["STDP"] = STATEMENTS["STDDEV"]  # the same quantity under another name

# Agreement tolerance per (function, peer), peer None for any; 0.0 is exact equality.
RTOL = {
    ("COUNT", None): 0.0, ("LLV", None): 0.0, ("HHV", None): 0.0,
    ("STD", None): 1e-7, ("STDDEV", None): 1e-7, ("STDP", None): 1e-7,
    ("STDDEV", "talib"): 1e-6, ("STDP", "talib"): 1e-6,
}
DEFAULT_RTOL = 1e-9


def import_peers(wanted):
    """({name: module} of the wanted peers that import, {name: why not} of the others)."""
    found, missing = {}, {}
    for name in wanted:
        try:
            found[name] = importlib.import_module(name)
        except Exception as exc:  # ImportError, or a broken binary
            missing[name] = f"{type(exc).__name__}: {exc}"
    return found, missing


def statements(function, peers):
    """{peer: statement} of the installed peers computing what ``function`` computes."""
    return {p: s for p, s in STATEMENTS.get(cases.base_of(function), {}).items() if p in peers}


def namespace(peers, d):
    """The peers' names for the inputs ``d`` (a ``cases.Inputs``)."""
    ns = {}
    if "bottleneck" in peers:
        ns["bn"] = peers["bottleneck"]
    if "pandas" in peers:
        pd = peers["pandas"]
        ns.update(pd=pd, s=pd.Series(d.close), cs=pd.Series(d.cond_f))
    if "talib" in peers:
        ns["talib"] = peers["talib"]
    if "polars" in peers:
        pl = peers["polars"]
        ns.update(pl=pl, ps=pl.Series("a", d.close))
    return ns


def _np(v):
    if hasattr(v, "to_numpy"):
        v = v.to_numpy()
    return np.asarray(v, dtype=np.float64)


def _start(name, peer, N):
    """The first bar compared: past the warm-up of both sides."""
    if name in ("EMA", "SMA") and peer == "pandas":
        return 0  # both seed with the first bar
    start = N - 1
    if name == "EMA" and peer == "talib":
        # TA-Lib seeds with the mean of the first N bars: wait until that seed
        # weighs less than 1e-13.
        alpha = 2.0 / (N + 1)
        start += int(math.ceil(math.log(1e-13) / math.log(1.0 - alpha)))
    return start


def check(z, peers, windows, n=20000, seed=7, verbose=True):
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
    squares), which differ in rounding, so they get looser tolerances.

    Returns (failed lines, all lines)."""
    d = cases.Inputs(z, data.random_walk(n, seed))
    ns = dict(cases.namespace(z, d), **namespace(peers, d))
    failures, lines = [], []
    for name, zstmt, _windowed in cases.cases(set(STATEMENTS)):
        if name != cases.base_of(name):
            continue
        for peer, stmt in statements(name, peers).items():
            for N in windows:
                env = cases.cell_namespace(ns, n, N)
                zr = _np(eval(zstmt, env))
                pr = _np(eval(stmt, env))
                start = _start(name, peer, N)
                if start >= n:
                    continue
                zt, pt = zr[start:], pr[start:]
                tol = RTOL.get((name, peer), RTOL.get((name, None), DEFAULT_RTOL))
                finite = np.isfinite(zt) & np.isfinite(pt)
                nan_ok = bool(np.all(finite))
                diff = np.abs(zt - pt)
                scale = np.abs(pt)
                norm = scale + float(np.median(scale))
                worst = float(np.max(diff / np.maximum(norm, 1e-300))) if zt.size else 0.0
                ok = nan_ok and bool(np.all(diff <= tol * norm))
                line = (f"{'ok  ' if ok else 'FAIL'} {name:<7} vs {LABEL[peer]:<10} {stmt:<38} N={N:<4} "
                        f"bars {start}..{n - 1}  max diff {worst:.1e} (tol {tol:.0e})")
                if not nan_ok:
                    line += "  non-finite values past warm-up"
                lines.append(line)
                if not ok:
                    failures.append(line)
    if verbose:
        print("\n".join(lines))
    return failures, lines
