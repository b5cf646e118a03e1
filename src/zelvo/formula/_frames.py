"""Bars in and outputs out: mappings of arrays or of wide frames, long pandas
and polars frames.

pandas and polars are imported only when such an object is passed.  Every bar
column is read by the package's one conversion (``_containers.to_float64``)
and every name by its one naming rule (``zelvo._columns``).

* A mapping of bar fields to 1-D series or 2-D panels (instruments x bars)
  gives a dict of arrays of that shape.
* A mapping of bar fields to wide DataFrames (dates down the index, one column
  per symbol, as the functions read a DataFrame) runs down the columns and
  gives, per output, a DataFrame with the same index and columns.
* A long frame (one row per symbol and bar) is computed per symbol, each
  symbol's rows in their order in the frame (oldest first); symbols with the
  same number of bars run together as one panel, so every symbol gets
  exactly the values it would get on its own.  Where the symbol is:
  ``_columns.symbol_of``.
"""
from __future__ import annotations

import sys
from collections import defaultdict
from typing import TYPE_CHECKING, Any, Callable, Mapping

import numpy as np

from .._columns import bar_fields, symbol_of
from .._containers import family, same_labels, to_float64

if TYPE_CHECKING:
    from ._formula import Formula

F64 = np.float64


def _module(obj: object) -> str:
    return type(obj).__module__.split(".", 1)[0]


def apply(formula: Formula, bars: object, symbol: Any = None):
    """The formula's outputs on ``bars``, in the kind of object given."""
    kind = _module(bars)
    if kind == "pandas":
        import pandas as pd
        if isinstance(bars, pd.DataFrame):
            return _pandas(formula, bars, pd, symbol)
    elif kind == "polars" and "polars" in sys.modules:
        import polars as pl
        if isinstance(bars, pl.DataFrame):
            return _polars(formula, bars, pl, symbol)
    if isinstance(bars, Mapping):
        if symbol is not None:
            raise TypeError("symbol= names the symbol column or index level of a long "
                            "DataFrame; a mapping of bar columns is not grouped by symbol")
        return _mapping(formula, bars)
    raise TypeError("bars must be a pandas DataFrame, a polars DataFrame or a mapping of "
                    f"column names to arrays, not {type(bars).__name__}")


def _fields(formula: Formula, labels: dict[str, Any],
            column: Callable[[Any], Any]) -> dict[str, np.ndarray]:
    """The float64 values of the bar columns the formula reads."""
    out = {}
    for field in formula.fields:
        if field not in labels:
            raise formula.missing_column(field, list(labels))
        label = labels[field]
        out[field] = to_float64(column(label), f"the column {label!r}")
    return out


def _contiguous(a: np.ndarray) -> np.ndarray:
    if a.dtype != F64 or not (a.flags.c_contiguous and a.flags.writeable):
        a = np.array(a, dtype=F64, order="C")
    return a


def _kind(obj: object) -> str:
    fam = family(obj)
    if fam:
        return f"a {fam[0]} {fam[1]}"
    return "a NumPy array" if isinstance(obj, np.ndarray) else f"a {type(obj).__name__}"


def _wide(bars: Mapping, labels: dict[str, Any]):
    """The first bar column when the bar columns are wide DataFrames, else None.

    Wide frames come all together, of one library, with one index and one set
    of columns; pandas Series among array columns must share their index.
    """
    items = [(label, bars[label]) for label in labels.values()]
    frames = [(label, v) for label, v in items if (family(v) or ("", ""))[1] == "DataFrame"]
    if frames:
        lib = family(frames[0][1])[0]
        odd = next(((label, v) for label, v in items if family(v) != (lib, "DataFrame")), None)
        if odd is not None:
            raise ValueError(
                f"the bar columns {frames[0][0]!r} and {odd[0]!r} are {_kind(frames[0][1])} "
                f"and {_kind(odd[1])}: give every bar field as a wide DataFrame (dates x "
                "symbols) of one library, or every one as an array")
    pandas = frames or [(label, v) for label, v in items if (family(v) or ("",))[0] == "pandas"]
    for label, v in pandas[1:]:
        same_labels(pandas[0][1], v, f"the bar columns {pandas[0][0]!r} and {label!r}")
    return frames[0][1] if frames else None


def _mapping(formula: Formula, bars: Mapping):
    labels = bar_fields(bars.keys())
    lead = _wide(bars, labels)
    fields = _fields(formula, labels, bars.__getitem__)
    shapes = {c: a.shape for c, a in fields.items()}
    if not fields:       # a formula that reads no bars: the shape of any column
        candidates = [bars[k] for k in labels.values()] or list(bars.values())
        if not candidates:
            raise ValueError("the bars mapping is empty")
        shapes = {"": np.shape(candidates[0])}
    shape = next(iter(shapes.values()))
    if len(shape) not in (1, 2) or (lead is not None and len(shape) != 2):
        raise ValueError(f"bar columns must be 1-D series or 2-D panels (instruments x "
                         f"bars), not {len(shape)}-D")
    if any(s != shape for s in shapes.values()):
        listed = ", ".join(f"{c} {s}" for c, s in shapes.items())
        raise ValueError(f"bar columns differ in shape: {listed}")
    if lead is None:
        return formula.evaluate({c: _contiguous(a) for c, a in fields.items()}, shape)
    # Wide frames hold time down their index: each column is an instrument.
    out = formula.evaluate({c: _contiguous(a.T) for c, a in fields.items()}, shape[::-1])
    if family(lead)[0] == "pandas":
        import pandas as pd
        return {name: pd.DataFrame(v.T, index=lead.index, columns=lead.columns, copy=False)
                for name, v in out.items()}
    import polars as pl
    return {name: pl.DataFrame(dict(zip(lead.columns, v))) for name, v in out.items()}


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


def _pandas(formula: Formula, df, pd, symbol):
    where = symbol_of(df, symbol)
    fields = _fields(formula, bar_fields(df.columns), lambda label: df[label])
    codes = None
    if where is not None:
        kind, at = where
        values = df[at] if kind == "column" else df.index.get_level_values(at)
        codes = pd.factorize(values, use_na_sentinel=False)[0]
    out = _grouped(formula, {c: _contiguous(a) for c, a in fields.items()}, codes, len(df))
    return pd.DataFrame(out, index=df.index, columns=list(out))


def _polars(formula: Formula, df, pl, symbol):
    where = symbol_of(df, symbol)
    fields = _fields(formula, bar_fields(df.columns), df.get_column)
    codes = None
    if where is not None:
        symbols = df.get_column(where[1]).cast(pl.String)
        ranks = symbols.rank("dense").fill_null(0)
        codes = ranks.to_numpy().astype(np.int64)
    out = _grouped(formula, {c: _contiguous(a) for c, a in fields.items()}, codes, df.height)
    return pl.DataFrame({name: v for name, v in out.items()})
