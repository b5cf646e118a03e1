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
    ({"close": ["a", "b"], "low": [1, 2], "high": [1, 2], "volume": [1, 2]}, TypeError,
     "the column 'close' must hold bool, int or float values; got an array of dtype <U1"),
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
    df = pd.DataFrame({"close": pd.array([1, None, 3], dtype="Int64"), "other": [7, 8, 9]})
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


# -- wide frames: one DataFrame per bar field, dates x symbols ---------------
SYMBOLS = ["AAA", "BBB", "CCC"]


def _wide(lib, n=80):
    """Three symbols' bars as wide frames (field -> dates x symbols), and alone."""
    alone = [bars(n, seed=10 + j) for j in range(len(SYMBOLS))]
    raw = {k: np.column_stack([b[k] for b in alone]) for k in alone[0]}
    if lib == "pandas":
        pd = pytest.importorskip("pandas")
        index = pd.date_range("2021-01-04", periods=n, freq="B", name="date")
        return {k.title(): pd.DataFrame(v, index=index, columns=SYMBOLS)
                for k, v in raw.items()}, alone
    pl = pytest.importorskip("polars")
    return {k.title(): pl.DataFrame(dict(zip(SYMBOLS, v.T))) for k, v in raw.items()}, alone


@pytest.mark.parametrize("lib", ["pandas", "polars"])
def test_wide_frames_run_down_their_columns(lib):
    frames, alone = _wide(lib)
    close = frames["Close"]
    for name, got in {**F(frames), **Formula("X: 1+1")({"close": close})}.items():
        assert type(got) is type(close) and list(got.columns) == SYMBOLS and len(got) == 80
        assert lib == "polars" or got.index.equals(close.index)
        for j, symbol in enumerate(SYMBOLS):
            want = F(alone[j])[name] if name != "X" else np.full(80, 2.0)
            assert same(got[symbol].to_numpy(), want), (name, symbol)


def test_wide_frames_equal_the_functions_on_the_frames(spelled):
    frames, _ = _wide("pandas")
    dif = Formula("DIF: EMA(C,12)-EMA(C,26)")({"close": frames["Close"]})["DIF"]
    assert same(dif, zelvo.EMA(frames["Close"], 12) - zelvo.EMA(frames["Close"], 26))
    kdj = zelvo.indicator("KDJ", frames)
    for name, want in spelled["KDJ"]({k.lower(): v for k, v in frames.items()}).items():
        assert same(kdj[name], want) and kdj[name].columns.equals(want.columns)


def test_wide_frames_are_never_mixed_or_aligned():
    pl = pytest.importorskip("polars")
    frames, _ = _wide("pandas", n=10)
    c, h = frames["Close"], frames["High"]
    for high, message in [
            (h.to_numpy(), "the bar columns 'close' and 'high' are a pandas DataFrame and a "
             "NumPy array"),
            (pl.from_pandas(h), "are a pandas DataFrame and a polars DataFrame"),
            (h.iloc[::-1], "'close' and 'high' are pandas objects with different index; "
             "zelvo does not align them"),
            (h[SYMBOLS[::-1]], "are pandas objects with different columns")]:
        with pytest.raises(ValueError, match=message):
            Formula("X: C-H")({"close": c, "high": high})
    with pytest.raises(ValueError, match="are polars DataFrames with different columns"):
        Formula("X: C-H")({"close": pl.from_pandas(c), "high": pl.from_pandas(h[SYMBOLS[::-1]])})
    with pytest.raises(ValueError, match="are pandas objects with different index"):
        Formula("X: C-H")({"close": c["AAA"], "high": h["AAA"].iloc[::-1]})


# -- long frames: where the symbol is --------------------------------------
def _two_symbols(pd):
    """Symbols A (30 bars) and B (20 bars) interleaved by date."""
    parts = [pd.DataFrame({"symbol": s, "date": pd.date_range("2022-01-03", periods=n),
                           **bars(n, seed)}) for s, n, seed in (("A", 30, 1), ("B", 20, 2))]
    df = pd.concat(parts).sort_values(["date", "symbol"], kind="stable")
    return df.set_axis([f"r{i}" for i in range(len(df))])


def _run(f, df, symbol):
    return f(df) if symbol is None else f(df, symbol=symbol)


def shape(name, lay_out, symbol=None):
    return pytest.param(lay_out, symbol, id=name)


@pytest.mark.parametrize("lay_out,symbol", [
    shape("ticker", lambda df: df.rename(columns={"symbol": "ticker"})),
    shape("Code", lambda df: df.rename(columns={"symbol": " Code "})),
    shape("index", lambda df: df.set_index("symbol")),
    shape("symbol, date", lambda df: df.set_index(["symbol", "date"])),
    shape("unnamed date, symbol",
          lambda df: df.set_index(["date", "symbol"]).rename_axis([None, None])),
    shape("date, sym", lambda df: df.rename(columns={"symbol": "sym"}).set_index(["date", "sym"])),
    shape("symbol=NAME", lambda df: df.rename(columns={"symbol": "name"}), "NAME"),
    shape("symbol= level",
          lambda df: df.rename(columns={"symbol": "name"}).set_index(["date", "name"]), "name"),
])
def test_long_frames_find_their_symbol(lay_out, symbol):
    pd = pytest.importorskip("pandas")
    flat = _two_symbols(pd)
    df = lay_out(flat)
    out = _run(F, df, symbol)
    assert out.index.equals(df.index) and list(out.columns) == F.outputs
    for name, n, seed in (("A", 30, 1), ("B", 20, 2)):
        rows = (flat["symbol"] == name).to_numpy()
        want = F(bars(n, seed))
        assert all(same(out[k].to_numpy()[rows], want[k]) for k in want), name
    kdj = _run(lambda d, **kw: zelvo.indicator("KDJ", d, **kw), df, symbol)
    assert same(kdj["K"].to_numpy()[rows], zelvo.indicator("KDJ", bars(20, 2))["K"])


def test_polars_symbol_by_name_and_by_keyword():
    pl = pytest.importorskip("polars")
    flat = _two_symbols(pytest.importorskip("pandas"))
    rows, want = (flat["symbol"] == "B").to_numpy(), F(bars(20, 2))
    for column, symbol in (("Code", None), ("name", "name")):
        out = _run(F, pl.from_pandas(flat.rename(columns={"symbol": column})), symbol)
        assert all(same(out.get_column(k).to_numpy()[rows], want[k]) for k in want)
    with pytest.raises(ValueError, match="the column 'name' holds String values"):
        F(pl.from_pandas(flat.rename(columns={"symbol": "name"})))


def test_long_frames_take_dates_times_and_numbers_but_refuse_to_guess():
    pd = pytest.importorskip("pandas")
    from zelvo._columns import symbol_of
    df = _two_symbols(pd)
    extra = df.assign(time=df["date"].dt.strftime("%H:%M"), listed=df["date"], turnover=1.5,
                      span=pd.Timedelta("1D"), halted=False)
    assert same(F(extra)["K"], F(df)["K"])
    assert symbol_of(df.drop(columns="symbol").set_index("date")) is None
    unknown = ("the column 'name' holds {} values and is neither a bar field, the symbol nor "
               "a date or time; pass symbol='name' if it holds the symbol, or drop it")
    for frame, symbol, message in [
            (df.rename(columns={"symbol": "name"}), None, unknown.format("str")),
            (df.assign(name=df["symbol"].astype("category")), None, unknown.format("category")),
            (df.assign(ticker=df["symbol"]), None, "the columns 'symbol' and 'ticker' both name "
             "the symbol; pass symbol= to say which"),
            (df.set_index("date"), "nope", "symbol='nope' names no column or index level of "
             "the frame (columns: 'symbol', 'open',"),
            (df.set_index("symbol", drop=False), "symbol", "symbol='symbol' names both the "
             "column 'symbol' and the index level 'symbol'")]:
        with pytest.raises(ValueError) as info:
            _run(F, frame, symbol)
        assert message in str(info.value), str(info.value)
    with pytest.raises(TypeError, match="a mapping of bar columns is not grouped"):
        F(bars(5), symbol="symbol")


# -- one conversion of the bar columns --------------------------------------
def test_bar_columns_are_refused_as_the_functions_refuse_them():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    dates = np.arange(4).astype("datetime64[D]")
    for put, values in [
            (dict, dates), (dict, np.arange(4) + 1j), (dict, ["1", "2", "3", "4"]),
            (pd.DataFrame, pd.Series(pd.to_datetime(dates))),
            (pd.DataFrame, pd.Series(["1", "2", "3", "4"])),
            (pl.DataFrame, pl.Series(dates)),
            (lambda v: {"close": pd.DataFrame({"A": v["close"]})}, pd.Series(["a"] * 4))]:
        bars_ = put({"close": values})
        with pytest.raises(TypeError) as function:
            zelvo.MA(bars_["close"], 2)
        with pytest.raises(TypeError) as formula:
            Formula("MA(C,2)")(bars_)
        assert str(formula.value) == str(function.value).replace("MA() argument 'a'",
                                                                 "the column 'close'")
