"""The one place where the formula engine calls the series functions.

``call(name, *args)`` computes the function ``name`` of the catalog over a
panel: the arguments come in catalog order, each series argument a float64
NumPy array of shape (instruments, bars), C-contiguous, time along the last
axis (a 1-D array is one instrument and gives a 1-D result), each integer
window a Python ``int``.  Condition arguments arrive as float64 too and are
read here as true where their truncation toward zero is non-zero (NaN false),
so that 256.0 or -1.0 count as true whatever an unsigned-byte cast would make
of them.

This body loops over the instruments and calls the exact module
``zelvo._zelvo`` once per row; a panel entry point can replace it without
changing the interface.
"""
from __future__ import annotations

import numpy as np

from .. import _zelvo
from .._catalog import FUNCTIONS


def _row_major(a: np.ndarray) -> np.ndarray:
    """A 2-D, C-contiguous, writable float64 view or copy of a series argument."""
    a = np.asarray(a, dtype=np.float64)
    if a.ndim == 1:
        a = a[np.newaxis, :]
    if not (a.flags.c_contiguous and a.flags.writeable):
        a = np.array(a, dtype=np.float64, order="C")
    return a


def condition(a: np.ndarray) -> np.ndarray:
    """A condition series as bytes: 1 where |a| >= 1, else 0 (NaN gives 0)."""
    return (np.abs(a) >= 1.0).view(np.uint8)


def call(name: str, *args):
    """``name`` applied row by row; returns float64 of the first series' shape."""
    f = FUNCTIONS[name]
    fn = getattr(_zelvo, name)
    kinds = f.kinds
    first = next(a for a, k in zip(args, kinds) if k != "i")
    one_row = np.ndim(first) == 1
    cols = []
    for a, k in zip(args, kinds):
        if k == "i":
            cols.append(a)
        elif k == "c":
            cols.append(condition(_row_major(a)))
        else:
            cols.append(_row_major(a))
    rows, bars = _row_major(first).shape
    out = np.empty((rows, bars), dtype=np.float64)
    if bars:       # the module refuses empty series; no bars, nothing to compute
        for r in range(rows):
            out[r] = fn(*[c if k == "i" else c[r] for c, k in zip(cols, kinds)])
    return out[0] if one_row else out
