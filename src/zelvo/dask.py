"""Universes on Dask: zelvo's functions and formulas as lazy Dask operations.

Two kinds of input:

* **Dask array panels**, instruments along one axis and time along the other
  (``axis``, default the last).  Every instrument's whole history must sit in
  one chunk; the time axis is rechunked into one chunk where it is split.
  Each chunk then runs through zelvo's panel engine on its own (the GIL is
  released there, so threaded workers use every core), and no overlap
  between chunks is needed.  NumPy arrays of the same shape may stand beside
  them.

* **A Dask DataFrame of long bars** (one row per symbol and bar), indexed by
  symbol, such that every symbol's rows sit in one partition: the frame has
  known divisions (``ddf.set_index("symbol")`` sorts and computes them) or a
  single partition.  :func:`frame` runs a formula per symbol in each
  partition.

Arguments are checked when the graph is built (shapes, dtypes, the bar
columns a formula reads), so a faulty call fails at once rather than on the
workers.  Nothing runs until ``.compute()`` or ``dask.compute``, and results
are bit for bit those of the same calls on one machine.  Dask is imported
only when this module is.
"""
from __future__ import annotations

import math
from typing import Any, Callable, Mapping, Union

import numpy as np

import dask.array as da

import zelvo
from . import _columns
from ._catalog import FUNCTIONS
from ._containers import _numeric, to_float64
from .formula._frames import _grouped

__all__ = ["panel", "formula", "frame"]

FunctionLike = Union[str, Callable[..., Any]]


def _function(fn: FunctionLike) -> tuple[Callable[..., Any], str]:
    """The function and the name it goes by in messages."""
    if isinstance(fn, str):
        name = fn.upper()
        if name not in FUNCTIONS:
            raise ValueError(f"zelvo.dask: unknown function {fn!r}; expected one of "
                             f"{', '.join(FUNCTIONS)}")
        return getattr(zelvo, name), name
    if callable(fn):
        return fn, getattr(fn, "__name__", type(fn).__name__)
    raise TypeError(f"zelvo.dask: expected a zelvo function or its name, got {type(fn).__name__}")


def _argument(name: str, i: int) -> str:
    """How messages name the i-th positional argument of a function."""
    known = FUNCTIONS.get(name)
    if known is not None and i < len(known.args):
        return f"{name}() argument {known.args[i][0]!r}"
    return f"{name}() argument {i + 1}"


def _compiled(f: Any, params: dict, where: str) -> zelvo.Formula:
    if isinstance(f, str):
        return zelvo.Formula(f, **params)
    if not isinstance(f, zelvo.Formula):
        raise TypeError(f"zelvo.dask.{where}: the formula is a zelvo.Formula or its text, "
                        f"not {type(f).__name__}")
    if params:
        raise TypeError(f"zelvo.dask.{where}: parameters go to zelvo.Formula(text, **params)")
    return f


def _axis(axis: Any, where: str) -> int:
    """The time axis of a 2-D panel as 0 or 1: the one rule of panel and formula."""
    if isinstance(axis, (bool, np.bool_)) or not isinstance(axis, (int, np.integer)):
        raise TypeError(f"zelvo.dask.{where}: axis must be an int (0, 1, -1 or -2), "
                        f"not {type(axis).__name__}")
    if not -2 <= axis <= 1:
        raise ValueError(f"zelvo.dask.{where}: axis must be 0, 1, -1 or -2 for a 2-D panel "
                         f"(the time axis), got {axis}")
    return int(axis) % 2


def _is_panel(x: Any) -> bool:
    return isinstance(x, da.Array) or (isinstance(x, np.ndarray) and x.ndim > 0)


def _panel(what: str, x: Any, axis: int, where: str) -> da.Array:
    """One panel argument as a Dask array with the time axis in one chunk, its
    dtype checked as the functions check it."""
    if not _is_panel(x):
        raise TypeError(f"zelvo.dask.{where}: {what} must be a 2-D Dask or NumPy array, "
                        f"not {type(x).__name__}")
    if x.ndim != 2:
        raise ValueError(f"zelvo.dask.{where}: {what} must be 2-D (instruments and bars), "
                         f"not {x.ndim}-D")
    to_float64(np.empty((0, 0), x.dtype), what)
    if isinstance(x, np.ndarray):
        return da.from_array(x, chunks=x.shape)
    if len(x.chunks[axis]) > 1:
        if math.isnan(x.shape[axis]):
            raise _unknown(what, x, where, "cannot be put into one chunk along time")
        x = x.rechunk({axis: -1})
    return x


def _unknown(what: str, x: da.Array, where: str, why: str) -> ValueError:
    return ValueError(f"zelvo.dask.{where}: {what} has unknown chunk sizes (shape {x.shape}), "
                      f"so it {why}; call .compute_chunk_sizes() on it first")


def _panels(items: list[tuple[str, Any]], axis: int, where: str) -> list[da.Array]:
    """The panel arguments (description, array) as Dask arrays of one shape,
    chunked alike along the instruments."""
    panels = [_panel(what, x, axis, where) for what, x in items]
    if len(panels) > 1:
        for (what, _), p in zip(items, panels):
            if any(math.isnan(s) for s in p.shape):
                raise _unknown(what, p, where, "cannot be matched to the other panels")
    (first, _), shape = items[0], panels[0].shape
    for (what, _), p in zip(items[1:], panels[1:]):
        if p.shape != shape:
            raise ValueError(f"zelvo.dask.{where}: {first} has shape {shape} but {what} has "
                             f"shape {p.shape}; the panels must have one shape")
    lanes = 1 - axis
    chunks = panels[0].chunks[lanes]
    return [p if p.chunks[lanes] == chunks else p.rechunk({lanes: chunks}) for p in panels]


def _panel_block(fn, kinds, axis, params, *blocks):
    it = iter(blocks)
    args = [next(it) if k == "block" else v for k, v in kinds]
    return fn(*args, axis=axis, **params)


def panel(fn: FunctionLike, *args: Any, axis: int = -1, **params: Any) -> da.Array:
    """``fn(*args)`` over Dask array panels, lazily, chunk by chunk.

    ``fn`` is one of zelvo's functions (or its name); ``args`` are its
    arguments, each a 2-D Dask array (instruments × bars with ``axis=-1``, bars
    × instruments with ``axis=0``), a NumPy array of the same shape, a number
    or an integer window::

        import dask.array as da, zelvo, zelvo.dask
        close = da.from_array(universe, chunks=(250, -1))   # 250 instruments a chunk
        ma = zelvo.dask.panel(zelvo.MA, close, 20)          # lazy
        ma.compute()                                        # == zelvo.MA(universe, 20)

    Arrays must hold bool, int or float values (refused as the functions
    refuse them); arrays with unknown chunk sizes (after boolean indexing) can
    stand alone but not beside other panels.
    """
    f, name = _function(fn)
    axis = _axis(axis, "panel")
    items: list[tuple[str, Any]] = []
    kinds: list[tuple[str, Any]] = []
    for i, a in enumerate(args):
        if _is_panel(a):
            items.append((_argument(name, i), a))
            kinds.append(("block", None))
        elif np.ndim(a) > 0:
            raise TypeError(f"zelvo.dask.panel: {_argument(name, i)} must be a 2-D Dask or "
                            f"NumPy array, a number or a window, not {type(a).__name__}")
        else:
            kinds.append(("value", a))
    if not items:
        raise TypeError("zelvo.dask.panel: at least one argument must be a 2-D Dask array")
    panels = _panels(items, axis, "panel")
    return da.map_blocks(_panel_block, f, kinds, axis, params, *panels,
                         dtype=np.float64, meta=np.empty((0, 0), np.float64))


def _column(label: Any) -> str:
    """How messages name a column of bars (the one conversion's `what`)."""
    return f"the column {label!r}"


def _set_index(label: Any, extra: str = "") -> str:
    """The set_index call a message suggests, a string label in double quotes."""
    shown = f'"{label}"' if isinstance(label, str) else repr(label)
    return f"set_index({shown}{extra})"


def _bar_labels(labels: Any, where: str) -> dict[str, Any]:
    try:
        return _columns.bar_fields(labels)
    except ValueError as e:
        raise ValueError(f"zelvo.dask.{where}: {e}") from None


def _formula_block(f, fields, axis, *blocks):
    bars = {}
    for (field, label), block in zip(fields, blocks):
        if field is not None:
            a = to_float64(block, _column(label))
            bars[field] = np.ascontiguousarray(a.T if axis == 0 else a)
    shape = blocks[0].shape[::-1] if axis == 0 else blocks[0].shape
    out = f.evaluate(bars, shape)
    stacked = np.stack([out[name] for name in f.outputs])
    return stacked.transpose(0, 2, 1) if axis == 0 else stacked


def formula(f: Any, bars: Mapping[Any, Any], axis: int = -1, **params: Any
            ) -> dict[str, da.Array]:
    """A formula over a universe of Dask array panels, one per bar field.

    ``f`` is a :class:`zelvo.Formula` or its text; ``bars`` maps bar fields
    (open, high, low, close, volume, amount in any case, or the language's
    names such as ``C`` and ``VOL``) to 2-D Dask arrays of one shape (NumPy
    arrays of that shape may stand beside them); other keys are not read.
    Returns a mapping of output names to lazy Dask arrays of that shape; all
    outputs of one chunk are computed by one task.
    """
    f = _compiled(f, params, "formula")
    axis = _axis(axis, "formula")
    if not isinstance(bars, Mapping):
        raise TypeError("zelvo.dask.formula: bars must be a mapping of bar fields to 2-D Dask "
                        f"arrays, not {type(bars).__name__}")
    if not bars:
        raise ValueError("zelvo.dask.formula: bars is empty; it maps bar fields (open, high, "
                         "low, close, volume, amount) to 2-D Dask arrays")
    labels = _bar_labels(bars, "formula")
    for field in f.fields:
        if field not in labels:
            raise f.missing_column(field, labels)
    # A formula that reads no bars still needs their shape: any panel gives it.
    fields = [(c, labels[c]) for c in f.fields] or [
        (None, next(iter(labels.values()), next(iter(bars))))]
    panels = _panels([(_column(label), bars[label]) for _, label in fields], axis, "formula")
    stacked = da.map_blocks(_formula_block, f, fields, axis, *panels, new_axis=0,
                            chunks=((len(f.outputs),),) + panels[0].chunks,
                            dtype=np.float64, meta=np.empty((0, 0, 0), np.float64))
    return {name: stacked[i] for i, name in enumerate(f.outputs)}


def _frame_result(f, index, time, times, out):
    """The frame :func:`frame` gives (and its meta): the symbol index, the time
    column when there is one, then the outputs."""
    import pandas as pd

    result = pd.DataFrame({name: out[name] for name in f.outputs}, index=index,
                          columns=f.outputs)
    if time is not None:
        result.insert(0, time, times.array)
    return result


def _frame_partition(pdf, f, fields, time):
    import pandas as pd

    if time is not None:
        pdf = pdf.sort_values(time, kind="mergesort")
    bars = {field: to_float64(pdf[label], _column(label)) for field, label in fields.items()}
    codes = pd.factorize(pdf.index, use_na_sentinel=False)[0]
    out = _grouped(f, bars, codes, len(pdf))
    return _frame_result(f, pdf.index, time, pdf[time] if time is not None else None, out)


def _frame_symbol(ddf: Any, symbol: Any) -> Any:
    """The name of the symbol index, refusing frames indexed otherwise."""
    name = ddf.index.name
    columns = list(ddf.columns)
    if symbol is not None:
        if symbol == name:
            return name
        fix = (f"ddf = ddf.{_set_index(symbol)}" if symbol in columns
               else f"there is no column {symbol!r}")
        raise ValueError(f"zelvo.dask.frame: symbol={symbol!r} must name the index, which "
                         f"holds the symbols (the index is {name!r}); {fix}")
    try:
        named = _columns.symbol_label(columns)
    except ValueError:
        named = None
    set_index = f"ddf = ddf.{_set_index('symbol' if named is None else named)}"
    if name is None or _columns.is_date(name):
        indexed = "is not indexed" if name is None else f"is indexed by {name!r}"
        raise ValueError(f"zelvo.dask.frame: the frame {indexed}; it must be indexed by "
                         f"symbol, so that each symbol's bars sit in one partition: {set_index}")
    if named is not None and not _columns.is_symbol(name):
        raise ValueError(f"zelvo.dask.frame: the frame is indexed by {name!r} but its column "
                         f"{named!r} names the symbol; {set_index}, or pass symbol={name!r} "
                         "if the index holds the symbols")
    return name


def _frame_fields(f, meta, time) -> dict[str, Any]:
    """The bar columns the formula reads (field -> label).  Every column must
    hold numbers but the time column and columns named as a time or a symbol;
    numeric columns that are not bar fields (``adj close``) are not read."""
    labels = _bar_labels(meta.columns, "frame")
    for label, dtype in meta.dtypes.items():
        if label in labels.values():
            to_float64(meta[label], _column(label))
        elif not (label == time or _numeric("pandas", dtype) or _columns.is_date(label)
                  or _columns.is_symbol(label)):
            raise TypeError(f"zelvo.dask.frame: {_column(label)} holds {dtype} values and is "
                            "neither a bar field, the symbol nor the time column; drop it "
                            f"(ddf.drop(columns=[{label!r}])) or pass time={label!r} if it "
                            "orders the bars")
    for field in f.fields:
        if field not in labels:
            raise f.missing_column(field, labels)
    return {field: labels[field] for field in f.fields}


def frame(f: Any, ddf: Any, time: Any = "date", symbol: Any = None, **params: Any) -> Any:
    """A formula per symbol over a Dask DataFrame of long bars, lazily.

    ``ddf`` is indexed by symbol (``symbol``, when given, must name that
    index), with known divisions or a single partition, so that each symbol's
    rows sit in one partition: ``ddf.set_index("symbol")`` gives such a frame.
    Its bar columns (open, high, low, close, volume, amount in any case, or
    the language's names) hold bool, int or float values, pandas nullable ones
    included (missing values read as NaN); unless ``time`` is None, the time
    column orders each symbol's rows, otherwise they are taken in frame
    order.  Other numeric columns are not read; any other column that holds
    no numbers is refused unless it is named as a time or a symbol.

    Returns a Dask DataFrame indexed by symbol with the time column and one
    column per output.
    """
    import dask.dataframe as dd

    f = _compiled(f, params, "frame")
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError("zelvo.dask.frame: ddf must be a Dask DataFrame of long bars indexed "
                        f"by symbol, not {type(ddf).__module__}.{type(ddf).__name__} (call the "
                        "formula itself on bars in memory)")
    name = _frame_symbol(ddf, symbol)
    if ddf.npartitions > 1 and not ddf.known_divisions:
        raise ValueError(
            f"zelvo.dask.frame: the frame is indexed by {name!r} but its divisions are unknown, "
            f"so a symbol's rows may span its {ddf.npartitions} partitions; index it anew, so "
            "that dask computes the divisions and moves the rows to fit them: ddf = "
            f"ddf.reset_index().{_set_index(name, ', sorted=True')} when the rows are already "
            "sorted by symbol from one partition to the next (a symbol may straddle two), else "
            f"ddf = ddf.reset_index().{_set_index(name)}; set_index on the index a frame "
            "already has leaves its divisions unknown")
    if time is not None:
        if time not in ddf.columns:
            raise ValueError(f"zelvo.dask.frame: no time column {time!r} (columns: "
                             f"{', '.join(map(str, ddf.columns))}); pass time=None for rows "
                             "already in time order")
        if time in f.outputs:
            raise ValueError(f"zelvo.dask.frame: the output {time!r} has the name of the time "
                             "column; rename one")
    meta = ddf._meta
    fields = _frame_fields(f, meta, time)
    empty = {output: np.empty(0, np.float64) for output in f.outputs}
    out_meta = _frame_result(f, meta.index, time, meta[time] if time is not None else None, empty)
    return ddf.map_partitions(_frame_partition, f, fields, time, meta=out_meta,
                              align_dataframes=False)
