"""``Formula``: a formula compiled once and applied to any number of bar sets."""
from __future__ import annotations

from typing import Iterable, Mapping

import numpy as np

from . import _evaluate, _frames
from ._errors import FormulaError
from ._graph import Program
from ._parser import compile_text, is_number


class Formula:
    """A formula of the language, compiled with its parameters.

    ``Formula(text, **params)`` parses ``text`` (raising :class:`FormulaError`
    with a caret under any fault) and sets the parameters it declares by name,
    case-insensitively; undeclared names are refused.  ``f(bars)`` computes the
    output lines on a pandas or polars DataFrame (a DataFrame with one column
    per output comes back; a long frame is computed per symbol), on a mapping
    of column names to 1-D series or 2-D panels (a dict of arrays of that
    shape comes back) or on a mapping of column names to wide DataFrames, dates
    x symbols (a dict of DataFrames of that index and those columns).
    """

    __slots__ = ("text", "program", "_params", "_field_spans")

    def __init__(self, text: str, **params: float):
        compiled = compile_text(text, params)
        self.text = text
        self.program: Program = compiled.program
        self._params = compiled.params
        self._field_spans = compiled.field_spans

    @property
    def outputs(self) -> list[str]:
        """The names of the output lines, in the order of the formula."""
        return [name for name, _ in self.program.outputs]

    @property
    def params(self) -> dict[str, float]:
        """The parameters as declared (name as written) and their values in force."""
        return {p.name: p.value for p in self._params.values()}

    @property
    def defaults(self) -> dict[str, float]:
        """The parameters and the defaults the formula gives them."""
        return {p.name: p.default for p in self._params.values()}

    @property
    def fields(self) -> tuple[str, ...]:
        """The bar columns the formula reads (open, high, low, close, volume, amount)."""
        return self.program.fields

    def with_params(self, **params: float) -> Formula:
        """The same formula with some parameters set anew (the rest as they are)."""
        merged = {p.name: p.value for p in self._params.values()}
        upper = {k.upper(): k for k in merged}
        for k, v in params.items():
            merged.pop(upper.get(k.upper(), k), None)
            merged[k] = v
        return Formula(self.text, **merged)

    def stream(self, history, max_window: int | None = None):
        """A live stream of this formula, opened on ``history``.

        ``history`` maps the bar columns to the past bars, oldest first: 1-D
        arrays for one instrument, 2-D arrays (instruments x bars) for a
        universe; a pandas or polars DataFrame of columns works too.  Columns
        are named as for ``f(bars)`` (any case, the language's aliases such as
        ``C`` and ``VOL``); the history sets the number of instruments even
        when the formula reads no column.  ``update(bar)`` then takes one new
        bar (a mapping or a pandas row of numbers, or for a universe a mapping
        of arrays with one value per instrument) and returns its outputs, bit
        for bit what the formula gives over all the bars so far.
        ``max_window`` (default 1024) is the longest window a series given as
        window (``HHV(H,BARSLAST(...))``) may span.  See ``zelvo.stream.Stream``;
        ``pickle`` or ``to_bytes()`` saves the stream and
        ``zelvo.stream.from_bytes(data, formula=self)`` restores it.
        """
        from ..stream import DEFAULT_MAX_WINDOW, MissingField, Stream

        try:
            return Stream(self.program.nodes, self.program.outputs, history,
                          DEFAULT_MAX_WINDOW if max_window is None else max_window)
        except MissingField as e:
            raise self.missing_column(e.field, [str(a) for a in e.available]) from None

    def __call__(self, bars, *, symbol=None):
        """The outputs on ``bars``; ``symbol`` names the symbol column or index
        level of a long frame when its name is not one zelvo recognises."""
        return _frames.apply(self, bars, symbol)

    def evaluate(self, fields: Mapping[str, np.ndarray],
                 shape: tuple[int, ...] | None = None) -> dict[str, np.ndarray]:
        """The outputs on bar columns already in shape.

        ``fields`` maps lower-case column names (``open`` ... ``amount``) to
        float64 arrays of one shape, 1-D (one instrument) or 2-D (instruments x
        bars), C-contiguous; ``shape`` is needed only when the formula reads no
        column.  Returns a dict of output name to a fresh array of that shape.
        """
        for column in self.fields:
            if column not in fields:
                raise self.missing_column(column, list(fields))
        if shape is None:
            if not fields:
                raise ValueError("no bar columns given, so the number of bars is unknown")
            shape = np.shape(next(iter(fields.values())))
        return _evaluate.run(self.program, fields, tuple(shape))

    def missing_column(self, column: str, available: Iterable[str]) -> FormulaError:
        start, end = self._field_spans.get(column, (0, 1))
        have = ", ".join(sorted(available)) or "none"
        return FormulaError(f"the bars have no {column} column (bar columns: {have})",
                            self.text, start, end)

    def __repr__(self) -> str:
        params = "".join(f", {k}={v:g}" for k, v in self.params.items())
        text = self.text if len(self.text) <= 60 else self.text[:57] + "..."
        return f"Formula({text!r}{params})"


def parse_params(items: Iterable[str] | Mapping[str, object]) -> dict[str, float]:
    """Parameters from ``NAME=NUMBER`` strings (as typed on a command line)."""
    if isinstance(items, Mapping):
        return dict(items)  # type: ignore[arg-type]
    out: dict[str, float] = {}
    for item in items:
        name, eq, value = str(item).partition("=")
        name = name.strip()
        try:
            number = float(value)
        except ValueError:
            number = None
        if not eq or not name or number is None or not np.isfinite(number):
            raise ValueError(f"a parameter is set as NAME=NUMBER, not {item!r}")
        out[name] = number
    return out


__all__ = ["Formula", "FormulaError", "parse_params", "is_number"]
