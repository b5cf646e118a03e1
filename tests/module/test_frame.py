"""The module's call frame on MA: argument parsing, array acceptance, integer
conversion, lifecycle and reference hygiene."""
import array
import ctypes
import sys

import numpy as np
import pytest

import subinterp
import zelvo._zelvo as z

A = np.arange(1.0, 6.0)


def raises(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    return info


# (call, exception, exact message)
PARSER_CASES = [
    (lambda: z.MA(A), TypeError, "MA() takes exactly 2 positional arguments (1 given)"),
    (lambda: z.MA(A, 2, 3), TypeError, "MA() takes exactly 2 positional arguments (3 given)"),
    (lambda: z.MA(), TypeError, "MA() takes exactly 2 positional arguments (0 given)"),
    (lambda: z.MA(a=A), TypeError, "MA() takes exactly 2 positional arguments (1 given)"),
    (lambda: z.MA(N=2), TypeError, "MA() takes exactly 2 positional arguments (0 given)"),
    (lambda: z.MA(A, 2, 3, N=1), TypeError, "MA() takes exactly 2 positional arguments (3 given)"),
    (lambda: z.MA(A, N=2, a=A), TypeError, "MA() got multiple values for keyword argument 'a'"),
    (lambda: z.MA(A, 2, n=3), TypeError, "MA() got an unexpected keyword argument 'n'"),
    (lambda: z.MA(A, n=3), TypeError, "MA() takes exactly 2 positional arguments (1 given)"),
    (lambda: z.SMA(A, M=1), TypeError, "SMA() takes exactly 3 positional arguments (1 given)"),
    (lambda: z.SMA(a=A, N=1), TypeError, "SMA() takes exactly 3 positional arguments (2 given)"),
    (lambda: z.MA(A, True), TypeError,
     "Argument 'N' has incorrect type (expected int, got bool)"),
    (lambda: z.MA(A, 5.0), TypeError,
     "Argument 'N' has incorrect type (expected int, got float)"),
    (lambda: z.MA(A, np.int64(5)), TypeError,
     "Argument 'N' has incorrect type (expected int, got numpy.int64)"),
    (lambda: z.SMA(A, 5.0, 2.5), TypeError,
     "Argument 'N' has incorrect type (expected int, got float)"),
    (lambda: z.SMA(A, 5, 2.5), TypeError,
     "Argument 'M' has incorrect type (expected int, got float)"),
    # the type test runs before any array is looked at
    (lambda: z.MA(None, "5"), TypeError,
     "Argument 'N' has incorrect type (expected int, got str)"),
]

CONVERSION_CASES = [
    (lambda: z.MA(A, None), TypeError, "an integer is required"),
    (lambda: z.MA(np.zeros(0), None), IndexError, "Out of bounds on buffer access (axis 0)"),
    (lambda: z.MA(A, 2**31), OverflowError, "value too large to convert to int"),
    (lambda: z.MA(A, -2**31 - 1), OverflowError, "value too large to convert to int"),
    (lambda: z.MA(A, 2**63), OverflowError, "Python int too large to convert to C long"),
    (lambda: z.SMA(A, 3, None), TypeError, "an integer is required"),
    (lambda: z.MA(None, 2), TypeError, "object of type 'NoneType' has no len()"),
    (lambda: z.MA(5, 2), TypeError, "object of type 'int' has no len()"),
]


def _ba_view(fmt, n=3):
    return memoryview(bytearray(8 * n)).cast("B").cast(fmt)


ACCEPTANCE_CASES = [
    (np.zeros(3, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.zeros(3, np.int64), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.zeros(3, bool), ValueError, "Buffer dtype mismatch, expected 'double' but got 'bool'"),
    (np.zeros(3, np.int8), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'signed char'"),
    (np.zeros(3, np.uint64), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'unsigned long'"),
    (np.zeros(3, np.complex128), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (np.zeros(3, np.longdouble), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'long double'"),
    (np.zeros(3, [("x", "f8")]), ValueError,
     "Buffer dtype mismatch, expected 'double' but got a struct"),
    (np.zeros(3, object), ValueError,
     "Buffer dtype mismatch, expected 'double' but got Python object"),
    (np.zeros(3, "S3"), ValueError, "Buffer dtype mismatch, expected 'double' but got a string"),
    (np.zeros(3, ">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(3, np.float16), ValueError,
     "Does not understand character buffer dtype format string ('e')"),
    (np.zeros((3, 2)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros(()), TypeError, "len() of unsized object"),
    ((ctypes.c_longdouble * 3)(), ValueError,
     "Python does not define a standard format string size for long double ('g').."),
    (array.array("f", [1, 2]), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.zeros(0), IndexError, "Out of bounds on buffer access (axis 0)"),
]


@pytest.mark.parametrize("call,exc,message", PARSER_CASES + CONVERSION_CASES)
def test_parser_and_conversion(call, exc, message):
    info = raises(call, exc, message)
    assert info.traceback[-1].name.startswith("zelvo._zelvo.") or exc is not TypeError \
        or "len()" in message


@pytest.mark.parametrize("arg,exc,message", ACCEPTANCE_CASES)
def test_array_acceptance(arg, exc, message):
    info = raises(lambda: z.MA(arg, 2), exc, message)
    assert info.traceback[-1].name == "zelvo._zelvo.MA"


@pytest.mark.parametrize("arg", [
    np.arange(6.0)[::2],                                       # strided
    np.frombuffer(np.arange(3.0).tobytes()),                   # read-only
    [1.0, 2.0, 3.0],                                           # no buffer
])
def test_buffer_request_refusals_propagate(arg):
    with pytest.raises((ValueError, TypeError)):
        z.MA(arg, 2)


@pytest.mark.parametrize("arg", [
    array.array("d", [1, 2, 3]), (ctypes.c_double * 3)(1, 2, 3), _ba_view("d"),
    np.arange(6.0).reshape(2, 3)[1], np.arange(1.0)[::5],      # one element: any stride
])
def test_other_exporters_accepted(arg):
    expected = z.MA(np.array(list(memoryview(arg).cast("B").cast("d"))), 1)
    assert np.array_equal(z.MA(arg, 1), expected, equal_nan=True)


def test_success_shape_and_inputs_untouched():
    a = np.array([3.0, np.nan, 5.0])
    before = a.copy()
    r = z.MA(a, 2)
    assert r.dtype == np.float64 and r.shape == (3,) and r.flags.c_contiguous and r.base is None
    assert np.array_equal(a.view(np.uint64), before.view(np.uint64))
    assert r is not z.MA(a, 2)
    assert np.array_equal(z.MA(a=a, N=2), r, equal_nan=True)
    assert np.array_equal(z.MA(N=2, a=a), r, equal_nan=True)


@pytest.mark.parametrize("n", [0, -1])
def test_core_refusal_gives_zeros(n):
    assert z.MA(A, n).tolist() == [0.0] * 5
    assert z.MA_A(A, np.ones(3)).tolist() == [0.0] * 5


class LyingLength(np.ndarray):
    claimed = 0

    def __len__(self):
        return self.claimed


def liar(n, claimed, dtype=np.float64):
    a = np.arange(n, dtype=dtype).view(LyingLength)
    a.claimed = claimed
    return a


@pytest.mark.parametrize("claimed", [2, 10])
def test_lying_length_refused(claimed):
    a = liar(5, claimed)
    raises(lambda: z.MA_A(np.ones(claimed), a), ValueError,
           f"MA_A() argument 'N' reports len() {claimed} but its buffer holds 5 elements")
    raises(lambda: z.BARSINCE(a), ValueError,
           f"BARSINCE() argument 'x' reports len() {claimed} but its buffer holds 5 elements")


def test_length_beyond_int_refused_not_truncated():
    a = liar(3, 2**31 + 3)   # would truncate to 3 in 32 bits
    with pytest.raises((OverflowError, MemoryError)) as info:
        z.MA(a, 2)
    if info.type is OverflowError:
        assert str(info.value) == ("MA() argument 'a' has 2147483651 elements; "
                                   "at most 2147483647 are supported")


def test_real_array_beyond_int_refused():
    try:
        big = np.zeros(2**31 + 1)     # calloc'd: no page is touched
    except MemoryError:
        pytest.skip("no address space for a 16 GiB array")
    raises(lambda: z.MA(big, 5), OverflowError,
           "MA() argument 'a' has 2147483649 elements; at most 2147483647 are supported")


def test_buffers_released_on_every_path():
    ba = bytearray(8 * 4)
    mv = memoryview(ba).cast("d")
    z.MA(mv, 2)                      # success
    with pytest.raises(TypeError):
        z.MA(mv, None)               # failure after the views were taken
    with pytest.raises(IndexError):
        z.CROSS(mv, np.zeros(0))
    mv.release()                     # raises BufferError if an export is still held
    ba.extend(b"x")


def test_namespace_and_function_objects():
    keys = list(vars(z))
    funcs = keys[keys.index("np") + 1:keys.index("__test__")]
    assert keys.index("__builtins__") == keys.index("np") - 1 and keys[-1] == "__test__"
    assert z.__test__ == {} and z.__doc__ is None and z.np is np
    for name in funcs:
        f = getattr(z, name)
        assert (f.__module__, f.__doc__, f.__self__, f.__name__) == ("zelvo._zelvo", None, None, name)


def test_second_import_same_object():
    import importlib

    saved = sys.modules.pop("zelvo._zelvo")
    try:
        again = importlib.import_module("zelvo._zelvo")
        assert again is saved
        assert importlib.reload(saved) is saved
    finally:
        sys.modules["zelvo._zelvo"] = saved


def test_np_rebound_or_deleted():
    import builtins

    class FakeNp:
        float64, uint8 = np.float64, np.uint8

        @staticmethod
        def zeros(n, dtype):
            return np.full(n, 7.0)

    try:
        z.np = FakeNp
        assert z.MA(A, 0).tolist() == [7.0] * 5       # core refused: the fake result stays
        del z.np
        raises(lambda: z.MA(A, 2), NameError, "name 'np' is not defined")
        builtins.np = np
        assert z.MA(A, 0).tolist() == [0.0] * 5
    finally:
        z.np = np
        if hasattr(builtins, "np"):
            del builtins.np
    assert z.MA(A, 0).tolist() == [0.0] * 5


def test_result_that_lies_is_refused():
    class ShortZeros:
        float64 = np.float64

        @staticmethod
        def zeros(n, dtype):
            return liar(2, n)

    try:
        z.np = ShortZeros
        raises(lambda: z.MA(A, 2), ValueError,
               "MA() argument 'result' reports len() 5 but its buffer holds 2 elements")
    finally:
        z.np = np


def _import_in_new_interpreter(isolated):
    """The message `import zelvo._zelvo` fails with in a new sub-interpreter
    (isolated, or sharing the main one's GIL and settings), None if it works."""
    if subinterp.module() is None:
        pytest.skip("this Python has no sub-interpreters")
    return subinterp.run(f"import sys; sys.path[:] = {sys.path!r}; import zelvo._zelvo", isolated)


@pytest.mark.parametrize("isolated", [True, False], ids=["isolated", "legacy"])
def test_second_interpreter_refused(isolated):
    message = _import_in_new_interpreter(isolated)
    assert message is not None
    if isolated and sys.version_info >= (3, 12):
        # The module declares it does not support sub-interpreters, so an
        # isolated one refuses it before the module is created.
        assert "module zelvo._zelvo does not support loading in subinterpreters" in message
    else:
        assert "zelvo runs in one interpreter per process" in message
