"""zelvo.polars against the package API per symbol, bit for bit.

Every catalog function through the namespace, and every library indicator
through formula(), on a long frame of ragged symbols whose rows are shuffled:
grouped by by= (eager and lazy) and by .over(), ordered by time=, with nulls
among the values; each symbol's result must be what the package API gives on
that symbol's series alone, sorted by time.
"""
import subprocess
import sys

import numpy as np
import pytest

pl = pytest.importorskip("polars")

import zelvo  # noqa: E402
import zelvo.polars as zp  # noqa: E402
from zelvo._catalog import FUNCTIONS  # noqa: E402

LENGTHS = {"AAA": 40, "BB": 1, "C": 23, "DDDD": 31}


def bars(seed=5, shuffle=True):
    rng = np.random.default_rng(seed)
    n = sum(LENGTHS.values())
    close = 10 + np.cumsum(rng.integers(-4, 5, n) / 8)
    frame = pl.DataFrame({
        "symbol": np.repeat(list(LENGTHS), list(LENGTHS.values())),
        "date": np.concatenate([np.arange(k) * 3 + 100 for k in LENGTHS.values()]),
        "open": close + rng.integers(-2, 3, n) / 8, "high": close + 1, "low": close - 1,
        "close": close, "volume": rng.integers(0, 5, n) * 100.0, "amount": close * 1000,
        "cond": rng.choice([0.0, 1.0, 2.0, 0.5, np.nan], n),
        "window": rng.integers(-2, 9, n).astype(np.float64),
        "factor": rng.random(n).round(2),
    })
    # Nulls (NaN going in) and a NaN among the closes.
    frame = frame.with_columns(
        pl.when(pl.int_range(pl.len()) % 11 == 4).then(None).otherwise(pl.col("open"))
        .alias("open"),
        pl.when(pl.int_range(pl.len()) == 7).then(np.nan).otherwise(pl.col("close"))
        .alias("close"))
    return frame.sample(fraction=1.0, shuffle=True, seed=seed) if shuffle else frame


def per_symbol(frame, compute):
    """compute(columns as float64 arrays) per symbol in time order, put back
    in the frame's row order; returns a dict of arrays."""
    rows = frame.with_row_index("row")
    out = {}
    for (sym,), g in rows.group_by("symbol", maintain_order=True):
        g = g.sort("date")
        got = compute({c: g[c].cast(pl.Float64).to_numpy() for c in frame.columns
                       if c not in ("symbol", "date")})
        idx = g["row"].to_numpy()
        for k, v in got.items():
            out.setdefault(k, np.full(frame.height, -7.0))[idx] = v
    return out


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


# Arguments of each function: the columns its series read, ints for windows.
def arguments(f):
    cols = {"s": ["close", "open", "high"], "c": ["cond"]}
    used = {"s": 0, "c": 0}
    out = []
    for name, kind in f.args:
        if kind == "i":
            out.append(3 if not any(isinstance(a, int) for a in out) else 2)
        elif name == "N":
            out.append("window")
        elif name == "A":
            out.append("factor")
        else:
            out.append(cols[kind][used[kind] % len(cols[kind])])
            used[kind] += 1
    return out


def expression(f, args, **kw):
    first, *rest = [pl.col(a) if isinstance(a, str) else a for a in args]
    return getattr(first.zelvo, f.name)(*rest, **kw)


def api(f, args):
    def compute(c):
        return {"r": getattr(zelvo, f.name)(*[c[a] if isinstance(a, str) else a
                                              for a in args])}
    return compute


ROUTES = {
    "by": lambda e, fr: fr.select(e(by="symbol", time="date")).to_series(),
    "lazy": lambda e, fr: fr.lazy().with_columns(r=e(by="symbol", time="date"))
    .collect()["r"],
    "streaming": lambda e, fr: fr.lazy().select(r=e(by="symbol", time="date"))
    .collect(engine="streaming")["r"],
    "over": lambda e, fr: fr.select(e(time="date").over("symbol")).to_series(),
}


@pytest.mark.parametrize("route", list(ROUTES))
@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_every_function_equals_the_api_per_symbol(name, route):
    f = FUNCTIONS[name]
    args = arguments(f)
    frame = bars()
    want = per_symbol(frame, api(f, args))["r"]
    got = ROUTES[route](lambda **kw: expression(f, args, **kw), frame)
    assert got.dtype == pl.Float64 and len(got) == frame.height
    assert same_bits(got.to_numpy(), want)


def test_rows_already_in_order_need_no_time_column():
    frame = bars(shuffle=False)
    want = per_symbol(frame, lambda c: {"r": zelvo.EMA(c["close"], 4)})["r"]
    got = frame.select(pl.col("close").zelvo.EMA(4, by="symbol")).to_series()
    assert same_bits(got.to_numpy(), want)
    # One group, the whole column: the API on the whole column.
    whole = frame.select(pl.col("close").zelvo.EMA(4)).to_series()
    assert same_bits(whole.to_numpy(), zelvo.EMA(frame["close"].to_numpy(), 4))


@pytest.mark.parametrize("name", list(zelvo.indicators))
def test_every_indicator_equals_the_formula_per_symbol(name):
    f = zelvo.indicators[name].formula
    frame = bars()
    want = per_symbol(frame, lambda c: f({k: c[k] for k in f.fields}))
    got = frame.select(zp.formula(f, by="symbol", time="date").struct.unnest())
    assert got.columns == f.outputs
    for out in f.outputs:
        assert same_bits(got[out].to_numpy(), want[out]), out


def test_formula_lazy_over_and_params():
    text = zelvo.indicators["MACD"].text
    frame = bars()
    f = zelvo.Formula(text, SHORT=5)
    want = per_symbol(frame, lambda c: f({"close": c["close"]}))
    lazy = (frame.lazy().with_columns(m=zp.formula(text, time="date", SHORT=5).over("symbol"))
            .collect())
    assert lazy.schema["m"] == pl.Struct({o: pl.Float64 for o in f.outputs})
    for out in f.outputs:
        assert same_bits(lazy["m"].struct.field(out).to_numpy(), want[out])


def test_formula_columns_by_mapping_or_by_the_naming_rule():
    frame = bars().rename({"close": "Close", "volume": "VOL"})
    f = zelvo.Formula("A: MA(C, 3) + SUM(VOL, 2);")
    want = per_symbol(bars(), lambda c: f({"close": c["close"], "volume": c["volume"]}))["A"]
    for columns in ({"close": "Close", "V": pl.col("VOL")}, frame.columns):
        got = frame.select(zp.formula(f, by="symbol", time="date", columns=columns)
                           .struct.field("A")).to_series()
        assert same_bits(got.to_numpy(), want)
    with pytest.raises(ValueError, match="names no bar field"):
        zp.formula(f, columns={"price": "Close"})


def test_numbers_stand_for_every_bar_and_several_keys_group():
    frame = bars().with_columns(venue=pl.col("symbol").str.len_chars() % 2)
    want = per_symbol(frame, lambda c: {"r": zelvo.CROSS(c["close"], 10.5)})["r"]
    got = frame.select(pl.col("close").zelvo.CROSS(10.5, by=["venue", "symbol"],
                                                   time="date")).to_series()
    assert same_bits(got.to_numpy(), want)


@pytest.mark.parametrize("dates", [False, True])
def test_time_column_of_dates_or_numbers(dates):
    frame = bars()
    if dates:
        frame = frame.with_columns(pl.from_epoch("date", time_unit="d"))
    got = frame.select(pl.col("close").zelvo.MA(4, by="symbol", time="date")).to_series()
    base = bars()
    want = per_symbol(base, lambda c: {"r": zelvo.MA(c["close"], 4)})["r"]
    assert same_bits(got.to_numpy(), want)


BAD_TIMES = [
    (lambda fr: fr.with_columns(date=pl.when(pl.col("date") == 103).then(100)
                                .otherwise(pl.col("date"))), ValueError, "same time"),
    (lambda fr: fr.with_columns(date=pl.when(pl.col("date") == 103).then(None)
                                .otherwise(pl.col("date"))), ValueError, "missing values"),
    (lambda fr: fr.with_columns(date=pl.col("date").cast(pl.String)), TypeError, "dates, times"),
]


@pytest.mark.parametrize("spoil,error,message", BAD_TIMES, ids=["twice", "null", "text"])
def test_bad_time_columns_are_refused(spoil, error, message):
    frame = spoil(bars())
    with pytest.raises(Exception, match=message) as info:
        frame.select(pl.col("close").zelvo.MA(3, by="symbol", time="date"))
    assert isinstance(info.value, error) or error.__name__ in str(info.value)


def test_arguments_by_keyword():
    frame = bars()
    by_name = frame.select(pl.col("close").zelvo.SMA(M=2, N=5, by="symbol", time="date"))
    by_place = frame.select(pl.col("close").zelvo.SMA(5, 2, by="symbol", time="date"))
    assert same_bits(by_name.to_series().to_numpy(), by_place.to_series().to_numpy())


def test_refusals_at_build_time():
    with pytest.raises(ValueError, match="'N' must be from 1"):
        pl.col("close").zelvo.MA(0)
    with pytest.raises(TypeError, match="must be an int"):
        pl.col("close").zelvo.MA(2.5)
    with pytest.raises(TypeError, match="polars expression or a number"):
        pl.col("close").zelvo.CROSS("open")
    with pytest.raises(TypeError):
        pl.col("close").zelvo.BARSLAST(3)
    with pytest.raises(ValueError, match="reads no bar column"):
        zp.formula("A: 1;")
    with pytest.raises(zelvo.formula.FormulaError):
        zp.formula("A: MA(C;")


def test_polars_is_imported_only_by_zelvo_polars():
    code = ("import sys, zelvo; print('polars' in sys.modules); import zelvo.polars; "
            "print('polars' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout.split()
    assert out == ["False", "True"]


def test_the_readme_example_as_written():
    import re
    from pathlib import Path

    text = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    block = re.search(r"### polars expressions and Arrow data.*?```python\n(.*?)```", text,
                      re.S).group(1)
    names: dict = {}
    exec(block, names)
    out, frame = names["out"], names["bars"]
    want = per_symbol(frame, lambda c: {"ma2": zelvo.MA(c["close"], 2),
                                        **zelvo.indicators["MACD"].formula(c)})
    for column, values in want.items():
        assert same_bits(out[column].to_numpy(), values), column
