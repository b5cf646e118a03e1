"""MACD, KDJ and BOLL for every symbol of a universe, on a Dask cluster.

Writes a seeded synthetic universe of daily bars as Parquet, partitioned by
symbol, reads it back as a Dask DataFrame indexed by symbol, computes the three
indicators per symbol on a cluster and writes each result as Parquet.

    python examples/universe_dask.py                      # 2000 symbols x 2500 bars, local cluster
    python examples/universe_dask.py --large              # 10000 symbols x 5000 bars
    python examples/universe_dask.py --scheduler tcp://host:8786   # an existing cluster

On a real cluster the workers need zelvo installed (``pip install zelvo[dask]``
in their environment) and must reach the input and output paths (a shared file
system or object store URL such as ``s3://bucket/universe``).
"""
from __future__ import annotations

import argparse
import os
import time

import numpy as np
import pandas as pd

import dask.dataframe as dd
from distributed import Client, LocalCluster

import zelvo
import zelvo.dask

INDICATORS = ("MACD", "KDJ", "BOLL")


def write_universe(path: str, symbols: int, bars: int, seed: int = 2026) -> None:
    """A seeded random walk per symbol, one Parquet folder per symbol."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2010-01-04", periods=bars)
    close = 50 * np.exp(np.cumsum(rng.normal(0.0002, 0.02, (symbols, bars)), axis=1))
    spread = rng.uniform(0.0, 0.02, (2, symbols, bars))
    frame = pd.DataFrame({
        "symbol": np.repeat([f"S{i:05d}" for i in range(symbols)], bars),
        "date": np.tile(dates, symbols),
        "open": np.roll(close, 1, axis=1).ravel(),
        "high": (close * (1 + spread[0])).ravel(),
        "low": (close * (1 - spread[1])).ravel(),
        "close": close.ravel(),
        "volume": rng.integers(10**4, 10**7, symbols * bars).astype(np.float64),
    })
    frame.to_parquet(path, partition_cols=["symbol"], index=False)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--symbols", type=int, default=2000)
    p.add_argument("--bars", type=int, default=2500)
    p.add_argument("--large", action="store_true", help="10000 symbols x 5000 bars")
    p.add_argument("--scheduler", help="address of an existing Dask scheduler")
    p.add_argument("--workers", type=int, default=2, help="local cluster worker processes")
    p.add_argument("--data", default="universe.parquet")
    p.add_argument("--out", default="indicators", help="folder for one Parquet dataset per indicator")
    args = p.parse_args()
    if args.large:
        args.symbols, args.bars = 10000, 5000

    if not os.path.exists(args.data):
        t = time.perf_counter()
        write_universe(args.data, args.symbols, args.bars)
        print(f"wrote {args.symbols} x {args.bars} bars to {args.data} "
              f"in {time.perf_counter() - t:.1f} s")

    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        bars = dd.read_parquet(args.data)
        bars["symbol"] = bars["symbol"].astype(str)
        bars = bars.set_index("symbol").persist()   # each symbol's bars in one partition, read once
        t = time.perf_counter()
        for name in INDICATORS:
            result = zelvo.dask.frame(zelvo.indicators[name].formula, bars)
            target = os.path.join(args.out, name)
            result.to_parquet(target)
            print(f"{name}: {', '.join(zelvo.indicators[name].outputs)} -> {target}")
        workers = len(client.scheduler_info()["workers"])
        print(f"computed {', '.join(INDICATORS)} per symbol in {time.perf_counter() - t:.1f} s "
              f"on {workers} workers")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main()
