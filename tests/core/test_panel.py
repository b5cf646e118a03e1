"""zv_panel against the one-series functions, lane by lane and bit for bit.

Every function of the catalog runs on random panels (each lane with its own
leading NaN bars, NaN runs, infinities, zeros of both signs), at 1, 2, 3 and
7 threads, with the time axis second, first, or neither contiguous, and on
every grouped-kernel path this CPU runs (and with the grouped kernels off);
the AVX-512 kernels' lane layout also runs built for AVX2, so its logic is
tested where the CPU lacks AVX-512.  A test hook lets even small panels be
split among threads.

NaN inputs are the x86 default NaN (sign bit set), the NaN that invalid
operations produce, so wherever two NaNs meet in one operation the result has
the same bits whichever wins; the NaN written for a missing bar (sign bit
clear) stays distinguishable.  A second test feeds NaNs with other payloads
and lets computed NaNs differ in payload only.
"""
import ctypes

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import builds

from corelib import (ERR_OK, ERR_PARAM_WRONG, NAN_BITS, NEG_NAN, PAYLOAD_NAN, SENTINEL, SNAN,
                     call, lib)
from zelvo._catalog import FUNCTIONS, INT_MAX, INT_MIN

ERR_NO_MEMORY = 3
THREADS = (1, 2, 3, 7)
LAYOUTS = ("lanes", "time", "strided", "lanes>time")
PATHS = {-1: "one-series functions", 0: "baseline", 1: "avx2", 2: "avx512f",
         3: "avx512f layout on avx2"}


class Lanes(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("lane_stride", ctypes.c_ssize_t),
                ("bar_stride", ctypes.c_ssize_t)]


def entries(dll):
    """zv_panel and zv_panel_test_setup of a build of the core."""
    panel, test_setup = dll.zv_panel, dll.zv_panel_test_setup
    panel.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.POINTER(Lanes),
                      ctypes.POINTER(ctypes.c_int), ctypes.c_void_p, ctypes.c_ssize_t,
                      ctypes.c_ssize_t, ctypes.c_int]
    panel.restype = ctypes.c_int
    test_setup.argtypes = [ctypes.c_int, ctypes.c_int64]
    test_setup.restype = ctypes.c_int
    return panel, test_setup


zv_panel, setup = entries(lib)


@pytest.fixture(params=sorted(PATHS), ids=lambda p: PATHS[p])
def path(request):
    """Pins a path and lets every panel of two lanes or more be split."""
    p = request.param
    try:
        if setup(p, 1) != p:
            pytest.skip(f"this CPU cannot run the {PATHS[p]} path")
        yield p
    finally:
        setup(-2, 0)


def store(a, layout):
    """A lanes x bars array laid out as named; returns the view with the
    logical shape (lanes, bars)."""
    lanes, bars = a.shape
    if layout == "lanes":
        return np.ascontiguousarray(a)
    if layout == "time":
        return np.ascontiguousarray(a.T).T
    # Neither axis contiguous: every third lane and every second bar of a
    # time-first buffer.
    buf = np.zeros((2 * bars + 1, 3 * lanes + 2), dtype=a.dtype)
    view = buf[1::2, 2::3][:bars, :lanes].T
    view[...] = a
    return view


def elements(a):
    return a.strides[0] // a.itemsize, a.strides[1] // a.itemsize


def run_panel(name, arrays, ints, layout, threads, result=None, entry=None):
    """zv_panel (or `entry`, another build's) on lanes x bars arrays;
    returns (code, result view)."""
    lanes, bars = arrays[0].shape
    in_layout, _, out_layout = layout.partition(">")
    stored = [store(a, in_layout) for a in arrays]
    lanes_arg = (Lanes * max(len(stored), 1))(
        *[Lanes(a.ctypes.data, *elements(a)) for a in stored])
    r = store(np.full((lanes, bars), SENTINEL) if result is None else result,
              out_layout or in_layout)
    params = (ctypes.c_int * 3)(*ints)
    rc = (entry or zv_panel)(name.encode(), lanes, bars, lanes_arg, params, r.ctypes.data,
                             *elements(r), threads)
    return rc, r


def one_series(f, arrays, ints):
    """The one-series function lane by lane (results pre-filled with SENTINEL)."""
    lanes, bars = arrays[0].shape
    out = np.full((lanes, bars), SENTINEL)
    for k in range(lanes):
        it_a, it_i = iter(arrays), iter(ints)
        args = [next(it_i) if kind == "i" else next(it_a)[k] for _, kind in f.args]
        rc, out[k] = call(f.core_name, *args)
        assert rc == ERR_OK
    return out


def mismatch(expected, got, lenient):
    """Lanes whose bits differ.  Lenient: two NaNs may differ in payload when
    neither is the NaN written for a missing bar."""
    e, g = expected.view(np.uint64), np.ascontiguousarray(got).view(np.uint64)
    differ = e != g
    if lenient:
        both = np.isnan(expected) & np.isnan(got) & (e != NAN_BITS) & (g != NAN_BITS)
        differ &= ~both
    return sorted(set(np.nonzero(differ)[0].tolist()))


# ---- random panels --------------------------------------------------------------------

def series(rng, kind, name, lanes, bars, p, nans):
    """One input panel for argument `name` of kind `kind`."""
    if kind == "c":
        return rng.choice(np.array([0, 0, 0, 1, 2, 255], dtype=np.uint8), (lanes, bars))
    if name == "N":  # window lengths, one per bar
        w = rng.integers(-3, 12, (lanes, bars)).astype(np.float64)
        w[rng.random((lanes, bars)) < 0.05] = nans[0]
        w[rng.random((lanes, bars)) < 0.05] += 0.5
        return w
    if name == "A":  # smoothing factors
        a = rng.random((lanes, bars)).round(3)
        a[rng.random((lanes, bars)) < p["special"]] = rng.choice([nans[0], 2.0, -1.0, np.inf])
        return a
    # Prices in steps of 1/8 (ties are common, sums exact for a while),
    # zeros of both signs, infinities, NaN runs and per-lane leading NaN bars.
    x = np.cumsum(rng.integers(-4, 5, (lanes, bars)), axis=1) / 8.0 + rng.integers(-3, 4, (lanes, 1))
    u = rng.random((lanes, bars))
    x[u < p["zero"]] = 0.0
    x[(u >= p["zero"]) & (u < 2 * p["zero"])] = -0.0
    x[rng.random((lanes, bars)) < p["inf"]] = np.inf
    x[rng.random((lanes, bars)) < p["inf"]] = -np.inf
    holes = rng.random((lanes, bars)) < p["nan"]
    x[holes] = rng.choice(nans, holes.sum()) if holes.any() else x[holes]
    for k in range(lanes):
        lead = {"none": 0, "some": int(rng.integers(0, bars + 1)) if rng.random() < 0.6 else 0,
                "all": bars}[p["lead"]]
        x[k, :lead] = rng.choice(nans, lead) if lead else x[k, :lead]
        if bars and rng.random() < p["run"]:
            i = int(rng.integers(0, bars))
            x[k, i:i + int(rng.integers(1, 30))] = nans[0]
    return x


def windows(f, bars):
    """Integer arguments: the window where the function takes one, then M."""
    lo = max(f.min_window if f.min_window is not None else INT_MIN, -40)
    edge = [lo, lo + 1, 2, bars - 1, bars, bars + 1, 191, 192, 193, 300, INT_MAX]
    if lo < 0:
        edge += [-1, -bars, -bars - 1, INT_MIN]
    n = st.one_of(st.integers(lo, 40), st.sampled_from([v for v in edge if v >= lo]))
    m = st.one_of(st.integers(-5, 45), st.sampled_from([0, INT_MAX, INT_MIN]))
    return n, m


@st.composite
def cases(draw, f, nans):
    lanes = draw(st.integers(1, 40))
    bars = draw(st.one_of(st.integers(0, 80), st.integers(250, 420)))
    p = {"nan": draw(st.sampled_from([0.0, 0.01, 0.1])),
         "inf": draw(st.sampled_from([0.0, 0.003])),
         "zero": draw(st.sampled_from([0.0, 0.05])),
         "special": draw(st.sampled_from([0.0, 0.02])),
         "run": draw(st.sampled_from([0.0, 0.3])),
         "lead": draw(st.sampled_from(["none", "some", "some", "all"]))}
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    arrays = [series(rng, kind, name, lanes, bars, p, nans)
              for name, kind in f.args if kind != "i"]
    n, m = windows(f, bars)
    ints = []
    for _, kind in f.args:
        if kind == "i":
            ints.append(draw(n if not ints else m))
    return arrays, ints


def check(f, arrays, ints, lenient=False):
    expected = one_series(f, arrays, ints)
    for layout in LAYOUTS:
        for threads in THREADS:
            rc, got = run_panel(f.name, arrays, ints, layout, threads)
            assert rc == ERR_OK, (layout, threads, rc)
            bad = mismatch(expected, got, lenient)
            assert not bad, f"{f.name}{tuple(ints)} {layout} threads={threads}: lanes {bad[:8]}"


SLOW = settings(max_examples=12, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_panel_equals_one_series_per_lane(name, path):
    f = FUNCTIONS[name]

    @SLOW
    @given(cases(f, [NEG_NAN]))
    def run(case):
        arrays, ints = case
        if f.min_window is not None and ints and ints[0] < f.min_window:
            return
        check(f, arrays, ints)

    run()


@pytest.mark.parametrize("name", list(FUNCTIONS))
@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_any_nan_payload_is_missing(name, data):
    # Quiet, signalling and payload NaNs of either sign mark missing bars the
    # same way; only the payloads of computed NaNs may differ.  (The NaN
    # written for a missing bar is kept out of the inputs, so it still tells
    # written bars from computed ones.)
    f = FUNCTIONS[name]
    arrays, ints = data.draw(cases(f, [NEG_NAN, PAYLOAD_NAN, SNAN, -PAYLOAD_NAN]))
    setup(-2, 1)
    try:
        check(f, arrays, ints, lenient=True)
    finally:
        setup(-2, 0)


# ---- fixed cases ------------------------------------------------------------------------

def test_time_first_panel_wider_than_a_batch(path):
    # 300 lanes: more groups than one walk across the rows takes at once,
    # and a last group of 12 lanes.
    rng = np.random.default_rng(5)
    x = np.cumsum(rng.standard_normal((300, 150)), axis=1)
    x[::7, :9] = NEG_NAN
    for name, ints in (("MA", [4]), ("EMA", [9]), ("WMA", [3]), ("COUNT", [2]), ("SUM", [0])):
        check(FUNCTIONS[name], [x], ints)


@pytest.mark.parametrize("name", [n for n, f in FUNCTIONS.items() if f.min_window is not None
                                  and f.min_window > INT_MIN])
def test_refused_window_writes_nothing(name):
    f = FUNCTIONS[name]
    arrays = [np.ones((3, 5)) for _, k in f.args if k != "i"]
    ints = [f.min_window - 1] + [1] * (sum(k == "i" for _, k in f.args) - 1)
    for layout in ("lanes", "time"):
        rc, r = run_panel(name, arrays, ints, layout, 2)
        assert rc == ERR_PARAM_WRONG
        assert (np.asarray(r) == SENTINEL).all()


def test_refusals():
    x = np.ones((2, 4))
    good = (Lanes * 1)(Lanes(x.ctypes.data, 4, 1))
    r = np.full((2, 4), SENTINEL)
    n = (ctypes.c_int * 1)(3)
    refused = [
        ("NOPE", 2, 4, good, n, r.ctypes.data, 1),
        (None, 2, 4, good, n, r.ctypes.data, 1),
        ("MA", -1, 4, good, n, r.ctypes.data, 1),
        ("MA", 2, -1, good, n, r.ctypes.data, 1),
        ("MA", 2, 4, good, n, r.ctypes.data, -1),
        ("MA", 2, 4, good, None, r.ctypes.data, 1),     # no window given
        ("MA", 2, 4, None, n, r.ctypes.data, 1),        # no inputs
        ("MA", 2, 4, good, n, None, 1),                 # no result
        ("MA", 2, 4, (Lanes * 1)(Lanes(None, 4, 1)), n, r.ctypes.data, 1),
    ]
    for name, lanes, bars, ins, params, out, threads in refused:
        rc = zv_panel(name and name.encode(), lanes, bars, ins, params, out, 4, 1, threads)
        assert rc == ERR_PARAM_WRONG, (name, lanes, bars, threads)
    assert (r == SENTINEL).all()
    # Nothing to do is no error, even without arrays.
    assert zv_panel(b"MA", 0, 4, None, n, None, 4, 1, 1) == ERR_OK
    assert zv_panel(b"MA", 2, 0, None, n, None, 4, 1, 1) == ERR_OK


@pytest.fixture(scope="module")
def no_scratch(core_objects, tmp_path_factory):
    """zv_panel and its test hook from a build of the core whose scratch
    allocator always fails."""
    if not builds.have("g++"):
        pytest.skip("g++ is needed")
    so = tmp_path_factory.mktemp("no-scratch") / "librillet_no_scratch.so"
    objs = core_objects(None, ["-DRILLET_SCRATCH_ALLOC(bytes)=nullptr"])
    builds.run(["g++", *builds.flags(shared=True), *objs, "-o", so])
    return entries(ctypes.CDLL(str(so)))


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_scratch_refused_writes_nothing(no_scratch, layout, threads):
    # LLV has no grouped kernel, so a panel whose series or result is not
    # contiguous along time goes through the scratch block; when that cannot
    # be had the call is refused before a bar is read or written, on one
    # thread or split among several.  A contiguous panel takes no scratch.
    expected = ERR_OK if layout == "lanes" else ERR_NO_MEMORY
    panel, test_setup = no_scratch
    x = np.cumsum(np.random.default_rng(3).standard_normal((5, 40)), axis=1)
    test_setup(-2, 1)
    try:
        rc, r = run_panel("LLV", [x], [3], layout, threads, entry=panel)
    finally:
        test_setup(-2, 0)
    assert rc == expected
    if expected == ERR_OK:
        assert not mismatch(one_series(FUNCTIONS["LLV"], [x], [3]), r, False)
    else:
        assert (np.asarray(r) == SENTINEL).all()


@pytest.mark.parametrize("threads", [1, 3])
def test_a_lane_refusing_its_own_scratch_refuses_the_panel(no_scratch, threads):
    # MEDIAN takes scratch of its own per lane: its refusal is the panel's,
    # never a result left as the caller's memory held it.
    panel, test_setup = no_scratch
    x = np.cumsum(np.random.default_rng(4).standard_normal((5, 40)), axis=1)
    test_setup(-2, 1)
    try:
        rc, r = run_panel("MEDIAN", [x], [3], "lanes", threads, entry=panel)
    finally:
        test_setup(-2, 0)
    assert rc == ERR_NO_MEMORY
    assert (np.asarray(r) == SENTINEL).all()


def test_default_thread_count():
    old = lib.zv_get_threads()
    try:
        lib.zv_set_threads(3)
        assert lib.zv_get_threads() == 3
        lib.zv_set_threads(0)  # back to the environment or the CPU count
        assert lib.zv_get_threads() >= 1
        # threads = 0 takes the default; big enough to be split.
        x = np.arange(40 * 5000, dtype=np.float64).reshape(40, 5000)
        lib.zv_set_threads(2)
        rc, r = run_panel("MA", [x], [3], "lanes", 0)
        assert rc == ERR_OK and not mismatch(one_series(FUNCTIONS["MA"], [x], [3]), r, False)
    finally:
        lib.zv_set_threads(old)


def test_paths_report_themselves():
    # A path the CPU lacks is refused (the setting stays); every other one
    # is taken.
    flags = builds.cpu_flags()
    try:
        assert setup(-1, -1) == -1
        assert setup(0, -1) == 0
        for p, flag in ((1, "avx2"), (2, "avx512f"), (3, "avx2")):
            setup(0, -1)
            assert setup(p, -1) == (p if flag in flags else 0)
        best = 2 if "avx512f" in flags else 1 if "avx2" in flags else 0
        assert setup(-2, -1) == best
    finally:
        setup(-2, 0)
