"""What the operators and elementwise functions give, bar by bar: truth of a
value, NaN, signed zeros; constants folded while compiling have the bits the
same operation gives on a series; panels and empty inputs."""
import numpy as np
import pytest

import zelvo
from zelvo.formula import Formula

NAN, INF = float("nan"), float("inf")
# Special values, and a literal that spells each.
SPECIAL = [(0.0, "0"), (-0.0, "-0"), (1.0, "1"), (-1.0, "-1"), (0.5, "0.5"),
           (-0.5, "-0.5"), (2.5, "2.5"), (256.0, "256"), (-3.0, "-3"),
           (INF, "1/0"), (-INF, "-1/0"), (NAN, "0/0"), (1e308, "1e308"), (5e-324, "5e-324")]
VALUES = np.array([v for v, _ in SPECIAL])


def bits(a):
    a = np.asarray(a, dtype=np.float64)
    return np.where(np.isnan(a), np.nan, a).view(np.int64)


UNARY = ["-{}", "NOT {}", "ABS({})", "SQRT({})", "LN({})", "LOG({})", "EXP({})", "SIGN({})"]
BINARY = ["{}+{}", "{}-{}", "{}*{}", "{}/{}", "{}>{}", "{}<{}", "{}>={}", "{}<={}",
          "{}={}", "{}<>{}", "{} AND {}", "{} OR {}", "MAX({},{})", "MIN({},{})",
          "POW({},{})"]


@pytest.mark.parametrize("form", UNARY)
def test_unary_folding_equals_evaluation(form):
    on_series = Formula(form.format("C"))({"close": VALUES})
    got = next(iter(on_series.values()))
    for i, (_, lit) in enumerate(SPECIAL):
        folded = Formula(form.format(f"({lit})")).program.nodes
        assert len(folded) == 1 and folded[0][0] == "const"
        assert bits(folded[0][1]) == bits(got[i]), (form, lit)


@pytest.mark.parametrize("form", BINARY)
def test_binary_folding_equals_evaluation(form):
    a = np.repeat(VALUES, len(VALUES))
    b = np.tile(VALUES, len(VALUES))
    got = next(iter(Formula(form.format("C", "O"))({"close": a, "open": b}).values()))
    for k in range(len(a)):
        lit_a, lit_b = SPECIAL[k // len(VALUES)][1], SPECIAL[k % len(VALUES)][1]
        folded = Formula(form.format(f"({lit_a})", f"({lit_b})")).program.nodes
        assert bits(folded[-1][1]) == bits(got[k]), (form, lit_a, lit_b)


def run(text, **cols):
    return next(iter(Formula(text)({k: np.asarray(v, dtype=float) for k, v in cols.items()}).values()))


TRUTH = [256.0, -1.0, 0.5, -0.5, NAN, INF, -INF, 1.0, 0.0, -0.0, 1.5, -0.99]
TRUE = [1, 1, 0, 0, 0, 1, 1, 1, 0, 0, 1, 0]


@pytest.mark.parametrize("text", ["IF(C,1,0)", "IFF(C,1,0)", "FIF(C,1,0)", "C AND 1",
                                  "C OR 0", "NOT NOT C", "C && C", "!(!C)"])
def test_a_value_is_true_when_its_truncation_is_not_zero(text):
    assert run(text, close=TRUTH).tolist() == TRUE


def test_conditions_of_the_functions_follow_the_same_truth():
    # 256 and -1 are true although a cast to an unsigned byte would make 256 false.
    c = np.array([0.0, 256.0, 0.0, 0.5, -1.0, NAN, 0.0])
    assert run("BARSLAST(C)", close=c)[1:].tolist() == zelvo.BARSLAST(
        np.array([0, 1, 0, 0, 1, 0, 0], dtype=np.uint8))[1:].tolist()
    assert run("BACKCOUNT(C)", close=c).tolist() == [0, 1, 0, 0, 1, 0, 0]


def test_comparisons_with_nan_are_false():
    c, o = [NAN, 1.0, NAN], [1.0, NAN, NAN]
    for op in (">", "<", ">=", "<=", "="):
        assert run(f"C{op}O", close=c, open=o).tolist() == [0, 0, 0]
    assert run("C<>O", close=c, open=o).tolist() == [1, 1, 1]
    assert run("NOT C", close=c).tolist() == [1, 0, 1]


def test_elementwise_functions_give_nan_for_nan():
    c = [NAN, NAN, 1.0, 0.0]
    o = [0.0, 1.0, NAN, NAN]
    for text in ("ABS(C)", "SQRT(C)", "LN(C)", "LOG(C)", "EXP(C)", "SIGN(C)"):
        assert np.isnan(run(text, close=c)[:2]).all(), text
    for text in ("MAX(C,O)", "MIN(C,O)", "POW(C,O)", "MAX(O,C)", "MIN(O,C)", "POW(O,C)"):
        assert np.isnan(run(text, close=c, open=o)).all(), text


def test_signed_zeros():
    z = [0.0, -0.0]
    assert bits(run("MAX(C,O)", close=z, open=z[::-1])).tolist() == bits([-0.0, 0.0]).tolist()
    assert bits(run("MIN(C,O)", close=z, open=z[::-1])).tolist() == bits([-0.0, 0.0]).tolist()
    assert bits(run("SIGN(C)", close=z)).tolist() == bits([0.0, 0.0]).tolist()
    assert bits(run("-C", close=z)).tolist() == bits([-0.0, 0.0]).tolist()
    assert bits(run("ABS(C)", close=z)).tolist() == bits([0.0, 0.0]).tolist()


def test_arithmetic_is_ieee():
    assert run("C/O", close=[1.0, -1.0, 0.0], open=[0.0, 0.0, 0.0]).tolist()[:2] == [INF, -INF]
    assert np.isnan(run("C/O", close=[0.0], open=[0.0]))[0]
    assert run("LN(C)", close=[0.0]).tolist() == [-INF]
    assert np.isnan(run("SQRT(C)", close=[-1.0]))[0]
    assert run("LOG(C)", close=[100.0]).tolist() == [2.0]


def test_outputs_are_fresh_arrays_of_the_input_shape():
    c = np.arange(6.0)
    out = Formula("A: C; B: C; K: 5; IF(1, C, O)")({"close": c, "open": c})
    assert list(out) == ["A", "B", "K", "IF(1, C, O)"]
    assert out["K"].tolist() == [5.0] * 6
    out["A"][:] = -1
    assert c.tolist() == list(range(6)) and out["B"].tolist() == list(range(6))
    assert not np.shares_memory(out["B"], out["IF(1, C, O)"])


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 5)])
def test_no_bars_or_no_instruments(shape):
    f = zelvo.indicators["KDJ"].formula
    cols = {k: np.zeros(shape) for k in ("high", "low", "close")}
    out = f(cols)
    assert list(out) == ["K", "D", "J"] and all(v.shape == shape for v in out.values())


def test_panels_in_any_layout_give_the_rows_of_single_series():
    rng = np.random.default_rng(7)
    c = np.cumsum(rng.normal(size=(4, 300)), axis=1) + 50
    c[1, :20] = np.nan
    f = Formula("X: EMA(C,5) - MA(C,7); Y: HHV(C, BARSLAST(CROSS(C, MA(C,10)))); "
                "Z: IF(C>REF(C,1), SUM(C,3), -C)")
    for panel in (c, np.asfortranarray(c), c[:, ::-1][:, ::-1]):
        ro = panel.copy()
        ro.flags.writeable = False
        for data in (panel, ro):
            out = f({"close": data})
            for r in range(4):
                one = f({"close": c[r].copy()})
                for k in out:
                    assert bits(out[k][r]).tolist() == bits(one[k]).tolist()


# One condition rule on every layer: a value holds where its truncation toward
# zero is non-zero, NaN never.
CONDITIONS = np.array([0.0, -0.0, 0.5, -0.99, 1.0, -1.0, 256.0, 1e300, np.inf, -np.inf,
                       np.nan, 5e-324, 0.9999999999999999])
HOLDS = np.array([0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0, 0], dtype=bool)


def test_every_layer_judges_conditions_alike():
    import zelvo._zelvo as exact
    from zelvo.formula import _ops

    ones, zeros = np.ones(CONDITIONS.size), np.zeros(CONDITIONS.size)
    assert np.array_equal(zelvo._api._truth(CONDITIONS), HOLDS)
    assert np.array_equal(_ops.truth(CONDITIONS), HOLDS)
    assert np.array_equal(zelvo.FIF(CONDITIONS, ones, zeros), HOLDS)
    assert np.array_equal(exact.FIF(CONDITIONS, ones, zeros), HOLDS)
    f = Formula("Y: IF(C, 1, 0); N: NOT(C); A: C AND 1")
    out = f({"close": CONDITIONS})
    assert np.array_equal(out["Y"], HOLDS) and np.array_equal(out["N"], ~HOLDS)
    assert np.array_equal(out["A"], HOLDS)
    s = f.stream({"close": CONDITIONS[:0]})
    assert [s.update(v)["Y"] for v in CONDITIONS] == HOLDS.tolist()


# ---- the elementwise loops over whole arrays -----------------------------------------

from zelvo.formula import _ops  # noqa: E402

_PANEL = np.array([[1.0, -0.0, np.nan, 3.5], [0.0, np.inf, -2.0, 1e308]])


@pytest.mark.parametrize("op", sorted(set(_ops.BINOPS) | set(_ops.BINFNS)))
@pytest.mark.parametrize("other", [2.0, -0.0, np.nan, _PANEL[::-1].copy(), _PANEL[0].copy()])
def test_a_constant_or_a_broadcast_operand_gives_the_bits_of_full_arrays(op, other):
    # A 0-d operand stands for every element, other shapes broadcast: both
    # give what the same operation gives on two full arrays, either way round.
    fn = {**_ops.BINOPS, **_ops.BINFNS}[op]
    full = np.ascontiguousarray(np.broadcast_to(other, _PANEL.shape))
    for a, b, fa, fb in ((_PANEL, other, _PANEL, full), (other, _PANEL, full, _PANEL)):
        with np.errstate(all="ignore"):
            want = fn(np.ascontiguousarray(fa), np.ascontiguousarray(fb))
            got = fn(a, b)
        assert got.shape == _PANEL.shape and got.tobytes() == want.tobytes(), op


@pytest.mark.parametrize("op", ["+", "*", "MAX"])
def test_results_written_over_an_operand(op):
    fn = {**_ops.BINOPS, **_ops.BINFNS}[op]
    a, b = _PANEL.copy(), _PANEL[::-1].copy()
    want = fn(a, b)
    got = fn(a, b, out=a) if op != "MAX" else want
    assert got.tobytes() == want.tobytes()
    # An out= the loops cannot write into (another dtype, not contiguous) is
    # left alone and a new array is returned.
    for bad in (np.zeros(_PANEL.shape, dtype=np.float32), np.zeros((4, 2)).T):
        r = _ops.UNOPS["NEG"](_PANEL, out=bad)
        assert r is not bad and r.tobytes() == (-_PANEL).tobytes()


@pytest.mark.parametrize("args,error", [
    (("??", 1.0, 2.0, None), ValueError),
    (("NEG", 1.0, 2.0, None), ValueError),       # a unary op with two operands
    (("+", "x", 2.0, None), ValueError),
    ((1, 1.0, 2.0, None), TypeError),
    (("+", np.ones(3), np.ones(3), np.zeros(2)), ValueError),
    (("+",), TypeError),
])
def test_the_loops_refuse_what_they_cannot_run(args, error):
    from zelvo import _stream
    with pytest.raises(error):
        _stream._elementwise(*args)
