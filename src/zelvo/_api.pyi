"""Type stubs of zelvo._api, the functions of the zelvo package.

Series arguments take NumPy arrays and anything numpy.asarray reads (lists,
tuples; bool, int or float values), pandas and polars objects, Arrow data
(any object with ``__arrow_c_array__`` or ``__arrow_c_stream__``: pyarrow
arrays and chunked arrays, DuckDB results; nulls read as NaN) and numbers
that stand for every bar.  Condition arguments take the same; a bar is true
where its value truncated toward zero is non-zero.  Windows are int (or NumPy
integers) in the range each function states.  ``axis`` is the time axis of
an N-D array.  The result is a float64 array shaped like the series, or a
pandas, polars or pyarrow object like the first series argument; the
overloads below follow the first argument, which is the usual case.
"""
from typing import Any, TypeVar, overload

import numpy as np
import pandas as pd
import polars as pl
from numpy.typing import ArrayLike, NDArray

_Series = ArrayLike
_Condition = ArrayLike
_Window = int | np.integer[Any]
_Frame = TypeVar("_Frame", pd.Series, pd.DataFrame, pl.Series, pl.DataFrame)
_Result = NDArray[np.float64]

__all__ = [
    "MA", "MA_A", "EMA", "SMA", "WMA", "DMA", "COUNT", "COUNT_A", "SUM", "SUM_A", "REF",
    "REFIF", "REFXV", "REF_A", "LLV", "LLV_A", "HHV", "HHV_A", "BARSINCE", "BARLAST",
    "BARSLAST", "CROSS", "FIF", "SLOPE", "CURRBARSCOUNT", "BACKCOUNT", "STD", "STDDEV",
    "STDP", "AVEDEV", "FILTER", "set_threads", "get_threads",
]

@overload
def MA(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def MA(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Simple moving average of the last N bars."""

@overload
def MA_A(a: _Frame, N: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def MA_A(a: _Series, N: _Series, *, axis: int = -1) -> _Result:
    """Simple moving average with a window length per bar."""

@overload
def EMA(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def EMA(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Exponential moving average, weight 2/(N+1)."""

@overload
def SMA(a: _Frame, N: _Window, M: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def SMA(a: _Series, N: _Window, M: _Window, *, axis: int = -1) -> _Result:
    """Smoothed moving average, new bar weighted M/N."""

@overload
def WMA(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def WMA(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Linearly weighted moving average of the last N bars."""

@overload
def DMA(a: _Frame, A: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def DMA(a: _Series, A: _Series, *, axis: int = -1) -> _Result:
    """Dynamic moving average with a smoothing factor per bar."""

@overload
def COUNT(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def COUNT(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Number of non-zero bars among the last N (N=0: all bars)."""

@overload
def COUNT_A(a: _Frame, N: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def COUNT_A(a: _Series, N: _Series, *, axis: int = -1) -> _Result:
    """COUNT with a window length per bar."""

@overload
def SUM(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def SUM(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Sum of the last N bars (N=0: running total)."""

@overload
def SUM_A(a: _Frame, N: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def SUM_A(a: _Series, N: _Series, *, axis: int = -1) -> _Result:
    """SUM with a window length per bar."""

@overload
def REF(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def REF(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """The value N bars back."""

@overload
def REFIF(x: _Frame, c: _Series, v: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def REFIF(x: _Series, c: _Series, v: _Series, *, axis: int = -1) -> _Result:
    """X at the last earlier bar where c held, else v."""

@overload
def REFXV(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def REFXV(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """The value N bars ahead, else the current value."""

@overload
def REF_A(a: _Frame, N: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def REF_A(a: _Series, N: _Series, *, axis: int = -1) -> _Result:
    """The value a per-bar number of bars back."""

@overload
def LLV(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def LLV(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Lowest value of the last N bars (N=0: all bars)."""

@overload
def LLV_A(a: _Frame, N: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def LLV_A(a: _Series, N: _Series, *, axis: int = -1) -> _Result:
    """LLV with a window length per bar."""

@overload
def HHV(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def HHV(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Highest value of the last N bars (N=0: all bars)."""

@overload
def HHV_A(a: _Frame, N: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def HHV_A(a: _Series, N: _Series, *, axis: int = -1) -> _Result:
    """HHV with a window length per bar."""

@overload
def BARSINCE(x: _Frame, /, *, axis: int = -1) -> _Frame: ...
@overload
def BARSINCE(x: _Condition, /, *, axis: int = -1) -> _Result:
    """Bars since the first true bar, counting it as 1."""

@overload
def BARLAST(x: _Frame, /, *, axis: int = -1) -> _Frame: ...
@overload
def BARLAST(x: _Condition, /, *, axis: int = -1) -> _Result:
    """Bars since the latest true bar, counting it as 1."""

@overload
def BARSLAST(x: _Frame, /, *, axis: int = -1) -> _Frame: ...
@overload
def BARSLAST(x: _Condition, /, *, axis: int = -1) -> _Result:
    """The same as BARLAST."""

@overload
def CROSS(x: _Frame, y: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def CROSS(x: _Series, y: _Series, *, axis: int = -1) -> _Result:
    """1 where x crosses above y, else 0."""

@overload
def FIF(x: _Frame, a: _Series, b: _Series, *, axis: int = -1) -> _Frame: ...
@overload
def FIF(x: _Condition, a: _Series, b: _Series, *, axis: int = -1) -> _Result:
    """A where x is true, else b."""

@overload
def SLOPE(Y: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def SLOPE(Y: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Least-squares slope of the last N bars."""

@overload
def CURRBARSCOUNT(Y: _Frame, /, *, axis: int = -1) -> _Frame: ...
@overload
def CURRBARSCOUNT(Y: _Series, /, *, axis: int = -1) -> _Result:
    """The bar index 0, 1, 2, ...."""

@overload
def BACKCOUNT(x: _Frame, /, *, axis: int = -1) -> _Frame: ...
@overload
def BACKCOUNT(x: _Condition, /, *, axis: int = -1) -> _Result:
    """Length of the run of true bars ending here."""

@overload
def STD(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def STD(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Sample standard deviation of the last N bars."""

@overload
def STDDEV(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def STDDEV(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Population standard deviation of the last N bars."""

@overload
def STDP(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def STDP(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """The same as STDDEV."""

@overload
def AVEDEV(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def AVEDEV(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Mean absolute deviation of the last N bars."""

@overload
def FILTER(a: _Frame, N: _Window, *, axis: int = -1) -> _Frame: ...
@overload
def FILTER(a: _Series, N: _Window, *, axis: int = -1) -> _Result:
    """Keep a signal, silence the N-1 bars after it."""

def set_threads(n: int, /) -> None:
    """Sets the threads of panel calls: 1 to 1024, or 0 for the default."""

def get_threads() -> int:
    """The number of threads panel calls use."""
