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
import sys
from importlib.machinery import EXTENSION_SUFFIXES


def _compiled_in(directory: str) -> bool:
    return any(os.path.isfile(os.path.join(directory, "_zelvo" + suffix))
               for suffix in EXTENSION_SUFFIXES)


# Run from the root of a source checkout (as right after `pip install .`), this
# file is found before the installed package, but the compiled module is not
# beside it. Then take every submodule, the compiled one included, from the
# installed package further along sys.path.
_here = os.path.dirname(os.path.abspath(__file__))
if not _compiled_in(_here):
    for _entry in sys.path:
        _there = os.path.join(os.path.abspath(_entry or os.curdir), "zelvo")
        if _there != _here and _compiled_in(_there):
            __path__[:] = [_there]
            break
    else:
        raise ImportError(f"zelvo's compiled module is missing from {_here}: install the "
                          "package with `python3 -m pip install .`")

from ._zelvo import (  # noqa: E402
    AVEDEV, BACKCOUNT, BARLAST, BARSINCE, BARSLAST, COUNT, COUNT_A, CROSS,
    CURRBARSCOUNT, DMA, EMA, FIF, FILTER, HHV, HHV_A, LLV, LLV_A, MA, MA_A, REF,
    REF_A, REFIF, REFXV, SLOPE, SMA, STD, STDDEV, STDP, SUM, SUM_A, WMA,
)

try:
    from importlib.metadata import PackageNotFoundError, version as _version
    __version__: str = _version("zelvo")
except PackageNotFoundError:        # imported from a tree that was never installed
    __version__ = "0+unknown"


def get_include() -> str:
    """The directory that holds ``rillet.h``, the C header of the core.

    Compile C or C++ code that calls the ``zv_*`` functions with
    ``-I$(python3 -c "import zelvo; print(zelvo.get_include())")``.
    """
    return os.path.join(__path__[0], "include")


__all__ = [
    "MA", "MA_A", "EMA", "SMA", "WMA", "DMA", "COUNT", "COUNT_A", "SUM", "SUM_A",
    "REF", "REFIF", "REFXV", "REF_A", "LLV", "LLV_A", "HHV", "HHV_A", "BARSINCE",
    "BARLAST", "BARSLAST", "CROSS", "FIF", "SLOPE", "CURRBARSCOUNT", "BACKCOUNT",
    "STD", "STDDEV", "STDP", "AVEDEV", "FILTER", "get_include",
]
