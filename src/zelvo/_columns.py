"""The names in users' bar data, one rule for every entry.

Which column (or mapping key, or field of a stream's update) holds which bar
field, and which holds the symbol of a long frame: formulas, streams, Dask
and the command line all ask here.  Names are compared in lower case with
surrounding blanks ignored.
"""
from __future__ import annotations

from typing import Any, Iterable

#: The bar fields, in display order.
FIELDS = ("open", "high", "low", "close", "volume", "amount")
#: The formula language's names of the bar series -> the field each reads.
BAR_NAMES = {
    "OPEN": "open", "O": "open", "HIGH": "high", "H": "high", "LOW": "low", "L": "low",
    "CLOSE": "close", "C": "close", "VOL": "volume", "VOLUME": "volume", "V": "volume",
    "AMOUNT": "amount", "AMO": "amount",
}
#: Names taken for the symbol column of long bars (one row per symbol and bar).
SYMBOL_NAMES = ("symbol", "ticker", "instrument", "code")
#: Names taken for the time column, most specific first (blanks and hyphens
#: read as underscores).
DATE_NAMES = ("date", "datetime", "date_time", "timestamp", "trade_date", "tradedate",
              "trading_date", "trading_day", "time", "day", "dt")


def key(label: Any) -> str:
    return str(label).strip().lower()


def field_of(label: Any) -> str | None:
    """The bar field a column name holds (any case, the language's aliases)."""
    return BAR_NAMES.get(key(label).upper())


def is_symbol(label: Any) -> bool:
    return key(label) in SYMBOL_NAMES


def is_date(label: Any) -> bool:
    return key(label).replace(" ", "_").replace("-", "_") in DATE_NAMES


def bar_fields(labels: Iterable[Any]) -> dict[str, Any]:
    """Bar field -> the caller's label, refusing two labels for one field."""
    found: dict[str, Any] = {}
    for label in labels:
        f = field_of(label)
        if f is None:
            continue
        if f in found:
            raise ValueError(f"the columns {found[f]!r} and {label!r} both name the {f} bars; "
                             "keep one")
        found[f] = label
    return found


def symbol_label(labels: Iterable[Any]) -> Any | None:
    """The one label among `labels` that names the symbol, or None."""
    found = [label for label in labels if is_symbol(label)]
    if len(found) > 1:
        raise ValueError(f"the columns {found[0]!r} and {found[1]!r} both name the symbol; "
                         "pass symbol= to say which")
    return found[0] if found else None


def is_time_dtype(dtype: Any) -> bool:
    """Whether a NumPy, pandas or polars dtype holds dates, times or durations."""
    temporal = getattr(dtype, "is_temporal", None)
    if callable(temporal):                          # a polars dtype
        return bool(temporal())
    return getattr(dtype, "kind", "") in ("M", "m") or str(dtype).startswith("period")


def _levels(frame: Any) -> list[tuple[Any, Any]]:
    """(name, dtype) of each level of a pandas frame's index; none for polars."""
    index = getattr(frame, "index", None)
    if index is None or not hasattr(index, "nlevels"):
        return []
    if index.nlevels == 1:
        return [(index.name, index.dtype)]
    return [(name, level.dtype) for name, level in zip(index.names, index.levels)]


def _column_dtypes(frame: Any) -> list[tuple[Any, Any]]:
    dtypes = frame.dtypes
    if hasattr(dtypes, "items"):                    # pandas: a Series of dtypes
        return list(dtypes.items())
    return list(zip(frame.columns, dtypes))         # polars: a list


def _named(columns: list, levels: list, symbol: Any) -> tuple[str, Any]:
    """The column or index level that ``symbol=`` names: the label itself, else
    the one label equal to it in any case."""
    level_names = [name for name, _ in levels]
    for same in (lambda label: label == symbol,
                 lambda label: label is not None and key(label) == key(symbol)):
        found = [("column", c) for c in columns if same(c)]
        found += [("level", i) for i, name in enumerate(level_names) if same(name)]
        if len(found) > 1:
            shown = [f"the column {at!r}" if kind == "column" else
                     f"the index level {level_names[at]!r}" for kind, at in found]
            raise ValueError(f"symbol={symbol!r} names both {shown[0]} and {shown[1]}; "
                             "rename one")
        if found:
            return found[0]
    have = ", ".join(repr(c) for c in columns) or "none"
    names = [repr(n) for n in level_names if n is not None]
    raise ValueError(f"symbol={symbol!r} names no column or index level of the frame "
                     f"(columns: {have}" + (f"; index levels: {', '.join(names)})" if names
                                           else ")"))


def _symbol_level(levels: list[tuple[Any, Any]]) -> int | None:
    """The index level that holds the symbol when no column does."""
    if len(levels) == 1:
        return 0 if is_symbol(levels[0][0]) else None
    named = [i for i, (name, _) in enumerate(levels) if name is not None and is_symbol(name)]
    if len(named) > 1:
        raise ValueError(f"the index levels {levels[named[0]][0]!r} and "
                         f"{levels[named[1]][0]!r} both name the symbol; pass symbol= to "
                         "say which")
    if named:
        return named[0]
    for i, (name, dtype) in enumerate(levels):
        if not (is_time_dtype(dtype) or (name is not None and is_date(name))):
            return i
    return None


def symbol_of(frame: Any, symbol: Any = None) -> tuple[str, Any] | None:
    """Where the symbol of a long frame (one row per symbol and bar) lives:
    ``("column", label)``, ``("level", i)`` for level i of a pandas index, or
    None when the frame holds one series.

    ``symbol`` names the column or index level outright.  Otherwise the
    symbol is the column named as in SYMBOL_NAMES (any case), else the index
    when its name is one of those, else a level of a MultiIndex: the one so
    named, else the first that holds neither dates nor times.  A column that
    holds no numbers and is neither the symbol, a date or time (by its name
    or its dtype) nor a bar field is refused rather than guessed at.  Works on
    pandas and polars frames (polars frames have no index).
    """
    columns = list(frame.columns)
    levels = _levels(frame)
    if symbol is not None:
        where: tuple[str, Any] | None = _named(columns, levels, symbol)
    else:
        label = symbol_label(columns)
        if label is not None:
            where = ("column", label)
        else:
            level = _symbol_level(levels)
            where = None if level is None else ("level", level)
    from ._containers import _numeric, family

    fam = family(frame)
    lib = fam[0] if fam is not None else "pandas"
    for label, dtype in _column_dtypes(frame):
        if (_numeric(lib, dtype) or where == ("column", label) or field_of(label) is not None
                or is_symbol(label) or is_date(label) or is_time_dtype(dtype)):
            continue
        raise ValueError(
            f"the column {label!r} holds {dtype} values and is neither a bar field, the "
            f"symbol nor a date or time; pass symbol={label!r} if it holds the symbol, or "
            "drop it")
    return where
