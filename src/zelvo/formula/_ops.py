"""The elementwise operations of the language, on NumPy arrays or numbers.

Each operation is defined once, in C++, in the stream extension
(``zelvo._stream``): a stream's graph nodes and the evaluation of a formula
over whole arrays run the same loops, and constant folding runs them on
one-element arrays, so a folded constant, a series and a stream all get the
same bits.  Each operation is pinned down there rather than left to NumPy's
choices where those are not promised (which zero MAX returns for 0 and -0,
the sign of the zero SIGN returns, POW of a NaN to the power 0):

* a value is **true** when its truncation toward zero is non-zero, that is
  when ``|x| >= 1``; NaN is false.  Comparisons, AND, OR and NOT give 1.0 or
  0.0; a comparison with NaN is false.
* ``MAX(a, b)`` is ``a`` where ``a > b``, else ``b`` (so MAX(0, -0) is -0 and
  MAX(-0, 0) is 0); ``MIN(a, b)`` is ``a`` where ``a < b``, else ``b``; NaN in
  either gives NaN.
* ``SIGN(x)`` is 1.0, -1.0 or +0.0 (for either zero), NaN for NaN.
* ``POW(a, b)`` is NumPy's ``power`` of two arrays (C ``pow``), whether an
  operand is a constant or not, except that NaN in either gives NaN.
* ``ABS SQRT LN LOG EXP`` are NumPy's ``abs sqrt log log10 exp``; ``+ - * /``
  and unary minus are IEEE double arithmetic.
"""
from __future__ import annotations

from typing import Callable

import numpy as np

from .. import _api, _stream

F64 = np.float64


def truth(x):
    """True where the truncation of x toward zero is non-zero (NaN false): the
    core's condition rule, through the package's module."""
    return _api._truth(x)


def _usable(out):
    """out when the loops can write into it, else None (a new array)."""
    if out is not None and out.dtype == F64 and out.flags.c_contiguous and out.flags.writeable:
        return out
    return None


def _binary(op: str) -> Callable:
    def run(a, b, out=None):
        out = _usable(out)
        r = _stream._elementwise(op, a, b, out)
        if r is NotImplemented:
            # Two shapes that broadcast: both in full, as C-contiguous arrays.
            a, b = (np.ascontiguousarray(v, dtype=F64)
                    for v in np.broadcast_arrays(np.asarray(a, dtype=F64),
                                                 np.asarray(b, dtype=F64)))
            r = _stream._elementwise(op, a, b, out if out is not None and
                                     out.shape == a.shape else None)
        return r
    run.__name__ = run.__qualname__ = f"binary {op}"
    return run


def _unary(op: str) -> Callable:
    def run(a, out=None):
        return _stream._elementwise(op, a, _usable(out))
    run.__name__ = run.__qualname__ = f"unary {op}"
    return run


_FUNCTIONS = ("MAX", "MIN", "POW")
BINOPS: dict[str, Callable] = {op: _binary(op) for op in _stream.BINARY_OPS
                               if op not in _FUNCTIONS}

#: Operators whose operands can be exchanged without changing a bit (apart
#: from which NaN payload wins), so ``A+B`` and ``B+A`` share one node.
COMMUTATIVE = frozenset({"+", "*", "==", "!=", "AND", "OR"})

UNOPS: dict[str, Callable] = {op: _unary(op) for op in _stream.UNARY_OPS}

BINFNS: dict[str, Callable] = {op: _binary(op) for op in _FUNCTIONS}


def select(c, a, b):
    """IF(c, a, b): a where c is true, else b, values copied as they are."""
    return np.where(truth(c), a, b)


def fold(fn: Callable, *values: float) -> float:
    """Apply an operation to numbers, as it would apply to every bar: on
    one-bar arrays, so the same loops run as on a series."""
    with np.errstate(all="ignore"):
        return float(np.reshape(fn(*(np.full(1, v, dtype=F64) for v in values)), -1)[0])
