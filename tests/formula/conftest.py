"""Real daily bars and the library indicators spelled out as function calls."""

import numpy as np
import pytest

import zelvo as Z
from realbars import DATA, FILES, load



@pytest.fixture(scope="session")
def real_bars():
    if not FILES:
        pytest.skip(f"no real bars in {DATA}")
    return {p.name.split("-")[0]: load(p) for p in FILES}


# -- the indicators, written out with the functions and NumPy ----------------
def mx(a, b):
    return np.where((a > b) | np.isnan(a), a, b)


def flag(mask):
    return mask.astype(np.float64)


def macd(b, SHORT=12, LONG=26, MID=9):
    dif = Z.EMA(b["close"], SHORT) - Z.EMA(b["close"], LONG)
    dea = Z.EMA(dif, MID)
    return {"DIF": dif, "DEA": dea, "MACD": (dif - dea) * 2}


def kdj(b, N=9, M1=3, M2=3):
    ll, hh = Z.LLV(b["low"], N), Z.HHV(b["high"], N)
    rsv = (b["close"] - ll) / (hh - ll) * 100
    k = Z.SMA(rsv, M1, 1)
    d = Z.SMA(k, M2, 1)
    return {"K": k, "D": d, "J": 3 * k - 2 * d}


def rsi(b, N1=6, N2=12, N3=24):
    c = b["close"]
    move = c - Z.REF(c, 1)
    up, size = mx(move, 0.0), np.abs(move)
    return {f"RSI{i}": Z.SMA(up, n, 1) / Z.SMA(size, n, 1) * 100
            for i, n in enumerate((N1, N2, N3), 1)}


def boll(b, M=20, P=2):
    mid = Z.MA(b["close"], M)
    sd = Z.STD(b["close"], M)
    return {"BOLL": mid, "UB": mid + P * sd, "LB": mid - P * sd}


def wr(b, N=10, N1=6):
    h, l, c = b["high"], b["low"], b["close"]
    return {f"WR{i}": 100 * (Z.HHV(h, n) - c) / (Z.HHV(h, n) - Z.LLV(l, n))
            for i, n in ((1, N), (2, N1))}


def bias(b, N1=6, N2=12, N3=24):
    c = b["close"]
    return {f"BIAS{i}": (c - Z.MA(c, n)) / Z.MA(c, n) * 100
            for i, n in enumerate((N1, N2, N3), 1)}


def cci(b, N=14):
    typ = (b["high"] + b["low"] + b["close"]) / 3
    return {"CCI": (typ - Z.MA(typ, N)) / (0.015 * Z.AVEDEV(typ, N))}


def true_range(b):
    h, l, lc = b["high"], b["low"], Z.REF(b["close"], 1)
    return mx(mx(h - l, np.abs(lc - h)), np.abs(lc - l))


def atr(b, N=14):
    tr = true_range(b)
    return {"MTR": tr, "ATR": Z.MA(tr, N)}


def dmi(b, M1=14, M2=6):
    h, l, c = b["high"], b["low"], b["close"]
    lc = Z.REF(c, 1)
    tr = Z.SUM(mx(mx(h - l, np.abs(h - lc)), np.abs(lc - l)), M1)
    hd, ld = h - Z.REF(h, 1), Z.REF(l, 1) - l
    dmp = Z.SUM(np.where((hd > 0) & (hd > ld), hd, 0.0), M1)
    dmm = Z.SUM(np.where((ld > 0) & (ld > hd), ld, 0.0), M1)
    pdi, mdi = dmp * 100 / tr, dmm * 100 / tr
    adx = Z.MA(np.abs(mdi - pdi) / (mdi + pdi) * 100, M2)
    return {"PDI": pdi, "MDI": mdi, "ADX": adx, "ADXR": (adx + Z.REF(adx, M2)) / 2}


def obv(b):
    c, v = b["close"], b["volume"]
    lc = Z.REF(c, 1)
    va = np.where(c > lc, v, -v)
    return {"OBV": Z.SUM(np.where(c == lc, 0.0, va), 0)}


def roc(b, N=12, M=6):
    c = b["close"]
    r = 100 * (c - Z.REF(c, N)) / Z.REF(c, N)
    return {"ROC": r, "MAROC": Z.MA(r, M)}


def mtm(b, N=12, M=6):
    m = b["close"] - Z.REF(b["close"], N)
    return {"MTM": m, "MTMMA": Z.MA(m, M)}


def trix(b, N=12, M=9):
    t = Z.EMA(Z.EMA(Z.EMA(b["close"], N), N), N)
    x = (t - Z.REF(t, 1)) / Z.REF(t, 1) * 100
    return {"TRIX": x, "MATRIX": Z.MA(x, M)}


def psy(b, N=12, M=6):
    c = b["close"]
    p = Z.COUNT(flag(c > Z.REF(c, 1)), N) / N * 100
    return {"PSY": p, "PSYMA": Z.MA(p, M)}


def emv(b, N=14, M=9):
    h, l, v = b["high"], b["low"], b["volume"]
    vr = Z.MA(v, N) / v
    mid = 100 * (h + l - Z.REF(h + l, 1)) / (h + l)
    e = Z.MA(mid * vr * (h - l) / Z.MA(h - l, N), N)
    return {"EMV": e, "MAEMV": Z.MA(e, M)}


SPELLED = {"MACD": macd, "KDJ": kdj, "RSI": rsi, "BOLL": boll, "WR": wr, "BIAS": bias,
           "CCI": cci, "ATR": atr, "DMI": dmi, "OBV": obv, "ROC": roc, "MTM": mtm,
           "TRIX": trix, "PSY": psy, "EMV": emv}


@pytest.fixture(scope="session")
def spelled():
    return SPELLED
