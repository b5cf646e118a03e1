"""Formulas on the command line: the language as arguments, formula files,
library indicators with parameters and the list of the library; every mistake
ends in exit status 2 with the place at fault."""
import csv
import io
import sys
from pathlib import Path

import numpy as np
import pytest

import zelvo
from zelvo.cli import main
from zelvo.cli.sample import sample_bars

from corelib import same_bits
from realbars import REAL

needs_data = pytest.mark.skipif(not REAL.exists(), reason="no real bars beside the project")

SAMPLE = sample_bars().columns
O, H, L, C, V = (SAMPLE[k] for k in ("open", "high", "low", "close", "volume"))


def cli(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def columns(out):
    """The header and the columns of a CSV written by --output -, as float64
    (an empty cell is NaN) where the column is numeric."""
    lines = list(csv.reader(io.StringIO(out)))
    head = lines[0]
    cols = {}
    for k, name in enumerate(head):
        cells = [r[k] for r in lines[1:]]
        try:
            cols[name] = np.array([float(x) if x else np.nan for x in cells])
        except ValueError:
            cols[name] = cells
    return head, cols


def real_bars():
    a = np.loadtxt(REAL, delimiter=",", skiprows=1, usecols=(1, 2, 3, 4, 6))
    return {k: np.ascontiguousarray(a[:, i])
            for i, k in enumerate(("open", "high", "low", "close", "volume"))}


# What the language computes through the command line, against the functions
# called directly: each output column bit for bit.

DIF = zelvo.EMA(C, 12) - zelvo.EMA(C, 26)
CROSSED = zelvo.CROSS(C, zelvo.MA(C, 20)) != 0

ARGUMENTS = [
    ("DIF:=EMA(C,12)-EMA(C,26); DIF-EMA(DIF,9)", {"DIF-EMA(DIF,9)": DIF - zelvo.EMA(DIF, 9)}),
    ("DIF:EMA(CLOSE,12)-EMA(CLOSE,26);\nDEA:EMA(DIF,9);\nMACD:(DIF-DEA)*2;",
     {"DIF": DIF, "DEA": zelvo.EMA(DIF, 9), "MACD": (DIF - zelvo.EMA(DIF, 9)) * 2}),
    ("C>O AND C<>REF(C,1)", {"C>O AND C<>REF(C,1)":
                             ((C > O) & (C != zelvo.REF(C, 1))).astype(float)}),
    ("c>o && v>=1000000 || NOT h>l", {"c>o && v>=1000000 || NOT h>l":
                                       ((C > O) & (V >= 1e6) | ~(H > L)).astype(float)}),
    ("IF(C>O, H, L)", {"IF(C>O, H, L)": np.where(C > O, H, L)}),
    ("BODY: ABS(C-O) {the body} // of each bar", {"BODY": np.abs(C - O)}),
    ("PARAM N=7; AVG: MA(C,N)", {"AVG": zelvo.MA(C, 7)}),
    ("HHV(H, BARSLAST(CROSS(C,MA(C,20))))",
     {"HHV(H, BARSLAST(CROSS(C,MA(C,20))))": zelvo.HHV_A(H, zelvo.BARSLAST(CROSSED))}),
    ("NEG:-(C-C)", {"NEG": np.full(len(C), -0.0)}),           # -0 is written as -0
    ("SUM(V,0)/1E6", {"SUM(V,0)/1E6": zelvo.SUM(V, 0) / 1e6}),
]


@pytest.mark.parametrize("text,want", ARGUMENTS, ids=[a[0][:24] for a in ARGUMENTS])
def test_formula_arguments_in_the_language(capsys, text, want):
    code, out, err = cli(capsys, "--output", "-", "--", text)
    assert code == 0 and err == ""
    head, cols = columns(out)
    assert head == ["date", "open", "high", "low", "close", "volume"] + list(want)
    for name, values in want.items():
        assert same_bits(cols[name], values), name


def test_formula_file_with_parameters_equals_the_argument(capsys, tmp_path):
    text = ("{KDJ with my own smoothing}\n"
            "PARAM N=9, M=3;\n"
            "RSV:=(CLOSE-LLV(LOW,N))/(HHV(HIGH,N)-LLV(LOW,N))*100;  // raw stochastic\n"
            "K:SMA(RSV,M,1);\n"
            "D:SMA(K,M,1);\n")
    path = tmp_path / "kdj.txt"
    path.write_text(text)
    code, from_file, err = cli(capsys, "--output", "-", "-f", str(path), "--param", "n=5")
    assert code == 0 and err == ""
    assert cli(capsys, "--output", "-", "--param", "N=5", text)[1] == from_file
    _, cols = columns(from_file)
    ll, hh = zelvo.LLV(L, 5), zelvo.HHV(H, 5)
    k = zelvo.SMA((C - ll) / (hh - ll) * 100, 3, 1)
    assert same_bits(cols["K"], k) and same_bits(cols["D"], zelvo.SMA(k, 3, 1))


@needs_data
@pytest.mark.parametrize("argv,params", [
    (["--indicator", "MACD"], {"MACD": {}}),
    (["--indicator", "macd", "--param", "SHORT=10", "--param", "mid=5"],
     {"MACD": {"SHORT": 10, "MID": 5}}),
    (["--indicator", "KDJ", "--indicator", "BOLL", "--param", "N=5", "--param", "P=2.5"],
     {"KDJ": {"N": 5}, "BOLL": {"P": 2.5}}),
    # N goes to every formula that declares it, and only to those.
    (["--indicator", "ATR", "--indicator", "CCI", "--indicator", "OBV", "--param", "N=3"],
     {"ATR": {"N": 3}, "CCI": {"N": 3}, "OBV": {}}),
    (["--indicator", "RSI", "--param", "N1=9", "--param", "N3=30"],
     {"RSI": {"N1": 9, "N3": 30}}),
], ids=["MACD", "params", "two", "shared-N", "RSI"])
def test_indicators_with_parameters_on_real_bars(capsys, argv, params):
    code, out, err = cli(capsys, "--csv", str(REAL), "--output", "-", *argv)
    assert code == 0 and err == ""
    head, cols = columns(out)
    bars = real_bars()
    want = [(name, v) for ind, p in params.items()
            for name, v in zelvo.indicator(ind, bars, **p).items()]
    assert head[6:] == [name for name, _ in want]
    for name, values in want:
        assert same_bits(cols[name], values), name


def test_file_indicator_and_arguments_keep_their_order(capsys, tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("F1:C;F2:O")
    code, out, _ = cli(capsys, "--output", "-", "--indicator", "MTM", "-f", str(path),
                       "--indicator", "PSY", "H")
    assert code == 0
    assert next(csv.reader(io.StringIO(out)))[6:] == ["MTM", "MTMMA", "F1", "F2", "PSY",
                                                  "PSYMA", "H"]


def test_list_indicators_names_outputs_and_defaults(capsys):
    code, out, err = cli(capsys, "--list-indicators")
    assert code == 0 and err == ""
    lines = out.splitlines()
    for name, ind in zelvo.indicators.items():
        (i,) = [k for k, ln in enumerate(lines) if ln.split()[:1] == [name]]
        summary = ind.summary.split(":", 1)[1].strip()
        assert lines[i] == f"{name:<6}{summary}"
        params = ", ".join(f"{k}={v:g}" for k, v in ind.params.items()) or "none"
        assert lines[i + 1].strip() == f"outputs {', '.join(ind.outputs)}; parameters {params}"
    assert "--indicator NAME" in out and len(zelvo.indicators) == 15


# Mistakes: exit 2, nothing on standard output, and the message; for a
# formula, the line at fault and a caret under the place.

def _file(tmp_path, text="X:C;\nY:MA(X,N)", name="f.txt"):
    path = tmp_path / name
    if isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_text(text)
    return str(path)


ERRORS = [
    # argv (FILE: a formula file made by _file), the lines of standard error
    (["DIF:=EMA(C,12); DIF-EMA(DIFF,9)"],
     ["zelvo: error: unknown name 'DIFF' (did you mean DIF?)",
      "  DIF:=EMA(C,12); DIF-EMA(DIFF,9)",
      "                          ^^^^"]),
    (["MA(C,5) EMA(C,3)"],
     ["zelvo: error: expected an operator, ';' or a new line before 'EMA'",
      "  MA(C,5) EMA(C,3)",
      "          ^^^"]),
    (["ＣＬＯＳＥ + CLOS"],                # double-width letters take two columns
     ["zelvo: error: unknown name 'CLOS' (did you mean CLOSE?)",
      "  ＣＬＯＳＥ + CLOS",
      "               ^^^^"]),
    (["-f", "FILE"],
     ["zelvo: error: FILE: unknown name 'N' (a parameter is declared first: PARAM N=10;) "
      "(line 2, column 8)",
      "  Y:MA(X,N)",
      "         ^"]),
    (["--indicator", "ATR", "--param", "N=0"],
     ["zelvo: error: indicator ATR with N=0: N of MA must be a whole number from 1 to "
      "2147483647; it is 0 (line 4, column 13)",
      "  ATR: MA(MTR,N);",
      "              ^"]),
    (["--param", "N=2.5", "PARAM N=5; MA(C,N)"],
     ["zelvo: error: the formula with N=2.5: N of MA must be a whole number from 1 to "
      "2147483647; it is 2.5",
      "  PARAM N=5; MA(C,N)",
      "                  ^"]),
    (["--indicator", "nope"],
     ["zelvo: error: --indicator: no indicator 'nope'; the library has ATR, BIAS, BOLL, "
      "CCI, DMI, EMV, KDJ, MACD, MTM, OBV, PSY, ROC, RSI, TRIX, WR"]),
    (["--param", "N"], ["zelvo: error: --param: a parameter is set as NAME=NUMBER, not 'N'"]),
    (["--param", "N=nan"],
     ["zelvo: error: --param: a parameter is set as NAME=NUMBER, not 'N=nan'"]),
    (["--indicator", "KDJ", "--param", "N=1", "--param", "n=2"],
     ["zelvo: error: --param sets n twice"]),
    (["--param", "X=1", "MA(C,5)"],
     ["zelvo: error: --param X: no formula here declares it; they declare no parameters"]),
    (["--indicator", "BOLL", "--param", "N=1"],
     ["zelvo: error: --param N: no formula here declares it; their parameters: M, P"]),
    (["C", "c"],
     ["zelvo: error: the output name 'c' is given twice, by the formula 'C' and by the "
      "formula 'c'; name the output lines apart (NAME:expression)"]),
    (["--indicator", "MACD", "DIF:C"],
     ["zelvo: error: the output name 'DIF' is given twice, by indicator MACD and by the "
      "formula 'DIF:C'; name the output lines apart (NAME:expression)"]),
    (["Date:C"],
     ["zelvo: error: the output name 'Date' is taken by the date column; name the output "
      "lines apart (NAME:expression)"]),
    (["-f", "/no/such/f.txt"], ["zelvo: error: cannot read /no/such/f.txt: No such file "
                                "or directory"]),
    (["-f", ""], ["zelvo: error: -f needs a file name, not an empty one"]),
    (["--csv", "-", "-f", "-"],
     ["zelvo: error: standard input ('-') can be read once: by one --csv or one -f"]),
    ([""], ["zelvo: error: the formula is empty", "  ", "  ^"]),
    (["C/AMOUNT"],                     # the sample bars have no amount
     ["zelvo: error: the bars have no amount column (bar columns: close, high, low, open, "
      "volume)", "  C/AMOUNT", "    ^^^^^^"]),
]


@pytest.mark.parametrize("argv,stderr", ERRORS, ids=[" ".join(e[0])[:30] for e in ERRORS])
def test_mistakes_exit_2_with_the_place_at_fault(capsys, tmp_path, monkeypatch, argv, stderr):
    monkeypatch.chdir(tmp_path)
    path = _file(tmp_path)
    argv = [path if a == "FILE" else a for a in argv]
    code, out, err = cli(capsys, *argv)
    assert code == 2 and out == ""
    assert err.splitlines() == [ln.replace("FILE", path) for ln in stderr]


@pytest.mark.parametrize("make,words", [
    (lambda p: _file(p, b"MA(C,5) {\xff}"), "not UTF-8 text (byte 9"),
    (lambda p: str(p), "cannot read"),                                      # a folder
    (lambda p: "/dev/zero", "/dev/zero: longer than 100000 characters; not a formula"),
    (lambda p: _file(p, "C" * 100_001), "longer than 100000 characters"),
])
def test_unreadable_formula_files(capsys, tmp_path, make, words):
    code, out, err = cli(capsys, "-f", make(tmp_path))
    assert code == 2 and out == "" and words in err and err.count("\n") == 1


def test_a_fault_in_a_very_long_formula_prints_a_short_caret(capsys):
    text = "C+" * 40_000 + "CLOS+C"
    code, out, err = cli(capsys, text)
    message, shown, carets = err.splitlines()
    assert code == 2 and message == "zelvo: error: unknown name 'CLOS' (did you mean CLOSE?)"
    assert len(shown) < 200 and shown.startswith("  ...") and "C+C+C" in shown and shown.endswith("CLOS+C")
    assert carets == " " * shown.index("CLOS") + "^^^^"
    code, _, err = cli(capsys, "C+" * 60_000 + "C")
    assert code == 2 and "120001 characters long" in err and len(err) < 600


def test_a_formula_file_is_not_an_output(capsys, tmp_path):
    path = _file(tmp_path, "C")
    code, out, err = cli(capsys, "-f", path, "--output", path)
    assert code == 2 and out == "" and f"--output {path} is the -f file itself" in err
    assert Path(path).read_text() == "C"


def test_formula_from_standard_input(capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("PARAM N=3;\nM3:MA(C,N)\n"))
    code, out, err = cli(capsys, "-f", "-", "--param", "N=4", "--output", "-")
    assert code == 0 and err == ""
    assert same_bits(columns(out)[1]["M3"], zelvo.MA(C, 4))


def test_amount_is_read_only_when_a_formula_needs_it(capsys, tmp_path):
    path = _file(tmp_path, "Date,Close,Amount\n2020-01-01,2,n/a\n2020-01-02,4,6\n", "b.csv")
    code, out, err = cli(capsys, "--csv", path, "--output", "-", "C*2")
    assert code == 0 and out.splitlines()[0] == "date,close,C*2"
    code, out, err = cli(capsys, "--csv", path, "AMOUNT/C")
    assert code == 2 and "line 2, column 'Amount': 'n/a' is not a number" in err
    path = _file(tmp_path, "Date,Close,Turnover\n2020-01-01,2,3\n2020-01-02,4,6\n", "t.csv")
    code, out, err = cli(capsys, "--csv", path, "--columns", "amount=Turnover", "--output",
                         "-", "AMO/C")
    assert code == 0 and out.splitlines() == ["date,close,amount,AMO/C", "2020-01-01,2,3,1.5",
                                              "2020-01-02,4,6,1.5"]
