"""Bars in and outputs out: mappings of arrays, pandas and polars frames.

pandas and polars are imported only when such an object is passed.  A frame
with a ``symbol`` column is computed per symbol, each symbol's rows in their
order in the frame (oldest first); symbols with the same number of bars run
together as one panel, so every symbol gets exactly the values it would get
on its own.
"""
from __future__ import annotations

import sys
from collections import defaultdict
from typing import TYPE_CHECKING, Any, Callable, Mapping

import numpy as np

if TYPE_CHECKING:
    from ._formula import Formula

F64 = np.float64
#: Column names (lower case, blanks stripped) read as a bar column.
_ALIASES = {"open": "open", "high": "high", "low": "low", "close": "close",
            "volume": "volume", "vol": "volume", "amount": "amount",
            "symbol": "symbol"}


def _normalize(labels) -> dict[str, Any]:
    """Bar column (or "symbol") -> the caller's label, refusing two candidates."""
    found: dict[str, Any] = {}
    for label in labels:
        key = _ALIASES.get(str(label).strip().lower())
        if key is None:
            continue
        if key in found:
            raise ValueError(f"the columns {found[key]!r} and {label!r} both name the "
                             f"{key} bars")
        found[key] = label
    return found


def _module(obj: object) -> str:
    return type(obj).__module__.split(".", 1)[0]


def apply(formula: Formula, bars: object):
    """The formula's outputs on ``bars``, in the kind of object given."""
    kind = _module(bars)
    if kind == "pandas":
        import pandas as pd
        if isinstance(bars, pd.DataFrame):
            return _pandas(formula, bars, pd)
    elif kind == "polars" and "polars" in sys.modules:
        import polars as pl
        if isinstance(bars, pl.DataFrame):
            return _polars(formula, bars, pl)
    if isinstance(bars, Mapping):
        return _mapping(formula, bars)
    raise TypeError("bars must be a pandas DataFrame, a polars DataFrame or a mapping of "
                    f"column names to arrays, not {type(bars).__name__}")


def _fields(formula: Formula, labels: dict[str, Any],
            read: Callable[[Any], np.ndarray]) -> dict[str, np.ndarray]:
    out = {}
    for column in formula.fields:
        if column not in labels:
            raise formula.missing_column(column, [k for k in labels if k != "symbol"])
        label = labels[column]
        try:
            out[column] = read(label)
        except (TypeError, ValueError) as e:
            raise ValueError(f"column {label!r} is not numeric: {e}") from None
    return out


def _contiguous(a: np.ndarray) -> np.ndarray:
    if a.dtype != F64 or not (a.flags.c_contiguous and a.flags.writeable):
        a = np.array(a, dtype=F64, order="C")
    return a


def _mapping(formula: Formula, bars: Mapping) -> dict[str, np.ndarray]:
    labels = _normalize(bars.keys())
    fields = _fields(formula, labels, lambda k: np.asarray(bars[k], dtype=F64))
    shapes = {c: a.shape for c, a in fields.items()}
    if not fields:       # a formula that reads no bars: the shape of any column
        candidates = [bars[k] for k in labels.values()] or list(bars.values())
        if not candidates:
            raise ValueError("the bars mapping is empty")
        shapes = {"": np.shape(candidates[0])}
    shape = next(iter(shapes.values()))
    if len(shape) not in (1, 2):
        raise ValueError(f"bar columns must be 1-D series or 2-D panels (instruments x "
                         f"bars), not {len(shape)}-D")
    if any(s != shape for s in shapes.values()):
        listed = ", ".join(f"{c} {s}" for c, s in shapes.items())
        raise ValueError(f"bar columns differ in shape: {listed}")
    return formula.evaluate({c: _contiguous(a) for c, a in fields.items()}, shape)


def _grouped(formula: Formula, fields: dict[str, np.ndarray], codes: np.ndarray,
             n: int) -> dict[str, np.ndarray]:
    """Per-symbol evaluation of long columns; ``codes`` numbers the symbols from 0."""
    if codes is None:
        return formula.evaluate(fields, (n,))
    codes = np.asarray(codes, dtype=np.int64)
    order = np.argsort(codes, kind="stable")
    bounds = np.cumsum(np.bincount(codes))[:-1] if n else []
    by_length: dict[int, list[np.ndarray]] = defaultdict(list)
    for rows in np.split(order, bounds):
        if len(rows):
            by_length[len(rows)].append(rows)
    out = {name: np.empty(n, dtype=F64) for name in formula.outputs}
    for length, groups in by_length.items():
        idx = np.stack(groups)                      # symbols x bars, row positions
        panel = {c: a[idx] for c, a in fields.items()}
        for name, v in formula.evaluate(panel, idx.shape).items():
            out[name][idx] = v
    return out


def _pandas(formula: Formula, df, pd):
    labels = _normalize(df.columns)
    fields = _fields(formula, labels, lambda k: np.array(
        df[k].to_numpy(dtype=F64, na_value=np.nan), dtype=F64, order="C"))
    codes = None
    if "symbol" in labels:
        codes = pd.factorize(df[labels["symbol"]], use_na_sentinel=False)[0]
    out = _grouped(formula, fields, codes, len(df))
    return pd.DataFrame(out, index=df.index, columns=list(out))


def _polars(formula: Formula, df, pl):
    labels = _normalize(df.columns)
    fields = _fields(formula, labels, lambda k: np.array(
        df.get_column(k).cast(pl.Float64).fill_null(np.nan).to_numpy(), dtype=F64,
        order="C"))
    codes = None
    if "symbol" in labels:
        symbols = df.get_column(labels["symbol"]).cast(pl.String)
        ranks = symbols.rank("dense").fill_null(0)
        codes = ranks.to_numpy().astype(np.int64)
    out = _grouped(formula, fields, codes, df.height)
    return pl.DataFrame({name: v for name, v in out.items()})
