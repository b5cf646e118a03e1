"""zelvo's series functions, as the core's registry lists them.

Every layer that needs the functions by name (the package namespace, the
formula language, the command line, the tests and the benchmarks) reads this
table instead of keeping its own list.  The rows come from the registry of
the core (``rillet/src/catalog.h``) through ``zelvo._api._registry()``, so
the list is written once.

Each entry gives, in the registry's order:

* ``args``: the arguments as ``(name, kind)`` pairs, kind ``"s"`` for a numeric
  series, ``"c"`` for a condition series (a value is true when its truncation
  toward zero is non-zero) and ``"i"`` for an integer window;
* ``positional_only``: whether the arguments can only be passed by position;
* ``min_window``: the smallest accepted integer window (``None`` when the
  function takes no integer window; windows are at most 2147483647);
* ``per_bar``: the variant taking one window length per bar, where there is one;
* ``summary``: a one-line meaning;
* ``exact``: whether the exact module ``zelvo._zelvo`` binds it (its 31
  functions, first in the registry).
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
    exact: bool = True

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


def _rows() -> dict[str, Function]:
    from . import _api

    out = {}
    for name, argnames, kinds, positional_only, min_window, per_bar, summary, exact \
            in _api._registry():
        out[name] = Function(name, tuple(zip(argnames, kinds)), positional_only, min_window,
                             summary, per_bar, exact)
    return out


FUNCTIONS: dict[str, Function] = _rows()

NAMES: tuple[str, ...] = tuple(FUNCTIONS)
# The exact module's functions (zelvo._zelvo), in its order.
EXACT_NAMES: tuple[str, ...] = tuple(n for n, f in FUNCTIONS.items() if f.exact)
