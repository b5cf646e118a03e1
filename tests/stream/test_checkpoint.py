"""Streams that survive a restart.

A stream saved (``Stream.to_bytes()`` or ``pickle``) and restored
(``zelvo.stream.from_bytes``) at any bar, then fed the rest of the bars, gives
bit for bit what the stream that was never interrupted gives: every catalog
function and every library indicator, one instrument and a universe, over
hostile bars (NaN runs, infinities, zeros of both signs).  Bytes that are not
a saved stream as it was saved are refused with a StateError: another format
version, every truncation, every flipped bit, another formula's bytes, and
bytes forged with a valid checksum whose graph or states do not fit.
"""
import runpy
import pickle
import struct
import subprocess
import sys
import types
import zlib
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, strategies as st

import zelvo
from zelvo.stream import (StateCorruptError, StateError, StateFormulaError, StateTruncatedError,
                          StateVersionError, Stream, from_bytes)

from stateframe import HEAD, frame
from strategies import examples


def _sibling(name):
    """A test module beside this one (test modules are not importable by name)."""
    path = Path(__file__).with_name(f"{name}.py")
    return types.SimpleNamespace(**runpy.run_path(str(path), run_name=f"_{name}"))


# The stream tests' cases: every function's graph and inputs, hostile bars,
# random graphs and the classic indicators written as graphs.
_cases = _sibling("test_stream")
CASES, KDJ, MACD, hostile = _cases.CASES, _cases.KDJ, _cases.MACD, _cases.hostile
_call_graph, _inputs, graphs = _cases._call_graph, _cases._inputs, _cases.graphs

N_BARS = 40


def outputs_bits(result):
    values = result.values() if isinstance(result, dict) else [result]
    return [np.asarray(v, np.float64).view(np.uint64).tolist() for v in values]


def restored(s, way, formula=None):
    if way == "pickle":
        r = pickle.loads(pickle.dumps(s))
    else:
        r = from_bytes(s.to_bytes(), formula=formula)
    assert r.to_bytes() == s.to_bytes()     # the state, exactly
    assert (r.bars, r.instruments, r.outputs, r.fields) == (s.bars, s.instruments, s.outputs,
                                                            s.fields)
    return r


def run_with_restarts(open_on, bar_at, n, prefix, cuts, formula=None):
    """Two streams opened on the first `prefix` bars take the rest; the second
    is saved and restored before every bar in `cuts` (and after the last),
    through pickle and to_bytes by turns.  Every update is the same bits."""
    whole, s = open_on(prefix), open_on(prefix)
    for t in range(prefix, n + 1):
        if t in cuts or t == n:
            s = restored(s, "pickle" if t % 2 else "bytes", formula)
        if t == n:
            break
        bar = bar_at(t)
        assert outputs_bits(s.update(bar)) == outputs_bits(whole.update(bar)), t
    assert s.bars == whole.bars == n


def _panel(name, rng, universe, n, max_window):
    """The function's inputs: one series each, or (3 instruments x n)."""
    if not universe:
        return _inputs(name, rng, n, max_window)
    rows = [_inputs(name, rng, n, max_window) for _ in range(3)]
    return {f: np.stack([r[f] for r in rows]) for f in rows[0]}


cut_points = st.sets(st.integers(0, N_BARS), max_size=6)


@pytest.mark.parametrize("universe", [False, True], ids=["one", "universe"])
@pytest.mark.parametrize("name,windows", CASES, ids=[f"{n}{w}" for n, w in CASES])
@examples(6)
@given(seed=st.integers(0, 2**32 - 1), prefix=st.integers(0, N_BARS), cuts=cut_points)
def test_every_function_restored_equals_uninterrupted(name, windows, universe, seed, prefix, cuts):
    rng = np.random.default_rng(seed)
    nodes, _ = _call_graph(name, windows)
    bars = _panel(name, rng, universe, N_BARS, max_window=8)

    def open_on(p):
        return Stream(nodes, [("out", len(nodes) - 1)], {f: v[..., :p] for f, v in bars.items()},
                      max_window=8)

    def bar_at(t):
        return {f: (v[:, t].copy() if universe else float(v[t])) for f, v in bars.items()}

    run_with_restarts(open_on, bar_at, N_BARS, prefix, cuts)


@pytest.mark.parametrize("universe", [False, True], ids=["one", "universe"])
@pytest.mark.parametrize("name", list(zelvo.indicators))
def test_every_indicator_restored_equals_uninterrupted(name, universe):
    f = zelvo.indicators[name].formula
    rng = np.random.default_rng(zlib.crc32(name.encode()) + universe)
    n = 160
    shape = (4, n) if universe else (n,)
    bars = {c: hostile(rng, int(np.prod(shape))).reshape(shape)
            for c in ("open", "high", "low", "close", "volume")}
    cuts = set(rng.integers(0, n + 1, 8).tolist()) | {n}
    for prefix in (0, int(rng.integers(1, n))):
        run_with_restarts(lambda p: f.stream({c: v[..., :p] for c, v in bars.items()}),
                          lambda t: {c: (v[:, t].copy() if universe else float(v[t]))
                                     for c, v in bars.items()},
                          n, prefix, cuts, formula=f)


@examples(40)
@given(graphs(), st.integers(0, 2**32 - 1), st.integers(0, 30), st.sets(st.integers(0, 30)))
def test_random_graphs_restored_equal_uninterrupted(graph, seed, prefix, cuts):
    # Constants of every kind (NaN, -0.0) and every elementwise operation.
    rng = np.random.default_rng(seed)
    bars = {"close": hostile(rng, 30), "high": hostile(rng, 30)}
    run_with_restarts(lambda p: Stream(*graph, {f: v[:p] for f, v in bars.items()}, max_window=64),
                      lambda t: {f: float(v[t]) for f, v in bars.items()}, 30, prefix, cuts)


def test_a_restart_in_a_fresh_interpreter(tmp_path):
    rng = np.random.default_rng(11)
    K, n, cut = 5, 120, 70
    panel = {f: np.stack([hostile(rng, n) for _ in range(K)]) for f in ("close", "high", "low")}
    f = zelvo.indicators["KDJ"].formula
    s = f.stream({c: v[:, :cut] for c, v in panel.items()})
    (tmp_path / "kdj.state").write_bytes(pickle.dumps(s))
    np.savez(tmp_path / "rest.npz", **{c: v[:, cut:] for c, v in panel.items()})
    script = f"""
import pickle, numpy as np, zelvo
s = pickle.loads(open({str(tmp_path / 'kdj.state')!r}, 'rb').read())
rest = np.load({str(tmp_path / 'rest.npz')!r})
out = [s.update({{c: np.ascontiguousarray(rest[c][:, t]) for c in rest.files}})
       for t in range(rest['close'].shape[1])]
np.save({str(tmp_path / 'out.npy')!r}, np.array([[o[k] for k in s.outputs] for o in out]))
"""
    subprocess.run([sys.executable, "-c", script], check=True)
    got = np.load(tmp_path / "out.npy")
    exp = np.array([[o[k] for k in s.outputs] for o in
                    (s.update({c: v[:, t].copy() for c, v in panel.items()}) for t in range(cut, n))])
    assert got.shape == (n - cut, 3, K)
    assert np.array_equal(got.view(np.uint64), exp.view(np.uint64))


def test_what_is_kept_and_what_is_not():
    s = zelvo.Formula("M:MA(C,3); X:HHV(H,BARSLAST(C>O))").stream(
        {"close": np.ones((2, 5)), "open": np.zeros((2, 5)), "high": np.ones((2, 5))})
    r = from_bytes(memoryview(bytearray(s.to_bytes())))     # any bytes-like object
    assert type(r) is Stream and r._graph == s._graph
    # The history's results are not state: a restored stream has none.
    assert {k: v.shape for k, v in r.filled.items()} == {"M": (2, 0), "X": (2, 0)}
    assert from_bytes(SMALL.to_bytes()).filled["r"].shape == (0,)
    with pytest.raises(TypeError):
        from_bytes("not bytes")
    with pytest.raises(TypeError, match="zelvo.Formula"):
        from_bytes(s.to_bytes(), formula="MA(C,3)")
    with pytest.raises(RuntimeError, match="initialised already"):
        s._load(s.to_bytes())


# ---- bad input -------------------------------------------------------------------

SMALL = Stream([("field", "close"), ("call", "REF", (0,), (2,))], [("r", 1)],
               {"close": np.array([1.5, -0.0, 7.0])})


def fnv1a(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) % 2**64
    return h


def parse(b):
    """The parts of a graph's bytes, read by the layout src/ext/stream.cpp
    documents: identity, description, (universe, instruments, max_window,
    bars) and the frames of the call nodes' streams."""
    p = b[HEAD:]
    at = 8

    def u(fmt):
        nonlocal at
        v = struct.unpack_from("<" + fmt, p, at)
        at += struct.calcsize("<" + fmt)
        return v[0] if len(v) == 1 else v

    def skip(n):
        nonlocal at
        at += n
        if at > len(p):
            raise struct.error("past the end")

    for _ in range(u("I")):                  # fields
        skip(u("I"))
    for _ in range(u("I")):                  # nodes
        kind, code = u("BB")
        skip({1: 8, 3: 8, 4: 4, 5: 12}.get(kind, 0))
        if kind == 2:
            skip(u("B") + 4 * code)
            skip(4 * u("B"))
    for _ in range(u("I")):                  # outputs
        skip(u("I") + 4)
    desc = p[8:at]
    tail = u("BQiq")
    frames = []
    while at < len(p):
        size = u("Q")
        frames.append(p[at:at + size])
        at += size
    return {"identity": u_at(p, 0), "desc": desc, "tail": list(tail), "frames": frames}


def u_at(p, at):
    return struct.unpack_from("<Q", p, at)[0]


def build(parts, identity=None):
    desc = parts["desc"]
    payload = (struct.pack("<Q", fnv1a(desc) if identity is None else identity) + desc
               + struct.pack("<BQiq", *parts["tail"])
               + b"".join(struct.pack("<Q", len(f)) + f for f in parts["frames"]))
    return frame(b"ZVGR", payload)


def test_the_layout_is_the_documented_one():
    for s in (SMALL, Stream(*MACD, {"close": np.ones((3, 9))}),
              Stream(*KDJ, {"close": np.ones(4), "high": np.ones(4), "low": np.ones(4)})):
        b = s.to_bytes()
        assert b[:4] == b"ZVGR" and build(parse(b)) == b
        assert parse(b)["identity"] == fnv1a(parse(b)["desc"])
        assert all(f[:4] == b"ZVST" for f in parse(b)["frames"])


def test_every_truncation_is_refused():
    b = SMALL.to_bytes()
    for n in range(len(b)):
        with pytest.raises(StateTruncatedError, match=f"end after {n}"):
            from_bytes(b[:n])


def test_every_flipped_bit_is_refused():
    b = SMALL.to_bytes()
    for bit in range(8 * len(b)):
        m = bytearray(b)
        m[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(StateError) as e:
            from_bytes(bytes(m))
        if bit // 8 in (4, 5):
            assert e.type is StateVersionError
        elif bit // 8 >= HEAD:
            assert e.type is StateCorruptError and "checksum" in str(e.value)


@pytest.mark.parametrize("version", [0, 2, 65535])
def test_another_version_is_refused_as_such(version):
    b = SMALL.to_bytes()
    with pytest.raises(StateVersionError, match=f"format version {version};.* reads version 1"):
        from_bytes(frame(b"ZVGR", b[HEAD:], version=version))


def test_other_bytes_are_refused_by_name():
    b = SMALL.to_bytes()
    with pytest.raises(StateCorruptError, match="not a saved stream"):
        from_bytes(b"PK\x03\x04" + b[4:])
    with pytest.raises(StateCorruptError, match="go on for 3 past"):
        from_bytes(b + b"abc")
    with pytest.raises(StateCorruptError, match="head or checksum"):
        from_bytes(frame(b"ZVGR", b[HEAD:], reserved=1))
    with pytest.raises(StateCorruptError, match="core streams"):
        from_bytes(parse(b)["frames"][0])     # one node's frame of core streams


def test_bytes_of_another_formula_are_refused():
    macd, kdj = zelvo.indicators["MACD"].formula, zelvo.indicators["KDJ"].formula
    b = macd.stream({"close": np.ones((2, 30))}).to_bytes()
    assert from_bytes(b, formula=zelvo.Formula(macd.text)).bars == 30
    for other in (kdj, macd.with_params(SHORT=5), zelvo.Formula(macd.text.replace("DEA", "SIG"))):
        with pytest.raises(StateFormulaError, match="another formula or other parameters"):
            from_bytes(b, formula=other)
    # And the other way round.
    with pytest.raises(StateFormulaError):
        from_bytes(kdj.stream({c: np.ones(9) for c in kdj.fields}).to_bytes(), formula=macd)


def _forged(s, change, fix_identity=True):
    parts = parse(s.to_bytes())
    change(parts)
    return build(parts, None if fix_identity else parts["identity"])


FORGERIES = {
    # The graph's own fields against its streams'.
    "bars": (lambda p: p["tail"].__setitem__(3, p["tail"][3] + 1), "not what the node"),
    "instruments": (lambda p: p["tail"].__setitem__(1, 4), "another number of instruments"),
    "instruments the bytes cannot hold": (lambda p: p["tail"].__setitem__(1, 10**9),
                                          "instruments, max_window"),
    "max_window": (lambda p: p["tail"].__setitem__(2, 7), "not what the node"),
    "frames swapped": (lambda p: p["frames"].reverse(), "not what the node"),
    "frame dropped": (lambda p: p["frames"].pop(), "frames are malformed"),
    "frame damaged": (lambda p: p["frames"].__setitem__(0, p["frames"][0][:-1] + bytes(
        [p["frames"][0][-1] ^ 1])), "not what the node"),
    "a second universe flag": (lambda p: p["tail"].__setitem__(0, 2), "instruments, max_window"),
    # The description: decoded node by node as a program is checked.
    "an unknown function": (lambda p: p.__setitem__("desc", p["desc"].replace(b"HHV", b"HHX")),
                            r"node \d+ is malformed"),
    "an argument ahead": (lambda p: p.__setitem__("desc", p["desc"].replace(
        b"\x02MA" + struct.pack("<i", 0), b"\x02MA" + struct.pack("<i", 9))),
        r"node \d+ is malformed"),
    "field names": (lambda p: p.__setitem__("desc", p["desc"].replace(b"close", b"clo\xffe")),
                    "field 0 is malformed"),
    # Decoded, but not a graph Stream() builds: two names for one field,
    # outputs of one name, a look-ahead feeding a function.
    "a field's other name": (lambda p: p.__setitem__("desc", p["desc"].replace(b"close", b"CLOSE")),
                             "not one a stream is built from"),
    "one output name twice": (lambda p: p.__setitem__("desc", p["desc"].replace(b"\x01\0\0\0X",
                                                                                b"\x01\0\0\0M")),
                              "distinct names"),
}


@pytest.mark.parametrize("what", list(FORGERIES))
def test_forged_bytes_with_a_valid_checksum_are_refused(what):
    # Both outputs one letter; HHV with a window per bar, which keeps max_window bars.
    s = zelvo.Formula("M:MA(C,3); X:HHV(C,BARSLAST(C>M))").stream(
        {"close": np.arange(12.0).reshape(2, 6)}, max_window=5)
    change, message = FORGERIES[what]
    with pytest.raises(StateCorruptError, match=message):
        from_bytes(_forged(s, change))
    if what in ("a field's other name", "one output name twice"):
        # A description that decodes but is not the one its identity names.
        with pytest.raises(StateCorruptError, match="identity"):
            from_bytes(_forged(s, change, fix_identity=False))


def test_a_look_ahead_feeding_a_function_is_refused_from_bytes_too():
    # REF(C,-1) may not feed SUM; the same graph with SUM reading C is fine,
    # and its bytes with SUM's argument pointed at REF load in the core but
    # are not a graph Stream() builds.
    ok = Stream([("field", "close"), ("call", "REF", (0,), (-1,)), ("call", "SUM", (0,), (0,))],
                [("r", 1), ("s", 2)], {"close": np.ones(5)})
    old = b"\x03SUM" + struct.pack("<i", 0)
    forged = _forged(ok, lambda p: p.__setitem__("desc", p["desc"].replace(
        old, b"\x03SUM" + struct.pack("<i", 1))))
    with pytest.raises(StateCorruptError, match="look-ahead"):
        from_bytes(forged)


@examples(300)
@given(st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), min_size=1, max_size=4),
       st.booleans())
def test_mutated_bytes_resealed_are_refused_or_saved_again_the_same(edits, fix_identity):
    # The checksum and identity made right after random byte changes: the
    # loader's own checks must refuse what does not fit, and anything it
    # takes is exactly the state the bytes describe.
    s = Stream(*MACD, {"close": np.arange(20.0).reshape(2, 10)}) if fix_identity else SMALL
    b = bytearray(s.to_bytes())
    for at, value in edits:
        b[HEAD + 8 + at % (len(b) - HEAD - 8)] = value
    forged = frame(b"ZVGR", bytes(b[HEAD:]))
    if fix_identity:
        try:
            forged = build(parse(forged))
        except struct.error:         # parse() itself cannot walk these bytes
            return
    try:
        r = from_bytes(forged)
    except StateError:
        return
    assert r.to_bytes() == forged
