#!/usr/bin/env python3
"""Benchmark of the formula language.

1. Compile time of the whole indicator library (every text parsed and
   compiled to its graph), best of several rounds.
2. MACD + KDJ + BOLL + RSI on a panel of instruments x bars (2000 x 2500 by
   default), three ways:
   - the four library indicators run as formulas over the panel;
   - the same lines hand-written as a sequence of panel calls (one call of
     the formula backend per function, NumPy for the arithmetic), which is
     what the formula engine should cost at best; and the same per
     instrument with the 1-D functions;
   - pandas on wide frames (bars x instruments) with rolling and ewm.
   The formula and the hand-written lines are checked to agree bit for bit,
   and pandas to agree to 1e-6 after a warm-up.

    python3 bench/formula.py                       # 2000 x 2500
    python3 bench/formula.py --instruments 200 --bars 1000 --repeat 5
    python3 bench/formula.py --json out.json

It imports the installed zelvo package.  pandas is optional.
"""
from __future__ import annotations

import argparse
import json
import platform
import sys
import time

import numpy as np

import zelvo
from zelvo.formula import Formula
from zelvo.formula._backend import call as panel


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def make_bars(instruments: int, bars: int, seed: int = 1) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.02, (instruments, bars)), axis=1))
    spread = np.abs(rng.normal(0, 0.01, (instruments, bars))) * close
    return {"open": close + rng.normal(0, 0.005, close.shape) * close,
            "high": close + spread, "low": close - spread, "close": close,
            "volume": rng.integers(1000, 100000, close.shape).astype(np.float64)}


# -- the four indicators as formulas -----------------------------------------
NAMES = ("MACD", "KDJ", "BOLL", "RSI")


def by_formula(b):
    out = {}
    for name in NAMES:
        out.update({f"{name}.{k}": v for k, v in zelvo.indicator(name, b).items()})
    return out


# -- the same lines, hand-written --------------------------------------------
def mx(a, b):
    return np.where((a > b) | np.isnan(a), a, b)


def by_hand(b, call=panel):
    c, h, low = b["close"], b["high"], b["low"]
    out = {}
    dif = call("EMA", c, 12) - call("EMA", c, 26)
    dea = call("EMA", dif, 9)
    out.update({"MACD.DIF": dif, "MACD.DEA": dea, "MACD.MACD": (dif - dea) * 2})
    ll, hh = call("LLV", low, 9), call("HHV", h, 9)
    k = call("SMA", (c - ll) / (hh - ll) * 100, 3, 1)
    d = call("SMA", k, 3, 1)
    out.update({"KDJ.K": k, "KDJ.D": d, "KDJ.J": 3 * k - 2 * d})
    mid, sd = call("MA", c, 20), call("STD", c, 20)
    out.update({"BOLL.BOLL": mid, "BOLL.UB": mid + 2 * sd, "BOLL.LB": mid - 2 * sd})
    move = c - call("REF", c, 1)
    up, size = mx(move, 0.0), np.abs(move)
    for i, n in enumerate((6, 12, 24), 1):
        out[f"RSI.RSI{i}"] = call("SMA", up, n, 1) / call("SMA", size, n, 1) * 100
    return out


def by_hand_rows(b):
    """Per instrument, with the 1-D functions of the module."""
    def one(name, *args):
        return getattr(zelvo, name)(*args)
    rows = [by_hand({k: v[r] for k, v in b.items()}, call=one)
            for r in range(b["close"].shape[0])]
    return {k: np.stack([r[k] for r in rows]) for k in rows[0]}


# -- pandas, wide: one column per instrument ----------------------------------
def by_pandas(frames):
    c, h, low = frames["close"], frames["high"], frames["low"]
    out = {}
    dif = c.ewm(span=12, adjust=False).mean() - c.ewm(span=26, adjust=False).mean()
    dea = dif.ewm(span=9, adjust=False).mean()
    out.update({"MACD.DIF": dif, "MACD.DEA": dea, "MACD.MACD": (dif - dea) * 2})
    ll = low.rolling(9, min_periods=1).min()
    hh = h.rolling(9, min_periods=1).max()
    k = ((c - ll) / (hh - ll) * 100).ewm(alpha=1 / 3, adjust=False).mean()
    d = k.ewm(alpha=1 / 3, adjust=False).mean()
    out.update({"KDJ.K": k, "KDJ.D": d, "KDJ.J": 3 * k - 2 * d})
    mid, sd = c.rolling(20).mean(), c.rolling(20).std()
    out.update({"BOLL.BOLL": mid, "BOLL.UB": mid + 2 * sd, "BOLL.LB": mid - 2 * sd})
    move = c.diff()
    up, size = move.clip(lower=0), move.abs()
    for i, n in enumerate((6, 12, 24), 1):
        out[f"RSI.RSI{i}"] = (up.ewm(alpha=1 / n, adjust=False).mean()
                              / size.ewm(alpha=1 / n, adjust=False).mean() * 100)
    return out


def same_bits(a: dict, b: dict) -> bool:
    return list(a) == list(b) and all(
        np.array_equal(a[k], b[k], equal_nan=True) and
        np.array_equal(np.signbit(a[k]), np.signbit(b[k])) for k in a)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--instruments", type=int, default=2000)
    ap.add_argument("--bars", type=int, default=2500)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-pandas", action="store_true")
    ap.add_argument("--json", help="write the figures to this file")
    args = ap.parse_args(argv)
    res: dict = {"python": sys.version.split()[0], "numpy": np.__version__,
                 "machine": platform.machine(), "instruments": args.instruments,
                 "bars": args.bars}

    texts = [ind.text for ind in zelvo.indicators.values()]
    [Formula(t) for t in texts]                                   # warm the imports
    res["compile_library_ms"] = 1e3 * best(lambda: [Formula(t) for t in texts], 100)
    print(f"compile {len(texts)} indicators: {res['compile_library_ms']:.2f} ms "
          f"(target < 10 ms)")

    b = make_bars(args.instruments, args.bars)
    formula, hand = by_formula(b), by_hand(b)
    assert same_bits(formula, hand), "formula and hand-written lines differ"
    rows_small = by_hand_rows({k: v[:50] for k, v in b.items()})
    assert same_bits({k: v[:50] for k, v in hand.items()}, rows_small)

    t_formula = best(lambda: by_formula(b), args.repeat)
    t_hand = best(lambda: by_hand(b), args.repeat)
    t_rows = best(lambda: by_hand_rows(b), args.repeat)
    res.update(formula_s=t_formula, hand_panel_calls_s=t_hand, hand_rows_s=t_rows)
    size = f"{args.instruments} x {args.bars}"
    print(f"MACD+KDJ+BOLL+RSI on {size}:")
    print(f"  formula (library indicators)    {t_formula:8.3f} s")
    print(f"  hand-written panel calls        {t_hand:8.3f} s   formula/hand = "
          f"{t_formula / t_hand:.2f}")
    print(f"  hand-written per instrument     {t_rows:8.3f} s")

    if not args.no_pandas:
        try:
            import pandas as pd
        except ImportError:
            print("  pandas: not installed")
        else:
            frames = {k: pd.DataFrame(np.ascontiguousarray(v.T)) for k, v in b.items()}
            got = by_pandas(frames)
            for k, v in got.items():        # the same quantities, another order of work
                x, y = v.to_numpy()[100:].T, hand[k][:, 100:]
                assert np.allclose(x, y, rtol=1e-6, atol=1e-6, equal_nan=True), k
            t_pd = best(lambda: by_pandas(frames), args.repeat)
            res["pandas_wide_s"] = t_pd
            print(f"  pandas wide rolling/ewm         {t_pd:8.3f} s   pandas/formula = "
                  f"{t_pd / t_formula:.1f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(res, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
