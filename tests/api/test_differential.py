"""Every function of the package, on random inputs in every container and
layout it accepts, equals the exact module on each lane, bit for bit (the
core's one-series function for those the exact module does not bind)."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zelvo
import zelvo._zelvo as exact
from zelvo._catalog import FUNCTIONS

import corelib
from peers import pd, pl

# Layouts of a series argument.  Each turns canonical lane-major data
# (lanes x bars float64) into what the caller passes; 1-D layouts take one lane.
ONE_D = ["array", "list", "tuple", "int64", "float32", "readonly", "strided", "byteswapped",
         "pandas", "polars"]
N_D = ["rows", "columns", "fortran", "3d", "3d-swapped", "dataframe"]
NEEDS = {"pandas": pd, "dataframe": pd, "polars": pl}
LAYOUTS = [name for name in ONE_D + N_D if NEEDS.get(name, True) is not None]


def values_for(layout, data):
    """The float64 values the function sees once `data` is passed as `layout`."""
    if layout == "int64":
        # whole numbers; + 0.0 turns -0.0 into the 0.0 an int becomes
        return np.trunc(np.nan_to_num(data, nan=0.0, posinf=0.0, neginf=0.0)) + 0.0
    if layout == "float32":
        return data.astype(np.float32).astype(np.float64)
    return data


def present(layout, data, index=None):
    """(argument, axis) for canonical lanes x bars `data` in `layout`."""
    lanes, bars = data.shape
    one = data[0]
    if layout == "array":
        return one.copy(), None
    if layout == "list":
        return one.tolist(), None
    if layout == "tuple":
        return tuple(one.tolist()), None
    if layout == "int64":
        return values_for(layout, one).astype(np.int64), None
    if layout == "float32":
        return one.astype(np.float32), None
    if layout == "readonly":
        a = one.copy()
        a.flags.writeable = False
        return a, None
    if layout == "strided":
        a = np.empty(2 * bars)
        a[::2] = one
        return a[::2], None
    if layout == "byteswapped":
        return one.astype(">f8"), None
    if layout == "pandas":
        return pd.Series(one, index=index, name="s"), None
    if layout == "polars":
        return pl.Series("s", one), None
    if layout == "rows":
        return data.copy(), None
    if layout == "columns":
        return np.ascontiguousarray(data.T), 0
    if layout == "fortran":
        return np.asfortranarray(data), -1
    if layout == "3d":
        # lanes = 2 x (lanes/2): (lanes/2, bars, 2) from a C array of (2, lanes/2, bars)
        return data.reshape(2, lanes // 2, bars).transpose(1, 2, 0), 1
    if layout == "3d-swapped":
        # (lanes/2, 2, bars) viewing a C array of (2, lanes/2, bars): the outer
        # dimensions do not merge for the input, but do for the result
        return data.reshape(2, lanes // 2, bars).transpose(1, 0, 2), None
    if layout == "dataframe":
        return pd.DataFrame(data.T, index=index, columns=[f"c{k}" for k in range(lanes)]), None
    raise AssertionError(layout)


def lanes_of(layout, result, lanes):
    """The result back as lanes x bars float64."""
    if layout in ("pandas", "dataframe", "polars"):
        result = result.to_numpy()
    r = np.asarray(result)
    if layout in ("columns", "dataframe"):
        return r.T
    if layout == "3d":
        return r.transpose(2, 0, 1).reshape(lanes, -1)
    if layout == "3d-swapped":
        return r.transpose(1, 0, 2).reshape(lanes, -1)
    return r.reshape(lanes, -1)


def draw_data(rng, kind, lanes, bars, name, argname):
    if kind == "c":
        pool = np.array([0.0, 0.0, 1.0, 0.5, -0.5, 2.0, -1.0, 256.0, np.nan, 1e10])
        return rng.choice(pool, size=(lanes, bars))
    if name.endswith("_A") and argname == "N":
        return rng.choice(np.array([-2.0, 0, 1, 2, 3, 5, 2.7, np.nan, 40]), size=(lanes, bars))
    if name == "DMA" and argname == "A":
        return rng.uniform(0, 1, size=(lanes, bars))
    data = rng.normal(size=(lanes, bars)).round(2) * 10
    data[rng.uniform(size=data.shape) < 0.08] = np.nan
    data[:, : rng.integers(0, 3)] = np.nan            # leading NaN bars
    return data


def window_range(f, position):
    lo = f.min_window if position == 1 and f.min_window is not None else -3
    return max(lo, -30), 30


@st.composite
def cases(draw, name):
    f = FUNCTIONS[name]
    layout = draw(st.sampled_from(LAYOUTS))
    one_d = layout in ONE_D
    # Up to 16 lanes of 600 bars: past the size from which the GIL is released.
    lanes = 1 if one_d else draw(st.integers(1, 8)) * (2 if layout.startswith("3d") else 1)
    lanes *= 1 if one_d else draw(st.sampled_from([1, 2]))
    bars = draw(st.one_of(st.integers(1, 40), st.integers(200, 600)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    series_seen = False
    args = []                        # (kind, layout, canonical data or window)
    for position, (argname, kind) in enumerate(f.args):
        if kind == "i":
            lo, hi = window_range(f, position)
            args.append(("i", None, draw(st.integers(lo, hi))))
            continue
        data = draw_data(rng, kind, lanes, bars, name, argname)
        # A later series may be a number repeated for every bar.
        if series_seen and draw(st.integers(0, 3)) == 0:
            v = float(data.flat[0]) if np.isfinite(data.flat[0]) else 0.0
            args.append(("number", None, v))
            continue
        series_seen = True
        args.append((kind, layout, data))
    threads = draw(st.sampled_from([1, 2, 3]))
    return layout, lanes, bars, args, threads


def reference(name, args, lanes, bars):
    out = np.empty((lanes, bars))
    for k in range(lanes):
        lane_args = []
        for kind, layout, v in args:
            if kind == "i":
                lane_args.append(v)
            elif kind == "number":
                lane_args.append(np.full(bars, v))
            else:
                lane_args.append(np.ascontiguousarray(values_for(layout, v)[k]))
        if FUNCTIONS[name].exact:
            out[k] = getattr(exact, name)(*lane_args)
        else:
            rc, out[k] = corelib.run(FUNCTIONS[name].core_name, *lane_args)
            assert rc == corelib.ERR_OK
    return out


def check(name, case):
    layout, lanes, bars, args, threads = case
    index = pd.date_range("2000-01-01", periods=bars) if pd is not None else None
    call_args, axis = [], None
    for kind, lay, v in args:
        if kind == "i" or kind == "number":
            call_args.append(v)
        else:
            obj, ax = present(lay, v, index)
            call_args.append(obj)
            axis = ax if ax is not None else axis
    zelvo.set_threads(threads)
    try:
        kw = {} if axis is None else {"axis": axis}
        got = getattr(zelvo, name)(*call_args, **kw)
    finally:
        zelvo.set_threads(0)
    got = lanes_of(layout, got, lanes)
    want = reference(name, args, lanes, bars)
    assert got.dtype == np.float64 and got.shape == want.shape
    # Bit for bit, signed zeros included; a NaN may carry another payload
    # (which NaN wins where two meet is not fixed, and vector kernels may
    # order such operands differently).
    differ = (got.view(np.uint64) != want.view(np.uint64)) & ~(np.isnan(got) & np.isnan(want))
    bad = np.flatnonzero(differ)
    assert bad.size == 0, (name, layout, bad[:5], got.flat[bad[:5]], want.flat[bad[:5]])


@pytest.mark.parametrize("name", list(FUNCTIONS))
@settings(max_examples=60, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_every_lane_equals_the_exact_module(name, data):
    check(name, data.draw(cases(name)))
