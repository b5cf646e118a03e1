"""pandas and polars objects in and out of zelvo's functions.

The compiled functions (``zelvo._api``) read NumPy arrays, anything
``numpy.asarray`` reads, and numbers.  When an argument is a pandas or polars
Series or DataFrame they hand the call here: each such argument is unwrapped
to its NumPy values, the function is called again on those, and the result is
wrapped like the first series argument (numbers do not count): a Series keeps
its index and name, a DataFrame its index and columns.  A DataFrame is
computed down its columns, its index being the time axis.

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


# The positions and names of the series arguments of each function.
_SERIES = {name: [(i, a) for i, (a, kind) in enumerate(f.args) if kind != "i"]
           for name, f in FUNCTIONS.items()}


def _values(name, arg, obj, fam):
    """The NumPy values of a pandas or polars object: missing values as NaN."""
    lib, kind = fam
    values = obj.to_numpy()
    if values.dtype != object:
        return values
    try:
        if lib == "pandas":
            return obj.to_numpy(dtype=np.float64, na_value=np.nan)
        return obj.cast(float).to_numpy()
    except Exception as exc:
        dtypes = obj.dtypes if kind == "DataFrame" else obj.dtype
        raise TypeError(f"{name}() argument '{arg}' must hold bool, int or float values; "
                        f"got a {lib} {kind} of dtype {dtypes}") from exc


def _same_labels(name, first, other, fam):
    """Two pandas arguments must share their index (and columns): never aligned."""
    (arg0, obj0), (arg1, obj1) = first, other
    axes = ["index"] + (["columns"] if fam[1] == "DataFrame" and family(obj1) == fam else [])
    for axis in axes:
        a, b = getattr(obj0, axis), getattr(obj1, axis)
        if a is not b and not a.equals(b):
            raise ValueError(
                f"{name}() arguments '{arg0}' and '{arg1}' are pandas objects with different "
                f"{axis}; zelvo does not align them (reindex one to the other first)")


def call(module, name: str, values: tuple, axis):
    """Calls <module>.<name> (the compiled function) on the NumPy values of
    `values`; `axis` is None when the caller did not give it."""
    arrays = list(values)
    lead = None            # (family, object) of the first series argument
    pandas_first = None    # (argument name, object, family) of the first pandas argument
    frames = False         # a DataFrame is among the arguments
    for i, arg in _SERIES[name]:
        v = values[i]
        fam = family(v)
        if fam is None:
            if lead is None and np.ndim(v) > 0:
                lead = (None, v)
            continue
        if lead is None:
            lead = (fam, v)
        frames = frames or fam[1] == "DataFrame"
        if fam[0] == "pandas":
            if pandas_first is None:
                pandas_first = (arg, v, fam)
            else:
                _same_labels(name, pandas_first[:2], (arg, v), pandas_first[2])
        arrays[i] = _values(name, arg, v, fam)

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
    if lib == "pandas":
        import pandas as pd
        if kind == "Series":
            return pd.Series(r, index=first.index, name=first.name, copy=False)
        return pd.DataFrame(r, index=first.index, columns=first.columns, copy=False)
    import polars as pl
    if kind == "Series":
        return pl.Series(first.name, r)
    return pl.DataFrame(r, schema=first.columns, orient="row")
