"""The library indicators against TA-Lib where it computes the same quantity.

Where the definitions agree the values match to 1e-9 relative after a warm-up;
where they differ the test states the relation and checks it:

| indicator | TA-Lib | relation |
|---|---|---|
| MTM | MOM | equal, bit for bit |
| OBV | OBV | OBV = talib.OBV - 2*VOL[0] (TA-Lib starts at +VOL[0], the formula at -VOL[0]) |
| ROC | ROC | equal to 1e-9 relative (TA-Lib divides first, then subtracts 1) |
| WR | WILLR | WR = -WILLR (TA-Lib's scale runs from -100 to 0) from bar N-1 |
| CCI | CCI | equal to 1e-9 of max(abs, 100): near zero both are a cancellation |
| BOLL | BBANDS | BOLL = middle; UB-BOLL = (upper-middle)*sqrt(M/(M-1)) (sample vs population) |
| ATR | TRANGE, ATR | MTR = TRANGE; TA-Lib's ATR is Wilder's smoothing of MTR seeded with ATR at bar N |
| ATR | ATR | SMA(MTR,N,1), seeded with the first range, meets it after 400 bars |
| RSI | RSI | seeded with the first move, not a mean of N: equal after 400 bars |
| MACD | MACD | EMAs seeded with the first close, not a mean of N: equal after 400 bars, MACD = 2*hist |
| TRIX | TRIX | the same seeding: equal after 300 bars |
"""
import numpy as np
import pytest

import zelvo

talib = pytest.importorskip("talib")


def close_to(a, b, start, rtol=1e-9, floor=0.0):
    """a equals b from bar `start` on, to rtol of max(|b|, floor), NaN where b is NaN."""
    a, b = a[start:], b[start:]
    assert np.array_equal(np.isnan(a), np.isnan(b))
    ok = ~np.isnan(b)
    assert ok.any()
    a, b = a[ok], b[ok]
    err = np.where(a == b, 0.0, np.abs(a - b) / np.maximum(np.abs(b), floor or 1e-300))
    assert err.max() <= rtol, err.max()


@pytest.fixture(scope="module", params=["nvda", "orcl", "yhoo"])
def ohlcv(request, real_bars):
    return real_bars[request.param]


def test_mtm_is_mom(ohlcv):
    got = zelvo.indicator("MTM", ohlcv, N=10)["MTM"]
    assert np.array_equal(got, talib.MOM(ohlcv["close"], 10), equal_nan=True)


def test_obv_is_offset_by_twice_the_first_volume(ohlcv):
    got = zelvo.indicator("OBV", ohlcv)["OBV"]
    v = ohlcv["volume"]
    assert np.array_equal(got, talib.OBV(ohlcv["close"], v) - 2 * v[0])


def test_roc(ohlcv):
    got = zelvo.indicator("ROC", ohlcv, N=10)["ROC"]
    close_to(got, talib.ROC(ohlcv["close"], 10), 0, floor=1e-3)


def test_wr_is_minus_willr(ohlcv):
    h, l, c = ohlcv["high"], ohlcv["low"], ohlcv["close"]
    got = zelvo.indicator("WR", ohlcv, N=14, N1=28)
    # HHV and LLV use the bars there are before a full window: TA-Lib starts later.
    close_to(got["WR1"], -talib.WILLR(h, l, c, 14), 13)
    close_to(got["WR2"], -talib.WILLR(h, l, c, 28), 27)


def test_cci(ohlcv):
    got = zelvo.indicator("CCI", ohlcv, N=20)["CCI"]
    close_to(got, talib.CCI(ohlcv["high"], ohlcv["low"], ohlcv["close"], 20), 0, floor=100)


@pytest.mark.parametrize("m,p", [(20, 2), (10, 3)])
def test_boll_uses_the_sample_deviation(ohlcv, m, p):
    got = zelvo.indicator("BOLL", ohlcv, M=m, P=p)
    upper, middle, lower = talib.BBANDS(ohlcv["close"], m, p, p, 0)
    close_to(got["BOLL"], middle, 0)
    close_to(got["UB"] - got["BOLL"], (upper - middle) * np.sqrt(m / (m - 1)), 0)
    close_to(got["BOLL"] - got["LB"], (middle - lower) * np.sqrt(m / (m - 1)), 0)


@pytest.mark.parametrize("n", [14, 5])
def test_atr_relations(ohlcv, n):
    h, l, c = ohlcv["high"], ohlcv["low"], ohlcv["close"]
    got = zelvo.indicator("ATR", ohlcv, N=n)
    mtr, atr = got["MTR"], got["ATR"]
    want = talib.ATR(h, l, c, n)
    assert np.array_equal(mtr[1:], talib.TRANGE(h, l, c)[1:]) and np.isnan(mtr[0])
    assert atr[n] == want[n] and np.isnan(atr[:n]).all()
    wilder = np.full(len(c), np.nan)
    wilder[n] = atr[n]
    for t in range(n + 1, len(c)):
        wilder[t] = (wilder[t - 1] * (n - 1) + mtr[t]) / n
    close_to(wilder, want, n)
    smoothed = zelvo.Formula(f"SMA(MTR,{n},1)".replace(
        "MTR", "MAX(MAX(H-L,ABS(REF(C,1)-H)),ABS(REF(C,1)-L))"))(ohlcv)
    close_to(next(iter(smoothed.values())), want, 400)


def test_rsi_after_warm_up(ohlcv):
    got = zelvo.indicator("RSI", ohlcv, N1=14, N2=6, N3=24)
    for key, n in (("RSI1", 14), ("RSI2", 6), ("RSI3", 24)):
        close_to(got[key], talib.RSI(ohlcv["close"], n), 400 + 10 * n)


def test_macd_after_warm_up(ohlcv):
    c = ohlcv["close"]
    got = zelvo.indicator("MACD", ohlcv)
    macd, signal, hist = talib.MACD(c, 12, 26, 9)
    # The lines cross zero: the tolerance is relative to the price.
    for mine, theirs in ((got["DIF"], macd), (got["DEA"], signal), (got["MACD"], 2 * hist)):
        d = np.abs(mine[400:] - theirs[400:]) / np.abs(c[400:])
        assert d.max() <= 1e-9


def test_trix_after_warm_up(ohlcv):
    got = zelvo.indicator("TRIX", ohlcv, N=12)["TRIX"]
    close_to(got, talib.TRIX(ohlcv["close"], 12), 300, floor=1e-3)


def test_warm_up_is_needed_where_the_seeding_differs(ohlcv):
    """The relations above are not vacuous: before the warm-up the seeds show."""
    c = ohlcv["close"]
    early = zelvo.indicator("RSI", ohlcv, N1=14)["RSI1"][14:30]
    assert np.abs(early - talib.RSI(c, 14)[14:30]).max() > 1e-6
