"""The formula parser: what it computes, what it refuses, and where it points."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zelvo
import zelvo._formula as formula
from zelvo._bars import sample_bars
from zelvo._catalog import FUNCTIONS as CATALOG, INT_MAX, INT_MIN
from zelvo._formula import FormulaError, parse

BARS = sample_bars(40)
COLS = BARS.columns
O, H, L, C, V = (COLS[k] for k in ("open", "high", "low", "close", "volume"))
N = len(BARS)


def run(text):
    return parse(text).evaluate(COLS, N)


def full(x):
    return np.full(N, float(x))


GOOD = [
    ("ma(close, 2+3)", lambda: zelvo.MA(C, 5)),
    ("MA(C, 10/2)", lambda: zelvo.MA(C, 5)),
    ("CROSS(MA(C,5),MA(C,20))", lambda: zelvo.CROSS(zelvo.MA(C, 5), zelvo.MA(C, 20))),
    ("BARSLAST(C>REF(C,1))", lambda: zelvo.BARSLAST(C > zelvo.REF(C, 1))),
    ("FIF(C >= O, H, L)", lambda: zelvo.FIF(C >= O, H, L)),
    ("(HIGH + LOW) / 2 - -C", lambda: (H + L) / 2 + C),
    ("SMA(C, 6, 1)", lambda: zelvo.SMA(C, 6, 1)),
    ("DMA(C, A=0.1)", lambda: zelvo.DMA(C, full(0.1))),
    ("MA_A(C, 3)", lambda: zelvo.MA_A(C, full(3))),
    ("COUNT(V > MA(V, 5), 10)", lambda: zelvo.COUNT((V > zelvo.MA(V, 5)) * 1.0, 10)),
    ("MA(C,5) != MA(C,5)", lambda: np.r_[full(1)[:4], full(0)[4:]]),  # NaN != NaN
    ("7", lambda: full(7)),
    ("-(2 * 3) + 0.5", lambda: full(-5.5)),
    ("1 / 0", lambda: full(np.inf)),
    ("CURRBARSCOUNT(0)", lambda: np.arange(N, dtype=float)),
]


@pytest.mark.parametrize("text,expect", GOOD, ids=[g[0] for g in GOOD])
def test_formula_computes_what_direct_calls_compute(text, expect):
    got = run(text)
    want = expect()
    assert got.dtype == np.float64 and got.shape == (N,)
    np.testing.assert_array_equal(got.view(np.int64), np.asarray(want, float).view(np.int64))


def test_window_arguments_reach_the_function_as_python_int(monkeypatch):
    seen = []

    class Fake:
        def __getattr__(self, name):
            return lambda *args: seen.append((name, args)) or np.zeros(N)

    monkeypatch.setattr(formula, "_zelvo", Fake())
    parse("SMA(C, 2*3, 10/10)").evaluate(COLS, N)
    parse("REF(C, -(4))").evaluate(COLS, N)
    (_, (_, n, m)), (_, (_, k)) = seen
    assert (n, m, k) == (6, 1, -4)
    assert type(n) is int and type(m) is int and type(k) is int


def test_a_function_that_raises_becomes_a_formula_error(monkeypatch):
    def refuse(*args):
        raise ValueError("Buffer dtype mismatch")

    monkeypatch.setattr(formula, "_zelvo", type("M", (), {"EMA": staticmethod(refuse)}))
    f = parse("C + EMA(C, 3)")
    with pytest.raises(FormulaError) as info:
        f.evaluate(COLS, N)
    e = info.value
    assert e.message == "EMA(a, N) failed: Buffer dtype mismatch"
    assert e.text[e.start:e.end] == "EMA(C, 3)"


BAD = [
    # formula, words of the message, text under the caret
    ("MA(CLOS,5)", "unknown name 'CLOS' (did you mean CLOSE?)", "CLOS"),
    ("MA(C,5", "never closed", "("),
    ("C=O", "use == to compare", "="),
    ("MA(C,5) EMA(C,3)", "invalid syntax", "EMA"),
    ("MA(C)", "missing N", "MA(C)"),
    ("MA(C,5,6)", "takes 2 arguments", "MA(C,5,6)"),
    ("MA(C,5.5)", "not 5.5", "5.5"),
    ("MA(C,C)", "not a series", "C"),
    ("REF(C,2147483648)", "outside its valid range -2147483648..2147483647", "2147483648"),
    ("MA(C," + "9" * 40 + ")", "a 40-digit number", "9" * 40),
    ("C*" + "9" * 400, "number too large", "9" * 400),
    ("9" * 400, "number too large", "9" * 400),
    ("1+" + "9" * 5000, "too many digits", "9" * 5000),
    ("__import__('os')", "unknown function '__import__'", "__import__"),
    ("open('/etc/passwd')", "bar series, not a function", "open"),
    ("C.__class__", "attribute access", "C.__class__"),
    ("C[0]", "subscripts", "C[0]"),
    ("lambda: C", "lambda", "lambda: C"),
    ("MA(*C)", "unpacking", "*C"),
    ("MA(**{'a': C})", "unpacking", "{'a': C}"),
    ("MA(C,5), EMA(C,3)", "one formula per argument", "MA(C,5), EMA(C,3)"),
    ("(x := C)", "':='", "x := C"),
    ("f'{C}'", "strings", "f'{C}'"),
    ("True", "True and False", "True"),
    ("C if C > O else O", "use FIF", "C if C > O else O"),
    ("C > 1 and C < 2", "'and' / 'or'", "C > 1 and C < 2"),
    ("C ** 2", "'**'", "C ** 2"),
    ("1 < C < 2", "one comparison at a time", "1 < C < 2"),
    ("MA", "is a function", "MA"),
    ("BARSLAST(x=C)", "by position only", "C"),
    ("MA(C, X=5)", "no argument 'X'", "5"),
    ("ＣＬＯＳＥ + CLOS", "did you mean CLOSE", "CLOS"),
    ("  ", "empty formula", "  "),
]


@pytest.mark.parametrize("text,words,span", BAD, ids=[b[0][:30] for b in BAD])
def test_bad_formula_is_refused_pointing_at_the_fault(text, words, span):
    with pytest.raises(FormulaError) as info:
        parse(text)
    e = info.value
    assert words in e.message
    assert e.text[e.start:e.end] == span
    lines = e.render().splitlines()
    assert lines[0] == e.message and lines[1] == "  " + e.text
    assert lines[2].strip() == "^" * formula._columns(span) or span.isspace()


def test_caret_sits_under_the_fault_in_terminal_columns():
    with pytest.raises(FormulaError) as info:
        parse("ＣＬＯＳＥ + CLOS")          # five double-width letters before it
    assert info.value.render().splitlines()[2] == "  " + " " * 13 + "^^^^"


@pytest.mark.parametrize("text", ["-" * 100_000 + "1", "+".join(["C"] * 5000),
                                  "(" * 300 + "C" + ")" * 300])
def test_pathological_nesting_is_a_formula_error(text):
    with pytest.raises(FormulaError):
        parse(text)


TOKENS = ["C", "O", "V", "MA", "EMA(", "SMA(", "BARSLAST(", "FIF(", "REF(", "(", ")", ",",
          "+", "-", "*", "/", "<", ">=", "==", "=", "1", "5", "0.5", "2147483648", " ",
          ".", "[", "]", "'", "x", "lambda", ":", "**", "N=", "__class__", "_A(", "é"]


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), min_size=1, max_size=14).map("".join))
def test_any_text_is_either_a_formula_error_or_a_full_series(text):
    try:
        f = parse(text)
    except FormulaError:
        return
    r = f.evaluate(COLS, N)
    assert isinstance(r, np.ndarray) and r.dtype == np.float64 and r.shape == (N,)


# Conditions: true where the value truncated toward zero is not 0.
CONDITION_CASES = [(0.5, 0), (-0.5, 0), (0.99, 0), (0.0, 0), (-0.0, 0), (np.nan, 0),
                   (1.0, 1), (-1.0, 1), (1.7, 1), (256.0, 1), (512.0, 1), (1e10, 1),
                   (-1e10, 1), (np.inf, 1), (-np.inf, 1), (255.0, 1)]
X_VALUES = np.array([x for x, _ in CONDITION_CASES])
X_TRUTH = np.array([t for _, t in CONDITION_CASES], dtype=np.uint8)


@pytest.mark.parametrize("text,direct", [
    ("BARSLAST(C)", lambda x: zelvo.BARSLAST(x)),
    ("BARLAST(C)", lambda x: zelvo.BARLAST(x)),
    ("BARSINCE(C)", lambda x: zelvo.BARSINCE(x)),
    ("BACKCOUNT(C)", lambda x: zelvo.BACKCOUNT(x)),
    ("FIF(C, 1, 0)", lambda x: x.astype(np.float64)),
])
def test_condition_is_truncation_toward_zero(text, direct):
    got = parse(text).evaluate({"close": X_VALUES.copy()}, len(X_VALUES))
    want = direct(X_TRUTH.copy())
    assert got.tobytes() == np.asarray(want, np.float64).tobytes()


def test_conditions_reach_the_function_as_0_1_bytes(monkeypatch):
    seen = []

    class Fake:
        def __getattr__(self, name):
            return lambda *args: seen.append(args) or np.zeros(len(X_VALUES))

    monkeypatch.setattr(formula, "_zelvo", Fake())
    parse("FIF(C, C, 7)").evaluate({"close": X_VALUES.copy()}, len(X_VALUES))
    x, a, b = seen[0]
    assert x.dtype == np.uint8 and x.tobytes() == X_TRUTH.tobytes()
    assert a.dtype == np.float64 and a.tobytes() == X_VALUES.tobytes()   # a series stays


WINDOWED = [f for f in CATALOG.values() if f.min_window is not None]


def _call(f, n):
    extra = ", 1" if f.name == "SMA" else ""
    return f"{f.name}(C, {n}{extra})"


@pytest.mark.parametrize("f", WINDOWED, ids=[f.name for f in WINDOWED])
def test_window_range_comes_from_the_catalog(f):
    assert run(_call(f, max(f.min_window, 0))).shape == (N,)      # the lowest accepted
    assert run(_call(f, INT_MAX)).shape == (N,)
    for bad in ([f.min_window - 1] if f.min_window > INT_MIN else []) + \
            [INT_MAX + 1]:
        with pytest.raises(FormulaError) as info:
            parse(_call(f, bad))
        e = info.value
        assert e.message == (f"N of {f.name} is {bad}, outside its valid range "
                             f"{f.min_window}..{INT_MAX}")
        assert e.text[e.start:e.end] == str(bad)


@pytest.mark.parametrize("text,words,span", [
    ("MA(C,10-20)", "N of MA is -10, outside its valid range 1..", "10-20"),
    ("SMA(C,3,2147483648)", "M of SMA is 2147483648, outside its valid range "
     "-2147483648..2147483647", "2147483648"),
    ("MA(C," + "9" * 3000 + "*" + "9" * 3000 + ")", "a number of about 600",
     "9" * 3000 + "*" + "9" * 3000),
    ("MA(C," + "9" * 2000 + "*" + "9" * 2000 + ")", "a 4000-digit number",
     "9" * 2000 + "*" + "9" * 2000),
], ids=lambda v: v[:24])
def test_window_out_of_range_names_argument_and_range(text, words, span):
    with pytest.raises(FormulaError) as info:
        parse(text)
    assert words in info.value.message
    assert info.value.text[info.value.start:info.value.end] == span


def test_weight_of_sma_may_be_any_int():
    assert run("SMA(C, 3, -2)").tobytes() == zelvo.SMA(C, 3, -2).tobytes()


@pytest.mark.parametrize("text", ["  MA(C,5)", "\nMA(C,5)\n", "\t MA(C,\n5) "])
def test_leading_blanks_and_newlines_are_fine(text):
    f = parse(text)
    assert f.text == f.text.strip() and f.text.startswith("MA(")
    assert f.evaluate(COLS, N).tobytes() == zelvo.MA(C, 5).tobytes()
