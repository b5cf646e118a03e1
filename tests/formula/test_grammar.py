"""The grammar: what is accepted and what it means, what is refused and with
which message and caret, and the shape of the compiled graph."""
import math
from fractions import Fraction

import numpy as np
import pytest

import zelvo
from zelvo._catalog import FUNCTIONS, INT_MAX, INT_MIN
from zelvo.formula import MAX_DEPTH, MAX_LENGTH, Formula, FormulaError

C = np.array([10.0, 11.0, 9.0, 12.0, 12.0, 8.0])
O = np.array([9.0, 10.0, 10.0, 11.0, 13.0, 8.0])
BARS = {"open": O, "high": C + 1, "low": C - 1, "close": C,
        "volume": np.array([100.0, 200.0, 300.0, 400.0, 500.0, 600.0])}

# A formula, and the value of its one output (a number for a constant).
ACCEPTED = [
    ("1+2*3", 7), ("(1+2)*3", 9), ("-2*3", -6), ("2--3", 5), ("2-+3", -1),
    ("10/4/5", 0.5), ("8-3-2", 3), ("2*3/4", 1.5), ("-(2+3)", -5),
    ("1+2>2", 1), ("1+2>2*2", 0), ("2*2=4", 1),
    ("1 OR 0 AND 0", 1), ("(1 OR 0) AND 0", 0), ("0 AND 0 OR 1", 1),
    ("NOT 1>2", 1), ("NOT 0 AND 0", 0), ("NOT (0 AND 0)", 1), ("NOT(1)", 0),
    ("!0 && 1 || 0", 1), ("not 0 and 1", 1), ("1 || 0 && 0", 1),
    ("2=2", 1), ("2==2", 1), ("2<>3", 1), ("2!=3", 1), ("2<>2", 0),
    ("3>=3", 1), ("3<=2", 0), ("3>2", 1), ("3<2", 0),
    ("0.5 AND 1", 0), ("-1 AND 1", 1), ("-0.99 OR 0", 0), ("256 AND 1", 1),
    (".5*4", 2), ("1e2+1E-1", 100.1), ("2.", 2),
    ("IF(1,2,3)", 2), ("IFF(0,2,3)", 3), ("iF(0.5,2,3)", 3),
    ("ABS(-2)", 2), ("MAX(2,3)", 3), ("MIN(2,3)", 2), ("POW(2,10)", 1024),
    ("SQRT(16)", 4), ("LN(1)", 0), ("LOG(1000)", 3), ("EXP(0)", 1), ("SIGN(-5)", -1),
    ("{a comment} 1 + {another} 2 // and one to the end of the line", 3),
    ("1 +\n 2", 3), ("(1\n+\n2)", 3), ("MAX(1,\n 2)", 2), ("\n\n 4;;\n", 4),
    ("１＋２＊３；", 7),                      # full-width forms typed with an IME
    ("\ufeff1+1\r\n", 2),                     # a byte-order mark, Windows line ends
    ("PARAM N=12; N/4", 3), ("param n=-2.5, m:=3; N*M", -7.5),
    ("X:=2; Y:=X*X; Y+X", 6), ("x:=2; X+1", 3),
]


@pytest.mark.parametrize("text,value", ACCEPTED)
def test_accepted_constant_formulas_fold(text, value):
    f = Formula(text)
    assert len(f.outputs) == 1
    [(name, i)] = f.program.outputs
    assert f.program.nodes == [("const", float(value))] or math.isclose(
        f.program.nodes[i][1], value, rel_tol=1e-15)
    assert np.all(f(BARS)[name] == value)


# A formula over bars, and what it must equal.
SERIES = [
    ("C>O", (C > O).astype(float)),
    ("c > o", (C > O).astype(float)),
    ("Close-OPEN+high-LOW+VOL+volume+v", C - O + (C + 1) - (C - 1) + BARS["volume"] * 3),
    ("IF(C>O, C, O)", np.where(C > O, C, O)),
    ("MA(C,2)", zelvo.MA(C, 2)),
    ("MA(C,1+1)", zelvo.MA(C, 2)), ("MA(C,4/2)", zelvo.MA(C, 2)),
    ("MA(C, IF(1, 2, 3))", zelvo.MA(C, 2)),
    ("REF(C,-1)", zelvo.REF(C, -1)), ("SUM(C,0)", zelvo.SUM(C, 0)),
    ("SMA(C,3,-1)", zelvo.SMA(C, 3, -1)),
    ("MA(C, C-C+2)", zelvo.MA_A(C, C - C + 2)),
    ("HHV(H, BARSLAST(CROSS(C,MA(C,2))))",
     zelvo.HHV_A(C + 1, zelvo.BARSLAST(zelvo.CROSS(C, zelvo.MA(C, 2)) != 0))),
    ("FIF(C>O, 1, 2)", np.where(C > O, 1.0, 2.0)),
    ("MA_A(C, 2)", zelvo.MA_A(C, np.full(6, 2.0))),
    ("PARAM N=3; EMA(C,N)", zelvo.EMA(C, 3)),
    ("A:C\nB:A*2\nB-A", C),
    ("DIF:=EMA(C,2)-EMA(C,3);\n  DEA:=EMA(DIF,2);\n  (DIF-DEA)*2;",
     (zelvo.EMA(C, 2) - zelvo.EMA(C, 3) - zelvo.EMA(zelvo.EMA(C, 2) - zelvo.EMA(C, 3), 2)) * 2),
]


@pytest.mark.parametrize("text,want", SERIES)
def test_accepted_series_formulas(text, want):
    f = Formula(text)
    got = f(BARS)[f.outputs[-1]]
    assert np.array_equal(got, want, equal_nan=True)


def test_outputs_and_their_names():
    f = Formula("PARAM N=2; A:=MA(C,N); Out1: A; A*2; out2 : C-O;\n  C  +  O {x} ;")
    assert f.outputs == ["Out1", "A*2", "out2", "C + O"]
    assert f.params == {"N": 2.0} and f.defaults == {"N": 2.0}
    assert Formula("PARAM n=2; MA(C,n)", N=3).params == {"n": 3.0}
    g = Formula("PARAM N=2, M=4; C", m=5)
    assert g.params == {"N": 2.0, "M": 5.0} and g.with_params(n=7).params == {"N": 7.0, "M": 5.0}


# A formula, a piece of the message, and the text the caret underlines.
REFUSED = [
    ("", "the formula is empty", ""),
    ("  \n ", "the formula is empty", " "),
    ("MA(C,0)", "N of MA must be a whole number from 1 to 2147483647; it is 0", "0"),
    ("MA(C,2.5)", "it is 2.5", "2.5"),
    ("MA(C,3000000000)", "it is 3000000000", "3000000000"),
    ("STD(C, 1-1)", "N of STD must be a whole number from 1", "1-1"),
    ("EMA(C,-1)", "from 0 to 2147483647; it is -1", "-1"),
    ("EMA(C,0/0)", "it is nan", "0/0"),
    ("EMA(C,C)", "N of EMA must be a constant whole number, not a series", "C"),
    ("SMA(C,5,C>O)", "M of SMA must be a constant whole number", "C>O"),
    ("SLOPE(C, BARSLAST(C>O))", "SLOPE has no form with a window per bar", "BARSLAST(C>O)"),
    ("PARAM N=5; MA(C, N*1.5)", "it is 7.5", "N*1.5"),
    ("C<O<H", "comparisons do not chain", "<"),
    ("C O", "expected an operator, ';' or a new line before 'O'", "O"),
    ("MA(C,5", "expected ',' or ')' to close the '(' at line 1, column 3", ""),
    ("1 + (2", "close the '(' at line 1, column 5", ""),
    ("MA(C 5)", "expected ',' or ')'", "5"),
    ("{x", "comment not closed", "{"),
    ("C}", "'}' without a '{'", "}"),
    ("FOO+1", "unknown name 'FOO'", "FOO"),
    ("CLOSS", "did you mean CLOSE?", "CLOSS"),
    ("MA(C,N)", "a parameter is declared first: PARAM N=10;", "N"),
    ("MAA(C,2)", "unknown function 'MAA' (did you mean MA", "MAA"),
    ("MA", "MA is a function: call it as MA(a, N)", "MA"),
    ("C(1)", "C is a bar series, not a function", "C"),
    ("X:=1; X(2)", "X is a line of this formula, not a function", "X"),
    ("X:=1;\nX:2", "X is already defined", "X"),
    ("X:C; x:O", "x is already defined", "x"),
    ("C:=1; 2", "C is a bar series; give the line another name", "C"),
    ("Ma:=1; 2", "Ma is a function; give the line another name", "Ma"),
    ("AND:1", "AND is a keyword; give the line another name", "AND"),
    ("PARAM N=a; 1", "a parameter's default is a number", "a"),
    ("PARAM N 5; 1", "expected '=' and a default value", "5"),
    ("PARAM 5; 1", "PARAM declares parameters in a statement of its own", "PARAM"),
    ("PARAM N=1; PARAM n=2; C", "n is already defined", "n"),
    ("PARAM C=1; C", "C is a bar series; give the parameter another name", "C"),
    ("PARAM", "PARAM declares parameters in a statement of its own", "PARAM"),
    ("DIF:C,COLORRED", "drawing attributes such as COLORRED are not supported", ","),
    ("X:=5", "the formula has no output line", "X:=5"),
    ("1e999", "number too large", "1e999"),
    ("12abc", "malformed number '12abc'", "12abc"),
    ("1.2.3", "malformed number '1.2.3'", "1.2.3"),
    ("'a'", "strings are not part of the formula language", "'"),
    ("C[1]", "write REF(X,N) for a past value", "["),
    ("C>O ? 1 : 2", "write IF(condition, a, b)", "?"),
    ("C & O", "write '&&' or AND", "&"),
    ("C % 2", "unexpected character '%'", "%"),
    ("C \x00", "unexpected character U+0000", "\x00"),
    ("MA(C,5,6)", "MA takes 2 arguments: MA(a, N); 3 given", "MA(C,5,6)"),
    ("ABS()", "ABS takes 1 argument: ABS(x); 0 given", "ABS()"),
    ("IF(C,1)", "IF takes 3 arguments: IF(c, a, b); 2 given", "IF(C,1)"),
    ("Y: Z; Z: 1", "Z is used before the line that defines it", "Z"),
    ("NOT", "expected a value, found the end of the formula", ""),
    ("C AND", "expected a value, found the end of the formula", ""),
    ("C AND;", "expected a value, found the end of the statement", ";"),
    ("C+\n;", "found the end of the statement", ";"),
    ("AND(1,2)", "AND is a keyword, not a function", "AND"),
    ("OR", "OR needs a value before it", "OR"),
    (")", "expected a value before ')'", ")"),
    ("C)", "')' without a matching '('", ")"),
    (":= 1", "expected a value before ':='", ":="),
    ("C := 1", "C is a bar series; give the line another name", "C"),
    ("1 := 2", "':=' must follow the name of a line", ":="),
    ("C; C", "the output 'C' is given twice", "C"),
    ("A:C; a", "the output 'a' is given twice", "a"),
]


@pytest.mark.parametrize("text,message,underlined", REFUSED)
def test_refused_with_message_and_caret(text, message, underlined):
    with pytest.raises(FormulaError) as info:
        Formula(text)
    e = info.value
    assert message in e.message
    assert text[e.start:e.end] == underlined or (underlined == "" and e.start == len(text))
    shown = str(e).splitlines()
    assert shown[0].startswith(e.message)
    assert set(shown[-1].strip()) == {"^"}


def test_caret_lines_up_on_later_lines_and_wide_characters():
    with pytest.raises(FormulaError) as info:
        Formula("短线:EMA(C,5);\n长线:\tMA(CLOSE, 0);")
    e = info.value
    assert (e.line, e.column) == (2, 15)
    message, line, carets = str(e).splitlines()
    assert message.endswith("(line 2, column 15)")
    assert line == "  长线: MA(CLOSE, 0);"
    # Each wide character takes two terminal columns; the tab shows as one blank.
    assert carets == "  " + " " * 16 + "^"


def test_depth_and_length_are_bounded():
    ok = "(" * MAX_DEPTH + "1" + ")" * MAX_DEPTH
    assert Formula(ok).program.nodes == [("const", 1.0)]
    for text in ("(" * (MAX_DEPTH + 1) + "1" + ")" * (MAX_DEPTH + 1),
                 "-" * (MAX_DEPTH + 1) + "1", "NOT " * (MAX_DEPTH + 1) + "1",
                 "ABS(" * (MAX_DEPTH + 1) + "C" + ")" * (MAX_DEPTH + 1),
                 "(" * 100000):
        with pytest.raises(FormulaError, match="nested too deeply"):
            Formula(text)
    long = "C" + "+C" * (MAX_LENGTH // 2)
    with pytest.raises(FormulaError, match="characters long"):
        Formula(long)
    # Long flat chains are no problem: nothing recurses along them.
    assert Formula("1" + "+1" * (MAX_LENGTH // 2 - 1)).program.nodes[-1][1] == MAX_LENGTH // 2


# Every function with a window, at the ends of its range and one beyond: the
# range comes from the catalog (SMA's weight M may be any 32-bit value).
WINDOWED = [f for f in FUNCTIONS.values() if f.min_window is not None]


@pytest.mark.parametrize("f", WINDOWED, ids=[f.name for f in WINDOWED])
def test_window_range_comes_from_the_catalog(f):
    def call(n):
        return f"{f.name}(C, {n}{', 1' if f.name == 'SMA' else ''})"
    # EMA's weight 2/(N+1) needs N+1 in 32 bits: test_weights_that_would_wrap.
    for n in (f.min_window, INT_MAX - (f.name == "EMA")):
        node = Formula(call(n)).program.nodes[-1]
        assert node[0] == "call" and node[3][0] == n and type(node[3][0]) is int
    for bad in [f.min_window - 1] * (f.min_window > INT_MIN) + [INT_MAX + 1]:
        with pytest.raises(FormulaError) as info:
            Formula(call(bad))
        e = info.value
        assert e.message == (f"N of {f.name} must be a whole number from {f.min_window} "
                             f"to {INT_MAX}; it is {bad}")
        assert e.text[e.start:e.end] == str(bad)


@pytest.mark.parametrize("text,at", [
    ("EMA(C, 2147483647)", "2147483647"),
    ("PARAM N=2147483647;\nX: EMA(C, N)", "N"),
    ("SMA(C, 5, -2147483643)", "5, -2147483643"),
])
def test_weights_that_would_wrap(text, at):
    """The functions' own check runs when the formula compiles, with a caret."""
    with pytest.raises(FormulaError) as info:
        Formula(text)
    e = info.value
    assert e.text[e.start:e.end] == at and "is formed in 32 bits" in e.message
    c = np.arange(1.0, 7.0)     # the last windows whose weights fit
    assert np.array_equal(Formula("X: EMA(C, 2147483646)")({"close": c})["X"],
                          zelvo.EMA(c, 2147483646))
    assert np.array_equal(Formula("X: SMA(C, 5, -2147483642)")({"close": c})["X"],
                          zelvo.SMA(c, 5, -2147483642))


PARAM_REFUSED = [
    (dict(M=1), "unknown parameter 'M'; the formula declares N"),
    (dict(N="5"), "parameter N must be set to a finite number, not '5'"),
    (dict(N=True), "not True"),
    (dict(N=float("inf")), "not inf"),
    (dict(N=0), "N of MA must be a whole number from 1"),
    (dict(N=2.5), "it is 2.5"),
    (dict(n=2, N=3), "parameter 'N' is given twice"),
]


@pytest.mark.parametrize("params,message", PARAM_REFUSED)
def test_parameters_set_from_outside_are_checked(params, message):
    with pytest.raises(FormulaError, match=message.replace("(", r"\(")):
        Formula("PARAM N=5;\nMA(C,N)", **params)


@pytest.mark.parametrize("make,shown", [
    (lambda: Formula("PARAM N=5;\nMA(C,N)", N=10**400), "about 1.0e400"),
    (lambda: Formula("PARAM N=5;\nMA(C,N)", N=-10**5000), "about -1.0e5000"),
    (lambda: Formula("PARAM N=5;\nC*N", N=Fraction(10**400, 3)), "about 3.3e399"),
    (lambda: Formula("PARAM N=5;\nC*N").with_params(n=2**1024), "about 1.8e308"),
    (lambda: zelvo.indicator("MACD", BARS, SHORT=10**400), "about 1.0e400"),
])
def test_parameters_beyond_every_double_are_formula_errors(make, shown):
    with pytest.raises(FormulaError) as info:
        make()
    e = info.value
    assert e.message.endswith(f"must be set to a finite number, not {shown} (a parameter is "
                              "a double, from -1.7976931348623157e+308 to "
                              "1.7976931348623157e+308)")
    assert e.text[e.start:e.end].startswith(("N=5", "SHORT=12"))
    assert Formula("PARAM N=5;\nC*N", N=Fraction(7, 2)).params == {"N": 3.5}


def test_no_parameters_declared():
    with pytest.raises(FormulaError, match="the formula declares no parameters"):
        Formula("C", N=1)


def test_a_formula_is_a_string():
    with pytest.raises(TypeError):
        Formula(b"C")


# -- the graph -------------------------------------------------------------
SHAPES = {"field": lambda n: n[1] in ("open", "high", "low", "close", "volume", "amount"),
          "const": lambda n: type(n[1]) is float,
          "binop": lambda n: n[1] in "+ - * / > < >= <= == != AND OR".split(),
          "unop": lambda n: n[1] in "NEG NOT ABS SQRT LN LOG EXP SIGN".split(),
          "binfn": lambda n: n[1] in ("MAX", "MIN", "POW"),
          "if": lambda n: len(n) == 4}


def check_program(p):
    """Every node has a documented shape and reads only earlier nodes."""
    for i, n in enumerate(p.nodes):
        if n[0] == "call":
            f = FUNCTIONS[n[1]]
            assert len(n[2]) == sum(k != "i" for k in f.kinds)
            assert len(n[3]) == f.kinds.count("i")
            assert all(type(w) is int for w in n[3])
            kids = n[2]
        else:
            assert SHAPES[n[0]](n), n
            kids = {"binop": n[2:], "binfn": n[2:], "unop": n[2:], "if": n[1:]}.get(n[0], ())
        assert all(type(k) is int and 0 <= k < i for k in kids), n
    assert all(0 <= i < len(p.nodes) for _, i in p.outputs)
    # No node twice (constants told apart by their bits: 0.0 is not -0.0).
    keys = {n if n[0] != "const" else ("const", np.float64(n[1]).tobytes()) for n in p.nodes}
    assert len(keys) == len(p.nodes)


@pytest.mark.parametrize("name", sorted(zelvo.indicators))
def test_library_programs_follow_the_graph_contract(name):
    check_program(zelvo.indicators[name].formula.program)


def test_shared_subexpressions_are_one_node():
    p = Formula("A: EMA(C,12)+1; B: EMA(c,12)*2; D: ema(CLOSE,12);\n"
                "X: C+O; Y: O+C; Z: C-O; W: O-C; U:=MA(C,5); P: C*0; T: C*-0").program
    calls = [n for n in p.nodes if n[0] == "call"]
    assert calls == [("call", "EMA", (0,), (12,))]        # U is never computed
    out = dict(p.outputs)
    assert out["X"] == out["Y"] and out["Z"] != out["W"] and out["P"] != out["T"]
    assert out["D"] == p.nodes.index(calls[0])
    check_program(p)


def test_macd_runs_each_average_once():
    p = zelvo.indicators["MACD"].formula.program
    assert sorted(n[3] for n in p.nodes if n[0] == "call") == [(9,), (12,), (26,)]


def test_per_bar_variants_come_from_the_catalog():
    for name, f in FUNCTIONS.items():
        if f.per_bar:
            p = Formula(f"{name}(C, BARSLAST(C>O))").program
            assert p.nodes[-1][:2] == ("call", f.per_bar) and p.nodes[-1][3] == ()
