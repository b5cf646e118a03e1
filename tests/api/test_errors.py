"""Bad input raises, naming the function, the argument, what was given and
what is accepted; nothing comes back as a quiet array of zeros."""
import re

import numpy as np
import pytest

import zelvo
import zelvo._zelvo as exact

from peers import pd, pl
from zelvo._containers import to_float64

A = np.arange(1.0, 11.0)
P = np.arange(20.0).reshape(2, 10)


def row(name, call, error, message, *marks):
    return pytest.param(call, error, message, id=name, marks=marks)


needs_pd = pytest.mark.skipif(pd is None, reason="pandas is not installed")

CASES = [
    # windows
    row("window below range", lambda: zelvo.MA(A, 0), ValueError,
        "MA() argument 'N' must be from 1 to 2147483647; got 0"),
    row("negative window", lambda: zelvo.EMA(A, -1), ValueError,
        "EMA() argument 'N' must be from 0 to 2147483647; got -1"),
    row("window above range", lambda: zelvo.SUM(A, 2**31), ValueError,
        "SUM() argument 'N' must be from 0 to 2147483647; got 2147483648"),
    row("window beyond 64 bits", lambda: zelvo.LLV(A, 10**30), ValueError,
        "LLV() argument 'N' must be from 0 to 2147483647; got 1000000000000000000000000000000"),
    row("offset below range", lambda: zelvo.REF(A, -2**31 - 1), ValueError,
        "REF() argument 'N' must be from -2147483648 to 2147483647; got -2147483649"),
    row("SMA weight out of range", lambda: zelvo.SMA(A, 3, 2**31), ValueError,
        "SMA() argument 'M' must be from -2147483648 to 2147483647; got 2147483648"),
    row("EMA weight wraps", lambda: zelvo.EMA(A, 2**31 - 1), ValueError,
        "EMA() argument 'N' must be below 2147483647: the weight 2/(N+1) is formed in 32 "
        "bits, where N+1 wraps; got 2147483647"),
    row("SMA weight wraps", lambda: zelvo.SMA(P, 5, -2**31 + 5, axis=0), ValueError,
        "SMA() arguments 'N' and 'M' must have N-M at most 2147483647: the weight (N-M)/N is "
        "formed in 32 bits, where N-M wraps; got N=5, M=-2147483643"),
    row("SMA weight wraps on a frame", lambda: zelvo.SMA(pd.DataFrame({"a": A}), 2**31 - 1, -1),
        ValueError, "SMA() arguments 'N' and 'M' must have N-M at most", needs_pd),
    row("NumPy integer out of range", lambda: zelvo.WMA(A, np.int64(0)), ValueError,
        "WMA() argument 'N' must be from 1 to 2147483647; got 0"),
    row("float window", lambda: zelvo.MA(A, 5.0), TypeError,
        "MA() argument 'N' must be an int, not float"),
    row("bool window", lambda: zelvo.STD(A, True), TypeError,
        "STD() argument 'N' must be an int, not bool"),
    row("NumPy bool window", lambda: zelvo.STD(A, np.True_), TypeError,
        "STD() argument 'N' must be an int, not numpy.bool"),
    row("0-d bool array window", lambda: zelvo.STD(A, np.array(True)), TypeError,
        "STD() argument 'N' must be an int, not numpy.ndarray"),
    row("series as window", lambda: zelvo.HHV(A, A), TypeError,
        "HHV() argument 'N' must be an int, not numpy.ndarray; for a window length per bar "
        "use HHV_A"),
    row("None window", lambda: zelvo.MA(A, None), TypeError,
        "MA() argument 'N' must be an int, not NoneType"),
    # shapes
    row("different lengths", lambda: zelvo.CROSS(A, A[:-1]), ValueError,
        "CROSS() arguments 'x' and 'y' must have the same shape (a number stands for every "
        "bar); got (10,) and (9,)"),
    row("panel and series", lambda: zelvo.FIF(P > 3, P, A), ValueError,
        "FIF() arguments 'x' and 'b' must have the same shape (a number stands for every "
        "bar); got (2, 10) and (10,)"),
    row("per-bar windows of another length", lambda: zelvo.MA_A(A, [1.0, 2.0]), ValueError,
        "MA_A() arguments 'a' and 'N' must have the same shape"),
    row("only numbers", lambda: zelvo.CROSS(1.0, 2.0), TypeError,
        "CROSS() needs at least one series (an array, list or Series); got only numbers"),
    row("axis out of range", lambda: zelvo.MA(A, 3, axis=1), ValueError,
        "MA() axis 1 is out of range for 1-dimensional series (axis must be from -1 to 0)"),
    row("axis of a panel", lambda: zelvo.MA(P, 3, axis=-3), ValueError,
        "MA() axis -3 is out of range for 2-dimensional series (axis must be from -2 to 1)"),
    row("float axis", lambda: zelvo.MA(A, 3, axis=0.0), TypeError,
        "MA() argument 'axis' must be an int, not float"),
    # values
    row("strings", lambda: zelvo.MA(["1", "2"], 1), TypeError,
        "MA() argument 'a' must hold bool, int or float values; got an array of dtype <U1"),
    row("complex", lambda: zelvo.SUM(A + 1j, 2), TypeError,
        "SUM() argument 'a' must hold bool, int or float values; got an array of dtype "
        "complex128"),
    row("dates", lambda: zelvo.MA(np.arange(3).astype("datetime64[D]"), 2), TypeError,
        "MA() argument 'a' must hold bool, int or float values; got an array of dtype "
        "datetime64[D]"),
    row("objects", lambda: zelvo.MA([1.0, None], 1), TypeError,
        "MA() argument 'a' must hold bool, int or float values; got an array of dtype object"),
    row("None series", lambda: zelvo.CROSS(A, None), TypeError,
        "CROSS() argument 'y' must be a series of numbers or a number, not NoneType"),
    row("string number", lambda: zelvo.FIF("yes", A, A), TypeError,
        "FIF() argument 'x' must be a series of numbers or a number, not str"),
    row("ragged list", lambda: zelvo.MA([[1.0, 2.0], [3.0]], 1), ValueError,
        "MA() argument 'a' cannot be read as an array of numbers: "),
    row("number too large", lambda: zelvo.CROSS(A, 10**400), ValueError,
        "CROSS() argument 'y' cannot be read as a number: "),
    # calls
    row("missing argument", lambda: zelvo.MA(A), TypeError,
        "MA() missing required argument 'N' (pos 2)"),
    row("too many arguments", lambda: zelvo.MA(A, 1, 2), TypeError,
        "MA() takes 2 positional arguments but 3 were given"),
    row("unknown keyword", lambda: zelvo.MA(A, n=2), TypeError,
        "MA() got an unexpected keyword argument 'n'"),
    row("argument twice", lambda: zelvo.MA(A, 2, a=A), TypeError,
        "MA() got multiple values for argument 'a'"),
    row("positional only", lambda: zelvo.BARSLAST(x=A), TypeError,
        "BARSLAST() got some positional-only arguments passed as keyword arguments: 'x'"),
    row("threads below range", lambda: zelvo.set_threads(-1), ValueError,
        "set_threads() takes a thread count from 1 to 1024, or 0 for the default"),
    row("threads as bool", lambda: zelvo.set_threads(True), TypeError,
        "set_threads() argument must be an int, not bool"),
    # pandas
    row("pandas indexes differ",
        lambda: zelvo.CROSS(pd.Series(A), pd.Series(A, index=range(1, 11))), ValueError,
        "CROSS() arguments 'x' and 'y' are pandas objects with different index; zelvo does "
        "not align them", needs_pd),
    row("pandas columns differ",
        lambda: zelvo.CROSS(pd.DataFrame({"a": A}), pd.DataFrame({"b": A})), ValueError,
        "CROSS() arguments 'x' and 'y' are pandas objects with different columns", needs_pd),
    row("DataFrame across", lambda: zelvo.MA(pd.DataFrame({"a": A}), 3, axis=1), ValueError,
        "MA() computes a DataFrame down its columns (its index is the time axis): axis must "
        "be 0 or left out, got 1", needs_pd),
    row("pandas strings", lambda: zelvo.MA(pd.Series(["a", "b"]), 1), TypeError,
        "MA() argument 'a' must hold bool, int or float values; got a pandas Series of "
        "dtype", needs_pd),
    row("pandas Series and DataFrame", lambda: zelvo.CROSS(pd.DataFrame({"a": A}),
                                                           pd.Series(A)), ValueError,
        "CROSS() arguments 'x' and 'y' must have the same shape", needs_pd),
]


@pytest.mark.parametrize("call, error, message", CASES)
def test_bad_input_raises(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value).startswith(message), str(info.value)


def test_a_wrapped_error_keeps_its_cause():
    with pytest.raises(ValueError) as info:
        zelvo.MA([[1.0, 2.0], [3.0]], 1)
    assert isinstance(info.value.__cause__, ValueError)
    assert re.search("inhomogeneous|sequence", str(info.value))


def test_the_exact_module_keeps_its_zeros():
    """What the package refuses, the exact module answers as it always did."""
    assert not exact.MA(A.copy(), 0).any()
    assert not exact.CROSS(A.copy(), A[:-1].copy()).any()
    # ... and its 32-bit weights: EMA's N+1 wraps to a negative weight, so a rising
    # series gives an average falling below its first bar.
    assert (np.diff(exact.EMA(A.copy(), 2**31 - 1)) < 0).all()
    assert zelvo.EMA(A, 2**31 - 2)[-1] > A[0]


# Every entry reads user data by one rule: the API's conversion, reached from
# Python through zelvo._containers.to_float64.
@pytest.mark.parametrize("values, message", [
    (pd.Series(["1", "2", "3"], dtype="string"),
     "MA() argument 'a' must hold bool, int or float values; got a pandas Series of dtype "
     "string"),
    (pd.DataFrame({"Date": pd.date_range("2020", periods=3), "Close": [1.0, 2, 3]}),
     "MA() argument 'a' column 'Date' must hold bool, int or float values; got a pandas "
     "column of dtype datetime64"),
    (pl.DataFrame({"Date": ["a", "b", "c"], "Close": [1.0, 2, 3]}),
     "MA() argument 'a' column 'Date' must hold bool, int or float values; got a polars "
     "column of dtype String"),
])
def test_containers_refuse_what_is_not_numbers(values, message):
    with pytest.raises(TypeError) as e:
        zelvo.MA(values, 2)
    assert str(e.value).startswith(message)


@pytest.mark.parametrize("values", [
    pd.Series([1.0, None, 3.0], dtype="Float64"),
    pd.Series([1, None, 3], dtype="Int64"),
    pl.Series([1.0, None, 3.0]),
])
def test_nullable_values_are_nan(values):
    assert np.array_equal(to_float64(values, "x"), [1.0, np.nan, 3.0], equal_nan=True)
    r = zelvo.REF(values, 0)
    assert np.array_equal(np.asarray(r, dtype=float), [1.0, np.nan, 3.0], equal_nan=True)


@pytest.mark.parametrize("values", [np.array(["1"]), np.array([1j]),
                                    np.array(["2020-01-01"], "M8[D]"), [None], "12"])
def test_one_conversion_refuses_like_the_functions(values):
    with pytest.raises(TypeError) as direct:
        to_float64(values, "MA() argument 'a'")
    with pytest.raises(TypeError) as through:
        zelvo.MA(values, 2)
    assert str(direct.value) == str(through.value)
