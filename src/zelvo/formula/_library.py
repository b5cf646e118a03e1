"""The classic indicators, written in the formula language and shipped as text.

Each indicator is one file ``zelvo/indicators/NAME.txt``; its first comment
``{ ... }`` is its one-line summary.  The files are read on first use.
"""
from __future__ import annotations

import re
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources
from typing import Iterable, Iterator, Mapping

from ._formula import Formula, parse_params
from ._parser import is_number


@dataclass(frozen=True)
class Indicator:
    """One library indicator: its name, summary and formula text."""

    name: str
    summary: str
    text: str

    @property
    def formula(self) -> Formula:
        """The indicator compiled with its default parameters."""
        return _compiled(self.name, ())

    @property
    def params(self) -> dict[str, float]:
        return self.formula.defaults

    @property
    def outputs(self) -> list[str]:
        return self.formula.outputs


class Library(Mapping[str, Indicator]):
    """The indicators by name (case-insensitive), in alphabetical order."""

    def __init__(self) -> None:
        self._items: dict[str, Indicator] | None = None

    def _load(self) -> dict[str, Indicator]:
        if self._items is None:
            folder = resources.files("zelvo").joinpath("indicators")
            items = {}
            for entry in sorted(folder.iterdir(), key=lambda e: e.name):
                if entry.name.endswith(".txt"):
                    name = entry.name[:-4].upper()
                    text = entry.read_text(encoding="utf-8")
                    m = re.search(r"\{([^}]*)\}", text)
                    summary = " ".join(m.group(1).split()) if m else ""
                    items[name] = Indicator(name, summary, text)
            self._items = items
        return self._items

    def __getitem__(self, name: str) -> Indicator:
        items = self._load()
        key = str(name).upper()
        if key not in items:
            raise KeyError(f"no indicator {name!r}; the library has {', '.join(items)}")
        return items[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._load())

    def __len__(self) -> int:
        return len(self._load())

    def __repr__(self) -> str:
        return f"<zelvo indicators: {', '.join(self)}>"


indicators = Library()


@lru_cache(maxsize=256)
def _compiled(name: str, params: tuple) -> Formula:
    return Formula(indicators[name].text, **dict(params))


def indicator(name: str, bars, *, symbol=None, **params: float):
    """Compute the library indicator ``name`` on ``bars``, parameters by name.

    ``indicator("MACD", bars, SHORT=12, LONG=26, MID=9)``; ``bars`` is anything
    a :class:`Formula` takes, and the result is of the same kind.  ``symbol``
    names the symbol column or index level of a long frame, as for a Formula.
    """
    if all(is_number(v) for v in params.values()):
        # Compiled formulas are kept for each set of parameters (1 and True
        # hash alike, so only numbers come here; Formula refuses the rest).
        f = _compiled(indicators[name].name, tuple(sorted(params.items())))
    else:
        f = Formula(indicators[name].text, **params)
    return f(bars, symbol=symbol)


def load(text: str | None = None, *, indicator: str | None = None,
         params: Iterable[str] | Mapping[str, object] = ()) -> Formula:
    """The formula a command line asks for: a text, or a library indicator by
    name, with parameters as a mapping or as ``NAME=NUMBER`` strings.

    Raises FormulaError for a faulty text or parameter, KeyError for an
    unknown indicator, ValueError for a malformed ``NAME=NUMBER``.
    """
    values = parse_params(params)
    if (text is None) == (indicator is None):
        raise TypeError("give either a formula text or an indicator name")
    if indicator is not None:
        text = indicators[indicator].text
    assert text is not None
    return Formula(text, **values)
