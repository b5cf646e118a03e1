"""Hostile arguments in every position of every module function.

Each argument is drawn either as an acceptable value or as one of many
unacceptable ones (wrong containers, every NumPy dtype and byte order, wrong
dimension counts, strides, read-only buffers, empty arrays, None, objects
whose __len__ or astype lies, integers of any size and non-integers).  Every
drawn value knows the stage of the call frame at which it fails and with
which exception and message; the call must raise exactly the one of the
earliest failing argument, or return a fresh float64 array of the first
argument's length.  Never SystemError, never a crash.

Stages, in the order the call frame runs them: the parser's exact-int test
(in argument order), len() of the first argument, the condition argument's
astype, the buffer views (in argument order), then per argument in order
the element-0 check and len() of an array, or the C int conversion of an
integer.  (len() itself runs before the views, so that no Python code runs
once they are taken; an error it raised is reported at this stage.)
"""
import array
import ctypes
import decimal
import fractions
import warnings
from typing import Callable, NamedTuple, Optional

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from strategies import any_float

import zelvo._zelvo as z
from catalog import KINDS as FUNCTIONS, POSITIONAL_ONLY, argnames

PARSE, LEN, ASTYPE, VIEW, CHECK = range(5)
INT_MAX = 2**31 - 1


# Exceptions a caller may see.  BufferError is what CPython's own exporters
# (bytes, read-only or strided memoryviews) raise when a writable
# contiguous buffer is refused; it reaches the caller unchanged.
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, AttributeError, NameError,
           BufferError)


class Case(NamedTuple):
    value: object
    label: str
    stage: Optional[int] = None      # None: accepted
    exc: Optional[type] = None
    message: Optional[str] = None    # None: the exporter's own wording
    mismatched: bool = False         # accepted, but its length differs from the first's
    after: Optional[Callable[[], None]] = None


def ok(value, label, **kw):
    return Case(value, label, **kw)


def bad(value, label, stage, exc, message=None, **kw):
    return Case(value, label, stage, exc, message, **kw)


OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"


def no_len(v):
    return f"object of type '{type(v).__name__}' has no len()"


def not_bytes_like(v):
    return f"a bytes-like object is required, not '{type(v).__name__}'"


def dims(got):
    return f"Buffer has wrong number of dimensions (expected 1, got {got})"


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


# dtype: the message refusing it as a numeric series
DTYPE_REFUSALS = {
    "?": mismatch("double", "'bool'"), "b": mismatch("double", "'signed char'"),
    "B": mismatch("double", "'unsigned char'"), "h": mismatch("double", "'short'"),
    "H": mismatch("double", "'unsigned short'"), "i": mismatch("double", "'int'"),
    "I": mismatch("double", "'unsigned int'"), "l": mismatch("double", "'long'"),
    "L": mismatch("double", "'unsigned long'"), "q": mismatch("double", "'long long'"),
    "Q": mismatch("double", "'unsigned long long'"), "f": mismatch("double", "'float'"),
    "g": mismatch("double", "'long double'"), "F": mismatch("double", "'complex float'"),
    "D": mismatch("double", "'complex double'"),
    "G": mismatch("double", "'complex long double'"),
    "O": mismatch("double", "Python object"), "S4": mismatch("double", "a string"),
    "f8,i4": mismatch("double", "a struct"),
    "e": "Does not understand character buffer dtype format string ('e')",
    "U2": "Does not understand character buffer dtype format string ('w')",
    "V8": "Does not understand character buffer dtype format string ('x')",
    ">f8": "Big-endian buffer not supported on little-endian compiler",
    ">i4": "Big-endian buffer not supported on little-endian compiler",
    "M8[s]": None, "m8[ms]": None,   # NumPy refuses to export these itself
}
ARRAY_REFUSALS = {
    "b": mismatch("double", "'signed char'"), "B": mismatch("double", "'unsigned char'"),
    "h": mismatch("double", "'short'"), "i": mismatch("double", "'int'"),
    "l": mismatch("double", "'long'"), "Q": mismatch("double", "'unsigned long long'"),
    "f": mismatch("double", "'float'"),
}


class LyingLength(np.ndarray):
    """An array whose len() is whatever it was told to say."""
    claimed = 0

    def __len__(self):
        return self.claimed


def liar(base, claimed):
    a = base.view(LyingLength)
    a.claimed = claimed
    return a


class FakeCondition:
    """len() of n and an astype that hands back whatever it was given."""

    def __init__(self, n, converted):
        self.n, self.converted = n, converted

    def __len__(self):
        return self.n

    def astype(self, dtype):
        if isinstance(self.converted, Exception):
            raise self.converted
        return self.converted


class NotCallableAstype:
    astype = 5

    def __len__(self):
        return 3


class MyInt(int):
    pass


def length_lies(n, pos, func, arg, base):
    """Cases of an array whose __len__ disagrees with its buffer of n elements."""
    at_len = LEN if pos == 0 else CHECK
    for claimed in (0, n - 1, n + 1, 2 * n + 5):
        if claimed != n and claimed >= 0:
            yield bad(liar(base, claimed), f"len {claimed}", CHECK, ValueError,
                      f"{func}() argument '{arg}' reports len() {claimed} but its buffer "
                      f"holds {n} elements")
    for claimed in (INT_MAX + 1, 2**40, 2**62):
        yield bad(liar(base, claimed), f"len {claimed}", at_len, OverflowError,
                  f"{func}() argument '{arg}' has {claimed} elements; at most 2147483647 are "
                  f"supported")
    yield bad(liar(base, -1), "len -1", at_len, ValueError, "__len__() should return >= 0")
    yield bad(liar(base, 2**64), "len 2**64", at_len, OverflowError,
              "cannot fit 'int' into an index-sized integer")
    yield bad(liar(base, 1.5), "len 1.5", at_len, TypeError,
              "'float' object cannot be interpreted as an integer")


def released_after(mv):
    """A check that the module let go of the memoryview's buffer."""
    return mv.release   # raises BufferError while an export is still held


def numeric_cases(n, pos, func, arg, values):
    x = np.array(values, dtype=np.float64)
    yield ok(x, "float64")
    yield ok(np.array(values, dtype="<f8"), "<f8")
    yield ok(array.array("d", values), "array d")
    yield ok((ctypes.c_double * n)(*values), "ctypes double")
    yield ok(np.concatenate([x, x])[n:], "contiguous slice")
    ba = bytearray(np.array(values).tobytes())
    mv = memoryview(ba).cast("d")
    yield ok(mv, "memoryview d", after=released_after(mv))
    if n == 1:
        yield ok(np.array(values * 3)[::3], "one element, any stride")
    if pos > 0:
        for m in {1, n + 1, max(n - 1, 1)} - {n}:
            yield ok(np.ones(m), f"length {m}", mismatched=True)
    # refused
    yield bad(np.zeros(0), "empty", CHECK, IndexError, OUT_OF_BOUNDS)
    yield bad(None, "None", *((LEN, TypeError, no_len(None)) if pos == 0
                              else (CHECK, IndexError, OUT_OF_BOUNDS)))
    for v in (3, 2.5, 1j):
        yield bad(v, type(v).__name__, *((LEN, TypeError, no_len(v)) if pos == 0
                                         else (VIEW, TypeError, not_bytes_like(v))))
    for v in (list(values), tuple(values), "abc"[:n] or "a"):
        yield bad(v, type(v).__name__, VIEW, TypeError, not_bytes_like(v))
    yield bad(bytes(8 * n), "bytes", VIEW, BufferError)
    for dtype, message in DTYPE_REFUSALS.items():
        yield bad(np.zeros(n, dtype), f"dtype {dtype}", VIEW, ValueError, message)
    for code, message in ARRAY_REFUSALS.items():
        yield bad(array.array(code, [0] * n), f"array {code}", VIEW, ValueError, message)
    yield bad(np.zeros((n, 2)), "2-d", VIEW, ValueError, dims(2))
    yield bad(np.zeros((n, 1, 1)), "3-d", VIEW, ValueError, dims(3))
    yield bad(np.zeros(()), "0-d",
              *((LEN, TypeError, "len() of unsized object") if pos == 0
                else (VIEW, ValueError, dims(0))))
    ro = x.copy()
    ro.flags.writeable = False
    yield bad(ro, "read-only", VIEW, ValueError)
    if n >= 2:
        yield bad(np.repeat(x, 2)[::2], "strided", VIEW, ValueError)
        yield bad(x[::-1], "reversed", VIEW, ValueError)
        smv = memoryview(bytearray(16 * n)).cast("d")[::2]
        yield bad(smv, "strided memoryview", VIEW, BufferError, after=released_after(smv))
    rmv = memoryview(bytes(8 * n)).cast("d")
    yield bad(rmv, "read-only memoryview", VIEW, BufferError, after=released_after(rmv))
    fmv = memoryview(bytearray(8 * n)).cast("f")
    yield bad(fmv, "memoryview f", VIEW, ValueError, mismatch("double", "'float'"),
              after=released_after(fmv))
    dmv = memoryview(bytearray(8 * n)).cast("B").cast("d", [n, 1])
    yield bad(dmv, "memoryview 2-d", VIEW, ValueError, dims(2), after=released_after(dmv))
    yield from length_lies(n, pos, func, arg, x.copy())


COND_DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", ">f8",
               ">i4", "O"]


def condition_cases(n, func, arg, flags):
    values = [float(v % 3) / (2 if v % 5 == 4 else 1) for v in flags]   # 0, 0.5, 1, 2
    for dtype in COND_DTYPES:
        a = np.array(values, dtype=np.float64).astype(dtype)
        yield ok(a, f"dtype {dtype}")
        ro = a.copy()
        ro.flags.writeable = False
        yield ok(ro, f"read-only {dtype}")
        yield ok(np.repeat(a, 3)[::3], f"strided {dtype}")
    yield ok(FakeCondition(n, bytearray(n)), "astype gives a bytearray")
    yield ok(FakeCondition(n, np.ones(n, np.uint8)), "astype gives uint8")
    # refused
    yield bad(np.zeros(0), "empty", CHECK, IndexError, OUT_OF_BOUNDS)
    yield bad(None, "None", LEN, TypeError, no_len(None))
    yield bad(3, "int", LEN, TypeError, no_len(3))
    for v in (list(values), tuple(values)):
        yield bad(v, type(v).__name__, ASTYPE, AttributeError,
                  f"'{type(v).__name__}' object has no attribute 'astype'")
    yield bad(np.zeros((n, 2)), "2-d", VIEW, ValueError, dims(2))
    yield bad(np.zeros(()), "0-d", LEN, TypeError, "len() of unsized object")
    yield from length_lies(n, 0, func, arg, np.ones(n))
    fake = [
        (np.ones(n + 1, np.uint8), CHECK, ValueError,
         f"{func}() argument '{arg}' reports len() {n} but its buffer holds {n + 1} elements"),
        (np.ones((n, 2), np.uint8), VIEW, ValueError, dims(2)),
        (list(range(n)), VIEW, TypeError, "a bytes-like object is required, not 'list'"),
        (None, CHECK, IndexError, OUT_OF_BOUNDS),
        (np.zeros(n), VIEW, ValueError, mismatch("uint8_t", "'double'")),
        (np.zeros(n, np.int8), VIEW, ValueError, mismatch("uint8_t", "'signed char'")),
        (np.zeros(n, ">u2"), VIEW, ValueError,
         "Big-endian buffer not supported on little-endian compiler"),
        (np.frombuffer(bytes(n), np.uint8), VIEW, ValueError, None),
        (bytes(n), VIEW, BufferError, None),
        (ValueError("refused"), ASTYPE, ValueError, "refused"),
        (AttributeError("no astype today"), ASTYPE, AttributeError, "no astype today"),
    ]
    for converted, stage, exc, message in fake:
        yield bad(FakeCondition(n, converted), f"astype gives {type(converted).__name__}",
                  stage, exc, message)
    if n == 3:
        yield bad(NotCallableAstype(), "astype not callable", ASTYPE, TypeError,
                  "'int' object is not callable")


def wrong_type(arg, value, type_name):
    return bad(value, f"{type_name} {value!r}", PARSE, TypeError,
               f"Argument '{arg}' has incorrect type (expected int, got {type_name})")


def integer_cases(arg):
    return [
        wrong_type(arg, True, "bool"), wrong_type(arg, False, "bool"),
        wrong_type(arg, 5.0, "float"), wrong_type(arg, float("nan"), "float"),
        wrong_type(arg, np.int64(3), "numpy.int64"), wrong_type(arg, np.int32(3), "numpy.int32"),
        wrong_type(arg, np.float64(3), "numpy.float64"), wrong_type(arg, "3", "str"),
        wrong_type(arg, [3], "list"), wrong_type(arg, fractions.Fraction(1, 2), "Fraction"),
        wrong_type(arg, decimal.Decimal(3), "decimal.Decimal"), wrong_type(arg, MyInt(3), "MyInt"),
        wrong_type(arg, 3j, "complex"), wrong_type(arg, np.ones(2), "numpy.ndarray"),
        bad(None, "None", CHECK, TypeError, "an integer is required"),
    ]


def int_strategy(arg, n):
    valid = st.one_of(st.integers(-3, n + 3), st.integers(-2**31, 2**31 - 1),
                      st.sampled_from([-2**31, 2**31 - 1, 0, 1]))
    too_big = st.one_of(st.integers(2**31, 2**63 - 1), st.integers(-2**63, -2**31 - 1))
    huge = st.one_of(st.integers(min_value=2**63), st.integers(max_value=-2**63 - 1))
    return st.one_of(
        valid.map(lambda v: ok(v, f"int {v}")),
        too_big.map(lambda v: bad(v, f"int {v}", CHECK, OverflowError,
                                  "value too large to convert to int")),
        huge.map(lambda v: bad(v, f"int {v}", CHECK, OverflowError,
                               "Python int too large to convert to C long")),
        st.integers(0, len(integer_cases(arg)) - 1).map(lambda i: integer_cases(arg)[i]),
    )


@st.composite
def arguments(draw, name):
    n = draw(st.integers(1, 12))
    out = []
    for pos, (kind, arg) in enumerate(zip(FUNCTIONS[name], argnames(name))):
        if kind == "I":
            out.append(draw(int_strategy(arg, n)))
            continue
        if kind == "C":
            flags = draw(st.lists(st.integers(0, 255), min_size=n, max_size=n))
            cases = list(condition_cases(n, name, arg, flags))
        else:
            values = draw(st.lists(any_float, min_size=n, max_size=n))
            cases = list(numeric_cases(n, pos, name, arg, values))
        good = [c for c in cases if c.stage is None]
        # Half the draws accepted, so later positions are reached as often.
        pool = good if draw(st.booleans()) else cases
        out.append(pool[draw(st.integers(0, len(pool) - 1))])
    by_keyword = name not in POSITIONAL_ONLY and draw(st.booleans())
    return n, out, by_keyword


def expected_failure(cases):
    failing = [(c.stage, pos, c) for pos, c in enumerate(cases) if c.stage is not None]
    return min(failing, key=lambda t: t[:2])[2] if failing else None


def check_call(name, n, cases, by_keyword):
    f = getattr(z, name)
    args = [c.value for c in cases]
    want = expected_failure(cases)
    labels = [c.label for c in cases]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")     # NumPy's casting warnings in astype
            if by_keyword:
                r = f(**dict(zip(argnames(name), args)))
            else:
                r = f(*args)
    except Exception as e:  # noqa: BLE001 - the type is the point of the test
        assert not isinstance(e, SystemError), (labels, e)
        assert isinstance(e, ALLOWED), (labels, type(e), e)
        assert want is not None, f"{name}{labels} raised {type(e).__name__}: {e}"
        assert type(e) is want.exc, (labels, want.label, type(e), e)
        if want.message is not None:
            assert str(e) == want.message, (labels, want.label, str(e))
    else:
        assert want is None, f"{name}{labels} returned; expected {want.exc.__name__} " \
                             f"for {want.label}"
        assert type(r) is np.ndarray and r.dtype == np.float64, (labels, r)
        assert r.shape == (n,) and r.flags.c_contiguous and r.flags.writeable, (labels, r.shape)
        assert all(r is not a for a in args)
        if any(c.mismatched for c in cases):
            assert not r.any(), (labels, r)
    for c in cases:
        if c.after is not None:
            c.after()


@pytest.mark.parametrize("name", list(FUNCTIONS))
@settings(max_examples=120, deadline=None)
@given(data=st.data())
def test_hostile_arguments(name, data):
    n, cases, by_keyword = data.draw(arguments(name))
    check_call(name, n, cases, by_keyword)


# ---- the cases above, each once, in every position ------------------------------

@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_every_case_in_every_position(name):
    """Each hostile case of each position once, the other positions valid:
    hypothesis samples; this walks the whole table."""
    n = 3
    kinds, names = FUNCTIONS[name], argnames(name)

    def valid(pos):
        kind = kinds[pos]
        if kind == "I":
            return ok(2, "int 2")
        if kind == "C":
            return ok(np.array([0, 1, 2], np.uint8), "uint8")
        return ok(np.array([1.0, 2.0, 3.0]), "float64")

    for pos, kind in enumerate(kinds):
        if kind == "I":
            pool = integer_cases(names[pos]) + [
                bad(2**31, "2**31", CHECK, OverflowError, "value too large to convert to int"),
                bad(-2**63 - 1, "-2**63-1", CHECK, OverflowError,
                    "Python int too large to convert to C long")]
        elif kind == "C":
            pool = list(condition_cases(n, name, names[pos], [0, 1, 4]))
        else:
            pool = list(numeric_cases(n, pos, name, names[pos], [1.0, -0.0, np.nan]))
        for case in pool:
            cases = [valid(p) for p in range(len(kinds))]
            cases[pos] = case
            check_call(name, n, cases, False)


# ---- regressions and whole-module cases -------------------------------------------

def test_huge_lying_length_refused_before_allocating():
    # len() of 2**40 used to reach numpy.zeros and raise MemoryError (or,
    # below the machine's memory, allocate gigabytes) before being refused.
    a = liar(np.ones(3), 2**40)
    for call in (lambda: z.MA(a, 2), lambda: z.BARSINCE(a), lambda: z.FIF(a, a, a),
                 lambda: z.CURRBARSCOUNT(a)):
        with pytest.raises(OverflowError, match=r"has 1099511627776 elements; at most "
                                                r"2147483647 are supported$"):
            call()


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_np_missing_is_name_error(name):
    kinds = FUNCTIONS[name]
    args = [2 if k == "I" else np.ones(3) for k in kinds]
    saved = z.np
    try:
        del z.np
        with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
            getattr(z, name)(*args)
    finally:
        z.np = saved
    assert getattr(z, name)(*args).shape == (3,)
