"""The elementwise operations of the language, on NumPy arrays or numbers.

One definition serves both constant folding (on 0-d arrays) and evaluation,
so a folded constant has the bits the same operation gives on a series.
Each operation is pinned down here rather than left to NumPy's choices where
those are not promised (which zero MAX returns for 0 and -0, the sign of the
zero SIGN returns, POW of a NaN to the power 0):

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

from .. import _api

F64 = np.float64


def truth(x):
    """True where the truncation of x toward zero is non-zero (NaN false): the
    core's condition rule, through the package's module."""
    return _api._truth(x)


def _flag(mask):
    return np.asarray(mask, dtype=F64)


def _max(a, b):
    return np.where((a > b) | np.isnan(a), a, b)


def _min(a, b):
    return np.where((a < b) | np.isnan(a), a, b)


def _pow(a, b):
    # Both operands as full contiguous arrays: NumPy takes shortcuts for a
    # constant exponent (0.5 runs sqrt, which keeps the sign of -0), and POW
    # must not depend on whether an operand is a constant.
    # (A broadcast view has stride 0, which NumPy takes for a constant too.)
    a, b = np.asarray(a, dtype=F64), np.asarray(b, dtype=F64)
    shape = np.broadcast_shapes(a.shape, b.shape)
    a = a if a.shape == shape else np.array(np.broadcast_to(a, shape), order="C")
    b = b if b.shape == shape else np.array(np.broadcast_to(b, shape), order="C")
    return np.where(np.isnan(a) | np.isnan(b), np.nan, np.power(a, b))


BINOPS: dict[str, Callable] = {
    "+": np.add, "-": np.subtract, "*": np.multiply, "/": np.divide,
    ">": lambda a, b: _flag(np.greater(a, b)),
    "<": lambda a, b: _flag(np.less(a, b)),
    ">=": lambda a, b: _flag(np.greater_equal(a, b)),
    "<=": lambda a, b: _flag(np.less_equal(a, b)),
    "==": lambda a, b: _flag(np.equal(a, b)),
    "!=": lambda a, b: _flag(np.not_equal(a, b)),
    "AND": lambda a, b: _flag(truth(a) & truth(b)),
    "OR": lambda a, b: _flag(truth(a) | truth(b)),
}

#: Operators whose operands can be exchanged without changing a bit (apart
#: from which NaN payload wins), so ``A+B`` and ``B+A`` share one node.
COMMUTATIVE = frozenset({"+", "*", "==", "!=", "AND", "OR"})

UNOPS: dict[str, Callable] = {
    "NEG": np.negative,
    "NOT": lambda a: _flag(~truth(a)),
    "ABS": np.abs, "SQRT": np.sqrt, "LN": np.log, "LOG": np.log10, "EXP": np.exp,
    "SIGN": lambda a: np.sign(a) + 0.0,
}

BINFNS: dict[str, Callable] = {"MAX": _max, "MIN": _min, "POW": _pow}


def select(c, a, b):
    """IF(c, a, b): a where c is true, else b, values copied as they are."""
    return np.where(truth(c), a, b)


def fold(fn: Callable, *values: float) -> float:
    """Apply an operation to numbers, as it would apply to every bar: on
    one-bar arrays, so the same NumPy loops run as on a series."""
    with np.errstate(all="ignore"):
        return float(np.reshape(fn(*(np.full(1, v, dtype=F64) for v in values)), -1)[0])
