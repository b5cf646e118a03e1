"""Command line: indicators computed on bar data."""
import ctypes
import sys

import numpy as np


def sample_close(n=30):
    """A deterministic random walk standing in for daily closes."""
    rng = np.random.default_rng(20240101)
    return np.round(100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n))), 2)


def main(argv=None):
    from . import _zelvo

    lib = ctypes.CDLL(_zelvo.__file__)
    d = ctypes.POINTER(ctypes.c_double)
    lib.zv_ma.argtypes = [ctypes.c_int64, d, ctypes.c_int, ctypes.c_int, d, ctypes.c_int]
    close = sample_close()
    ma = np.zeros_like(close)
    lib.zv_ma(0, close.ctypes.data_as(d), len(close), 5, ma.ctypes.data_as(d), len(ma))
    print(f"{'bar':>4} {'close':>9} {'MA(CLOSE,5)':>12}")
    for i, (c, m) in enumerate(zip(close, ma)):
        print(f"{i:>4} {c:>9.2f} {m:>12.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
