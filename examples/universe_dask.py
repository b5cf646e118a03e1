"""MACD, KDJ and BOLL for every symbol of a universe, on a Dask cluster.

Writes a seeded synthetic universe of daily bars as a Parquet dataset (one
file per block of symbols), reads it back as a Dask DataFrame indexed by
symbol, computes the three indicators per symbol on a cluster and writes each
result as a Parquet dataset with one file per partition.  The universe is
read and indexed once for the three.

    python examples/universe_dask.py                      # 2000 symbols x 2500 bars, local cluster
    python examples/universe_dask.py --large              # 10000 symbols x 5000 bars
    python examples/universe_dask.py --scheduler tcp://host:8786   # an existing cluster

On a real cluster the workers need zelvo installed (``pip install zelvo[dask]``
in their environment) and must reach the input and output paths (a shared file
system or object store URL such as ``s3://bucket/universe``).
"""
from __future__ import annotations

import argparse
import contextlib
import os
import time

import numpy as np
import pandas as pd

import dask
import dask.dataframe as dd
from distributed import Client, LocalCluster

import zelvo
import zelvo.dask

INDICATORS = ("MACD", "KDJ", "BOLL")
#: Symbols a file of the universe holds: the number of partitions it is read
#: into, and so of the files written per indicator, is symbols / this.
SYMBOLS_PER_FILE = 250


def write_universe(path: str, symbols: int, bars: int, seed: int = 2026,
                   per_file: int = SYMBOLS_PER_FILE) -> int:
    """A seeded random walk per symbol, `per_file` symbols a Parquet file in
    the folder `path`; returns the number of files."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2010-01-04", periods=bars)
    os.makedirs(path)
    for part, first in enumerate(range(0, symbols, per_file)):
        n = min(per_file, symbols - first)
        close = 50 * np.exp(np.cumsum(rng.normal(0.0002, 0.02, (n, bars)), axis=1))
        spread = rng.uniform(0.0, 0.02, (2, n, bars))
        frame = pd.DataFrame({
            "symbol": np.repeat([f"S{i:05d}" for i in range(first, first + n)], bars),
            "date": np.tile(dates, n),
            "open": np.roll(close, 1, axis=1).ravel(),
            "high": (close * (1 + spread[0])).ravel(),
            "low": (close * (1 - spread[1])).ravel(),
            "close": close.ravel(),
            "volume": rng.integers(10**4, 10**7, n * bars).astype(np.float64),
        })
        frame.to_parquet(os.path.join(path, f"part.{part:04d}.parquet"), index=False)
    return part + 1


def compute(client: Client, data: str, out: str) -> None:
    bars = dd.read_parquet(data).set_index("symbol")   # each symbol's bars in one partition
    writes = []
    for name in INDICATORS:
        result = zelvo.dask.frame(zelvo.indicators[name].formula, bars)
        target = os.path.join(out, name)
        writes.append(result.to_parquet(target, overwrite=True, compute=False))
        print(f"{name}: {', '.join(zelvo.indicators[name].outputs)} -> {target} "
              f"({result.npartitions} files)")
    t = time.perf_counter()
    dask.compute(*writes)           # one graph: the universe is read and indexed once
    workers = len(client.scheduler_info()["workers"])
    print(f"computed {', '.join(INDICATORS)} per symbol in {time.perf_counter() - t:.1f} s "
          f"on {workers} worker{'s' if workers != 1 else ''}")


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
        files = write_universe(args.data, args.symbols, args.bars)
        print(f"wrote {args.symbols} x {args.bars} bars to {args.data} ({files} files) "
              f"in {time.perf_counter() - t:.1f} s")

    # The client is closed before the cluster it talks to (the reverse of the
    # order they are entered), each once its work is done.
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            cluster = stack.enter_context(LocalCluster(
                n_workers=args.workers, threads_per_worker=1, dashboard_address=None))
            client = stack.enter_context(Client(cluster))
        compute(client, args.data, args.out)


if __name__ == "__main__":
    main()
