"""The embedded sample bars: a reproducible random walk of daily bars, drawn
with plain integer arithmetic so every platform gets the same values.
"""
from __future__ import annotations

import datetime
from typing import Iterator

import numpy as np

from .bars import Bars, COLUMNS, OPTIONAL


def _uniforms(seed: int) -> Iterator[float]:
    """Uniform numbers in [0, 1) from splitmix64: plain integer arithmetic, so
    the sample is the same on every machine and every NumPy version."""
    mask = (1 << 64) - 1
    state = seed & mask
    while True:
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        yield (z >> 11) / 9007199254740992.0


SAMPLE_SEED = 16
SAMPLE_START = datetime.date(2024, 1, 2)


def sample_bars(n: int = 250, seed: int = SAMPLE_SEED) -> Bars:
    """Deterministic daily bars: a random walk of closes with opens, highs, lows
    and volumes around it, on weekdays from 2 January 2024, prices in cents.

    Only integer arithmetic and single IEEE operations are used, so the bars
    are identical everywhere.
    """
    u = _uniforms(seed)

    def normal() -> float:             # Irwin-Hall: sum of 12 uniforms, mean 0, sd 1
        return sum(next(u) for _ in range(12)) - 6.0

    cols: dict[str, list[float]] = {c: [] for c in COLUMNS if c not in OPTIONAL}
    dates: list[str] = []
    day = SAMPLE_START
    prev = 100.0
    for _ in range(n):
        while day.weekday() >= 5:
            day += datetime.timedelta(days=1)
        dates.append(day.isoformat())
        day += datetime.timedelta(days=1)
        ret = 0.0004 + 0.016 * normal()
        o = round(prev * (1.0 + 0.004 * normal()), 2)
        c = round(prev * (1.0 + ret), 2)
        h = round(max(o, c) * (1.0 + 0.012 * next(u)), 2)
        lo = round(min(o, c) * (1.0 - 0.012 * next(u)), 2)
        v = float(round(800000.0 * (0.6 + 0.8 * next(u)) * (1.0 + 25.0 * abs(ret))))
        for key, x in zip(COLUMNS, (o, h, lo, c, v)):
            cols[key].append(x)
        prev = c
    return Bars({k: np.array(v, dtype=np.float64) for k, v in cols.items()}, dates,
                f"sample bars ({n} days of a seeded random walk)")
