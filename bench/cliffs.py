#!/usr/bin/env python3
"""Where the package's speed could fall off a cliff, as ratios from one run.

  1. one series of 10^3, 10^5 and 10^7 bars: every catalog function through
     ``zelvo.<NAME>`` / the exact module's (the largest ratio of each size)
  2. panels of 1, 2, 4, 8 and 15 instruments (10^6 values, lanes along
     time, and the same panels time-first): per value / the one-series kernel
  3. 2000 x 2500 on one thread / the copy floor, MA SUM EMA LLV HHV REF STD
     SLOPE AVEDEV (N = 20); and STD, SLOPE, AVEDEV on every thread of the
     machine against one thread
  4. zelvo.MA on 100 bars / the exact module's

    python3 bench/cliffs.py             # print the tables
    python3 bench/cliffs.py --record    # and rewrite their section of bench/RESULTS.md
"""
from __future__ import annotations

import argparse
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import zelvo  # noqa: E402
import zelvo._zelvo as exact  # noqa: E402
from gate import N, api_ratios, call_ratio  # noqa: E402
from zbench import machine, record  # noqa: E402
from zbench.timing import best_of  # noqa: E402

PANEL_FUNCTIONS = ("MA", "SUM", "EMA", "LLV", "HHV", "REF", "STD", "SLOPE", "AVEDEV")
SPREAD = ("STD", "SLOPE", "AVEDEV")


def series_table(repeat, min_time):
    rows = []
    for bars in (10**3, 10**5, 10**7):
        r = {k.split("/", 1)[1]: v for k, v in api_ratios(repeat, min_time, bars).items()}
        worst = max(r, key=r.get)
        rows.append([f"{bars:.0e}", f"{r[worst]:.2f} ({worst})",
                     f"{np.median(list(r.values())):.2f}", f"{min(r.values()):.2f}"])
    return record.md_table(["bars", "largest API/exact", "median", "smallest"], rows)


def lanes_table(repeat, min_time, values=10**6):
    x = 100.0 + np.cumsum(np.random.default_rng(2).standard_normal(values))
    rows = []
    zelvo.set_threads(1)
    for name in ("MA", "EMA", "SUM", "LLV", "STD"):
        one = best_of({"k": lambda f=getattr(exact, name): f(x, N)}, repeat=repeat,
                      min_time=min_time)["k"] / values
        row = [name]
        for k in (1, 2, 4, 8, 15):
            p = x[: values // k * k].reshape(k, -1)
            pt = np.ascontiguousarray(p.T)
            f = getattr(zelvo, name)
            t = best_of({"rows": lambda: f(p, N), "cols": lambda: f(pt, N, axis=0)},
                        repeat=repeat, min_time=min_time)
            row.append(f"{t['rows'] / p.size / one:.2f} / {t['cols'] / p.size / one:.2f}")
        rows.append(row)
    zelvo.set_threads(0)
    return record.md_table(["function"] + [f"{k} lanes" for k in (1, 2, 4, 8, 15)], rows)


def floor_table(repeat, min_time, shape=(2000, 2500)):
    p = 100.0 + np.cumsum(np.random.default_rng(5).standard_normal(shape), axis=1)
    rows = []
    threads = zelvo.get_threads()
    for name in PANEL_FUNCTIONS:
        f = getattr(zelvo, name)
        zelvo.set_threads(1)
        t = best_of({"f": lambda: f(p, N), "copy": p.copy}, repeat=repeat, min_time=min_time)
        row = [name, f"{t['f'] / t['copy']:.2f}"]
        if name in SPREAD and threads > 1:
            zelvo.set_threads(threads)
            tn = best_of({"f": lambda: f(p, N)}, repeat=repeat, min_time=min_time)["f"]
            row.append(f"{t['f'] / tn:.2f}")
        else:
            row.append("")
        rows.append(row)
    zelvo.set_threads(0)
    return record.md_table(["function", "1 thread / copy floor",
                            f"1 thread / {threads} threads"], rows)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--record", action="store_true")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--min-time", type=float, default=0.1)
    args = ap.parse_args(argv)
    call = call_ratio(args.repeat, args.min_time)["call100"]
    text = "\n".join([
        "## Speed cliffs (`python3 bench/cliffs.py`)", "",
        f"- Machine: {machine.describe()}; load average at the start "
        f"{machine.load():.2f}", "",
        "One series through the package API / the exact module:", "",
        series_table(args.repeat, args.min_time), "",
        "Panels of few instruments, 10^6 values in all, one thread: per value / the "
        "one-series kernel (lanes along time / time-first):", "",
        lanes_table(args.repeat, args.min_time), "",
        "2000 x 2500, N = 20:", "",
        floor_table(args.repeat, args.min_time), "",
        f"zelvo.MA on 100 bars / the exact module's MA: {call:.2f}", ""])
    print(text)
    if args.record:
        record.write_section(os.path.join(HERE, "RESULTS.md"), text, name="cliffs-record")
    return 0


if __name__ == "__main__":
    sys.exit(main())
