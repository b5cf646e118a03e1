"""Universes on Dask: zelvo's functions and formulas as lazy Dask operations.

Two kinds of input:

* **A Dask array panel**, instruments along one axis and time along the other
  (``axis``, default the last).  Every instrument's whole history must sit in
  one chunk; :func:`panel` rechunks the time axis into one chunk when it is
  split.  Each chunk then runs through zelvo's panel engine on its own (the
  GIL is released there, so threaded workers use every core), and no overlap
  between chunks is needed.

* **A Dask DataFrame of long bars** (one row per symbol and bar), indexed by
  symbol with known divisions, so that every symbol's rows sit in one
  partition.  :func:`frame` runs a formula per symbol in each partition.  A
  frame partitioned otherwise is refused; ``ddf.set_index("symbol")`` (which
  sorts and computes the divisions) makes one that fits.

Both are lazy: nothing runs until ``.compute()`` or ``dask.compute``, and
results are bit for bit those of the same calls on one machine.  Dask is
imported only when this module is.
"""
from __future__ import annotations

from typing import Any, Callable, Mapping, Union

import numpy as np

import dask.array as da

import zelvo
from ._catalog import FUNCTIONS

__all__ = ["panel", "formula", "frame"]

FunctionLike = Union[str, Callable[..., Any]]


def _function(fn: FunctionLike) -> Callable[..., Any]:
    if isinstance(fn, str):
        name = fn.upper()
        if name not in FUNCTIONS:
            raise ValueError(f"zelvo.dask: unknown function {fn!r}; expected one of "
                             f"{', '.join(FUNCTIONS)}")
        return getattr(zelvo, name)
    if callable(fn):
        return fn
    raise TypeError(f"zelvo.dask: expected a zelvo function or its name, got {type(fn).__name__}")


def _whole_time(x: da.Array, axis: int) -> da.Array:
    """The panel with the time axis in one chunk (rechunked where it is split)."""
    if x.ndim != 2:
        raise ValueError(f"zelvo.dask: a panel is 2-D (instruments and time), got {x.ndim}-D")
    if len(x.chunks[axis]) > 1:
        x = x.rechunk({axis: -1})
    return x


def _align(panels: list[da.Array], axis: int) -> list[da.Array]:
    shape = panels[0].shape
    for p in panels[1:]:
        if p.shape != shape:
            raise ValueError(f"zelvo.dask: panels of different shapes {shape} and {p.shape}")
    lanes = 1 - (axis % 2)
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
    """
    f = _function(fn)
    axis = axis % 2 if axis in (-2, -1, 0, 1) else axis
    if axis not in (0, 1):
        raise ValueError(f"zelvo.dask: axis must be 0, 1 or -1 for a 2-D panel, got {axis}")
    panels = []
    kinds: list[tuple[str, Any]] = []
    for a in args:
        if isinstance(a, np.ndarray) and a.ndim == 2:
            a = da.from_array(a, chunks=a.shape)
        if isinstance(a, da.Array):
            panels.append(_whole_time(a, axis))
            kinds.append(("block", None))
        else:
            kinds.append(("value", a))
    if not panels:
        raise TypeError("zelvo.dask.panel: at least one argument must be a 2-D Dask array")
    panels = _align(panels, axis)
    return da.map_blocks(_panel_block, f, kinds, axis, params, *panels,
                         dtype=np.float64, meta=np.empty((0, 0), np.float64))


def _formula_block(f, names, axis, *blocks):
    bars = dict(zip(names, blocks))
    if axis == 0:
        bars = {k: np.ascontiguousarray(v.T) for k, v in bars.items()}
    out = f(bars)
    stacked = np.stack([np.asarray(out[name]) for name in f.outputs])
    return stacked.transpose(0, 2, 1) if axis == 0 else stacked


def formula(f: Any, bars: Mapping[str, da.Array], axis: int = -1, **params: Any
            ) -> dict[str, da.Array]:
    """A formula over a universe of Dask array panels, one per bar field.

    ``f`` is a :class:`zelvo.Formula` or its text; ``bars`` maps field names
    (open, high, low, close, volume, ...) to 2-D Dask arrays of one shape.
    Returns a mapping of output names to lazy Dask arrays of that shape; all
    outputs of one chunk are computed by one task.
    """
    if isinstance(f, str):
        f = zelvo.Formula(f, **params)
    elif params:
        raise TypeError("zelvo.dask.formula: parameters go to zelvo.Formula(text, **params)")
    axis = axis % 2
    names = list(bars)
    panels = _align([_whole_time(bars[k], axis) for k in names], axis)
    stacked = da.map_blocks(_formula_block, f, names, axis, *panels, new_axis=0,
                            chunks=((len(f.outputs),),) + panels[0].chunks,
                            dtype=np.float64, meta=np.empty((0, 0, 0), np.float64))
    return {name: stacked[i] for i, name in enumerate(f.outputs)}


def _frame_partition(pdf, f, symbol, time):
    import pandas as pd

    pdf = pdf.reset_index()
    if time is not None:
        pdf = pdf.sort_values([symbol, time], kind="mergesort")
    columns = {c.lower(): c for c in pdf.columns}
    parts = []
    for sym, rows in pdf.groupby(symbol, sort=False):
        bars = {k: rows[c].to_numpy(np.float64) for k, c in columns.items()
                if k not in (symbol.lower(), (time or "").lower())
                and np.issubdtype(rows[c].dtype, np.number)}
        out = f(bars)
        part = pd.DataFrame({name: np.asarray(out[name]) for name in f.outputs})
        if time is not None:
            part.insert(0, time, rows[time].to_numpy())
        part.index = pd.Index([sym] * len(rows), name=symbol)
        parts.append(part)
    if not parts:
        return _frame_meta(f, pdf, symbol, time)
    return pd.concat(parts)


def _frame_meta(f, sample, symbol, time):
    import pandas as pd

    cols = {name: pd.Series([], dtype=np.float64) for name in f.outputs}
    meta = pd.DataFrame(cols)
    if time is not None:
        meta.insert(0, time, pd.Series([], dtype=sample[time].dtype if time in sample else object))
    meta.index = pd.Index([], name=symbol,
                          dtype=sample.index.dtype if symbol not in sample else sample[symbol].dtype)
    return meta


def frame(f: Any, ddf: Any, time: str | None = "date", **params: Any) -> Any:
    """A formula per symbol over a Dask DataFrame of long bars, lazily.

    ``ddf`` is indexed by symbol with known divisions (``ddf.set_index("symbol")``
    gives such a frame), with numeric bar columns (open, high, low, close,
    volume in any case) and, unless ``time`` is None, a time column by which
    each symbol's rows are ordered.  Returns a Dask DataFrame indexed by symbol
    with the time column and one column per output.
    """
    if isinstance(f, str):
        f = zelvo.Formula(f, **params)
    elif params:
        raise TypeError("zelvo.dask.frame: parameters go to zelvo.Formula(text, **params)")
    symbol = ddf.index.name
    if symbol is None or not ddf.known_divisions:
        raise ValueError(
            "zelvo.dask.frame: the frame must be indexed by symbol with known divisions, so "
            "that each symbol's bars sit in one partition; use ddf = ddf.set_index(\"symbol\")")
    if time is not None and time not in ddf.columns:
        raise ValueError(f"zelvo.dask.frame: no time column {time!r} (columns: "
                         f"{', '.join(map(str, ddf.columns))}); pass time=None for rows "
                         "already in time order")
    meta = _frame_meta(f, ddf._meta, symbol, time)
    return ddf.map_partitions(_frame_partition, f, symbol, time, meta=meta,
                              align_dataframes=False)
