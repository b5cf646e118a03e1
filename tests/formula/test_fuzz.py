"""Property tests of the parser: any text either compiles or raises
FormulaError with a place inside the text, never another exception; and any
well-formed formula compiles, shares what it repeats and evaluates."""
import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zelvo.formula import Formula, FormulaError, _evaluate

BARS = {"open": np.array([1.0, 2.0, np.nan, 4.0, 0.0, -3.0]),
        "high": np.array([2.0, 3.0, 4.0, 5.0, 1.0, -1.0]),
        "low": np.array([0.5, 1.0, 2.0, -3.0, -1.0, -4.0]),
        "close": np.array([1.5, 2.5, 3.5, 0.0, 0.5, -2.0]),
        "volume": np.array([10.0, 0.0, 30.0, 40.0, 50.0, 60.0])}

def bits(a):
    return np.where(np.isnan(a), np.nan, a).view(np.int64)


# Pieces of formulas, so random texts come close to real ones.
PIECES = ["C", "O", "H", "L", "V", "VOL", "AMOUNT", "X", "Y", "N", "MA", "EMA", "SMA",
          "REF", "HHV", "LLV", "SUM", "COUNT", "BARSLAST", "CROSS", "FIF", "IF", "ABS",
          "MAX", "MIN", "POW", "SQRT", "LN", "SIGN", "NOT", "AND", "OR", "PARAM", "STD",
          "SLOPE", "FILTER", "REFIF", "DMA", "(", ")", ",", ";", "\n", ":=", ":", "+", "-",
          "*", "/", ">", "<", ">=", "<=", "=", "==", "<>", "!=", "&&", "||", "!", "{", "}",
          "//", " ", "0", "1", "2", "5", "0.5", "-1", "1e3", "1e999", "2147483648", "中",
          "（", "；", "\t", "'", "[", "%", ".", "ß"]

texts = st.one_of(
    st.lists(st.sampled_from(PIECES), max_size=40).map("".join),
    st.lists(st.sampled_from(PIECES), max_size=40).map(" ".join),
    st.text(max_size=60),
    st.text(alphabet="CO()+-*/,;:=<>!&|{}01259.\n NOTANDMAX", max_size=60),
)


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(texts)
def test_any_text_compiles_or_raises_formula_error(text):
    try:
        f = Formula(text)
    except FormulaError as e:
        assert 0 <= e.start <= len(text) and e.start < e.end
        shown = str(e)
        assert shown.startswith(e.message) and shown.splitlines()[-1].strip("^ ") == ""
        return
    assert f.outputs
    try:
        out = f(BARS)
    except FormulaError as e:           # a bar column the test data lacks
        assert "AMOUNT" in text.upper() and "amount" in e.message
        return
    assert list(out) == f.outputs
    assert all(v.shape == (6,) and v.dtype == np.float64 for v in out.values())


# Well-formed expressions over the bars.
LEAVES = st.sampled_from(["C", "O", "H", "L", "V", "1", "2", "0.5", "0", "N"])


def _grow(sub):
    return st.one_of(
        st.tuples(sub, st.sampled_from(["+", "-", "*", "/", ">", "<=", "=", "<>", " AND ",
                                        " OR ", "&&"]), sub).map(lambda t: f"({t[0]}{t[1]}{t[2]})"),
        sub.map(lambda a: f"-{a}"), sub.map(lambda a: f"NOT {a}"),
        st.tuples(st.sampled_from(["ABS", "SQRT", "LN", "SIGN", "BARSLAST", "BACKCOUNT"]),
                  sub).map(lambda t: f"{t[0]}({t[1]})"),
        st.tuples(st.sampled_from(["MAX", "MIN", "POW", "CROSS", "DMA"]), sub, sub).map(
            lambda t: f"{t[0]}({t[1]},{t[2]})"),
        st.tuples(st.sampled_from(["IF", "FIF", "REFIF"]), sub, sub, sub).map(
            lambda t: f"{t[0]}({t[1]},{t[2]},{t[3]})"),
        st.tuples(st.sampled_from(["MA", "EMA", "SUM", "REF", "HHV", "LLV", "COUNT", "STD",
                                   "WMA", "SLOPE", "FILTER"]), sub,
                  st.sampled_from(["1", "2", "N", "N+1"])).map(lambda t: f"{t[0]}({t[1]},{t[2]})"),
        st.tuples(st.sampled_from(["MA", "SUM", "REF", "HHV", "LLV", "COUNT"]), sub,
                  sub).map(lambda t: f"{t[0]}({t[1]},BARSLAST({t[2]}))"),
    )


EXPRESSIONS = st.recursive(LEAVES, _grow, max_leaves=12)


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(EXPRESSIONS, EXPRESSIONS, st.integers(1, 4))
def test_well_formed_formulas_compile_share_and_evaluate(a, b, n):
    text = f"PARAM N={n};\nA:={a};\nX: A + ({b});\nY: ({b}) + A;\nZ: {a}"
    f = Formula(text)
    out = dict(f.program.outputs)
    assert out["X"] == out["Y"]                 # the same sum, written both ways round
    x = f.program.nodes[out["X"]]
    if x[0] != "const":                         # Z is the very node A, read by X
        assert x[0] == "binop" and out["Z"] in x[2:]
    one = f(BARS)
    panel = f({k: np.stack([v, v[::-1]]) for k, v in BARS.items()})
    saved, _evaluate._IN_PLACE = _evaluate._IN_PLACE, frozenset()
    try:                                        # no result written over a dead operand
        fresh = f(BARS)
    finally:
        _evaluate._IN_PLACE = saved
    for k in one:
        assert np.array_equal(panel[k][0], one[k], equal_nan=True)
        assert np.array_equal(bits(fresh[k]), bits(one[k]))
