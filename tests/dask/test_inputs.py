"""What zelvo.dask takes and refuses (on the synchronous scheduler), and the
README's recipe and examples/universe_dask.py as written."""
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("pyarrow")

import dask  # noqa: E402
import dask.array as da  # noqa: E402
from corelib import same_bits  # noqa: E402

import zelvo  # noqa: E402
import zelvo.dask as zd  # noqa: E402
from zelvo._containers import to_float64  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
F = zelvo.Formula("M:MA(C,3); X:EMA(C,5)-EMA(O,2); K:(C-LLV(L,4))/(HHV(H,4)-LLV(L,4)); VS:SUM(V,3)")


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="sync"):
        yield


def long_bars(lengths=(30, 17, 25)):
    close = 10 + np.cumsum(np.random.default_rng(3).normal(0, 1, sum(lengths)))
    return pd.DataFrame({
        "symbol": np.repeat([f"S{i}" for i in range(len(lengths))], lengths),
        "date": np.concatenate([pd.date_range("2020-01-01", periods=k) for k in lengths]),
        "open": close + 0.5, "high": close + 1, "low": close - 1, "close": close,
        "volume": np.arange(sum(lengths)) % 7 * 100.0})


def ddf_of(bars, label=None, value=None):
    if label is not None:
        bars = bars.copy()
        bars[label] = value
    return dd.from_pandas(bars, npartitions=2).set_index("symbol")


def assert_per_symbol(got, bars, f=F):
    """`got` (indexed by symbol, a date column) is `f` on each symbol's bars alone."""
    got = got.reset_index().sort_values(["symbol", "date"], kind="mergesort")
    bars = bars.sort_values(["symbol", "date"], kind="mergesort")
    assert got["symbol"].tolist() == bars["symbol"].tolist()
    assert (got["date"].to_numpy() == bars["date"].to_numpy()).all()
    expected = f(bars)                   # a pandas frame with a symbol column, per symbol
    assert all(same_bits(got[k].to_numpy(), expected[k].to_numpy()) for k in f.outputs)


def test_the_example_writes_a_file_per_partition_and_ends_cleanly(tmp_path):
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "universe_dask.py"),
                          "--symbols", "600", "--bars", "60", "--workers", "1"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0 and "Error" not in run.stderr, run.stderr
    assert len(list((tmp_path / "universe.parquet").iterdir())) == 3     # 250 symbols a file
    universe = pd.read_parquet(tmp_path / "universe.parquet")
    for name in ("MACD", "KDJ", "BOLL"):            # a file per partition, at most one per input
        assert 1 <= len(list((tmp_path / "indicators" / name).iterdir())) <= 3
        assert_per_symbol(pd.read_parquet(tmp_path / "indicators" / name), universe,
                          zelvo.indicators[name].formula)


def test_the_readme_recipe_on_one_parquet_file(tmp_path, monkeypatch):
    section = (ROOT / "README.md").read_text().split("### On a Dask cluster")[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    bars = long_bars()
    bars.sample(frac=1.0, random_state=1).to_parquet(tmp_path / "universe.parquet")
    monkeypatch.chdir(tmp_path)
    names = {"universe_close": np.stack([bars["close"][:25], bars["open"][:25]])}
    exec(code, names)
    assert same_bits(names["ma"], zelvo.MA(names["universe_close"], 20))
    assert_per_symbol(names["macd"].compute(), bars, zelvo.indicators["MACD"].formula)


def test_unknown_divisions_are_refused_with_a_fix_that_works(tmp_path):
    bars = long_bars()                   # two files sorted by symbol, S1 in both
    bars.iloc[:40].to_parquet(tmp_path / "a.parquet")
    bars.iloc[40:].to_parquet(tmp_path / "b.parquet")
    ddf = dd.read_parquet(tmp_path, index="symbol")
    fix = 'ddf.reset_index().set_index("symbol", sorted=True)'
    with pytest.raises(ValueError, match="divisions are unknown") as e:
        zd.frame(F, ddf)
    assert fix in str(e.value)
    assert_per_symbol(zd.frame(F, eval(fix)).compute(), bars)


def test_nullable_int_labelled_and_unread_columns():
    bars = long_bars().astype({"close": "Float64", "volume": "Int64"})
    bars.loc[::7, "close"] = bars.loc[::5, "volume"] = pd.NA
    extra = bars.assign(**{"adj close": 1.0, "timestamp": "t"})     # not read, nor refused
    lazy = zd.frame(F, ddf_of(extra, 0, 1.0))
    got = lazy.compute()
    assert_per_symbol(got, bars.astype({"close": float, "volume": float}))
    assert dict(lazy._meta.dtypes) == dict(got.dtypes) and lazy._meta.index.dtype == got.index.dtype


X = 10 + np.cumsum(np.random.default_rng(5).normal(0, 1, (12, 40)), axis=1)
DX = da.from_array(X, chunks=(4, 8))
MASKED = DX[DX[:, 0] > -np.inf]                               # unknown row chunks


@pytest.mark.parametrize("axis", [-1, 0])
def test_formula_over_numpy_and_dask_panels(axis):
    t = (lambda a: a.T.copy()) if axis == 0 else (lambda a: a)
    bars = {"C": da.from_array(t(X), chunks=5), "o": t(X) + 1, "L": t(X) - 1, "high": t(X) + 1,
            "VOL": t(X) * 0 + 2}
    got = dask.compute(zd.formula(F, bars, axis=axis))[0]
    expected = F({"close": X, "open": X + 1, "low": X - 1, "high": X + 1, "volume": X * 0 + 2})
    assert all(same_bits(got[k], t(expected[k])) for k in F.outputs)
    assert same_bits(zd.formula("TWO:2", {"adj": DX})["TWO"], np.full(X.shape, 2.0))
    assert same_bits(zd.panel("MA", MASKED, 3).compute(), zelvo.MA(X, 3))   # alone it runs


def refusal(call, *args):
    """The message of a refusal outside zelvo.dask: the one it must repeat."""
    return str(pytest.raises(TypeError, call, *args).value)


B = long_bars()
AXIS = "axis must be 0, 1, -1 or -2 for a 2-D panel (the time axis), "
STRS, DATES = np.array([["a", "b"]] * 2), np.ones((2, 2), "datetime64[D]")


@pytest.mark.parametrize("call, message", [
    (lambda: zd.frame(F, ddf_of(B, "Close", 1.0)), "the columns 'close' and 'Close' both name"),
    (lambda: zd.frame(F, ddf_of(B.astype({"close": str}))),
     refusal(to_float64, pd.Series(["1"]), "the column 'close'")),
    (lambda: zd.frame(F, ddf_of(B, "name", "x")), "the column 'name' holds "),
    (lambda: zd.frame(F, ddf_of(B, 7, "x")), "the column 7 holds "),
    (lambda: zd.frame(F, ddf_of(B.drop(columns="date"))), "no time column 'date'"),
    (lambda: zd.frame(F, ddf_of(B.drop(columns="high"))), "the bars have no high column"),
    (lambda: zd.frame(F, ddf_of(B), symbol="date"), 'ddf = ddf.set_index("date")'),
    (lambda: zd.frame(F, dd.from_pandas(B, npartitions=2)), "the frame is not indexed"),
    (lambda: zd.frame(F, dd.from_pandas(B.set_index("date"), 2)), "indexed by 'date'"),
    (lambda: zd.frame(F, B), "ddf must be a Dask DataFrame"),
    (lambda: zd.panel("MA", DX, 3, axis=2), AXIS + "got 2"),
    (lambda: zd.formula("MA(C,3)", {"close": DX}, axis=2), AXIS + "got 2"),  # not 0
    (lambda: zd.panel("MA", DX, 3, axis=True), "axis must be an int (0, 1, -1 or -2), not bool"),
    (lambda: zd.formula("C", {"close": DX}, axis=1.0), "axis must be an int (0, 1, -1 or -2)"),
    (lambda: zd.formula(F, {}), "zelvo.dask.formula: bars is empty"),
    (lambda: zd.formula("C", {"Close": da.from_array(DATES)}),
     "the column 'Close' must hold bool, int or float values; got an array of dtype datetime64"),
    (lambda: zd.panel(zelvo.CROSS, DX[:2, :2], da.from_array(STRS)),
     refusal(zelvo.CROSS, X[:2, :2], STRS)),
    (lambda: zd.formula("C", {"close": [[1.0]]}), "the column 'close' must be a 2-D Dask or"),
    (lambda: zd.formula("C", {"close": DX, "CLOSE": DX}), "'close' and 'CLOSE' both name"),
    (lambda: zd.formula("C-O", {"close": DX, "open": DX[:5]}),
     "the column 'close' has shape (12, 40) but the column 'open' has shape (5, 40)"),
    (lambda: zd.formula("C-L", {"close": DX}), "the bars have no low column"),
    (lambda: zd.panel("CROSS", DX, np.ones(40)), "CROSS() argument 'y' must be 2-D"),
    (lambda: zd.panel("CROSS", DX, MASKED), "CROSS() argument 'y' has unknown chunk sizes"),
    (lambda: zd.panel("MA", MASKED.T, 3), "MA() argument 'a' has unknown chunk sizes"),
])
def test_refused_when_the_graph_is_built(call, message):
    with pytest.raises((TypeError, ValueError), match=re.escape(message)):
        call()
