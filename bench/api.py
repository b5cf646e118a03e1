#!/usr/bin/env python3
"""Per-call cost of the package's functions (zelvo._api) on small inputs.

The price of the conversions, containers and checks of ``zelvo.MA`` over the
exact module's ``MA`` on a 100-bar float64 array, and of ``zelvo.MA`` on a
100-bar pandas Series against TA-Lib's ``SMA`` on the same Series, with a few
other inputs for reference.  The candidates are sampled in alternating rounds
(each sample about a millisecond of calls; each goal's pair on its own) and
the minimum time per call is kept, so a burst of load on the machine hits them
alike.

    python3 bench/api.py              # print the table
    python3 bench/api.py --record     # and rewrite its section of bench/RESULTS.md
"""
from __future__ import annotations

import argparse
import datetime as _dt
import os
import platform
import sys

import numpy as np

import zelvo
import zelvo._zelvo as exact

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zbench.timing import best_of  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS_MD = os.path.join(HERE, "RESULTS.md")
START, END = "<!-- api-record:start -->", "<!-- api-record:end -->"
BARS, N = 100, 20

# (goal label, candidate, baseline, largest ratio candidate/baseline)
GOALS = [
    ("zelvo.MA vs exact MA, 100-bar float64 array", "zelvo.MA(array)", "exact MA(array)", 1.3),
    ("zelvo.MA vs TA-Lib SMA, 100-bar pandas Series", "zelvo.MA(Series)", "TA-Lib SMA(Series)",
     1.0),
]


def candidates():
    rng = np.random.default_rng(7)
    a = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, BARS)))
    ro = a.copy()
    ro.flags.writeable = False
    lst = a.tolist()
    ints = np.round(a).astype(np.int64)
    out = {
        "exact MA(array)": lambda: exact.MA(a, N),
        "zelvo.MA(array)": lambda: zelvo.MA(a, N),
        "zelvo.MA(read-only array)": lambda: zelvo.MA(ro, N),
        "zelvo.MA(int64 array)": lambda: zelvo.MA(ints, N),
        "zelvo.MA(list)": lambda: zelvo.MA(lst, N),
        "zelvo.CROSS(array, number)": lambda: zelvo.CROSS(a, 100.0),
        "numpy a.copy()": lambda: a.copy(),
    }
    missing = []
    try:
        import pandas as pd
        s = pd.Series(a, index=pd.date_range("2020-01-01", periods=BARS), name="Close")
        out["zelvo.MA(Series)"] = lambda: zelvo.MA(s, N)
        out["pd.Series(r, index, name)"] = lambda: pd.Series(a, index=s.index, name=s.name)
    except ImportError:
        missing.append("pandas")
    try:
        import talib
        out["TA-Lib SMA(array)"] = lambda: talib.SMA(a, N)
        if "zelvo.MA(Series)" in out:
            out["TA-Lib SMA(Series)"] = lambda: talib.SMA(s, N)
    except ImportError:
        missing.append("talib")
    try:
        import polars as pl
        ps = pl.Series("Close", a)
        out["zelvo.MA(polars Series)"] = lambda: zelvo.MA(ps, N)
    except ImportError:
        missing.append("polars")
    return out, missing


def measure(funcs, repeat, min_time):
    """Minimum ns per call of each candidate, sampled side by side."""
    return {k: v * 1e9 for k, v in best_of(funcs, repeat=repeat, min_time=min_time).items()}


def versions():
    out = [f"Python {platform.python_version()}", f"NumPy {np.__version__}",
           f"zelvo {zelvo.__version__}"]
    for mod, label in (("pandas", "pandas"), ("talib", "TA-Lib"), ("polars", "polars")):
        try:
            out.append(f"{label} {__import__(mod).__version__}")
        except ImportError:
            pass
    return ", ".join(out)


def report(ns, missing, args):
    lines = []
    stamp = _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines.append(f"## Per-call cost of the package functions, run of {stamp}\n")
    lines.append(f"- Command: `python3 bench/api.py{' --record' if args.record else ''}`")
    lines.append(f"- Input: {BARS} bars of a seeded random walk, N = {N}; "
                 f"at least {args.repeat} samples and {args.min_time} s per candidate, "
                 "alternating; the minimum is kept")
    lines.append(f"- Machine: {platform.machine()}, {os.cpu_count()} cores; {versions()}")
    if missing:
        lines.append(f"- Not installed: {', '.join(missing)}")
    try:
        lines.append(f"- Load average (1 min) at the end: {os.getloadavg()[0]:.1f}")
    except OSError:
        pass
    lines.append("")
    lines.append("| goal | zelvo | baseline | ratio | goal | met |")
    lines.append("|---|---|---|---|---|---|")
    for label, cand, base, most in GOALS:
        if cand in ns and base in ns:
            ratio = ns[cand] / ns[base]
            lines.append(f"| {label} | {ns[cand]:.0f} ns | {ns[base]:.0f} ns | {ratio:.2f} | "
                         f"<= {most} | {'yes' if ratio <= most else 'no'} |")
    lines.append("")
    lines.append("| call | ns per call |")
    lines.append("|---|---|")
    for k, v in ns.items():
        lines.append(f"| {k} | {v:.0f} |")
    return "\n".join(lines) + "\n"


def record(text):
    with open(RESULTS_MD, encoding="utf-8") as fh:
        md = fh.read()
    block = f"{START}\n{text}{END}"
    if START in md and END in md:
        md = md[: md.index(START)] + block + md[md.index(END) + len(END):]
    else:
        md = md.rstrip("\n") + "\n\n" + block + "\n"
    with open(RESULTS_MD, "w", encoding="utf-8") as fh:
        fh.write(md)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--repeat", type=int, default=7)
    p.add_argument("--min-time", type=float, default=0.5)
    p.add_argument("--record", action="store_true")
    args = p.parse_args(argv)
    funcs, missing = candidates()
    # Each goal's pair alternates only with itself, so it gets the most
    # samples; then the other calls; polars last, as it leaves its worker
    # threads busy after a call, which slows whatever runs next.
    ns = {}
    for _, cand, base, _ in GOALS:
        if cand in funcs and base in funcs:
            ns.update(measure({k: funcs.pop(k) for k in (cand, base)}, args.repeat,
                              args.min_time))
    late = {k: funcs.pop(k) for k in list(funcs) if "polars" in k}
    for group in (funcs, late):
        ns.update(measure(group, args.repeat, args.min_time) if group else {})
    text = report(ns, missing, args)
    print(text)
    if args.record:
        record(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
