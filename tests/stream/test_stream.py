"""zelvo.stream: graphs of streams against the whole-series functions.

The reference of a graph is the graph evaluated over the whole series, node
by node: the module's functions for the calls and the formula language's
own definitions (zelvo.formula._ops) for the elementwise operations.  A
stream opened on a prefix and fed the rest must give, at every bar, the
reference's value at that bar.  Every bit is checked, with one freedom: where two NaNs meet in one operation, which payload
survives is not part of the contract, so two NaNs count as equal for the
functions that compute and for graphs; the functions that copy values or
count are checked bit for bit.
"""
import threading
import time
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zelvo
from zelvo._catalog import FUNCTIONS
from zelvo.formula import _ops
from zelvo.stream import Stream

from realbars import FILES, load

# The elementwise operations mean what they mean in the formula language.
BIN = {**_ops.BINOPS, **_ops.BINFNS}
UN = {op: fn for op, fn in _ops.UNOPS.items() if op != "NOT"}


def holds(v):
    return np.abs(v) >= 1.0


def reference(nodes, bars):
    """Every node over the whole series of one instrument."""
    n = len(next(iter(bars.values()))) if bars else 0
    vals = []
    with np.errstate(all="ignore"):
        for node in nodes:
            tag = node[0]
            if tag == "field":
                v = np.asarray(bars[node[1]], dtype=np.float64)
            elif tag == "const":
                v = np.full(n, float(node[1]))
            elif tag == "call" and n == 0:
                v = np.zeros(0)          # the module refuses empty series
            elif tag == "call":
                name, args, params = node[1:]
                kinds = [k for k in FUNCTIONS[name].kinds if k != "i"]
                series = [holds(vals[a]).astype(np.float64) if k == "c" else vals[a]
                          for a, k in zip(args, kinds)]
                v = getattr(zelvo, name)(*series, *params)
            elif tag in ("binop", "binfn"):
                a, b = vals[node[2]], vals[node[3]]
                if node[1] == "AND":
                    v = (holds(a) & holds(b)).astype(np.float64)
                elif node[1] == "OR":
                    v = (holds(a) | holds(b)).astype(np.float64)
                else:
                    v = BIN[node[1]](a, b).astype(np.float64)
            elif tag == "unop":
                a = vals[node[2]]
                v = (~holds(a)).astype(np.float64) if node[1] == "NOT" else UN[node[1]](a)
            else:
                c, a, b = (vals[i] for i in node[1:])
                v = np.where(holds(c), a, b)
            vals.append(np.asarray(v, dtype=np.float64))
    return vals


def bits(a):
    return np.asarray(a, dtype=np.float64).reshape(-1).view(np.uint64)


def same(got, exp, nan_equal=False):
    got, exp = np.asarray(got, dtype=np.float64), np.asarray(exp, dtype=np.float64)
    eq = bits(got) == bits(exp)
    if nan_equal:
        eq |= np.isnan(got).reshape(-1) & np.isnan(exp).reshape(-1)
    return bool(eq.all())


def hostile(rng, n, nan_runs=True):
    """A walk with leading NaN bars, NaN runs, infinities, zeros of both
    signs and repeated values."""
    x = np.cumsum(rng.standard_normal(n)) + 10.0
    u = rng.random(n)
    x[u < 0.10] = 0.0
    x[(u >= 0.10) & (u < 0.15)] = -0.0
    x[(u >= 0.15) & (u < 0.18)] = np.inf
    x[(u >= 0.18) & (u < 0.21)] = -np.inf
    rep = (u >= 0.21) & (u < 0.30)
    x[1:][rep[1:]] = x[:-1][rep[1:]]
    if nan_runs:
        x[(u >= 0.30) & (u < 0.35)] = np.nan
        x[: rng.integers(0, 4)] = np.nan
    return x


def run_stream(nodes, outputs, bars, prefix, max_window=None, nan_equal=False):
    """Opens on the first `prefix` bars, feeds the rest one by one (peek first,
    a copy taken midway), and checks everything against the reference."""
    n = len(next(iter(bars.values())))
    ref = reference(nodes, bars)
    head = {f: v[:prefix] for f, v in bars.items()}
    kw = {} if max_window is None else {"max_window": max_window}
    s = Stream(nodes, outputs, head, **kw)
    href = reference(nodes, head)
    for name, node in outputs:
        assert same(s.filled[name], href[node], nan_equal), (name, "history")
    twin = None
    for t in range(prefix, n):
        bar = {f: float(v[t]) for f, v in bars.items()}
        if t == (prefix + n) // 2:
            twin = s.copy()
        peeked = s.peek(bar)
        got = s.update(bar)
        if twin is not None:
            assert same(list(_values(twin.update(bar))), list(_values(got))), (t, "copy")
        for i, (name, node) in enumerate(outputs):
            g = got if len(outputs) == 1 else got[name]
            p = peeked if len(outputs) == 1 else peeked[name]
            assert same(p, g, nan_equal), (name, t, "peek")
            assert same(g, ref[node][t], nan_equal), (name, t, g, ref[node][t])
    assert s.bars == n
    return s


def _values(x):
    return x.values() if isinstance(x, dict) else [x]


# ---- every function through a graph ------------------------------------------

def _call_graph(name, windows):
    f = FUNCTIONS[name]
    series = [a for a, k in f.args if k != "i"]
    nodes = [("field", a) for a in series]
    nodes.append(("call", name, tuple(range(len(series))), tuple(windows)))
    return nodes, series


def _inputs(name, rng, n, max_window):
    f = FUNCTIONS[name]
    out = {}
    for a, k in f.args:
        if k == "c":
            out[a] = rng.choice([0.0, 0.5, 1.0, 2.0, -1.0, np.nan, 300.0], n)
        elif k == "s" and a in ("N",):
            # windows the stream can serve: within max_window, or past bar 0
            w = rng.integers(-2, max_window + 1, n).astype(np.float64)
            w[rng.random(n) < 0.1] = np.nan
            w[rng.random(n) < 0.1] = n + 3.5
            out[a] = w
        elif k == "s" and name == "DMA" and a == "A":
            out[a] = rng.random(n)
        elif k == "s":
            out[a] = hostile(rng, n)
    return out


# The functions that compute rather than copy or count: where two NaNs meet
# in them, either payload may survive.
COMPUTES = {"MA", "MA_A", "EMA", "SMA", "WMA", "DMA", "SUM", "SUM_A", "STD", "STDDEV", "STDP",
            "AVEDEV", "SLOPE"}
WINDOWS = {"SMA": [(3, 1), (0, 1), (5, 7)], "REF": [(2,), (0,), (-3,)],
           "REFXV": [(-2,), (0,), (3,)]}


def _window_cases(name):
    f = FUNCTIONS[name]
    if name in WINDOWS:
        return WINDOWS[name]
    if f.kinds.count("i") == 1:
        return [(w,) for w in (0, 1, 4, 40) if w >= f.min_window]
    return [()]


CASES = [(name, w) for name in FUNCTIONS for w in _window_cases(name)]


@pytest.mark.parametrize("name,windows", CASES, ids=[f"{n}{w}" for n, w in CASES])
def test_every_function_bit_for_bit(name, windows):
    rng = np.random.default_rng(abs(hash((name, windows))) % 2**32)
    n, max_window = 60, 8
    nodes, series = _call_graph(name, windows)
    look_ahead = (name == "REF" and windows[0] < 0) or (name == "REFXV" and windows[0] > 0)
    for prefix in (1, 13, n // 2, n - 1):
        bars = _inputs(name, rng, n, max_window)
        if name == "REF_A":
            bars["N"] = np.abs(bars["N"])   # a negative offset is not revised later
        if look_ahead:
            _check_look_ahead(nodes, bars, prefix)
            continue
        run_stream(nodes, [("out", len(nodes) - 1)], bars, prefix, max_window=max_window,
                   nan_equal=name in COMPUTES)


def _check_look_ahead(nodes, bars, prefix):
    """Each update gives the value over the bars so far."""
    n = len(next(iter(bars.values())))
    s = Stream(nodes, [("out", len(nodes) - 1)], {f: v[:prefix] for f, v in bars.items()})
    for t in range(prefix, n):
        got = s.update({f: v[t] for f, v in bars.items()})
        exp = reference(nodes, {f: v[: t + 1] for f, v in bars.items()})[-1][t]
        assert same(got, exp), t


# ---- classic indicators, hand-written graphs ----------------------------------

MACD = ([("field", "close"), ("call", "EMA", (0,), (12,)), ("call", "EMA", (0,), (26,)),
         ("binop", "-", 1, 2), ("call", "EMA", (3,), (9,)), ("binop", "-", 3, 4),
         ("const", 2.0), ("binop", "*", 5, 6)],
        [("DIF", 3), ("DEA", 4), ("MACD", 7)])
KDJ = ([("field", "close"), ("field", "high"), ("field", "low"),
        ("call", "LLV", (2,), (9,)), ("call", "HHV", (1,), (9,)),
        ("binop", "-", 0, 3), ("binop", "-", 4, 3), ("binop", "/", 5, 6), ("const", 100.0),
        ("binop", "*", 7, 8), ("call", "SMA", (9,), (3, 1)), ("call", "SMA", (10,), (3, 1)),
        ("const", 3.0), ("binop", "*", 12, 10), ("const", 2.0), ("binop", "*", 14, 11),
        ("binop", "-", 13, 15)],
       [("K", 10), ("D", 11), ("J", 16)])
BOLL = ([("field", "close"), ("call", "MA", (0,), (20,)), ("call", "STD", (0,), (20,)),
         ("const", 2.0), ("binop", "*", 3, 2), ("binop", "+", 1, 4), ("binop", "-", 1, 4)],
        [("MID", 1), ("UPPER", 5), ("LOWER", 6)])
RSI = ([("field", "close"), ("call", "REF", (0,), (1,)), ("binop", "-", 0, 1), ("const", 0.0),
        ("binfn", "MAX", 2, 3), ("call", "SMA", (4,), (6, 1)), ("unop", "ABS", 2),
        ("call", "SMA", (6,), (6, 1)), ("binop", "/", 5, 7), ("const", 100.0),
        ("binop", "*", 8, 9)],
       [("RSI", 10)])


def real_bars(n=600):
    if not FILES:
        pytest.skip("no real bars beside the project")
    return {k: v[:n].copy() for k, v in load(FILES[0]).items()}


@pytest.mark.parametrize("graph", [MACD, KDJ, BOLL, RSI], ids=["MACD", "KDJ", "BOLL", "RSI"])
@pytest.mark.parametrize("data", ["hostile", "real"])
def test_classic_indicators(graph, data):
    if data == "real":
        bars = real_bars()
    else:
        rng = np.random.default_rng(7)
        bars = {f: hostile(rng, 300) for f in ("close", "high", "low")}
    n = len(bars["close"])
    for prefix in (9, 21, n // 2, n - 1):
        run_stream(*graph, bars, prefix, nan_equal=True)


# ---- random formulas -------------------------------------------------------------

SIMPLE = [name for name in FUNCTIONS if name not in ("REF", "REFXV")]


@st.composite
def graphs(draw):
    nodes = [("field", "close"), ("field", "high")]
    for _ in range(draw(st.integers(1, 12))):
        i = len(nodes)
        ref = st.integers(0, i - 1)
        kind = draw(st.sampled_from(["call", "call", "binop", "unop", "binfn", "if", "const"]))
        if kind == "call":
            name = draw(st.sampled_from(SIMPLE))
            f = FUNCTIONS[name]
            args = tuple(draw(ref) for k in f.kinds if k != "i")
            params = tuple(draw(st.integers(max(f.min_window or 0, 0), 6))
                           for k in f.kinds if k == "i")
            if name == "REF_A":
                # A negative offset looks ahead; its NaN would feed later nodes.
                nodes.append(("unop", "ABS", args[1]))
                args = (args[0], len(nodes) - 1)
            nodes.append(("call", name, args, params))
        elif kind == "binop":
            nodes.append(("binop", draw(st.sampled_from(
                ["+", "-", "*", "/", ">", "<", ">=", "<=", "==", "!=", "AND", "OR"])),
                draw(ref), draw(ref)))
        elif kind == "unop":
            nodes.append(("unop", draw(st.sampled_from(list(UN) + ["NOT"])), draw(ref)))
        elif kind == "binfn":
            nodes.append(("binfn", draw(st.sampled_from(["MAX", "MIN", "POW"])), draw(ref),
                          draw(ref)))
        elif kind == "if":
            nodes.append(("if", draw(ref), draw(ref), draw(ref)))
        else:
            nodes.append(("const", draw(st.sampled_from([0.0, -0.0, 1.0, 2.5, -3.0, np.nan]))))
    outs = sorted(set(draw(st.lists(st.integers(0, len(nodes) - 1), min_size=1, max_size=3))))
    return nodes, [(f"o{i}", i) for i in outs]


@settings(max_examples=60, deadline=None)
@given(graphs(), st.integers(0, 2**32 - 1), st.integers(0, 40))
def test_random_formulas(graph, seed, prefix):
    rng = np.random.default_rng(seed)
    bars = {"close": hostile(rng, 40), "high": hostile(rng, 40)}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run_stream(*graph, bars, prefix, max_window=64, nan_equal=True)


# ---- universes ---------------------------------------------------------------------

def test_universe_equals_each_instrument():
    rng = np.random.default_rng(3)
    K, n, prefix = 7, 80, 30
    panel = {f: np.stack([hostile(rng, n) for _ in range(K)]) for f in ("close", "high", "low")}
    s = Stream(KDJ[0], KDJ[1], {f: v[:, :prefix] for f, v in panel.items()})
    assert s.instruments == K
    refs = [reference(KDJ[0], {f: v[k] for f, v in panel.items()}) for k in range(K)]
    for name, node in KDJ[1]:
        for k in range(K):
            assert same(s.filled[name][k], refs[k][node][:prefix], True)
    for t in range(prefix, n):
        bar = {f: v[:, t].copy() for f, v in panel.items()}
        peeked = s.peek(bar)
        got = s.update(bar)
        for name, node in KDJ[1]:
            assert got[name].shape == (K,)
            assert same(peeked[name], got[name])
            assert same(got[name], [refs[k][node][t] for k in range(K)], True), (name, t)


def test_universe_takes_lists_and_other_dtypes_and_refuses_wrong_lengths():
    s = Stream([("field", "close"), ("call", "SUM", (0,), (2,))], [("s", 1)],
               {"close": np.ones((3, 4))})
    assert same(s.update({"close": [1, 2, 3]}), [2.0, 3.0, 4.0])
    assert same(s.update({"close": np.array([1, 1, 1], dtype=np.float32)}), [2.0, 3.0, 4.0])
    with pytest.raises(ValueError, match="instruments"):
        s.update({"close": np.ones(4)})
    with pytest.raises(KeyError):
        s.update({"open": np.ones(3)})
    assert s.bars == 6


def test_universe_update_releases_the_gil():
    K = 400_000
    nodes = [("field", "close")] + [("call", "STD", (0,), (30,))] * 1
    s = Stream(nodes, [("s", 1)], {"close": np.zeros((K, 40))})
    bar = {"close": np.random.default_rng(0).random(K)}
    s.update(bar)                       # warm
    ticks, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1

    th = threading.Thread(target=spin)
    th.start()
    time.sleep(0.02)
    before = ticks[0]
    t0 = time.perf_counter()
    s.update(bar)
    took = time.perf_counter() - t0
    during = ticks[0] - before
    stop.set()
    th.join()
    assert took > 0.005, "the update was too short to tell"
    assert during > 1000, (during, took)


# ---- the Python surface -------------------------------------------------------------

def test_copy_is_independent():
    s = Stream([("field", "x"), ("call", "EMA", (0,), (5,))], [("e", 1)], {"x": np.arange(10.0)})
    c = s.copy()
    assert isinstance(c, Stream) and c.fields == ("x",) and c.bars == 10
    a = s.update(100.0)
    assert c.update(-5.0) != a
    assert s.update(1.0) != c.update(1.0)


def test_single_field_takes_a_number_or_a_mapping():
    s = Stream([("field", "x"), ("call", "MA", (0,), (2,))], [("m", 1)], {"x": [1.0, 2.0]})
    assert s.update(4) == 3.0
    assert s.update({"x": 6.0, "y": 0.0}) == 5.0
    assert s.update(np.int64(8)) == 7.0 and s.update(np.float32(10.0)) == 9.0
    assert s.peek(np.float64(12.0)) == 11.0
    with pytest.raises(TypeError):
        s.update("7")
    assert s.bars == 6


def test_several_outputs_give_a_dict():
    s = Stream(*MACD, {"close": np.linspace(1, 2, 50)})
    out = s.update({"close": 2.0})
    assert list(out) == ["DIF", "DEA", "MACD"] and s.outputs == ("DIF", "DEA", "MACD")


def test_window_beyond_max_window_warns_and_takes_the_bar():
    s = Stream([("field", "x"), ("field", "w"), ("call", "MA_A", (0, 1), ())], [("m", 2)],
               {"x": np.arange(10.0), "w": np.full(10, 5.0)}, max_window=3)
    assert s.filled["m"][-1] == 7.0      # the history is served whole
    with pytest.warns(RuntimeWarning, match="max_window=3"):
        v = s.update({"x": 10.0, "w": 5.0})
    assert np.isnan(v) and s.bars == 11
    assert s.update({"x": 11.0, "w": 2.0}) == 10.5


@pytest.mark.parametrize("nodes,outputs,message", [
    ([], [("a", 0)], "at least one node"),
    ([("field", "x"), ("call", "NOPE", (0,), ())], [("a", 1)], "no function"),
    ([("field", "x"), ("call", "MA", (0,), ())], [("a", 1)], "takes 1 series and 1"),
    ([("field", "x"), ("call", "MA", (0,), (0,))], [("a", 1)], "outside 1"),
    ([("field", "x"), ("call", "MA", (1,), (3,))], [("a", 1)], "earlier node"),
    ([("field", "x"), ("binop", "%", 0, 0)], [("a", 1)], "no binop"),
    ([("field", "x"), ("binfn", "+", 0, 0)], [("a", 1)], "no binfn"),
    ([("field", "x"), ("unop", "COS", 0)], [("a", 1)], "no unop"),
    ([("field", "x"), ("call", "REF", (0,), (-1,)), ("call", "MA", (1,), (2,))], [("a", 2)],
     "look-ahead"),
    ([("field", "x")], [("a", 3)], "output"),
    ([("field", "x")], [("a", 0), ("a", 0)], "distinct"),
    ([("oops",)], [("a", 0)], "not a node"),
    # windows whose weights would wrap, refused as the functions refuse them
    ([("field", "x"), ("call", "EMA", (0,), (2**31 - 1,))], [("a", 1)], "node 1: EMA.*wraps"),
    ([("field", "x"), ("call", "SMA", (0,), (5, -(2**31 - 5)))], [("a", 1)], "N-M wraps"),
])
def test_malformed_graphs_are_refused(nodes, outputs, message):
    with pytest.raises(ValueError, match=message):
        Stream(nodes, outputs, {"x": np.zeros(3)})


def test_history_shapes_are_checked():
    nodes, outs = [("field", "a"), ("field", "b"), ("binop", "+", 0, 1)], [("s", 2)]
    with pytest.raises(ValueError, match="differ"):
        Stream(nodes, outs, {"a": np.zeros(3), "b": np.zeros(4)})
    with pytest.raises(KeyError):
        Stream(nodes, outs, {"a": np.zeros(3)})
    with pytest.raises(ValueError, match="1-D"):
        Stream(nodes, outs, {"a": np.zeros((2, 2, 2)), "b": np.zeros((2, 2, 2))})
    s = Stream(nodes, outs, {"a": np.zeros((2, 0)), "b": np.zeros((2, 0))})
    assert s.instruments == 2 and s.filled["s"].shape == (2, 0)
    assert same(s.update({"a": [1, 2], "b": [3, 4]}), [4.0, 6.0])


def test_elementwise_operations_are_the_languages():
    # Every operation on every pair of awkward values, as one universe bar.
    vals = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, 1e308, 3.7])
    a, b = np.repeat(vals, vals.size), np.tile(vals, vals.size)
    nodes = [("field", "a"), ("field", "b")]
    outs = []
    for op in ["+", "-", "*", "/", ">", "<", ">=", "<=", "==", "!=", "AND", "OR"]:
        nodes.append(("binop", op, 0, 1))
    for op in ["MAX", "MIN", "POW"]:
        nodes.append(("binfn", op, 0, 1))
    for op in list(UN) + ["NOT"]:
        nodes.append(("unop", op, 0))
    nodes.append(("if", 0, 0, 1))
    outs = [(str(i), i) for i in range(2, len(nodes))]
    s = Stream(nodes, outs, {"a": np.zeros((a.size, 0)), "b": np.zeros((a.size, 0))})
    got = s.update({"a": a, "b": b})
    ref = reference(nodes, {"a": a, "b": b})
    for name, node in outs:
        assert same(got[name], ref[node], nan_equal=True), nodes[node]
    one = Stream(nodes, outs, {"a": np.zeros(0), "b": np.zeros(0)})
    for i in range(0, a.size, 7):
        g = one.update({"a": a[i], "b": b[i]})
        for name, node in outs:
            assert same(g[name], ref[node][i], nan_equal=True), (nodes[node], a[i], b[i])


def test_one_stream_is_updated_by_one_thread_at_a_time():
    K = 300_000
    s = Stream([("field", "c"), ("call", "STD", (0,), (20,))], [("s", 1)],
               {"c": np.zeros((K, 20))})
    bar = {"c": np.ones(K)}
    errors = []

    def hammer():
        for _ in range(5):
            try:
                s.update(bar)
            except RuntimeError as e:
                errors.append(str(e))

    threads = [threading.Thread(target=hammer) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert s.bars == 20 + 15 - len(errors)
    assert all("another thread" in e for e in errors)
