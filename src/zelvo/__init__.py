"""zelvo: technical-analysis series functions for bar data.

The 31 functions (MA, EMA, SMA, WMA, DMA, SUM, COUNT, LLV, HHV, REF, BARSLAST,
CROSS, FILTER, FIF, STD, SLOPE, ...) take series oldest bar first: NumPy
arrays or anything ``numpy.asarray`` reads, pandas and polars objects, and
numbers that stand for every bar.  They return float64 values of the same
shape, as the same kind of object as their first series argument::

    >>> import zelvo
    >>> zelvo.MA([1.0, 2.0, 3.0, 4.0, 5.0], 3)
    array([nan, nan,  2.,  3.,  4.])

An N-D array is a panel of series along ``axis`` (default -1), computed in one
call with the GIL released; ``set_threads``/``get_threads`` set the threads it
uses.  ``help(zelvo.MA)`` documents each function.

``zelvo._zelvo`` is the exact module: the same functions over the same core,
with the fixed call frame of the original module (one-dimensional float64
arrays only, refused calls returning zeros).  ``get_include()`` gives the
directory of the C header ``rillet.h`` for C and C++ callers of the core.
``python -m zelvo`` computes indicator formulas on bar data from the command
line.
"""
from __future__ import annotations

import os

# zelvo, like NumPy under it, runs in one interpreter per process.  The exact
# module is imported first: in a second interpreter it is the one that
# refuses, with its own message, before anything imports NumPy there.  Where
# NumPy alone was imported by another interpreter first, NumPy's refusal is
# the one raised; it is restated here in zelvo's terms.
_NUMPY_REFUSALS = ("Interpreter change detected", "more than once per process",
                   "CPU dispatcher tracer already init")
try:
    from . import _zelvo  # noqa: F401
    from ._api import *  # noqa: F401,F403  (the 31 functions, set_threads, get_threads)
    from ._catalog import NAMES as _NAMES

    # The formula language and the library of classic indicators written in it.
    from .formula import Formula, indicator, indicators
except (ImportError, RuntimeError) as e:   # NumPy under Python 3.10 raises RuntimeError
    if not any(refusal in str(e) for refusal in _NUMPY_REFUSALS):
        raise
    raise ImportError("zelvo (with NumPy) runs in one interpreter per process, and another "
                      f"interpreter of this process has imported NumPy: {e}") from e

try:
    from importlib.metadata import PackageNotFoundError, version as _version
    __version__: str = _version("zelvo")
except PackageNotFoundError:        # imported from a tree that was never installed
    __version__ = "0+unknown"


def get_include() -> str:
    """The directory that holds ``rillet.h``, the C header of the core.

    Compile C or C++ code that calls the ``zv_*`` functions with
    ``-I"$inc"`` and link it with
    ``"$inc/../lib/librillet.a" -lstdc++ -lm -lpthread`` (the static core
    beside it, which needs the C++ runtime and the threads library), where
    ``inc=$(python3 -c "import zelvo; print(zelvo.get_include())")``.
    """
    return os.path.join(_installed, "include")


def get_library() -> str:
    """The path of the shared core (``librillet``) that zelvo's modules run
    on: one copy per process, with one thread pool, whichever module a call
    comes through.  C code may load it (``ctypes.CDLL(zelvo.get_library())``)
    or link it; its functions are those of ``rillet.h``."""
    lib = os.path.join(_installed, "lib")
    names = [n for n in os.listdir(lib) if n.startswith("librillet.")
             and not n.endswith(".a")]
    return os.path.join(lib, sorted(names)[0])


# The compiled modules, the header and the core are installed together, apart
# from this file in an editable install.
_installed = os.path.dirname(os.path.abspath(_zelvo.__file__))


__all__ = [*_NAMES, "set_threads", "get_threads", "get_include", "get_library",
           "Formula", "indicator", "indicators"]
