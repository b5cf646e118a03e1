"""Formula(text).stream(history): every library indicator, opened on prefixes
of the real bars and fed the rest, equals the batch formula bit for bit."""
import numpy as np
import pytest

import zelvo
from realbars import REAL


@pytest.fixture(scope="module")
def bars():
    if not REAL.exists():
        pytest.skip("real bars not present")
    cols = np.loadtxt(REAL, delimiter=",", skiprows=1, usecols=(1, 2, 3, 4, 6))[:700]
    return dict(zip(["open", "high", "low", "close", "volume"], cols.T.copy()))


def same(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    both_nan = np.isnan(a) & np.isnan(b)   # computed NaNs: payload not part of the contract
    return bool(np.all(both_nan | (a.view(np.uint64) == b.view(np.uint64))))


@pytest.mark.parametrize("name", list(zelvo.indicators))
@pytest.mark.parametrize("start", [40, 350, 699])
def test_indicator_stream_equals_batch(bars, name, start):
    f = zelvo.indicators[name].formula
    batch = f({k: v for k, v in bars.items()})
    s = f.stream({k: v[:start] for k, v in bars.items()})
    n = len(bars["close"])
    for i in range(start, n):
        bar = {k: float(v[i]) for k, v in bars.items()}
        peeked = s.peek(bar)
        got = s.update(bar)
        got = got if isinstance(got, dict) else {f.outputs[0]: got}
        peeked = peeked if isinstance(peeked, dict) else {f.outputs[0]: peeked}
        for out in f.outputs:
            assert same(got[out], batch[out][i]), (name, out, i)
            assert same(peeked[out], got[out])


def test_universe_stream_from_a_formula(bars):
    f = zelvo.Formula("DIF:EMA(C,12)-EMA(C,26); DEA:EMA(DIF,9); HI:HHV(H,BARSLAST(CROSS(C,MA(C,20))))")
    panel = {k: np.stack([v, v[::-1].copy()]) for k, v in bars.items()}
    batch = f(panel)
    s = f.stream({k: v[:, :500] for k, v in panel.items()})
    for i in range(500, panel["close"].shape[1]):
        got = s.update({k: v[:, i].copy() for k, v in panel.items()})
        for out in f.outputs:
            assert same(got[out], batch[out][:, i]), (out, i)
