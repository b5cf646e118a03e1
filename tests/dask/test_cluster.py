"""zelvo.dask on a real two-process cluster: results identical, bit for bit,
to the same calls on one machine, also when a worker dies mid-run."""
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
from corelib import same_bits as same  # noqa: E402

import zelvo  # noqa: E402
import zelvo.dask as zd  # noqa: E402

TIMEOUT = 120
FORMULA = "DIF:EMA(C,12)-EMA(C,26); DEA:EMA(DIF,9); K:SMA((C-LLV(L,9))/(HHV(H,9)-LLV(L,9))*100,3,1);" \
          "UP:MA(C,20)+2*STD(C,20); HI:HHV(H,BARSLAST(CROSS(C,MA(C,20))))"


def universe(symbols=40, bars=600, seed=7):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (symbols, bars)), axis=1))
    close[symbols // 2, :17] = np.nan            # an instrument listed later
    high = close * (1 + rng.uniform(0, 0.02, close.shape))
    low = close * (1 - rng.uniform(0, 0.02, close.shape))
    return {"open": close.copy(), "high": high, "low": low, "close": close,
            "volume": rng.integers(1, 10**6, close.shape).astype(np.float64)}


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, death_timeout=TIMEOUT)
    c = distributed.Client(cluster, timeout=TIMEOUT)
    try:
        c.wait_for_workers(2, timeout=TIMEOUT)
        yield c
    finally:
        c.close(timeout=TIMEOUT)
        cluster.close(timeout=TIMEOUT)


@pytest.mark.parametrize("axis", [-1, 0])
@pytest.mark.parametrize("call", [("MA", (20,)), ("EMA", (12,)), ("SMA", (9, 2)),
                                  ("HHV", (0,)), ("STD", (10,)), ("CROSS", ("y",))])
def test_panels_match_one_machine(client, axis, call):
    name, rest = call
    bars = universe()
    x, y = bars["close"], bars["open"] * 1.001
    if axis == 0:
        x, y = x.T.copy(), y.T.copy()
    chunks = (7, 200) if axis == -1 else (200, 7)     # time split too: rechunked
    args = [da.from_array(y, chunks=chunks) if r == "y" else r for r in rest]
    lazy = zd.panel(name, da.from_array(x, chunks=chunks), *args, axis=axis)
    expected = getattr(zelvo, name)(x, *[y if r == "y" else r for r in rest], axis=axis)
    assert same(client.compute(lazy).result(timeout=TIMEOUT), expected)


def test_formula_on_panels(client):
    bars = universe()
    lazy = zd.formula(FORMULA, {k: da.from_array(v, chunks=(9, -1)) for k, v in bars.items()})
    expected = zelvo.Formula(FORMULA)(bars)
    got = client.compute(lazy).result(timeout=TIMEOUT)
    assert list(got) == list(expected)
    assert all(same(got[k], expected[k]) for k in expected)


def long_frame(bars):
    symbols, n = bars["close"].shape
    dates = pd.date_range("2015-01-01", periods=n, freq="D")
    frames = [pd.DataFrame({"symbol": f"S{i:03d}", "date": dates,
                            **{k: v[i] for k, v in bars.items()}}) for i in range(symbols)]
    return pd.concat(frames, ignore_index=True)


def test_frame_per_symbol(client):
    bars = universe(symbols=12, bars=300)
    pdf = long_frame(bars).sample(frac=1.0, random_state=1)     # rows in any order
    ddf = dd.from_pandas(pdf, npartitions=4).set_index("symbol")
    got = client.compute(zd.frame(FORMULA, ddf)).result(timeout=TIMEOUT)
    expected = zelvo.Formula(FORMULA)(bars)
    for i in range(12):
        rows = got.loc[f"S{i:03d}"].sort_values("date")
        for name in expected:
            assert same(rows[name].to_numpy(), expected[name][i]), (i, name)


def test_frame_not_partitioned_by_symbol_is_refused():
    ddf = dd.from_pandas(long_frame(universe(symbols=3, bars=30)), npartitions=2)
    with pytest.raises(ValueError, match='set_index\\("symbol"\\)'):
        zd.frame("MA(C,5)", ddf)


def test_a_worker_killed_mid_run_gives_the_same_result(client):
    bars = universe(symbols=64, bars=4000)
    lazy = zd.formula(FORMULA, {k: da.from_array(v, chunks=(2, -1)) for k, v in bars.items()})
    pids = client.run(os.getpid)
    future = client.compute(lazy)
    # Kill one worker's process outright once tasks run: its tasks are recomputed.
    deadline = time.monotonic() + TIMEOUT
    while not any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.01)
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    got = future.result(timeout=TIMEOUT)
    expected = zelvo.Formula(FORMULA)(bars)
    assert all(same(got[k], expected[k]) for k in expected)
    client.wait_for_workers(2, timeout=TIMEOUT)                 # the nanny restarts it


def test_importing_zelvo_does_not_import_dask():
    code = "import sys, zelvo; zelvo.MA([1.0, 2.0], 1); print('dask' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "False", out.stderr
