"""pandas, polars and Arrow objects in and out of zelvo's functions.

The compiled functions (``zelvo._api``) read NumPy arrays, anything
``numpy.asarray`` reads, and numbers.  When an argument is a pandas or polars
Series or DataFrame they hand the call here: each such argument is unwrapped
to its NumPy values, the function is called again on those, and the result is
wrapped like the first series argument (numbers do not count): a Series keeps
its index and name, a DataFrame its index and columns.  A DataFrame is
computed down its columns, its index being the time axis.

Any other object that offers Arrow data through the Arrow PyCapsule interface
(``__arrow_c_array__`` or ``__arrow_c_stream__``: pyarrow arrays and chunked
arrays, DuckDB results, ...) is read by the compiled conversion through the
Arrow C data interface, nulls as NaN, in place where it is one float64 chunk
without nulls.  Its result comes back as a pyarrow array (or a chunked array
of one chunk) for pyarrow input, else as a NumPy array.

Neither library is imported by zelvo; the objects given are recognised by the
module and name of their classes, and the libraries are only used here, once
their objects are already in hand.
"""
from __future__ import annotations

import numpy as np

from ._catalog import FUNCTIONS


_FAMILIES: dict = {}      # type -> family, for the types seen so far


def family(obj) -> tuple[str, str] | None:
    """("pandas" or "polars", "Series" or "DataFrame"), or None."""
    t = type(obj)
    try:
        return _FAMILIES[t]
    except KeyError:
        pass
    found = None
    for cls in t.__mro__:
        lib = cls.__module__.partition(".")[0]
        if lib in ("pandas", "polars") and cls.__name__ in ("Series", "DataFrame"):
            found = (lib, cls.__name__)
            break
    if len(_FAMILIES) < 64:
        _FAMILIES[t] = found
    return found


def arrow_source(obj) -> str | None:
    """The top-level module of the type of an object that offers Arrow data
    (and is no pandas or polars object), or None."""
    t = type(obj)
    if family(obj) is None and (hasattr(t, "__arrow_c_array__")
                                or hasattr(t, "__arrow_c_stream__")):
        return t.__module__.partition(".")[0]
    return None


def arrow_like(first, r: np.ndarray):
    """A result as the kind of Arrow object ``first`` is, where it is pyarrow's."""
    if arrow_source(first) != "pyarrow":
        return r
    import pyarrow as pa
    if isinstance(first, pa.ChunkedArray):
        return pa.chunked_array([r])
    return pa.array(r)


# The positions and names of the series arguments of each function.
_SERIES = {name: [(i, a) for i, (a, kind) in enumerate(f.args) if kind != "i"]
           for name, f in FUNCTIONS.items()}


def _numeric(lib: str, dtype) -> bool:
    """Whether a pandas or polars dtype holds bool, int or float values
    (nullable and Arrow-backed ones included)."""
    if lib == "pandas":
        return getattr(dtype, "kind", "O") in "biuf"
    return dtype.is_numeric() or str(dtype) == "Boolean"


def _refuse(what: str, lib: str, kind: str, dtype, column=None):
    where = f"{what} column {column!r}" if column is not None else what
    thing = "column" if column is not None else kind
    raise TypeError(f"{where} must hold bool, int or float values; got a {lib} {thing} "
                    f"of dtype {dtype}")


def _values(what: str, obj, fam):
    """The float64 values of a pandas or polars object: missing values as NaN,
    columns that do not hold numbers refused by name."""
    lib, kind = fam
    if kind == "DataFrame":
        for column, dtype in (obj.dtypes.items() if lib == "pandas"
                              else zip(obj.columns, obj.dtypes)):
            if not _numeric(lib, dtype):
                _refuse(what, lib, kind, dtype, column)
    elif not _numeric(lib, obj.dtype):
        _refuse(what, lib, kind, obj.dtype)
    if lib == "pandas":
        return obj.to_numpy(dtype=np.float64, na_value=np.nan)
    import polars as pl
    return obj.cast(pl.Float64).to_numpy()


def to_float64(obj, what: str) -> np.ndarray:
    """``obj`` as float64 values: the one conversion of user data for every
    entry of the package (the functions, formulas, streams, Dask and the
    command line).  Arrays and anything NumPy reads must hold bool, int or
    float values; pandas and polars objects give their values with missing
    ones as NaN.  Refusals raise TypeError or ValueError naming ``what``
    (for example "the column 'Close'")."""
    from . import _api

    fam = family(obj)
    if fam is not None:
        obj = _values(what, obj, fam)
    return _api._float64(obj, what)


def same_labels(obj0, obj1, what: str) -> None:
    """Two pandas objects must share their index (and their columns when both
    are DataFrames), two polars DataFrames their columns: zelvo never aligns
    them.  ``what`` names the pair ("MA() arguments 'a' and 'b'")."""
    fam0, fam1 = family(obj0), family(obj1)
    if fam0[0] == "polars":
        if fam0 == fam1 == ("polars", "DataFrame") and obj0.columns != obj1.columns:
            raise ValueError(f"{what} are polars DataFrames with different columns; zelvo "
                             "does not align them (select the columns in one order first)")
        return
    axes = ["index"] + (["columns"] if fam0[1] == "DataFrame" and fam1 == fam0 else [])
    for axis in axes:
        a, b = getattr(obj0, axis), getattr(obj1, axis)
        if a is not b and not a.equals(b):
            raise ValueError(f"{what} are pandas objects with different {axis}; zelvo does "
                             "not align them (reindex one to the other first)")


def call(module, name: str, values: tuple, axis):
    """Calls <module>.<name> (the compiled function) on the NumPy values of
    `values`; `axis` is None when the caller did not give it."""
    arrays = list(values)
    lead = None            # (family, object) of the first series argument
    pandas_first = None    # (argument name, object) of the first pandas argument
    frames = False         # a DataFrame is among the arguments
    for i, arg in _SERIES[name]:
        v = values[i]
        fam = family(v)
        if fam is None:
            if arrow_source(v) is not None:
                arrays[i] = to_float64(v, f"{name}() argument '{arg}'")
                if lead is None:
                    lead = (("arrow", ""), v)
            elif lead is None and np.ndim(v) > 0:
                lead = (None, v)
            continue
        if lead is None:
            lead = (fam, v)
        frames = frames or fam[1] == "DataFrame"
        if fam[0] == "pandas":
            if pandas_first is None:
                pandas_first = (arg, v)
            else:
                same_labels(pandas_first[1], v,
                            f"{name}() arguments '{pandas_first[0]}' and '{arg}'")
        arrays[i] = _values(f"{name}() argument '{arg}'", v, fam)

    # A DataFrame among the arguments puts time down its index, whatever decides
    # the kind of the result.
    if frames:
        if axis is not None and axis not in (0, -2):
            raise ValueError(f"{name}() computes a DataFrame down its columns (its index is "
                             f"the time axis): axis must be 0 or left out, got {axis!r}")
        axis = 0
    function = getattr(module, name)
    r = function(*arrays) if axis is None else function(*arrays, axis=axis)
    fam, first = lead
    if fam is None:
        return r
    lib, kind = fam
    if lib == "arrow":
        return arrow_like(first, r)
    if lib == "pandas":
        import pandas as pd
        if kind == "Series":
            return pd.Series(r, index=first.index, name=first.name, copy=False)
        return pd.DataFrame(r, index=first.index, columns=first.columns, copy=False)
    import polars as pl
    if kind == "Series":
        return pl.Series(first.name, r)
    return pl.DataFrame(r, schema=first.columns, orient="row")
