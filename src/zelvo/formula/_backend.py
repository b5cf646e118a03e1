"""The one place where the formula engine calls the series functions.

``call(name, *args)`` computes the function ``name`` of the catalog over a
panel: the arguments come in catalog order, each series argument a float64
NumPy array of shape (instruments, bars), C-contiguous, time along the last
axis (a 1-D array is one instrument and gives a 1-D result), each integer
window a Python ``int``.  Condition arguments arrive as float64 too and are
read here as true where their truncation toward zero is non-zero (NaN false),
so that 256.0 or -1.0 count as true whatever an unsigned-byte cast would make
of them.

The call goes to the package's panel API (``zelvo._api``): one call per node
over the whole panel, with the GIL released and the lanes spread over the
library's thread pool, each lane bit for bit what the exact module gives.
"""
from __future__ import annotations

import numpy as np

from .. import _api
from .._catalog import FUNCTIONS


_NO_BARS = np.empty(0)


def check_windows(name: str, ints: list[int]) -> None:
    """Raises the package API's ValueError when it refuses these integer
    windows of ``name`` (given in catalog order), as it does before any bar
    is read: among them the windows whose weights would wrap in the core."""
    it = iter(ints)
    getattr(_api, name)(*[next(it) if k == "i" else _NO_BARS for k in FUNCTIONS[name].kinds])


def call(name: str, *args):
    """``name`` over the panel; returns float64 of the first series' shape."""
    kinds = FUNCTIONS[name].kinds
    first = next(a for a, k in zip(args, kinds) if k != "i")
    if np.shape(first)[-1] == 0:      # no bars, nothing to compute
        return np.empty(np.shape(first), dtype=np.float64)
    return getattr(_api, name)(*args, axis=-1)
