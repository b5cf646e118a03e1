"""The one Python list of zelvo's 31 series functions.

Every layer that needs the functions by name (the package namespace, the
formula language, the command line, the tests and the benchmarks) reads this
table instead of keeping its own list.  A test checks it against the compiled
module and the type stubs.

Each entry gives, in the order the extension module binds them:

* ``args``: the arguments as ``(name, kind)`` pairs, kind ``"s"`` for a numeric
  series, ``"c"`` for a condition series (a value is true when its truncation
  toward zero is non-zero) and ``"i"`` for an integer window;
* ``positional_only``: whether the arguments can only be passed by position;
* ``min_window``: the smallest accepted integer window (``None`` when the
  function takes no integer window; windows are at most 2147483647);
* ``per_bar``: the variant taking one window length per bar, where there is one;
* ``summary``: a one-line meaning.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

INT_MIN, INT_MAX = -2**31, 2**31 - 1


@dataclass(frozen=True)
class Function:
    name: str
    args: tuple[tuple[str, str], ...]
    positional_only: bool
    min_window: Optional[int]
    summary: str
    per_bar: Optional[str] = None

    @property
    def argnames(self) -> tuple[str, ...]:
        return tuple(a for a, _ in self.args)

    @property
    def kinds(self) -> str:
        return "".join(k for _, k in self.args)

    @property
    def core_name(self) -> str:
        return "zv_" + self.name.lower()

    @property
    def signature(self) -> str:
        """The call form, e.g. ``MA(a, N)`` or ``BARSLAST(x, /)``."""
        names = list(self.argnames) + (["/"] if self.positional_only else [])
        return f"{self.name}({', '.join(names)})"


def _f(name, args, summary, min_window=None, per_bar=None, positional_only=False):
    pairs = tuple(tuple(a.split(":")) for a in args.split())
    return Function(name, pairs, positional_only, min_window, summary, per_bar)


_WINDOW = "a:s N:i"
_PER_BAR = "a:s N:s"

FUNCTIONS: dict[str, Function] = {f.name: f for f in (
    _f("MA", _WINDOW, "simple moving average of the last N bars", 1, "MA_A"),
    _f("MA_A", _PER_BAR, "simple moving average with a window length per bar"),
    _f("EMA", _WINDOW, "exponential moving average, weight 2/(N+1)", 0),
    _f("SMA", "a:s N:i M:i", "smoothed moving average, new bar weighted M/N", 0),
    _f("WMA", _WINDOW, "linearly weighted moving average of the last N bars", 1),
    _f("DMA", "a:s A:s", "dynamic moving average with a smoothing factor per bar"),
    _f("COUNT", _WINDOW, "number of non-zero bars among the last N (N=0: all bars)", 0,
       "COUNT_A"),
    _f("COUNT_A", _PER_BAR, "COUNT with a window length per bar"),
    _f("SUM", _WINDOW, "sum of the last N bars (N=0: running total)", 0, "SUM_A"),
    _f("SUM_A", _PER_BAR, "SUM with a window length per bar"),
    _f("REF", _WINDOW, "the value N bars back", INT_MIN, "REF_A"),
    _f("REFIF", "x:s c:s v:s", "x at the last earlier bar where c held, else v"),
    _f("REFXV", _WINDOW, "the value N bars ahead, else the current value", INT_MIN),
    _f("REF_A", _PER_BAR, "the value a per-bar number of bars back"),
    _f("LLV", _WINDOW, "lowest value of the last N bars (N=0: all bars)", 0, "LLV_A"),
    _f("LLV_A", _PER_BAR, "LLV with a window length per bar"),
    _f("HHV", _WINDOW, "highest value of the last N bars (N=0: all bars)", 0, "HHV_A"),
    _f("HHV_A", _PER_BAR, "HHV with a window length per bar"),
    _f("BARSINCE", "x:c", "bars since the first true bar, counting it as 1",
       positional_only=True),
    _f("BARLAST", "x:c", "bars since the latest true bar, counting it as 1",
       positional_only=True),
    _f("BARSLAST", "x:c", "the same as BARLAST", positional_only=True),
    _f("CROSS", "x:s y:s", "1 where x crosses above y, else 0"),
    _f("FIF", "x:c a:s b:s", "a where x is true, else b"),
    _f("SLOPE", "Y:s N:i", "least-squares slope of the last N bars", 0),
    _f("CURRBARSCOUNT", "Y:s", "the bar index 0, 1, 2, ...", positional_only=True),
    _f("BACKCOUNT", "x:c", "length of the run of true bars ending here",
       positional_only=True),
    _f("STD", _WINDOW, "sample standard deviation of the last N bars", 1),
    _f("STDDEV", _WINDOW, "population standard deviation of the last N bars", 1),
    _f("STDP", _WINDOW, "the same as STDDEV", 1),
    _f("AVEDEV", _WINDOW, "mean absolute deviation of the last N bars", 1),
    _f("FILTER", _WINDOW, "keep a signal, silence the N-1 bars after it", 0),
)}

NAMES: tuple[str, ...] = tuple(FUNCTIONS)
