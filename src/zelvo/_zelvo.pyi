"""Type stubs of the extension module: 31 functions over float64 series.

Series arguments are one-dimensional, C-contiguous, writable float64 arrays with
at least one element, oldest bar first. Condition arguments (x of BARSINCE,
BARLAST, BARSLAST, BACKCOUNT and FIF) may be any one-dimensional array; a value
is true when its truncation toward zero is non-zero (0.5 and NaN are false; 1.0,
256 and -1 are true), and uint8 or bool arrays are read as they are. Window
lengths N and M are exactly int, within the 32-bit range. Every function returns
a new float64 array as long as its first argument; arguments of different
lengths, or a window length that the function refuses (such as N < 1 for MA),
give an array of zeros.
"""
from typing import Any

import numpy as np
from numpy.typing import NDArray

_Series = NDArray[np.float64]
_Condition = NDArray[Any]

def MA(a: _Series, N: int) -> _Series:
    """Simple moving average of the last N bars (NaN on the N-1 warm-up bars)."""

def MA_A(a: _Series, N: _Series) -> _Series:
    """Simple moving average with the window length N[i] (truncated to int) at each bar."""

def EMA(a: _Series, N: int) -> _Series:
    """Exponential moving average with weight 2/(N+1), seeded with the first non-NaN bar."""

def SMA(a: _Series, N: int, M: int) -> _Series:
    """Smoothed moving average: M/N times the bar plus (N-M)/N times the previous result."""

def WMA(a: _Series, N: int) -> _Series:
    """Linearly weighted moving average of the last N bars, newest bar weighted N."""

def DMA(a: _Series, A: _Series) -> _Series:
    """Dynamic moving average: A[i] times the bar plus 1-A[i] times the previous result."""

def COUNT(a: _Series, N: int) -> _Series:
    """Number of non-zero bars among the last N (N=0: since the first bar)."""

def COUNT_A(a: _Series, N: _Series) -> _Series:
    """Number of non-zero, non-NaN bars in a window of N[i] bars (0: all bars)."""

def SUM(a: _Series, N: int) -> _Series:
    """Sum of the last N bars (N=0: running total, NaN bars skipped)."""

def SUM_A(a: _Series, N: _Series) -> _Series:
    """Sum of the last N[i] bars at each bar."""

def REF(a: _Series, N: int) -> _Series:
    """The value N bars back (negative N looks ahead); NaN outside the series."""

def REFIF(x: _Series, c: _Series, v: _Series) -> _Series:
    """x at the latest earlier bar where c was non-zero, else v of the same bar."""

def REFXV(a: _Series, N: int) -> _Series:
    """The value N bars ahead; the current value where that lies outside the series."""

def REF_A(a: _Series, N: _Series) -> _Series:
    """The value N[i] bars back at each bar; NaN outside the series."""

def LLV(a: _Series, N: int) -> _Series:
    """Lowest non-NaN value of the last N bars (N=0: all bars so far)."""

def LLV_A(a: _Series, N: _Series) -> _Series:
    """Lowest non-NaN value of the last N[i] bars (0: all bars so far)."""

def HHV(a: _Series, N: int) -> _Series:
    """Highest non-NaN value of the last N bars (N=0: all bars so far)."""

def HHV_A(a: _Series, N: _Series) -> _Series:
    """Highest non-NaN value of the last N[i] bars (0: all bars so far)."""

def BARSINCE(x: _Condition, /) -> _Series:
    """Bars from the first true bar of x to each bar, counting it as 1; 0 before it."""

def BARLAST(x: _Condition, /) -> _Series:
    """Bars from the latest true bar of x to each bar, counting it as 1; 0 before any."""

def BARSLAST(x: _Condition, /) -> _Series:
    """The same as BARLAST."""

def CROSS(x: _Series, y: _Series) -> _Series:
    """1.0 where x crosses above y (below on the bar before, above now), else 0.0."""

def FIF(x: _Condition, a: _Series, b: _Series) -> _Series:
    """a where x is true, else b, bar by bar."""

def SLOPE(Y: _Series, N: int) -> _Series:
    """Least-squares slope of the last N bars of Y (N=0: all 1.0)."""

def CURRBARSCOUNT(Y: _Series, /) -> _Series:
    """The bar index 0, 1, 2, ... (the values of Y are not read)."""

def BACKCOUNT(x: _Condition, /) -> _Series:
    """Length of the run of consecutive true bars of x that ends at each bar."""

def STD(a: _Series, N: int) -> _Series:
    """Sample standard deviation (divisor N-1) of the last N bars."""

def STDDEV(a: _Series, N: int) -> _Series:
    """Population standard deviation (divisor N) of the last N bars."""

def STDP(a: _Series, N: int) -> _Series:
    """The same as STDDEV."""

def AVEDEV(a: _Series, N: int) -> _Series:
    """Mean absolute deviation from the mean of the last N bars."""

def FILTER(a: _Series, N: int) -> _Series:
    """Keep a non-zero signal and set the N-1 bars after it to 0 (N=0: the whole rest)."""
