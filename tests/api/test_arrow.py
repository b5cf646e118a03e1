"""Arrow data in: read through the C data interface, the same bits as NumPy input.

pyarrow arrays (sliced, of every numeric type, with nulls), chunked arrays,
one-column tables, polars Series, DuckDB results and pandas Series of Arrow
dtypes, through the functions, the formulas and the streams; the result kind
follows the input; a float64 chunk without nulls is read in place; the
producers' memory is released on every path, refusals included.
"""
import gc
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")

import zelvo  # noqa: E402
from zelvo import _api  # noqa: E402

VALUES = [1.5, None, 3.0, -0.0, 4.25, None, 7.0, 2.0, 2.0, -1.0]


def as_numpy(values):
    return np.array([np.nan if v is None else v for v in values], dtype=np.float64)


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def duckdb_column(values):
    duckdb = pytest.importorskip("duckdb")
    rows = ", ".join(f"({i}, {'NULL' if v is None else repr(float(v))})"
                     for i, v in enumerate(values))
    return duckdb.sql(f"SELECT x::DOUBLE AS x FROM (VALUES {rows}) t(i, x) ORDER BY i")


def polars_series(values):
    pl = pytest.importorskip("polars")
    return pl.Series("x", values, dtype=pl.Float64)


def pandas_arrow(values):
    pd = pytest.importorskip("pandas")
    return pd.Series(values, dtype="double[pyarrow]")


SOURCES = {   # name -> (maker of the object from values, values it reads as)
    "array": (lambda v: pa.array(v, pa.float64()), VALUES),
    "sliced": (lambda v: pa.array([9.0, 9.0] + v, pa.float64()).slice(2), VALUES),
    "int64": (lambda v: pa.array([None if x is None else int(x) for x in v], pa.int64()),
              [None if x is None else float(int(x)) for x in VALUES]),
    "uint8": (lambda v: pa.array([None if x is None else abs(int(x)) for x in v], pa.uint8()),
              [None if x is None else float(abs(int(x))) for x in VALUES]),
    "float32": (lambda v: pa.array(v, pa.float32()), VALUES),
    "bool": (lambda v: pa.array([None if x is None else x > 2 for x in v], pa.bool_()),
             [None if x is None else float(x > 2) for x in VALUES]),
    "chunked": (lambda v: pa.chunked_array([v[:3], [], v[3:7], v[7:]], pa.float64()), VALUES),
    "table": (lambda v: pa.table({"x": pa.array(v, pa.float64())}), VALUES),
    "polars": (polars_series, VALUES),
    "duckdb": (duckdb_column, VALUES),
    "pandas arrow dtype": (pandas_arrow, VALUES),
}


@pytest.mark.parametrize("source", list(SOURCES))
@pytest.mark.parametrize("call", [
    lambda x: zelvo.MA(x, 3), lambda x: zelvo.EMA(x, 4), lambda x: zelvo.BARSLAST(x),
    lambda x: zelvo.CROSS(x, 2.5), lambda x: zelvo.SUM_A(x, x),
], ids=["MA", "EMA", "BARSLAST", "CROSS", "SUM_A"])
def test_same_results_as_numpy(source, call):
    make, reads = SOURCES[source]
    got = call(make(list(VALUES)))
    assert same_bits(np.asarray(got), call(as_numpy(reads)))


def test_result_kinds_follow_the_input():
    pl = pytest.importorskip("polars")
    assert isinstance(zelvo.MA(pa.array(VALUES), 2), pa.Array)
    chunked = zelvo.MA(pa.chunked_array([VALUES[:4], VALUES[4:]]), 2)
    assert isinstance(chunked, pa.ChunkedArray) and chunked.num_chunks == 1
    assert isinstance(zelvo.MA(polars_series(VALUES), 2), pl.Series)
    assert type(zelvo.MA(duckdb_column(VALUES), 2)) is np.ndarray
    # The first series argument decides, as for pandas and polars.
    assert type(zelvo.CROSS(as_numpy(VALUES), pa.array(VALUES))) is np.ndarray


def test_formulas_and_streams_read_arrow_columns():
    f = zelvo.Formula("A: MA(C, 2) + REF(O, 1);")
    arrow = {"close": pa.chunked_array([VALUES[:5], VALUES[5:]]), "open": pa.array(VALUES)}
    want = f({"close": as_numpy(VALUES), "open": as_numpy(VALUES)})["A"]
    assert same_bits(f(arrow)["A"], want)
    # A stream opened on Arrow history continues as the formula over all bars.
    s = f.stream({"close": pa.array(VALUES[:-1]), "open": pa.array(VALUES[:-1])})
    last = s.update({"close": VALUES[-1], "open": VALUES[-1]})
    assert same_bits(last, want[-1])   # one output: its value


def test_one_float64_chunk_without_nulls_is_read_in_place():
    a = pa.array(np.arange(10.0)).slice(3)
    v = _api._float64(a, "x")
    assert v.ctypes.data == a.buffers()[1].address + 3 * 8
    assert not v.flags.writeable
    one = pa.chunked_array([pa.array([], pa.float64()), pa.array([1.0, 2.0])])
    assert _api._float64(one, "x").ctypes.data == one.chunk(1).buffers()[1].address
    # With nulls, of another type, or in two chunks: a copy of our own.
    for copied in (pa.array([1.0, None]), pa.array([1, 2]), pa.chunked_array([[1.0], [2.0]])):
        assert _api._float64(copied, "x").flags.writeable


def test_the_producers_memory_is_released():
    gc.collect()
    base = pa.total_allocated_bytes()
    big = np.arange(100_000, dtype=np.float64)
    # A view outlives the producer's Python object, and keeps its buffer.
    v = _api._float64(pa.array(big), "x")
    assert pa.total_allocated_bytes() > base
    assert same_bits(v, big)
    del v
    for make in (lambda: pa.array(big), lambda: pa.chunked_array([big[:500], big[500:]]),
                 lambda: pa.array(np.where(big % 3 == 0, np.nan, big), from_pandas=True),
                 lambda: pa.table({"x": big}), lambda: pa.array(big.astype(np.int32))):
        for _ in range(3):
            zelvo.MA(make(), 5)
    for refused in (lambda: pa.array(["a"] * 1000), lambda: pa.table({"x": big, "y": big}),
                    lambda: pa.array(["a", "b"] * 500).dictionary_encode()):
        with pytest.raises((TypeError, ValueError)):
            zelvo.MA(refused(), 5)
    gc.collect()
    assert pa.total_allocated_bytes() == base


REFUSED = [
    (lambda: pa.array(["a", "b"]), TypeError, "format 'u'"),
    (lambda: pa.array(["a", "b"]).dictionary_encode(), TypeError, "dictionary-encoded"),
    (lambda: pa.table({"x": [1.0], "y": [2.0]}), ValueError, "2 columns"),
    (lambda: pa.array([1, 2], pa.timestamp("s")), TypeError, "bool, int or float"),
]


@pytest.mark.parametrize("make,error,message", REFUSED, ids=["text", "dictionary", "table",
                                                             "timestamps"])
def test_refusals_name_the_argument(make, error, message):
    with pytest.raises(error, match=message) as info:
        zelvo.MA(make(), 2)
    assert "MA() argument 'a'" in str(info.value)


class Broken:
    """A producer that breaks the interface."""

    def __init__(self, answer):
        self.answer = answer

    def __arrow_c_array__(self, requested_schema=None):
        return self.answer


@pytest.mark.parametrize("answer", [None, (1, 2), ("schema",)])
def test_a_broken_producer_is_refused(answer):
    with pytest.raises(TypeError, match="Arrow"):
        _api._float64(Broken(answer), "x")


def _flat(call, count=2000):
    """Calls leave the interpreter's allocated blocks flat (a leak of one
    object per call would add `count` blocks)."""
    for _ in range(200):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(count):
        call()
    gc.collect()
    return sys.getallocatedblocks() - before


LEAK_PATHS = {
    "in place": lambda a: _api._float64(a["f64"], "x"),
    "copied": lambda a: zelvo.MA(a["nulls"], 3),
    "chunked": lambda a: zelvo.MA(a["chunked"], 3),
    "refused": lambda a: _api._float64(a["text"], "x"),
    "refused table": lambda a: _api._float64(a["table"], "x"),
}


@pytest.mark.parametrize("path", list(LEAK_PATHS))
def test_calls_leave_python_memory_flat(path):
    arrays = {"f64": pa.array(np.arange(50.0)), "nulls": pa.array([1.0, None] * 25),
              "chunked": pa.chunked_array([[1.0, 2.0], [3.0]]), "text": pa.array(["a"]),
              "table": pa.table({"x": [1.0], "y": [2.0]})}
    refs = {k: sys.getrefcount(v) for k, v in arrays.items()}

    def call():
        try:
            LEAK_PATHS[path](arrays)
        except (TypeError, ValueError):
            pass

    assert _flat(call) < 100
    assert {k: sys.getrefcount(v) for k, v in arrays.items()} == refs
