"""zv_segments against the one-series functions, segment by segment and bit for bit.

Every function of the catalog runs over a random column (runs of NaN bars,
ties, zeros of both signs, infinities; per-bar windows of every class) cut
at random places (empty segments and one segment over everything included),
at 1, 2 and 3 threads with even small calls split among them.  Bars outside
every segment and bars a function leaves unwritten keep what the result
held; refused calls write nothing.
"""
import ctypes

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import builds
from corelib import ERR_OK, ERR_PARAM_WRONG, SENTINEL, call, lib
from strategies import SPRINKLED, value_runs, window_values
from zelvo._catalog import FUNCTIONS, INT_MAX, INT_MIN

zv_segments = lib.zv_segments
zv_segments.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                        ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
zv_segments.restype = ctypes.c_int
setup = lib.zv_panel_test_setup
setup.argtypes = [ctypes.c_int, ctypes.c_int64]
setup.restype = ctypes.c_int


@st.composite
def cases(draw, f):
    """(columns, ints): the function's series over one column, its windows."""
    x = np.array(draw(value_runs), dtype=np.float64)
    n = len(x)

    def column(elements):
        return np.array(draw(st.lists(elements, min_size=n, max_size=n)))

    columns, ints, first = [], [], True
    for name, kind in f.args:
        if kind == "i":
            lo = max(f.min_window if f.min_window is not None and not ints else INT_MIN, -40)
            ints.append(draw(st.one_of(st.integers(lo, 40),
                                       st.sampled_from([lo, max(n - 1, lo), n + 1, INT_MAX]))))
        elif kind == "c":
            columns.append(column(st.sampled_from([0, 0, 1, 2, 255])).astype(np.uint8))
        elif name == "N":
            columns.append(column(window_values).astype(np.float64))
        elif first:
            columns.append(x)
            first = False
        else:
            columns.append(column(st.sampled_from(SPRINKLED + [1.0, 2.0, -3.5, 0.25]))
                           .astype(np.float64))
    return columns, ints


def same_bits(a, b):
    return np.array_equal(a.view(np.uint64), b.view(np.uint64))


def run_segments(name, columns, offsets, ints, threads, r=None, nseg=None, entry=None):
    """zv_segments (or `entry`, another build's) on 1-D columns; returns (code, result)."""
    offs = np.ascontiguousarray(offsets, dtype=np.int64)
    ptrs = (ctypes.c_void_p * 3)(*[c.ctypes.data for c in columns])
    params = (ctypes.c_int * 3)(*ints)
    if r is None:
        r = np.full(len(columns[0]) if columns else 0, SENTINEL)
    n = len(offs) - 1 if nseg is None else nseg
    rc = (entry or zv_segments)(name.encode(), n, offs.ctypes.data, ptrs, params, r.ctypes.data,
                                threads)
    return rc, r


def per_segment(f, columns, offsets, ints, total):
    out = np.full(total, SENTINEL)
    for a, b in zip(offsets[:-1], offsets[1:]):
        it_c, it_i = iter(columns), iter(ints)
        args = [next(it_i) if kind == "i" else next(it_c)[a:b] for _, kind in f.args]
        rc, out[a:b] = call(f.core_name, *args)
        assert rc == ERR_OK
    return out


@pytest.fixture
def split_small():
    """Lets every call of two segments or more be split among threads."""
    setup(-2, 1)
    yield
    setup(-2, 0)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_segments_equal_one_series_per_segment(name, split_small):
    f = FUNCTIONS[name]

    @settings(max_examples=25, deadline=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(cases(f), st.data())
    def run(case, data):
        columns, ints = case
        total = len(columns[0])
        cuts = data.draw(st.lists(st.integers(0, total), max_size=12))
        offsets = [0, *sorted(cuts), total]
        expected = per_segment(f, columns, offsets, ints, total)
        for threads in (1, 2, 3):
            rc, got = run_segments(name, columns, offsets, ints, threads)
            assert rc == ERR_OK
            assert same_bits(expected, got), f"{name}{tuple(ints)} threads={threads}"

    run()


def test_bars_outside_the_segments_are_left_alone():
    x = np.arange(12.0)
    rc, r = run_segments("MA", [x], [2, 5, 5, 9], [2], 1)
    assert rc == ERR_OK
    assert (r[:2] == SENTINEL).all() and (r[9:] == SENTINEL).all()
    assert np.array_equal(r[2:9], np.r_[np.nan, 2.5, 3.5, np.nan, 5.5, 6.5, 7.5], equal_nan=True)


def test_many_segments_on_the_pool():
    # Enough bars that the default rule splits the call: 3000 segments of
    # lengths 0 to 120, one call, every segment as computed alone.
    rng = np.random.default_rng(11)
    lengths = rng.integers(0, 121, 3000)
    offsets = np.r_[0, np.cumsum(lengths)]
    x = rng.standard_normal(offsets[-1]).cumsum()
    expected = per_segment(FUNCTIONS["EMA"], [x], offsets, [7], len(x))
    for threads in (0, 2, 5):
        rc, got = run_segments("EMA", [x], offsets, [7], threads)
        assert rc == ERR_OK and same_bits(expected, got)


REFUSED = [  # (name, offsets, ints, nseg, why)
    ("NOPE", [0, 3], [2], None, "an unknown name"),
    ("MA", [0, 3], [0], None, "a window below the least"),
    ("MA", [0, 3], [2], -1, "a negative count"),
    ("MA", [-1, 3], [2], None, "a negative first offset"),
    ("MA", [0, 4, 3, 6], [2], None, "offsets out of order"),
]


@pytest.mark.parametrize("name,offsets,ints,nseg,why", REFUSED, ids=[c[-1] for c in REFUSED])
def test_refused_calls_write_nothing(name, offsets, ints, nseg, why):
    x = np.arange(6.0)
    rc, r = run_segments(name, [x], offsets, ints, 2, nseg=nseg)
    assert rc == ERR_PARAM_WRONG
    assert (r == SENTINEL).all()


def test_missing_pointers_are_refused():
    offs = np.array([0, 3], dtype=np.int64)
    x = np.arange(3.0)
    r = np.full(3, SENTINEL)
    ptrs = (ctypes.c_void_p * 1)(x.ctypes.data)
    params = (ctypes.c_int * 1)(2)
    assert zv_segments(b"MA", 1, None, ptrs, params, r.ctypes.data, 1) == ERR_PARAM_WRONG
    assert zv_segments(b"MA", 1, offs.ctypes.data, None, params, r.ctypes.data, 1) == ERR_PARAM_WRONG
    assert zv_segments(b"MA", 1, offs.ctypes.data, ptrs, None, r.ctypes.data, 1) == ERR_PARAM_WRONG
    assert zv_segments(b"MA", 1, offs.ctypes.data, ptrs, params, None, 1) == ERR_PARAM_WRONG
    assert zv_segments(None, 1, offs.ctypes.data, ptrs, params, r.ctypes.data, 1) == ERR_PARAM_WRONG
    assert (r == SENTINEL).all()
    # No segments, or segments without bars: nothing to do, and nothing needed.
    assert zv_segments(b"MA", 0, None, None, params, None, 1) == ERR_OK


@pytest.mark.parametrize("threads", [1, 3])
def test_a_segment_refusing_its_own_scratch_refuses_the_call(core_objects, tmp_path, threads):
    # MEDIAN takes scratch memory of its own per segment; a build of the core
    # whose scratch allocator always fails must report it, not leave the
    # result as the caller's memory held it without a word.
    if not builds.have("g++"):
        pytest.skip("g++ is needed")
    so = tmp_path / "librillet_no_scratch.so"
    objs = core_objects(None, ["-DRILLET_SCRATCH_ALLOC(bytes)=nullptr"])
    builds.run(["g++", *builds.flags(shared=True), *objs, "-o", so])
    dll = ctypes.CDLL(str(so))
    entry = dll.zv_segments
    entry.argtypes, entry.restype = zv_segments.argtypes, ctypes.c_int
    dll.zv_panel_test_setup.argtypes = [ctypes.c_int, ctypes.c_int64]
    dll.zv_panel_test_setup(-2, 1)
    x = np.cumsum(np.random.default_rng(4).standard_normal(200))
    try:
        rc, r = run_segments("MEDIAN", [x], [0, 50, 120, 200], [3], threads, entry=entry)
    finally:
        dll.zv_panel_test_setup(-2, 0)
    assert rc == 3   # ERR_NO_MEMORY
    assert (r == SENTINEL).all()
