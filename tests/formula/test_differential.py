"""Every library indicator, run as a formula, equals the same lines written out
with the functions and NumPy, bit for bit: on single series, on a panel of
instruments, per symbol of a long frame, and with parameters other than the
defaults."""
import numpy as np
import pytest

import zelvo

NAMES = ["MACD", "KDJ", "RSI", "BOLL", "WR", "BIAS", "CCI", "ATR", "DMI", "OBV", "ROC",
         "MTM", "TRIX", "PSY", "EMV"]

# Parameters other than the defaults, per indicator.
OTHER = {"MACD": dict(SHORT=5, LONG=35, MID=5), "KDJ": dict(N=14, M1=5, M2=2),
         "RSI": dict(N1=14, N2=2, N3=50), "BOLL": dict(M=10, P=3), "WR": dict(N=14, N1=3),
         "BIAS": dict(N1=3, N2=5, N3=60), "CCI": dict(N=20), "ATR": dict(N=5),
         "DMI": dict(M1=7, M2=3), "OBV": {}, "ROC": dict(N=1, M=3), "MTM": dict(N=30, M=2),
         "TRIX": dict(N=5, M=3), "PSY": dict(N=5, M=10), "EMV": dict(N=6, M=3)}


def bits(a):
    """The bits of a float array, every NaN as the one quiet NaN (payloads that
    win when NaNs meet are not part of the contract)."""
    a = np.asarray(a, dtype=np.float64)
    return np.where(np.isnan(a), np.nan, a).view(np.int64)


def assert_same_bits(got, want):
    assert list(got) == list(want)
    for k in want:
        assert np.shape(got[k]) == np.shape(want[k]), k
        assert np.array_equal(bits(got[k]), bits(want[k])), k


def test_library_is_the_fifteen():
    assert sorted(zelvo.indicators) == sorted(NAMES)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("params", ["default", "other"])
def test_formula_equals_spelled_out(name, params, real_bars, spelled):
    p = {} if params == "default" else OTHER[name]
    for bars in real_bars.values():
        assert_same_bits(zelvo.indicator(name, bars, **p), spelled[name](bars, **p))


@pytest.mark.parametrize("name", NAMES)
def test_panel_rows_equal_single_series(name, real_bars, spelled):
    sets = list(real_bars.values())
    n = min(len(b["close"]) for b in sets)
    # Instruments x bars: each file's last n bars, and one with leading NaN bars.
    rows = [{k: v[-n:] for k, v in b.items()} for b in sets]
    gap = {k: v.copy() for k, v in rows[0].items()}
    for v in gap.values():
        v[:37] = np.nan
    rows.append(gap)
    panel = {k: np.stack([r[k] for r in rows]) for k in rows[0]}
    got = zelvo.indicator(name, panel)
    for i, r in enumerate(rows):
        assert_same_bits({k: v[i] for k, v in got.items()}, spelled[name](r))


def test_long_frame_per_symbol_equals_each_symbol(real_bars, spelled):
    pd = pytest.importorskip("pandas")
    frames = []
    for sym, b in real_bars.items():
        df = pd.DataFrame({k.capitalize(): v for k, v in b.items()})
        df["day"] = np.arange(len(df))
        df["Symbol"] = sym
        frames.append(df)
    # Rows interleaved by day, as a universe file usually comes.
    long = pd.concat(frames).sort_values(["day", "Symbol"], kind="stable")
    for name in ("KDJ", "DMI", "OBV"):
        out = zelvo.indicator(name, long)
        assert list(out.columns) == zelvo.indicators[name].outputs
        assert out.index.equals(long.index)
        for sym, b in real_bars.items():
            mine = out[(long["Symbol"] == sym).to_numpy()]
            assert_same_bits({k: mine[k].to_numpy() for k in mine}, spelled[name](b))
