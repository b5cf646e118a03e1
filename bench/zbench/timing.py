"""Best-of-N timing: candidates sampled in alternating rounds, or single long calls.

The candidates of one comparison (a zelvo call and its peers) are sampled in
turn, round after round, so that a burst of load on a shared machine hits them
alike.  Each sample runs enough calls to last about ``sample_target`` seconds;
sampling of a candidate stops once it has at least ``repeat`` samples and
``min_time`` seconds of them (or ``max(10 * min_time, 2)`` seconds in all), and
the minimum time per call is kept (``best_of``, ``measure``).  A call that
lasts long is timed one by one instead (``best_call``).
"""
from __future__ import annotations

import time
import timeit


class Candidate:
    """One statement (source text run in ``ns``, or a callable without arguments)."""

    def __init__(self, key, stmt, ns=None, sample_target=1e-3):
        self.key = key
        self.timer = timeit.Timer(stmt, globals=ns)
        t = self.timer.timeit(1)  # warm-up and a first estimate
        if t < 1.0:
            t = min(t, self.timer.timeit(1))
        self.first = t  # seconds of one call, measured before sampling
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


def measure(cands, repeat=3, min_time=0.2):
    """Alternating rounds over the candidates: {key: minimum seconds per call}."""
    max_time = max(10 * min_time, 2.0)
    live = list(cands)
    while live:
        for cand in live:
            cand.sample()
        live = [c for c in live if not c.done(repeat, min_time, max_time)]
    return {c.key: c.best for c in cands}


def best_of(stmts, ns=None, repeat=3, min_time=0.2, sample_target=1e-3):
    """{key: minimum seconds per call} of the statements of a dict, timed side by side.

    ``stmts`` maps a key to a statement: source text evaluated in the
    namespace ``ns``, or a callable taking no arguments."""
    cands = [Candidate(k, s, ns, sample_target) for k, s in stmts.items()]
    return measure(cands, repeat, min_time)


def best_call(fn, repeat=5, budget=1.0):
    """Best wall time in seconds of up to ``repeat`` calls of ``fn()``, stopping once
    ``budget`` seconds are spent (after at least one call): for calls long enough
    to be timed one by one."""
    best, spent, k = float("inf"), 0.0, 0
    while k < repeat and (k == 0 or spent < budget):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best, spent, k = min(best, dt), spent + dt, k + 1
    return best
