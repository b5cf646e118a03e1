"""The indicator library: shipped texts, names, parameters, the docs listing,
and the entry points a command line uses."""
import re
from pathlib import Path

import numpy as np
import pytest

import zelvo
from zelvo.formula import Formula, FormulaError, load, parse_params

DOCS = Path(__file__).resolve().parents[2] / "docs" / "formulas.md"
BARS = {"open": np.arange(1.0, 60.0), "high": np.arange(2.0, 61.0),
        "low": np.arange(0.5, 59.5), "close": np.arange(1.5, 60.5) % 7 + 10,
        "volume": np.arange(100.0, 159.0)}

OUTPUTS = {"MACD": ["DIF", "DEA", "MACD"], "KDJ": ["K", "D", "J"],
           "RSI": ["RSI1", "RSI2", "RSI3"], "BOLL": ["BOLL", "UB", "LB"],
           "WR": ["WR1", "WR2"], "BIAS": ["BIAS1", "BIAS2", "BIAS3"], "CCI": ["CCI"],
           "ATR": ["MTR", "ATR"], "DMI": ["PDI", "MDI", "ADX", "ADXR"], "OBV": ["OBV"],
           "ROC": ["ROC", "MAROC"], "MTM": ["MTM", "MTMMA"], "TRIX": ["TRIX", "MATRIX"],
           "PSY": ["PSY", "PSYMA"], "EMV": ["EMV", "MAEMV"]}


def test_every_indicator_compiles_with_a_summary_and_its_outputs():
    assert sorted(zelvo.indicators) == sorted(OUTPUTS)
    for name, ind in zelvo.indicators.items():
        assert ind.name == name and ind.summary and ind.outputs == OUTPUTS[name]
        assert ind.text.lstrip().startswith("{" + name + ":")
    assert zelvo.indicators["MACD"].params == {"SHORT": 12, "LONG": 26, "MID": 9}


def test_lookup_is_case_insensitive_and_unknown_names_are_refused():
    assert zelvo.indicators["macd"] is zelvo.indicators["MACD"]
    with pytest.raises(KeyError, match="no indicator 'NOPE'; the library has ATR"):
        zelvo.indicators["NOPE"]


def test_indicator_with_parameters_equals_the_formula():
    want = Formula(zelvo.indicators["MACD"].text, SHORT=5, LONG=10, MID=3)(BARS)
    for got in (zelvo.indicator("MACD", BARS, SHORT=5, LONG=10, MID=3),
                zelvo.indicator("macd", BARS, short=5, long=10, mid=3)):
        assert all(np.array_equal(got[k], want[k], equal_nan=True) for k in want)
    with pytest.raises(FormulaError, match="unknown parameter 'SLOW'"):
        zelvo.indicator("MACD", BARS, SLOW=3)
    zelvo.indicator("MACD", BARS, MID=1)
    with pytest.raises(FormulaError, match="not True"):    # not the formula kept for 1
        zelvo.indicator("MACD", BARS, MID=True)


def test_import_of_the_data_folder_name_gives_the_library():
    import zelvo.indicators as lib
    assert lib is zelvo.indicators and "KDJ" in lib


def test_docs_list_every_indicator_with_its_text():
    docs = DOCS.read_text(encoding="utf-8")
    for name, ind in zelvo.indicators.items():
        assert f"### {name}\n" in docs
        assert ind.text.strip() in docs, name


GRAPH_OP = {"=": "==", "<>": "!=", "&&": "AND", "||": "OR"}


def _top(text):
    """The operator of the last node and the operators of the nodes it reads."""
    p = Formula(text).program
    node = p.nodes[p.outputs[0][1]]
    kids = [p.nodes[k] for k in node[2:]]
    return node[1], {k[1] for k in kids if k[0] == "binop"}


def test_docs_precedence_table_matches_the_parser():
    docs = DOCS.read_text(encoding="utf-8")
    rows = re.findall(r"^\| (\d) \| (.+?) \| (.*?) \|$", docs, re.M)
    levels = {int(n): [op.replace("\\|", "|") for op in re.findall(r"`([^`]+)`", ops)]
              for n, ops, grouping in rows if "prefix" not in grouping and "`" in ops}
    assert sorted(levels) == [1, 2, 4, 5, 6]
    assert levels[4] == [">", "<", ">=", "<=", "=", "==", "<>", "!="]
    binary = [(n, op) for n in sorted(levels) for op in levels[n]]
    for lo, op1 in binary:
        for hi, op2 in binary:
            g1, g2 = GRAPH_OP.get(op1, op1), GRAPH_OP.get(op2, op2)
            if lo < hi:        # the tighter operator is computed first, either side
                assert _top(f"C {op1} O {op2} H") == (g1, {g2}), (op1, op2)
                assert _top(f"C {op2} O {op1} H") == (g1, {g2}), (op1, op2)
            elif lo == hi and lo != 4:     # left to right within a level
                assert _top(f"C {op1} O {op2} H") == (g2, {g1}), (op1, op2)
    # NOT binds looser than comparisons and tighter than AND.
    assert _top("NOT C > O AND H")[0] == "AND"
    p = Formula("NOT C > O").program
    assert p.nodes[-1][:2] == ("unop", "NOT") and p.nodes[p.nodes[-1][2]][1] == ">"


def test_load_for_the_command_line():
    assert load("PARAM N=2; MA(C,N)", params=["N=3"]).params == {"N": 3.0}
    f = load(indicator="kdj", params=["N=5", " M1 = 2 "])
    assert f.params == {"N": 5.0, "M1": 2.0, "M2": 3.0}
    assert load(indicator="RSI", params={"N1": 9}).params["N1"] == 9.0
    with pytest.raises(TypeError):
        load()
    with pytest.raises(KeyError):
        load(indicator="nope")


@pytest.mark.parametrize("item", ["N", "N=", "=5", "N=abc", "N=nan", "N=inf"])
def test_parameters_typed_as_text_are_checked(item):
    with pytest.raises(ValueError, match="NAME=NUMBER"):
        parse_params([item])
