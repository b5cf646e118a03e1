"""Close-price series to time on: a seeded random walk, or the real daily bars."""
from __future__ import annotations

import csv
import glob
import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The shared daily bars next to the checkout, read in place.
DATA_DIR = os.path.normpath(os.path.join(ROOT, "..", "shared", "data"))


def random_walk(n, seed=7):
    """Close prices of a geometric random walk: 1 % daily volatility, start 100."""
    rng = np.random.default_rng(seed)
    steps = rng.standard_normal(n) * 0.01
    steps[0] = 0.0
    return 100.0 * np.exp(np.cumsum(steps))


def real_returns(data_dir=DATA_DIR):
    """Daily log returns of the Close column of every CSV in ``data_dir``, and the file names."""
    files = sorted(glob.glob(os.path.join(data_dir, "*.csv")))
    if not files:
        sys.exit(f"--data real: no CSV files in {data_dir}")
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
