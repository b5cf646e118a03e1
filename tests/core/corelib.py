"""ctypes access to the core's exported symbols, and bit-level comparison.

The library is the installed module file (which exports the core) unless
ZELVO_CORE_LIB names another build of the core, such as a sanitized one.
"""
import ctypes
import math
import os

import numpy as np

from strategies import NEG_NAN, PAYLOAD_NAN, SNAN, from_bits as double_from_bits  # noqa: F401
from zelvo import _catalog

NAN_BITS = 0x7FF8000000000000
SENTINEL = -12345.678  # pre-filled into results to prove what is written
ERR_OK, ERR_SIZE_DISMATCH, ERR_PARAM_WRONG = 0, 1, 2


def _load():
    path = os.environ.get("ZELVO_CORE_LIB")
    if not path:
        import zelvo

        path = zelvo.get_library()
    return ctypes.CDLL(path)


lib = _load()
libc = ctypes.CDLL(None)

D = ctypes.POINTER(ctypes.c_double)
B = ctypes.POINTER(ctypes.c_ubyte)
I = ctypes.c_int
CTX = ctypes.c_int64

# Argument shapes after the context, by core function name: "x" a numeric
# array with its size, "c" a condition array with its size, "i" an int, and
# last "r", the result with its size.
FUNCTIONS = {f.core_name: f.kinds.replace("s", "x") + "r" for f in _catalog.FUNCTIONS.values()}


def _argtypes(shape):
    out = [CTX]
    for k in shape:
        out += {"x": [D, I], "c": [B, I], "i": [I], "r": [D, I]}[k]
    return out


def fn(name, dll=None):
    f = getattr(dll or lib, name)
    f.argtypes = _argtypes(FUNCTIONS[name])
    f.restype = ctypes.c_int
    return f


def f64(values):
    return np.ascontiguousarray(np.asarray(values, dtype=np.float64))


def u8(values):
    return np.ascontiguousarray(np.asarray(values, dtype=np.uint8))


def ptr(a):
    if a.dtype == np.uint8:
        return a.ctypes.data_as(B)
    return a.ctypes.data_as(D)


def call(name, *args, ctx=0, size_r=None, r=None, sizes=None, dll=None):
    """Calls a core function the way its shape says.

    Arrays are converted (numeric to float64, condition to uint8); ints pass
    as they are.  The result array is pre-filled with SENTINEL and sized like
    the first input unless `r` or `size_r` says otherwise.  `sizes` overrides
    the sizes passed for the input arrays; `dll` calls another build of the
    core than the installed one.  Returns (code, result array).
    """
    shape = FUNCTIONS[name]
    cargs = [ctx]
    keep = []
    arrays = iter(args)
    n_first = None
    k = 0
    for kind in shape[:-1]:
        v = next(arrays)
        if kind == "i":
            cargs.append(v)
            continue
        a = u8(v) if kind == "c" else f64(v)
        keep.append(a)
        n = len(a) if sizes is None else sizes[k]
        k += 1
        if n_first is None:
            n_first = len(a)
        cargs += [ptr(a), n]
    if r is None:
        r = np.full(n_first if size_r is None else max(size_r, 0), SENTINEL)
    cargs += [ptr(r), len(r) if size_r is None else size_r]
    rc = fn(name, dll)(*cargs)
    return rc, r


def bits(a):
    """Bit patterns of a float64 array (or scalar) as unsigned 64-bit ints."""
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and bool(np.array_equal(bits(a), bits(b)))


def assert_bits(got, expected):
    """Compares bit for bit.  math.nan is the exact quiet NaN the core writes
    for a missing bar; NaNs that arithmetic produces are spelled out (NEG_NAN
    for infinity minus infinity)."""
    got = np.asarray(got, dtype=np.float64)
    exp = np.array(expected, dtype=np.float64)
    exp_bits = exp.view(np.uint64)
    if exp.shape != got.shape or not np.array_equal(got.view(np.uint64), exp_bits):
        raise AssertionError(f"bits differ:\n got      {got!r}\n expected {exp!r}\n"
                             f" got bits {[hex(x) for x in got.view(np.uint64)]}")






# ---- calls with guards, and comparisons against a reference ------------------------

def run(name, *args, **kw):
    """Calls with two guard elements past the result: neither may change."""
    n = len(args[0])
    r = np.full(n + 2, SENTINEL)
    rc, r = call(name, *args, r=r, size_r=n, **kw)
    assert (r[n:] == SENTINEL).all(), "written past the end"
    return rc, r[:n]


def check(got, expected):
    """Bar by bar against a reference: None is the exact quiet NaN of a
    missing bar, a float NaN any NaN (its payload is the hardware's), any
    other value its exact bits."""
    assert len(got) == len(expected)
    for i, (g, e) in enumerate(zip(got, expected)):
        if e is None:
            ok = bits(g) == NAN_BITS
        elif math.isnan(e):
            ok = math.isnan(g)
        else:
            ok = bits(g) == bits(e)
        assert ok, f"bar {i}: got {g!r} ({hex(bits(g))}), expected {e!r}\n{got!r}"


def refused(name, *args, rc_expected, **kw):
    """The call fails with rc_expected and leaves the result untouched."""
    rc, r = call(name, *args, **kw)
    assert rc == rc_expected
    assert (r == SENTINEL).all()
