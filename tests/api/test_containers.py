"""What goes in and what comes out: lists, arrays of any dtype and layout,
numbers, pandas and polars objects, and mixes of them."""
import tracemalloc

import numpy as np
import pytest

import zelvo
import zelvo._zelvo as exact

from peers import pd, pl

C = np.array([10.0, 11, 12, 11, 10, 12, 13, np.nan, 14, 15])
IDX = ["d%d" % i for i in range(len(C))]
MA3 = exact.MA(C.copy(), 3)


def series(values=C, index=IDX, name="close"):
    return pd.Series(values, index=index, name=name)


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def same(a, b):
    return np.array_equal(bits(a), bits(b))


needs_pd = pytest.mark.skipif(pd is None, reason="pandas is not installed")
needs_pl = pytest.mark.skipif(pl is None, reason="polars is not installed")

def row(name, call, expected, check, *marks):
    """One case: the call, the kind of result expected, a check of its values."""
    return pytest.param(call, expected, check, id=name, marks=marks)


CASES = [
    row("list", lambda: zelvo.MA(C.tolist(), 3), np.ndarray, lambda r: same(r, MA3)),
    row("tuple", lambda: zelvo.MA(tuple(C.tolist()), 3), np.ndarray, lambda r: same(r, MA3)),
    row("int-list", lambda: zelvo.SUM([1, 2, 3], 2), np.ndarray,
     lambda r: same(r, [np.nan, 3, 5])),
    row("int32-array", lambda: zelvo.SUM(np.array([1, 2, 3], np.int32), 0), np.ndarray,
     lambda r: same(r, [1, 3, 6])),
    row("uint64-array", lambda: zelvo.REF(np.array([2**63, 1], np.uint64), 0), np.ndarray,
     lambda r: same(r, [2.0**63, 1])),
    row("bool-series", lambda: zelvo.COUNT(np.array([True, False, True]), 0), np.ndarray,
     lambda r: same(r, [1, 1, 2])),
    row("float16", lambda: zelvo.REF(np.array([0.1], np.float16), 0), np.ndarray,
     lambda r: same(r, [np.float64(np.float16(0.1))])),
    row("read-only", lambda: zelvo.MA(np.frombuffer(C.tobytes()), 3), np.ndarray,
     lambda r: same(r, MA3)),
    row("strided", lambda: zelvo.MA(np.repeat(C, 2)[::2], 3), np.ndarray, lambda r: same(r, MA3)),
    row("reversed", lambda: zelvo.MA(C[::-1].copy()[::-1], 3), np.ndarray, lambda r: same(r, MA3)),
    row("big-endian", lambda: zelvo.MA(C.astype(">f8"), 3), np.ndarray, lambda r: same(r, MA3)),
    row("0-d array as number", lambda: zelvo.CROSS(C, np.array(11.5)), np.ndarray,
     lambda r: same(r, exact.CROSS(C.copy(), np.full(10, 11.5)))),
    row("numpy scalar", lambda: zelvo.CROSS(C, np.float32(11.5)), np.ndarray,
     lambda r: same(r, exact.CROSS(C.copy(), np.full(10, 11.5)))),
    row("number first", lambda: zelvo.CROSS(11.5, C), np.ndarray,
     lambda r: same(r, exact.CROSS(np.full(10, 11.5), C.copy()))),
    row("condition number", lambda: zelvo.FIF(0.5, C, 1), np.ndarray,
     lambda r: same(r, np.ones(10))),
    row("empty", lambda: zelvo.MA([], 3), np.ndarray, lambda r: r.shape == (0,)),
    row("empty panel", lambda: zelvo.MA(np.zeros((0, 5)), 3), np.ndarray,
     lambda r: r.shape == (0, 5)),
    row("2-D", lambda: zelvo.MA(np.stack([C, -C]), 3), np.ndarray,
     lambda r: r.shape == (2, 10) and same(r[1], exact.MA(-C, 3))),
    row("2-D axis 0 keeps the order", lambda: zelvo.MA(np.stack([C, -C], axis=1), 3, axis=0),
     np.ndarray, lambda r: r.flags.c_contiguous and same(r[:, 1], exact.MA(-C, 3))),
    row("Fortran keeps the order", lambda: zelvo.MA(np.asfortranarray(np.stack([C, -C])), 3),
     np.ndarray, lambda r: r.flags.f_contiguous and same(r[0], MA3)),
    row("2-D with a 1-D number", lambda: zelvo.CROSS(np.stack([C, -C]), 11.5), np.ndarray,
     lambda r: r.shape == (2, 10)),
    row("pandas Series", lambda: zelvo.MA(series(), 3), "pd.Series",
                 lambda r: list(r.index) == IDX and r.name == "close" and same(r, MA3),
                 needs_pd),
    row("pandas read-only copy-on-write values",
                 lambda: zelvo.MA(series().astype("float64"), 3), "pd.Series",
                 lambda r: same(r, MA3), needs_pd),
    row("pandas int Series", lambda: zelvo.SUM(pd.Series([1, 2, 3]), 0), "pd.Series",
                 lambda r: same(r, [1, 3, 6]), needs_pd),
    row("pandas nullable with NA", lambda: zelvo.REF(pd.Series([1, None, 3],
                                                                         dtype="Int64"), 0),
                 "pd.Series", lambda r: same(r, [1, np.nan, 3]), needs_pd),
    row("pandas bool condition", lambda: zelvo.BARSLAST(series() > 11), "pd.Series",
                 lambda r: list(r.index) == IDX and same(r, exact.BARSLAST(C > 11)),
                 needs_pd),
    row("pandas DataFrame down its columns",
                 lambda: zelvo.MA(pd.DataFrame({"a": C, "b": -C}, index=IDX), 3),
                 "pd.DataFrame",
                 lambda r: list(r.columns) == ["a", "b"] and list(r.index) == IDX
                 and same(r["a"], MA3) and same(r["b"], exact.MA(-C, 3)), needs_pd),
    row("pandas DataFrame of mixed dtypes",
                 lambda: zelvo.SUM(pd.DataFrame({"a": [1, 2], "b": [0.5, 1.5]}), 0),
                 "pd.DataFrame", lambda r: same(r.to_numpy(), [[1, 0.5], [3, 2]]),
                 needs_pd),
    row("pandas Series, then array", lambda: zelvo.CROSS(series(), np.full(10, 11.5)),
                 "pd.Series", lambda r: list(r.index) == IDX, needs_pd),
    row("array, then pandas Series", lambda: zelvo.CROSS(C, series()), np.ndarray,
                 lambda r: r.shape == (10,), needs_pd),
    row("number, then pandas Series", lambda: zelvo.CROSS(11.5, series()),
                 "pd.Series", lambda r: list(r.index) == IDX, needs_pd),
    row("two pandas Series, same index", lambda: zelvo.CROSS(series(), series() * 0 + 11),
                 "pd.Series", lambda r: same(r, exact.CROSS(C.copy(), np.full(10, 11.0))),
                 needs_pd),
    row("empty pandas Series", lambda: zelvo.MA(pd.Series([], dtype=float), 3),
                 "pd.Series", lambda r: len(r) == 0, needs_pd),
    row("array, then DataFrame: time down the index",
        lambda: zelvo.CROSS(np.stack([C, -C], axis=1), pd.DataFrame({"a": C * 0 + 11.5,
                                                                    "b": -C})),
        np.ndarray, lambda r: r.shape == (10, 2)
        and same(r[:, 0], exact.CROSS(C.copy(), np.full(10, 11.5))), needs_pd),
    row("polars Series", lambda: zelvo.MA(pl.Series("close", C), 3), "pl.Series",
                 lambda r: r.name == "close" and same(r.to_numpy(), MA3), needs_pl),
    row("polars Series with nulls", lambda: zelvo.REF(pl.Series("x", [1.0, None]), 0),
                 "pl.Series", lambda r: same(r.to_numpy(), [1, np.nan]), needs_pl),
    row("polars bool with nulls", lambda: zelvo.BARSLAST(pl.Series([True, None, True])),
                 "pl.Series", lambda r: same(r.to_numpy(), [1, 2, 1]), needs_pl),
    row("polars DataFrame", lambda: zelvo.MA(pl.DataFrame({"a": C, "b": -C}), 3),
                 "pl.DataFrame", lambda r: r.columns == ["a", "b"]
                 and same(r["b"].to_numpy(), exact.MA(-C, 3)), needs_pl),
]


def kind_of(expected):
    if isinstance(expected, type):
        return expected
    lib, name = expected.split(".")
    return getattr(pd if lib == "pd" else pl, name)


@pytest.mark.parametrize("call, expected, check", CASES)
def test_containers_in_and_out(call, expected, check):
    r = call()
    assert type(r) is kind_of(expected)
    assert check(r)
    values = r.to_numpy() if hasattr(r, "to_numpy") else r
    assert values.dtype == np.float64


def test_float64_input_is_read_in_place():
    """A float64 input, read-only or strided, costs the result's memory and no copy."""
    big = np.random.default_rng(1).normal(size=2_000_000)
    ro = big.copy()
    ro.flags.writeable = False
    for arg in (big, ro, big[::2], np.stack([big[:1_000_000], big[1_000_000:]], axis=1)):
        tracemalloc.start()
        try:
            r = zelvo.MA(arg, 20, axis=0)
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert peak < r.nbytes * 1.1, (arg.shape, arg.strides, peak)


def test_inputs_are_left_untouched():
    a = C.copy()
    s = np.array([0, 1, 0, 2], np.int64)
    zelvo.MA(a, 3)
    zelvo.BARSLAST(s)
    assert same(a, C) and list(s) == [0, 1, 0, 2]
