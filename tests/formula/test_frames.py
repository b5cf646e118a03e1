"""Bars given as mappings, pandas or polars frames; outputs of the same kind."""
import subprocess
import sys

import numpy as np
import pytest

import zelvo
from zelvo.formula import Formula, FormulaError

RNG = np.random.default_rng(3)
F = Formula("PARAM N=3; K: SMA(C-LLV(L,N),N,1); J: HHV(H, BARSLAST(C>REF(C,1))); "
            "R: REF(C,-2); V2: SUM(VOL,0)")


def bars(n, seed=0):
    rng = np.random.default_rng(seed)
    c = np.cumsum(rng.normal(size=n)) + 100
    return {"open": c + 0.1, "high": c + 1, "low": c - 1, "close": c,
            "volume": rng.integers(1, 1000, n).astype(float)}


def same(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def test_mapping_columns_in_any_case_and_aliases():
    b = bars(50)
    want = F(b)
    spelled = {"Open": b["open"], " HIGH ": b["high"], "Low": b["low"], "CLOSE": b["close"],
               "Vol": b["volume"], "date": np.arange(50)}
    got = F(spelled)
    assert list(got) == ["K", "J", "R", "V2"] and all(same(got[k], want[k]) for k in want)


def test_mapping_of_lists_and_integer_columns():
    got = Formula("C+V")({"close": [1, 2, 3], "volume": np.array([1, 2, 3], dtype=np.int32)})
    assert got["C+V"].tolist() == [2.0, 4.0, 6.0] and got["C+V"].dtype == np.float64


MAPPING_REFUSED = [
    ({"close": np.zeros(3)}, FormulaError, "the bars have no low column"),
    ({"close": np.zeros(3), "Close": np.zeros(3)}, ValueError, "both name the close bars"),
    ({"close": np.zeros(3), "low": np.zeros(4), "high": np.zeros(3), "volume": np.zeros(3)},
     ValueError, "bar columns differ in shape"),
    ({k: np.zeros((2, 2, 2)) for k in ("close", "low", "high", "volume")}, ValueError, "3-D"),
    ({"close": ["a", "b"], "low": [1, 2], "high": [1, 2], "volume": [1, 2]}, ValueError,
     "column 'close' is not numeric"),
]


@pytest.mark.parametrize("data,error,message", MAPPING_REFUSED)
def test_mapping_refused(data, error, message):
    with pytest.raises(error, match=message):
        F(data)


def test_missing_column_points_at_its_first_use():
    with pytest.raises(FormulaError) as info:
        Formula("X: C*2;\nY: AMOUNT/VOL + AMOUNT")({"close": [1.0], "volume": [1.0]})
    e = info.value
    assert e.text[e.start:e.end] == "AMOUNT" and e.line == 2
    assert "bar columns: close, volume" in e.message


def test_formula_without_bars_takes_the_shape_of_the_columns():
    assert Formula("X: 1+1")({"close": np.zeros((2, 3))})["X"].tolist() == [[2.0] * 3] * 2
    with pytest.raises(ValueError, match="empty"):
        Formula("1")({})


def test_not_bars():
    with pytest.raises(TypeError, match="pandas DataFrame, a polars DataFrame or a mapping"):
        F([1, 2, 3])


def _long(pd, lengths):
    """A long frame of symbols with these numbers of bars, rows ordered by date."""
    frames = []
    for i, n in enumerate(lengths):
        b = bars(n, seed=i)
        df = pd.DataFrame({"Date": np.arange(100 - n, 100), **{k.title(): v for k, v in b.items()}})
        df["Symbol"] = f"S{i}"
        frames.append(df)
    return pd.concat(frames).sort_values(["Date", "Symbol"], kind="stable")


def test_pandas_per_symbol():
    pd = pytest.importorskip("pandas")
    lengths = [60, 100, 60, 1, 35]
    long = _long(pd, lengths)
    long.index = [f"r{i}" for i in range(len(long))]
    out = F(long)
    assert isinstance(out, pd.DataFrame) and list(out.columns) == F.outputs
    assert out.index.equals(long.index)
    for i, n in enumerate(lengths):
        mine = out[(long["Symbol"] == f"S{i}").to_numpy()]
        want = F(bars(n, seed=i))
        assert all(same(mine[k].to_numpy(), want[k]) for k in want)


def test_pandas_without_symbol_and_with_nullable_columns():
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"close": pd.array([1, None, 3], dtype="Int64"), "other": ["x"] * 3})
    out = Formula("C*2")(df)
    assert np.array_equal(out["C*2"].to_numpy(), [2.0, np.nan, 6.0], equal_nan=True)
    single = _long(pd, [40]).drop(columns="Symbol")
    assert all(same(F(single)[k], F(bars(40))[k]) for k in F.outputs)


def test_pandas_missing_symbols_form_their_own_group():
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"close": [1.0, 10.0, 2.0, 20.0], "symbol": ["a", None, "a", None]})
    assert Formula("SUM(C,0)")(df)["SUM(C,0)"].tolist() == [1.0, 10.0, 3.0, 30.0]


def test_polars_per_symbol_and_without():
    pl = pytest.importorskip("polars")
    lengths = [30, 45, 30]
    rows = []
    for i, n in enumerate(lengths):
        b = bars(n, seed=i)
        rows.append(pl.DataFrame({**{k.upper(): v for k, v in b.items()},
                                  "date": np.arange(100 - n, 100), "symbol": [f"S{i}"] * n}))
    long = pl.concat(rows).sort(["date", "symbol"])
    out = F(long)
    assert isinstance(out, pl.DataFrame) and out.columns == F.outputs
    sym = long.get_column("symbol").to_numpy()
    for i, n in enumerate(lengths):
        want = F(bars(n, seed=i))
        assert all(same(out.get_column(k).to_numpy()[sym == f"S{i}"], want[k]) for k in want)
    one = F(rows[1].drop("symbol"))
    assert all(same(one.get_column(k).to_numpy(), F(bars(45, seed=1))[k]) for k in F.outputs)
    cat = pl.DataFrame({"close": [1.0, 2.0, 3.0, 4.0],
                        "symbol": pl.Series(["a", "b", "a", None]).cast(pl.Categorical)})
    assert Formula("SUM(C,0)")(cat).get_column("SUM(C,0)").to_list() == [1.0, 2.0, 4.0, 4.0]
    nulls = pl.DataFrame({"close": [1.0, None, 3.0]})
    assert np.isnan(Formula("C")(nulls).get_column("C").to_numpy()[1])


def test_importing_and_using_mappings_loads_neither_pandas_nor_polars():
    code = ("import sys, numpy as np, zelvo\n"
            "zelvo.indicator('MACD', {'close': np.arange(1.0, 50.0)})\n"
            "print('pandas' in sys.modules, 'polars' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout.split() == ["False", "False"]
