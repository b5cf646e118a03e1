"""zelvo's functions and formulas as polars expressions.

``import zelvo.polars`` registers the expression namespace ``zelvo``: every
function of the catalog, with its arguments in the package's order after the
series the namespace hangs on::

    import polars as pl
    import zelvo.polars

    df.with_columns(
        ma20=pl.col("close").zelvo.MA(20, by="symbol"),
        up=pl.col("close").zelvo.CROSS(pl.col("open"), by="symbol"),
    )

Series arguments may be expressions or numbers (a number stands for every
bar); windows are ints.  :func:`formula` gives a formula's outputs as one
struct expression (``.struct.unnest()`` makes them columns).  Both work in
``select`` and ``with_columns``, eager and lazy, and under ``.over(...)``.

Groups.  ``by="symbol"`` (a column name, an expression, or a list of them)
computes each symbol's bars on their own, as the package API does on that
symbol's series alone, bit for bit, in one call into the core for the whole
column (``zelvo._api._segments``).  ``.over("symbol")`` gives the same
values, but polars then calls once per symbol.  Bars must be in time order
within each symbol: name the time column with ``time=`` and rows in any
order are sorted by it within each symbol (a missing time, or two rows of
one symbol at one time, is refused); without ``time=`` each symbol's rows
are taken in the frame's order.  Results are float64, one per row, in the
frame's own order; nulls go in as NaN.

polars is imported here and nowhere else in zelvo.
"""
from __future__ import annotations

import inspect
from typing import Any, Callable, Iterable, Mapping, Sequence

import numpy as np
import polars as pl

from . import _api
from ._catalog import FUNCTIONS
from ._columns import FIELDS, bar_fields, field_of
from ._containers import to_float64
from .formula import Formula
from .formula import _backend, _evaluate

__all__ = ["formula", "ZelvoExpr"]


# ---- rows into segments ------------------------------------------------------------------

def _runs(codes: np.ndarray) -> np.ndarray:
    """Offsets of the runs of equal values."""
    n = len(codes)
    cuts = np.flatnonzero(codes[1:] != codes[:-1]) + 1
    return np.concatenate(([0], cuts, [n])).astype(np.int64)


def _codes(keys: pl.Series) -> np.ndarray:
    """Integer codes of the keys: equal keys, equal codes; nulls one code of
    their own.  Strings go through a categorical (polars sorts strings slowly)."""
    dtype = keys.dtype
    if isinstance(dtype, pl.Struct):
        codes = np.zeros(len(keys), dtype=np.int64)
        for field in keys.struct.fields:
            part = _codes(keys.struct.field(field))
            codes = np.unique(codes * (int(part.max(initial=0)) + 1) + part,
                              return_inverse=True)[1].astype(np.int64)
        return codes
    if dtype == pl.String:
        phys = keys.cast(pl.Categorical).to_physical()
    elif dtype.is_integer() or dtype.is_temporal() or dtype == pl.Boolean or isinstance(
            dtype, (pl.Categorical, pl.Enum)):
        phys = keys.to_physical()
    else:
        phys = keys.rank("dense")
    if phys.null_count():
        missing = phys.is_null().to_numpy()
        codes = np.unique(phys.fill_null(0).to_numpy(), return_inverse=True)[1].astype(np.int64)
        codes[missing] = -1
        return codes
    return phys.to_numpy().astype(np.int64, copy=False)


def _argsort(*columns: np.ndarray) -> np.ndarray:
    """The stable order of rows by the columns (polars' sort runs on every core)."""
    frame = pl.DataFrame({f"c{i}": c for i, c in enumerate(columns)})
    order = frame.select(pl.arg_sort_by(frame.columns, maintain_order=True)).to_series()
    return order.to_numpy().astype(np.int64, copy=False)


def _order(codes: np.ndarray | None, t: np.ndarray | None) -> np.ndarray:
    """The rows by group, then time, ties in the frame's order."""
    if t is None or codes is None:
        return _argsort(codes if t is None else t)
    if t.dtype.kind in "iu":
        lo, hi = int(t.min()), int(t.max())
        c0, c1 = int(codes.min()), int(codes.max())
        span = hi - lo + 1
        if (c1 - c0 + 1) * span < 2**62:      # one integer key: a single sort
            return _argsort((codes - c0) * span + (t.astype(np.int64) - lo))
    return _argsort(codes, t)


def _time_values(times: pl.Series) -> np.ndarray:
    if times.null_count():
        raise ValueError(f"the time column {times.name!r} has missing values; every bar needs "
                         "its time")
    t = times.to_physical().to_numpy()
    if t.dtype.kind not in "iuf":
        raise TypeError(f"the time column {times.name!r} must hold dates, times or numbers, "
                        f"not {times.dtype}")
    if t.dtype.kind == "f" and np.isnan(t).any():
        raise ValueError(f"the time column {times.name!r} holds NaN; every bar needs its time")
    return t


def _stale(t: np.ndarray, bounds: np.ndarray) -> np.ndarray:
    """Where a bar's time is not after the previous bar's of its group."""
    stale = t[1:] <= t[:-1]
    stale[bounds[1:-1] - 1] = False          # the first bar of a group follows no bar
    return np.flatnonzero(stale) + 1


def plan(keys: pl.Series | None, times: pl.Series | None,
         n: int) -> tuple[np.ndarray | None, np.ndarray]:
    """(order, offsets): the rows in the order of their groups and times
    (None when they are in it already) and the offsets of the groups in
    that order."""
    if n == 0:
        return None, np.zeros(2, dtype=np.int64)
    codes = None
    bounds = np.array([0, n], dtype=np.int64)
    grouped = True
    if keys is not None:
        # Rows of a symbol one after another (the usual long frame) need no
        # sort: the runs of equal keys are the groups when no key has two.
        bounds = _runs(keys.rle_id().to_numpy())
        runs = len(bounds) - 1
        firsts = keys.gather(bounds[:-1]) if runs <= n // 8 else keys
        grouped = firsts.n_unique() == runs
    t = None if times is None else _time_values(times)
    if grouped and (t is None or not _stale(t, bounds).size):
        return None, bounds
    if keys is not None:
        codes = _codes(keys)
    order = _order(codes, t)
    bounds = _runs(codes[order]) if codes is not None else bounds
    if t is not None:
        same = _stale(t[order], bounds)
        if same.size:
            i = int(order[same[0]])
            who = "" if keys is None else f" of {keys.name} {keys[i]!r}"
            raise ValueError(f"two rows{who} have the same time {times[i]!r} in the time "
                             f"column {times.name!r}; a group holds one bar per time")
    return order, bounds


def _run(series: list[pl.Series], nkeys: int, ntime: int,
         compute: Callable[[list[np.ndarray], np.ndarray], Any]):
    """Computes on the columns in ``series`` (then the key columns, then the
    time column), segment by segment, and puts the results back in the
    frame's order.  ``compute(columns, offsets)`` gives one array or a dict."""
    ncols = len(series) - nkeys - ntime
    cols = series[:ncols]
    keys = None
    if nkeys == 1:
        keys = series[ncols]
    elif nkeys > 1:
        keys = pl.struct(series[ncols:ncols + nkeys], eager=True)
    times = series[-1] if ntime else None
    n = len(series[0])
    order, offsets = plan(keys, times, n)
    arrays = [to_float64(c, f"the column {c.name!r}") for c in cols]
    if order is not None:
        arrays = [a[order] for a in arrays]
    out = compute(arrays, offsets)

    def back(v: np.ndarray) -> np.ndarray:
        if order is None:
            return v
        r = np.empty_like(v)
        r[order] = v
        return r

    if isinstance(out, dict):
        return pl.DataFrame({name: back(v) for name, v in out.items()}).to_struct()
    return pl.Series(back(out))


def _keys(by, time) -> tuple[list[pl.Expr], list[pl.Expr]]:
    def expr(k):
        return pl.col(k) if isinstance(k, str) else k

    if by is None:
        keys = []
    elif isinstance(by, (str, pl.Expr)):
        keys = [expr(by)]
    else:
        keys = [expr(k) for k in by]
        if not keys:
            raise ValueError("by= names no column")
    for k in keys:
        if not isinstance(k, pl.Expr):
            raise TypeError(f"by= takes column names or expressions, not {type(k).__name__}")
    if time is not None and not isinstance(time, (str, pl.Expr)):
        raise TypeError(f"time= takes a column name or an expression, not {type(time).__name__}")
    return keys, [] if time is None else [expr(time)]


# ---- the functions ----------------------------------------------------------------------

def _function(name: str, args: Sequence[Any], by=None, time=None) -> pl.Expr:
    """The expression of catalog function ``name`` on ``args`` (in the
    function's order: expressions or numbers for series, ints for windows)."""
    f = FUNCTIONS[name]
    _backend.check_windows(name, [v for v, (_, k) in zip(args, f.args) if k == "i"])
    exprs: list[pl.Expr] = []
    slots: list = []                    # per argument: an input's index, or the value
    for (arg, kind), v in zip(f.args, args):
        if kind != "i" and isinstance(v, pl.Expr):
            slots.append(len(exprs))
            exprs.append(v)
        elif kind != "i" and isinstance(v, pl.Series):
            slots.append(len(exprs))
            exprs.append(pl.lit(v))
        elif kind != "i" and not isinstance(v, (int, float, np.integer, np.floating)):
            raise TypeError(f"{name}() argument '{arg}' must be a polars expression or a "
                            f"number, not {type(v).__name__}")
        else:
            slots.append(("value", v))
    keys, times = _keys(by, time)

    def compute(columns: list[np.ndarray], offsets: np.ndarray) -> np.ndarray:
        values = tuple(v[1] if isinstance(v, tuple) else columns[v] for v in slots)
        return _api._segments(name, offsets, values)

    def udf(series: list[pl.Series]) -> pl.Series:
        return _run(series, len(keys), len(times), compute)

    if not exprs:
        raise TypeError(f"{name}() needs at least one series given as an expression")
    return pl.map_batches([*exprs, *keys, *times], udf, return_dtype=pl.Float64)


def _signature(f) -> inspect.Signature:
    kind = (inspect.Parameter.POSITIONAL_ONLY if f.positional_only
            else inspect.Parameter.POSITIONAL_OR_KEYWORD)
    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
    params += [inspect.Parameter(a, kind) for a in f.argnames[1:]]
    params += [inspect.Parameter(k, inspect.Parameter.KEYWORD_ONLY, default=None)
               for k in ("by", "time")]
    return inspect.Signature(params)


def _method(f) -> Callable[..., pl.Expr]:
    sig = _signature(f)

    def method(*args, **kwargs) -> pl.Expr:
        bound = sig.bind(*args, **kwargs)
        self = bound.arguments["self"]
        values = [self._expr] + [bound.arguments[a] for a in f.argnames[1:]]
        return _function(f.name, values, bound.arguments.get("by"),
                        bound.arguments.get("time"))

    method.__name__ = method.__qualname__ = f.name
    method.__signature__ = sig  # type: ignore[attr-defined]
    rest = ", ".join(f.argnames[1:])
    method.__doc__ = (f"{f.summary[0].upper()}{f.summary[1:]}: ``{f.name}({f.argnames[0]}"
                      f"{', ' + rest if rest else ''})`` with this expression as "
                      f"``{f.argnames[0]}``.\n\nSee ``help(zelvo.{f.name})``; ``by=`` and "
                      "``time=`` as in ``help(zelvo.polars)``.")
    return method


@pl.api.register_expr_namespace("zelvo")
class ZelvoExpr:
    """zelvo's functions on a polars expression: ``pl.col("close").zelvo.MA(20)``."""

    def __init__(self, expr: pl.Expr):
        self._expr = expr


for _f in FUNCTIONS.values():
    setattr(ZelvoExpr, _f.name, _method(_f))
del _f


# ---- formulas ---------------------------------------------------------------------------

def _columns_of(f: Formula, columns) -> dict[str, pl.Expr]:
    """The expression of each bar field the formula reads."""
    named: dict[str, Any] = {}
    if columns is None:
        pass
    elif isinstance(columns, Mapping):
        for label, column in columns.items():
            field = field_of(label)
            if field is None:
                raise ValueError(f"columns= maps {label!r}, which names no bar field (bar "
                                 f"fields: {', '.join(FIELDS)})")
            named[field] = column
    elif isinstance(columns, Iterable) and not isinstance(columns, str):
        named = bar_fields(columns)
    else:
        raise TypeError("columns= is a mapping of bar fields to column names or expressions, "
                        "or the frame's column names")
    out = {}
    for field in f.fields:
        c = named.get(field, field)
        out[field] = pl.col(c) if isinstance(c, str) else c
    return out


def formula(text: str | Formula, by=None, time=None, columns=None, **params: float) -> pl.Expr:
    """The outputs of a formula as a struct expression, one field per output.

    ``text`` is a formula of the language (or a compiled :class:`zelvo.Formula`),
    ``params`` sets its parameters.  The bar columns are read from the columns
    named ``open``, ``high``, ``low``, ``close``, ``volume``, ``amount``;
    ``columns`` maps fields to other columns (``{"close": "Close"}``, keys as
    the language names them, values column names or expressions) or gives the
    frame's column names (``columns=df.columns``) to find them by zelvo's
    naming rule (any case, aliases such as ``C`` and ``VOL``).  ``by`` and
    ``time`` group and order the rows as in ``help(zelvo.polars)``.  The
    struct is named ``formula``::

        df.select(zelvo.polars.formula(MACD_TEXT, by="symbol").struct.unnest())
    """
    if isinstance(text, Formula):
        f = text.with_params(**params) if params else text
    else:
        f = Formula(text, **params)
    if not f.fields:
        raise ValueError("the formula reads no bar column, so an expression of it has no "
                         "length; use zelvo.Formula on the frame")
    inputs = _columns_of(f, columns)
    keys, times = _keys(by, time)
    fields = list(inputs)

    def compute(cols: list[np.ndarray], offsets: np.ndarray) -> dict[str, np.ndarray]:
        def over_segments(name, *args):
            return _api._segments(name, offsets, args)

        n = len(cols[0])
        return _evaluate.run(f.program, dict(zip(fields, cols)), (n,), call=over_segments)

    def udf(series: list[pl.Series]) -> pl.Series:
        return _run(series, len(keys), len(times), compute)

    dtype = pl.Struct({name: pl.Float64 for name in f.outputs})
    return pl.map_batches([*inputs.values(), *keys, *times], udf,
                          return_dtype=dtype).alias("formula")
