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
