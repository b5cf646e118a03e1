"""Formula(text).stream(history) against f(bars), bit for bit: the library
indicators on the real bars, random formulas over every elementwise operation
on hostile bars; and how a stream reads its history and its bars."""
import os
import subprocess
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

import zelvo
from zelvo._containers import to_float64
from realbars import REAL
from strategies import edge_series, examples


@pytest.fixture(scope="module")
def bars():
    if not REAL.exists():
        pytest.skip("real bars not present")
    cols = np.loadtxt(REAL, delimiter=",", skiprows=1, usecols=(1, 2, 3, 4, 6))[:700]
    return dict(zip(["open", "high", "low", "close", "volume"], cols.T.copy()))


def same(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    both_nan = np.isnan(a) & np.isnan(b)   # computed NaNs: payload not part of the contract
    return bool(np.all(both_nan | (a.view(np.uint64) == b.view(np.uint64))))


@pytest.mark.parametrize("name", list(zelvo.indicators))
@pytest.mark.parametrize("start", [40, 350, 699])
def test_indicator_stream_equals_batch(bars, name, start):
    f = zelvo.indicators[name].formula
    batch = f({k: v for k, v in bars.items()})
    s = f.stream({k: v[:start] for k, v in bars.items()})
    n = len(bars["close"])
    for i in range(start, n):
        bar = {k: float(v[i]) for k, v in bars.items()}
        peeked = s.peek(bar)
        got = s.update(bar)
        got = got if isinstance(got, dict) else {f.outputs[0]: got}
        peeked = peeked if isinstance(peeked, dict) else {f.outputs[0]: peeked}
        for out in f.outputs:
            assert same(got[out], batch[out][i]), (name, out, i)
            assert same(peeked[out], got[out])


def test_universe_stream_from_a_formula(bars):
    f = zelvo.Formula("DIF:EMA(C,12)-EMA(C,26); DEA:EMA(DIF,9); HI:HHV(H,BARSLAST(CROSS(C,MA(C,20))))")
    panel = {k: np.stack([v, v[::-1].copy()]) for k, v in bars.items()}
    batch = f(panel)
    s = f.stream({k: v[:, :500] for k, v in panel.items()})
    for i in range(500, panel["close"].shape[1]):
        got = s.update({k: v[:, i].copy() for k, v in panel.items()})
        for out in f.outputs:
            assert same(got[out], batch[out][:, i]), (out, i)


# ---- random formulas over every elementwise operation ---------------------------------

FIELDS = ["open", "high", "low", "close", "volume"]
LEAVES = st.sampled_from(["C", "O", "H", "L", "V", "0", "1", "0.5", "2", "1E308", "-0"])


def _call(name, *args):
    return st.tuples(name, *args).map(lambda t: f"{t[0]}({','.join(map(str, t[1:]))})")


def _grow(x):
    one = st.sampled_from
    return st.one_of(
        st.tuples(x, one(["+", "-", "*", "/", ">", "<", ">=", "<=", "=", "<>", " AND ", " OR "]),
                  x).map(lambda t: f"({''.join(t)})"),
        st.tuples(one(["-", "NOT "]), x).map(lambda t: f"({''.join(t)})"),
        _call(one(["ABS", "SQRT", "LN", "LOG", "EXP", "SIGN"]), x),
        _call(one(["MAX", "MIN", "POW"]), x, x),
        _call(one(["IF"]), x, x, x),
        _call(one(["MA", "EMA", "SUM", "HHV", "LLV", "COUNT", "REF", "STD"]), x, st.integers(1, 4)),
        _call(one(["HHV"]), x, _call(one(["BARSLAST"]), x)),     # a window per bar
        _call(one(["CROSS"]), x, x),
    )


formulas = st.lists(st.recursive(LEAVES, _grow, max_leaves=10), min_size=1, max_size=2).map(
    lambda lines: ";".join(f"Y{i}:{e}" for i, e in enumerate(lines)))


@examples(150)
@given(formulas, st.integers(1, 40).flatmap(
    lambda n: st.tuples(st.tuples(*[edge_series(n)] * len(FIELDS)), st.integers(0, n))))
def test_random_formulas_stream_as_the_batch(text, data):
    """f(bars) against a stream opened on a prefix and fed the rest bar by
    bar, for one instrument and for a universe of rotations of the bars."""
    columns, prefix = data
    f = zelvo.Formula(text)
    bars = {k: np.array(v) for k, v in zip(FIELDS, columns)}
    panel = {k: np.stack([np.roll(v, r) for r in range(9)]) for k, v in bars.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # a universe's columns as strided views, then as fresh arrays
        for data, at in ((bars, lambda v, i: float(v[i])),
                         (panel, lambda v, i: v[:, i] if i % 2 else v[:, i].copy())):
            batch = f(data)
            s = f.stream({k: v[..., :prefix] for k, v in data.items()})
            for out in f.outputs:
                assert same(s.filled[out], batch[out][..., :prefix]), (out, "history")
            for i in range(prefix, len(bars["close"])):
                got = s.update({k: at(v, i) for k, v in data.items()})
                got = got if isinstance(got, dict) else {f.outputs[0]: got}
                for out in f.outputs:
                    assert same(got[out], batch[out][..., i]), (out, i)


@pytest.mark.parametrize("text", ["POW(C,0)", "POW(1,C)", "POW(C,C)", "MAX(C,0)", "MIN(0,C)",
                                  "SIGN(C)", "C"])
def test_elementwise_lines_on_nan_and_zero_bars(text):
    # POW(NaN,0) and POW(1,NaN) are NaN as in f(bars), not C pow's 1; a line
    # that is a bar column comes back as the column in a universe too.
    x = np.array([1.0, np.nan, 0.0, -0.0, 1.0, np.nan, -np.inf, 5e-324])
    f = zelvo.Formula(text)
    want = f({"close": x})[text]
    s, u = f.stream({"close": x[:1]}), f.stream({"close": np.stack([x[:1], x[:1]])})
    for i in range(1, len(x)):
        assert same(s.update(x[i]), want[i]), i
        assert same(u.update({"close": np.array([x[i], x[i]])}), [want[i], want[i]]), i


@pytest.mark.parametrize("text", ["Y:5", "Y:MA(5,3)", "Y:SUM(1,0)", "Y:BARSLAST(0)"])
@pytest.mark.parametrize("shape", [(30,), (3, 30), (2, 0)], ids=["one", "universe", "empty"])
def test_formulas_that_read_no_column(text, shape):
    # SUM(1,0) counts the bars: the history's bars are taken whether or not
    # the formula reads a column.
    history = {"close": np.ones(shape), "volume": np.ones(shape)}
    f = zelvo.Formula(text)
    s = f.stream(history)
    assert same(s.filled["Y"], f(history)["Y"]) and s.filled["Y"].shape == shape
    more = {k: np.concatenate([v, np.ones(shape[:-1] + (1,))], axis=-1) for k, v in history.items()}
    got = s.update({"close": np.ones(shape[0])} if len(shape) == 2 else {"close": 1.0})
    assert np.shape(got) == shape[:-1] and same(got, f(more)["Y"][..., -1])


# ---- how bars are read ---------------------------------------------------------------------

KDJ = zelvo.indicators["KDJ"].formula


def test_every_form_of_a_bar_reads_alike():
    rng = np.random.default_rng(5)
    c = 10 + np.cumsum(rng.standard_normal(40))
    frame = pd.DataFrame({"Date": pd.date_range("2024-01-01", periods=40), "Close": c,
                          "High": c + rng.random(40), "Low": c - rng.random(40)})
    want = KDJ(frame)
    s = KDJ.stream(frame.iloc[:20])
    for i in range(20, 40):
        c, h, l = (float(frame[k].iloc[i]) for k in ("Close", "High", "Low"))
        forms = [{"Close": c, "High": h, "Low": l}, {"C": c, "H": h, "L": l},
                 {"low": l, "CLOSE": c, "high": h}, {"close": np.float64(c), "high": h, "low": l},
                 {"close": c, "high": h, "low": np.array(l), "open": np.nan, "symbol": "X"},
                 types.MappingProxyType({"close": c, "high": h, "low": l}), frame.iloc[i]]
        for bar in forms:
            assert all(same(s.peek(bar)[k], want[k].iloc[i]) for k in KDJ.outputs), (bar, i)
        # Cycling through the forms, a dict read without Stream._read (the
        # keys of the dict before) meets every other form in turn.
        got = s.update(forms[i % len(forms)])
        assert all(same(got[k], want[k].iloc[i]) for k in KDJ.outputs), i


@pytest.mark.parametrize("v", [3, -7, 2**53 + 1, -(2**63), np.int64(5), True, np.float32(0.1),
                               np.float64(0.1), -0.0, np.array(2.5)])
def test_numbers_of_every_type_read_as_to_float64(v):
    # A number, or a dict holding one read at first through Stream._read and
    # then (its keys known) without it: the bits of the one conversion.
    want = float(to_float64(v, "v"))
    s = zelvo.Formula("Y:C*1").stream({"close": [1.0]})
    assert same(s.peek(v), want)
    assert same(s.peek({"close": v}), want) and same(s.peek({"close": v}), want)


ONE = {"close": np.ones(5), "high": np.ones(5)}
FAULTS = [  # (history, bar or None, error, message)
    (ONE, {"high": 1.0}, KeyError, "no close field"),
    (ONE, {"close": 1.0, "CLOSE": 1.0, "high": 1.0}, ValueError, "'close' and 'CLOSE'"),
    (ONE, {"close": "1.0", "high": 1.0}, TypeError, "the bar's field 'close'"),
    (ONE, {"close": 1j, "high": 1.0}, TypeError, "the bar's field 'close'"),
    (ONE, {"C": np.datetime64("2024-01-01"), "H": 1.0}, TypeError, "the bar's field 'C'"),
    (ONE, {"close": [1.0, 2.0], "high": 1.0}, TypeError, "one number"),
    (ONE, 1.0, TypeError, "maps its fields"),
    ({"close": np.ones((3, 5))}, 1.0, TypeError, "mapping .* one value per instrument"),
    ({"close": np.ones((3, 5))}, {"close": np.ones(4)}, ValueError, "4 values for 3 instr"),
    ({"close": np.ones((3, 5))}, {"close": np.array(["a"] * 3)}, TypeError, "field 'close'"),
    ({"close": np.ones(3), "CLOSE": np.ones(3)}, None, ValueError, "'close' and 'CLOSE'"),
    ({"volume": np.ones(3)}, None, zelvo.formula.FormulaError, "no close column"),
    ({"close": ["a", "b"]}, None, TypeError, "the history field 'close'"),
    ({"Close": np.array(["2024-01-01"], dtype="datetime64[D]")}, None, TypeError,
     "the history field 'Close'"),
    ({"C": np.ones(3) * 1j}, None, TypeError, "the history field 'C'"),
    (np.ones(3), None, TypeError, "maps fields to past bars"),
]


@pytest.mark.parametrize("history,bar,error,match", FAULTS)
def test_faulty_histories_and_bars_are_refused_by_name(history, bar, error, match):
    universe = isinstance(history, dict) and np.ndim(history.get("close")) == 2
    f = zelvo.Formula("MA(C,2)" if universe else "MA(C,2)+H")
    if bar is None:
        with pytest.raises(error, match=match):
            f.stream(history)
        return
    s = f.stream(history)
    with pytest.raises(error, match=match):
        s.update(bar)
    assert s.bars == 5                        # nothing was taken


def test_missing_values_of_nullable_columns_read_as_nan():
    close = pd.array([1.0, None, 3.0, 4.0, None, 6.0], dtype="Float64")
    df = pd.DataFrame({"date": pd.date_range("2024-01-01", periods=6), "close": close})
    f = zelvo.Formula("S:SUM(C,2)")
    want = f({"close": np.array([1.0, np.nan, 3.0, 4.0, np.nan, 6.0])})["S"]
    s = f.stream(df.iloc[:3])
    assert same(s.filled["S"], want[:3])
    for i in range(3, 6):
        assert same(s.update(df.iloc[i]), want[i]), i   # a row of mixed columns: pd.NA


# ---- a window too large to keep -------------------------------------------------------------

_ALLOCATE = """
import resource, numpy as np, zelvo
resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
try:
    zelvo.Formula({text!r}).stream({{"close": np.ones(3)}}, max_window={mw})
except MemoryError as e:
    print(e)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux")
                    or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="address-space limits as Linux sets them, without a sanitizer's reserve")
@pytest.mark.parametrize("text,mw,words", [
    ("HHV(C,2147483647)", 1024, ["HHV", "window 2147483647", "max_window=1024"]),
    ("MA(C,BARSLAST(C>1))", 2147483647, ["MA_A", "max_window=2147483647", "smaller max_window"]),
])
def test_a_window_that_cannot_be_kept_says_so(text, mw, words):
    # The process may not reserve more than 8 GiB, whatever the machine has,
    # so the stream's storage (16 to 32 GiB) cannot be allocated anywhere.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    p = subprocess.run([sys.executable, "-c", _ALLOCATE.format(text=text, mw=mw)],
                       capture_output=True, text=True, env=env)
    assert p.returncode == 0, p.stderr[-2000:]
    assert all(w in p.stdout for w in words), p.stdout


def test_a_universe_with_many_outputs():
    f = zelvo.Formula(";".join(f"Y{i}:C*{i}" for i in range(100)))
    got = f.stream({"close": np.ones((3, 4))}).update({"close": np.array([1.0, 2.0, 3.0])})
    assert all(same(got[f"Y{i}"], [i, 2.0 * i, 3.0 * i]) for i in range(100))
