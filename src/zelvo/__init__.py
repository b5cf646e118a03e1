"""zelvo: technical-analysis series functions for bar data.

The 31 functions (MA, EMA, SMA, WMA, DMA, SUM, COUNT, LLV, HHV, REF, BARSLAST,
CROSS, FILTER, FIF, STD, SLOPE, ...) take one-dimensional, contiguous float64
NumPy arrays, oldest bar first, and return a new float64 array of the same
length::

    >>> import numpy as np, zelvo
    >>> zelvo.MA(np.array([1.0, 2.0, 3.0, 4.0, 5.0]), 3)
    array([nan, nan,  2.,  3.,  4.])

They are the very function objects of the extension module ``zelvo._zelvo``.
``get_include()`` gives the directory of the C header ``rillet.h`` for C and
C++ callers of the core. ``python -m zelvo`` computes indicator formulas on bar
data from the command line.
"""
from __future__ import annotations

import os

from ._zelvo import (
    AVEDEV, BACKCOUNT, BARLAST, BARSINCE, BARSLAST, COUNT, COUNT_A, CROSS,
    CURRBARSCOUNT, DMA, EMA, FIF, FILTER, HHV, HHV_A, LLV, LLV_A, MA, MA_A, REF,
    REF_A, REFIF, REFXV, SLOPE, SMA, STD, STDDEV, STDP, SUM, SUM_A, WMA,
)

# The formula language and the library of classic indicators written in it.
from .formula import Formula, indicator, indicators

try:
    from importlib.metadata import PackageNotFoundError, version as _version
    __version__: str = _version("zelvo")
except PackageNotFoundError:        # imported from a tree that was never installed
    __version__ = "0+unknown"


def get_include() -> str:
    """The directory that holds ``rillet.h``, the C header of the core.

    Compile C or C++ code that calls the ``zv_*`` functions with
    ``-I"$inc"`` and link it with ``-L"$inc/../lib" -lrillet -lm`` (the static
    core beside it), where ``inc=$(python3 -c "import zelvo; print(zelvo.get_include())")``.
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")


__all__ = [
    "MA", "MA_A", "EMA", "SMA", "WMA", "DMA", "COUNT", "COUNT_A", "SUM", "SUM_A",
    "REF", "REFIF", "REFXV", "REF_A", "LLV", "LLV_A", "HHV", "HHV_A", "BARSINCE",
    "BARLAST", "BARSLAST", "CROSS", "FIF", "SLOPE", "CURRBARSCOUNT", "BACKCOUNT",
    "STD", "STDDEV", "STDP", "AVEDEV", "FILTER", "get_include",
    "Formula", "indicator", "indicators",
]
