#!/usr/bin/env python3
"""Per-bar window functions on the windows formulas actually give them.

    python3 bench/windows.py                # the table below, about a minute
    python3 bench/windows.py --repeat 7     # more runs per cell (best is kept)

Cases, on a seeded random walk:

- "since the last signal": N = BARSLAST(signal), a signal with probability
  0.0005 per bar, so the windows grow from one event to the next.  HHV_A and
  LLV_A are set against HHV(c, 0), SUM_A and MA_A against SUM(c, 20).
- random windows of 1 .. 10^5 bars at 10^6 bars, HHV_A and LLV_A.
- for scale, windows the per-bar functions cannot reuse much: one length for
  every bar (sliding) and short random lengths.

Each cell is the best of several calls; a call that takes long is repeated
less (down to once) so a slow build can still be measured.  Prints a markdown
table of ms per call and ns per bar.
"""
from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys

import numpy as np

import zelvo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zbench.timing import best_call  # noqa: E402


def machine():
    model = platform.processor() or "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        info = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
        model = " ".join(info.get("Model name", model).split())
        model += f" (family {info.get('CPU family', '?').strip()}, model {info.get('Model', '?').strip()})"
    except (OSError, subprocess.CalledProcessError):
        pass
    return f"{model}, {os.cpu_count()} cores"


def cases(rng_seed):
    rng = np.random.default_rng(rng_seed)
    for bars in (10**5, 10**6):
        c = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
        n = zelvo.BARSLAST(rng.random(bars) < 0.0005)
        up = (c > c[0]) * 1.0
        label = f"since signal, {bars:.0e} bars, mean window {np.mean(np.where(n == 0, np.arange(bars) + 1, n)):.0f}"
        yield label, bars, [
            ("HHV(c, 0)", lambda c=c: zelvo.HHV(c, 0)),
            ("HHV_A(c, N)", lambda c=c, n=n: zelvo.HHV_A(c, n)),
            ("LLV_A(c, N)", lambda c=c, n=n: zelvo.LLV_A(c, n)),
            ("SUM(c, 20)", lambda c=c: zelvo.SUM(c, 20)),
            ("SUM_A(c, N)", lambda c=c, n=n: zelvo.SUM_A(c, n)),
            ("MA_A(c, N)", lambda c=c, n=n: zelvo.MA_A(c, n)),
            ("COUNT_A(c > c[0], N)", lambda up=up, n=n: zelvo.COUNT_A(up, n)),
        ]
    bars = 10**6
    c = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
    n = rng.integers(1, 10**5 + 1, bars).astype(np.float64)
    yield f"random windows 1 .. 1e5, {bars:.0e} bars", bars, [
        ("HHV(c, 0)", lambda: zelvo.HHV(c, 0)),
        ("HHV_A(c, N)", lambda: zelvo.HHV_A(c, n)),
        ("LLV_A(c, N)", lambda: zelvo.LLV_A(c, n)),
    ]
    # Windows that neither grow nor jump far: one length for all bars
    # (sliding) and short random lengths (rescanned).
    n20 = np.full(bars, 20.0)
    short = rng.integers(1, 17, bars).astype(np.float64)
    yield f"other windows, {bars:.0e} bars", bars, [
        ("HHV(c, 20)", lambda: zelvo.HHV(c, 20)),
        ("HHV_A(c, 20 every bar)", lambda: zelvo.HHV_A(c, n20)),
        ("HHV_A(c, random 1 .. 16)", lambda: zelvo.HHV_A(c, short)),
        ("SUM_A(c, 20 every bar)", lambda: zelvo.SUM_A(c, n20)),
        ("MA_A(c, random 1 .. 16)", lambda: zelvo.MA_A(c, short)),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=5, help="calls per cell, best kept")
    ap.add_argument("--budget", type=float, default=2.0,
                    help="seconds per cell after which no further call is made")
    ap.add_argument("--seed", type=int, default=17)
    args = ap.parse_args()

    print(f"Machine: {machine()}; zelvo {zelvo.__version__} from {os.path.dirname(zelvo.__file__)}, "
          f"NumPy {np.__version__}\n")
    print("| case | call | ms per call | ns per bar |")
    print("|---|---|---|---|")
    for label, bars, calls in cases(args.seed):
        for name, fn in calls:
            t = best_call(fn, args.repeat, args.budget)
            print(f"| {label} | `{name}` | {t * 1e3:.2f} | {t * 1e9 / bars:.2f} |", flush=True)


if __name__ == "__main__":
    main()
