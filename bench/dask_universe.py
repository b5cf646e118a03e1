"""zelvo on Dask against the in-process panel engine, on one universe.

    python3 bench/dask_universe.py [--symbols 2000 --bars 2500] [--record]

Times MACD + KDJ + BOLL (one formula) over a seeded universe of dask array
panels chunked by instruments: on a LocalCluster of 1 and of 2 worker
processes (one thread each, data already on the workers), and in process
through zelvo.Formula on the whole panel.  Best of --repeat runs each.
"""
from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zbench import machine, record  # noqa: E402
from zbench.timing import best_call  # noqa: E402

import dask  # noqa: E402
import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402

import zelvo  # noqa: E402
import zelvo.dask  # noqa: E402

FORMULA = "\n".join(zelvo.indicators[n].text for n in ("MACD", "KDJ", "BOLL"))


def universe(symbols, bars, seed=11):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (symbols, bars)), axis=1))
    return {"open": close, "close": close, "high": close * (1 + rng.uniform(0, .02, close.shape)),
            "low": close * (1 - rng.uniform(0, .02, close.shape)),
            "volume": rng.integers(1, 10**6, close.shape).astype(np.float64)}


def on_cluster(workers, bars, chunk, repeat):
    with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cl, \
            Client(cl) as client:
        panels = {k: da.from_array(v, chunks=(chunk, -1)).persist() for k, v in bars.items()}
        wait(list(panels.values()))
        lazy = zelvo.dask.formula(FORMULA, panels)
        run = lambda: dask.compute(lazy)  # noqa: E731
        run()                                               # warm the workers
        return best_call(run, repeat, budget=float("inf"))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--symbols", type=int, default=2000)
    p.add_argument("--bars", type=int, default=2500)
    p.add_argument("--chunk", type=int, default=250)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--record", action="store_true")
    a = p.parse_args()
    bars = universe(a.symbols, a.bars)
    f = zelvo.Formula(FORMULA)
    local = best_call(lambda: f(bars), a.repeat, budget=float("inf"))
    one = on_cluster(1, bars, a.chunk, a.repeat)
    two = on_cluster(2, bars, a.chunk, a.repeat)
    rows = [["in process, zelvo.Formula on the panel", f"{local * 1e3:.0f}", "1.00"],
            ["Dask, 1 worker process", f"{one * 1e3:.0f}", f"{one / local:.2f}"],
            ["Dask, 2 worker processes", f"{two * 1e3:.0f}", f"{two / local:.2f}"]]
    text = (f"MACD + KDJ + BOLL over {a.symbols} x {a.bars} bars, chunks of {a.chunk} "
            f"instruments, best of {a.repeat}; {machine.describe()}\n\n"
            + record.md_table(["route", "ms", "vs in process"], rows)
            + f"\n2 workers against 1: {one / two:.2f}x\n")
    print(text)
    if a.record:
        record.write_section(os.path.join(os.path.dirname(__file__), "RESULTS.md"), text,
                             name="dask")


if __name__ == "__main__":
    main()
