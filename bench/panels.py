#!/usr/bin/env python3
"""Whole universes in one call: zelvo's panel engine against the other routes.

A universe is a seeded random walk of instruments x bars (float64, C order,
one row per instrument).  Each function runs over the whole universe by:

  zelvo 1T        zv_panel (through ctypes), one thread
  zelvo all       zv_panel, the library's default thread count
  zelvo 1T tf     zv_panel on the same universe stored bars x instruments
  zelvo API       zelvo.<NAME>(panel, ...), the package's panel call (all threads)
  loop            a Python loop over zelvo._zelvo, one call per instrument
  bottleneck      move_* with axis=1
  pandas          a wide DataFrame (one column per instrument), rolling/ewm
  polars          a long frame, rolling_*/ewm_mean .over("symbol")
  talib           TA-Lib, one call per instrument
  copy            the copy floor: panel.copy()

Every timing is the best of --repeat runs and includes the allocation of the
result.  Peers are optional; a route whose library is missing, or that has no
counterpart of a function, is left blank.  The zelvo routes are checked
against the loop bit for bit before they are timed.

    python3 bench/panels.py                # both universes, print the tables
    python3 bench/panels.py --quick        # smaller universes
    python3 bench/panels.py --record       # also rewrite the section in RESULTS.md
                                           # and draw bench/panels.png
"""
from __future__ import annotations

import argparse
import ctypes
import importlib
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS_MD = os.path.join(HERE, "RESULTS.md")
CHART = os.path.join(HERE, "panels.png")
START, END = "<!-- panels:start -->", "<!-- panels:end -->"

N = 20
SMA_M = 1
FUNCTIONS = ["MA", "SUM", "EMA", "SMA", "LLV", "HHV", "STD", "SLOPE", "REF", "CROSS",
             "BARSLAST", "FILTER", "AVEDEV"]
ROUTES = ["zelvo 1T", "zelvo all", "zelvo 1T tf", "zelvo API", "loop", "bottleneck", "pandas",
          "polars", "talib", "copy"]
UNIVERSES = [(2000, 2500), (200, 25000)]
QUICK = [(400, 1000), (40, 10000)]


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


# ---- zelvo through the C entry -----------------------------------------------------------

class Lanes(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("lane_stride", ctypes.c_ssize_t),
                ("bar_stride", ctypes.c_ssize_t)]


def load_panel():
    import zelvo
    import zelvo._zelvo as z

    lib = ctypes.CDLL(zelvo.get_library())
    f = lib.zv_panel
    f.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.POINTER(Lanes),
                  ctypes.POINTER(ctypes.c_int), ctypes.c_void_p, ctypes.c_ssize_t,
                  ctypes.c_ssize_t, ctypes.c_int]
    f.restype = ctypes.c_int
    return z, lib


def panel_call(lib, name, arrays, ints, threads, time_first=False):
    """A zv_panel call on lanes x bars arrays (or their bars x lanes
    transposes when time_first); the result is allocated inside."""
    if time_first:
        bars, lanes = arrays[0].shape
        ls, bs = 1, lanes
    else:
        lanes, bars = arrays[0].shape
        ls, bs = bars, 1
    ins = (Lanes * len(arrays))(*[Lanes(a.ctypes.data, ls, bs) for a in arrays])
    params = (ctypes.c_int * 2)(*ints, *([0] * (2 - len(ints))))
    name_b = name.encode()

    def run():
        r = np.zeros(arrays[0].shape)  # unwritten bars read 0, as in the module
        rc = lib.zv_panel(name_b, lanes, bars, ins, params, r.ctypes.data, ls, bs, threads)
        assert rc == 0, (name, rc)
        return r

    return run


# ---- the universe and each route's call ------------------------------------------------

def universe(lanes, bars, seed=20240):
    rng = np.random.default_rng(seed)
    x = 100.0 + np.cumsum(rng.standard_normal((lanes, bars)), axis=1)
    y = 100.0 + np.cumsum(rng.standard_normal((lanes, bars)), axis=1)
    cond = (rng.random((lanes, bars)) < 0.05).astype(np.uint8)
    signal = (rng.random((lanes, bars)) < 0.05).astype(np.float64)
    return {"x": x, "y": y, "cond": cond, "signal": signal}


def zelvo_args(name, u):
    """(arrays, ints) of a function in zelvo's argument order."""
    return {
        "CROSS": ([u["x"], u["y"]], []),
        "BARSLAST": ([u["cond"]], []),
        "FILTER": ([u["signal"]], [N]),
        "SMA": ([u["x"]], [N, SMA_M]),
        "REF": ([u["x"]], [N]),
    }.get(name, ([u["x"]], [N]))


def routes(name, u, z, lib, peers):
    """{route: callable} for one function on universe u."""
    arrays, ints = zelvo_args(name, u)
    out = {
        "zelvo 1T": panel_call(lib, name, arrays, ints, 1),
        "zelvo all": panel_call(lib, name, arrays, ints, 0),
        "copy": lambda: u["x"].copy(),
    }
    tf = [np.ascontiguousarray(a.T) for a in arrays]
    out["zelvo 1T tf"] = panel_call(lib, name, tf, ints, 1, time_first=True)
    api = getattr(optional("zelvo"), name, None)  # the package's panel call, where present
    if api is not None and api is not getattr(z, name):
        out["zelvo API"] = lambda: api(*arrays, *ints)
    f = getattr(z, name)
    rows = list(zip(*arrays))
    out["loop"] = lambda: [f(*row, *ints) for row in rows]

    x = u["x"]
    bn = peers.get("bottleneck")
    if bn is not None:
        move = {"MA": bn.move_mean, "SUM": bn.move_sum, "LLV": bn.move_min,
                "HHV": bn.move_max,
                "STD": lambda a, window, axis: bn.move_std(a, window=window, axis=axis, ddof=1),
                }.get(name)
        if move is not None:
            out["bottleneck"] = lambda: move(x, window=N, axis=1)

    pd = peers.get("pandas")
    if pd is not None:
        wide = u["wide"]
        frame = {
            "MA": lambda: wide.rolling(N).mean(),
            "SUM": lambda: wide.rolling(N).sum(),
            "EMA": lambda: wide.ewm(span=N, adjust=False).mean(),
            "SMA": lambda: wide.ewm(alpha=SMA_M / N, adjust=False).mean(),
            "LLV": lambda: wide.rolling(N).min(),
            "HHV": lambda: wide.rolling(N).max(),
            "STD": lambda: wide.rolling(N).std(),
            "REF": lambda: wide.shift(N),
            "CROSS": lambda: ((wide.shift(1) < u["wide_y"].shift(1)) & (wide > u["wide_y"])),
        }.get(name)
        if frame is not None:
            out["pandas"] = frame

    pl = peers.get("polars")
    if pl is not None:
        long, v = u["long"], pl.col("v")
        expr = {
            "MA": v.rolling_mean(N), "SUM": v.rolling_sum(N),
            "EMA": v.ewm_mean(span=N, adjust=False), "SMA": v.ewm_mean(alpha=SMA_M / N, adjust=False),
            "LLV": v.rolling_min(N), "HHV": v.rolling_max(N), "STD": v.rolling_std(N),
            "REF": v.shift(N),
            "CROSS": (v.shift(1) < pl.col("w").shift(1)) & (v > pl.col("w")),
        }.get(name)
        if expr is not None:
            over = expr.over("symbol")
            out["polars"] = lambda: long.select(over)

    ta = peers.get("talib")
    if ta is not None:
        one = {"MA": lambda r: ta.SMA(r, N), "SUM": lambda r: ta.SUM(r, N),
              "EMA": lambda r: ta.EMA(r, N), "LLV": lambda r: ta.MIN(r, N),
              "HHV": lambda r: ta.MAX(r, N), "STD": lambda r: ta.STDDEV(r, N),
              "SLOPE": lambda r: ta.LINEARREG_SLOPE(r, N)}.get(name)
        if one is not None:
            out["talib"] = lambda: [one(r) for r in x]
    return out


def prepare(u, peers):
    lanes, bars = u["x"].shape
    pd, pl = peers.get("pandas"), peers.get("polars")
    if pd is not None:
        cols = [f"s{k}" for k in range(lanes)]
        u["wide"] = pd.DataFrame(np.ascontiguousarray(u["x"].T), columns=cols)
        u["wide_y"] = pd.DataFrame(np.ascontiguousarray(u["y"].T), columns=cols)
    if pl is not None:
        u["long"] = pl.DataFrame({"symbol": np.repeat(np.arange(lanes, dtype=np.int32), bars),
                                  "v": u["x"].ravel(), "w": u["y"].ravel()})


def best_of(f, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t0)
    return best * 1e3


def verify(name, r, z, u):
    """The zelvo routes give the loop's bits."""
    arrays, ints = zelvo_args(name, u)
    f = getattr(z, name)
    expect = np.array([f(*row, *ints) for row in zip(*arrays)])
    for route in ("zelvo 1T", "zelvo all"):
        got = r[route]()
        assert np.array_equal(got.view(np.uint64), expect.view(np.uint64)), (name, route)
    got = r["zelvo 1T tf"]().T
    assert np.array_equal(got.view(np.uint64), expect.view(np.uint64)), (name, "tf")
    if "zelvo API" in r:
        got = np.asarray(r["zelvo API"]())
        assert np.array_equal(got.view(np.uint64), expect.view(np.uint64)), (name, "API")


def measure(universes, repeat, peers, log=print):
    z, lib = load_panel()
    results = {}
    for lanes, bars in universes:
        u = universe(lanes, bars)
        prepare(u, peers)
        table = {}
        for name in FUNCTIONS:
            r = routes(name, u, z, lib, peers)
            verify(name, r, z, u)
            table[name] = {route: best_of(f, repeat) for route, f in r.items()}
            log(f"{lanes}x{bars} {name:8s} " + "  ".join(
                f"{k} {v:.2f}" for k, v in table[name].items()))
        results[(lanes, bars)] = table
    return results


# ---- report -------------------------------------------------------------------------------

def fmt(v):
    return "" if v is None else f"{v:.3g}" if v < 100 else f"{v:.0f}"


def table_md(table):
    head = "| function | " + " | ".join(ROUTES) + " |"
    lines = [head, "|" + "---|" * (len(ROUTES) + 1)]
    for name, row in table.items():
        cells = [fmt(row.get(r)) for r in ROUTES]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def ratio(a, b):
    return None if a is None or b is None else a / b


def ratios_md(table):
    """The issue's ratios, all from this one run."""
    lines = ["| function | 1T / copy | all / 1T speed-up | 1T tf / 1T | bottleneck / all |"
             " polars / all | loop / all |", "|---|---|---|---|---|---|---|"]
    for name, row in table.items():
        one, every = row.get("zelvo 1T"), row.get("zelvo all")
        vals = [ratio(one, row.get("copy")), ratio(one, every), ratio(row.get("zelvo 1T tf"), one),
                ratio(row.get("bottleneck"), every), ratio(row.get("polars"), every),
                ratio(row.get("loop"), every)]
        lines.append(f"| {name} | " + " | ".join("" if v is None else f"{v:.2f}x" for v in vals)
                     + " |")
    return "\n".join(lines)


def machine():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    except OSError:
        return "lscpu unavailable"
    keep = ("Model name", "CPU(s):", "Thread(s) per core", "L1d", "L2", "L3", "Flags")
    lines = [ln for ln in out.splitlines() if ln.startswith(keep)]
    flags = [ln for ln in lines if ln.startswith("Flags")]
    lines = [ln for ln in lines if not ln.startswith("Flags")]
    if flags:
        simd = [f for f in flags[0].split() if f in ("avx2", "avx512f", "fma")]
        lines.append("SIMD flags: " + " ".join(simd))
    return "\n".join(" ".join(ln.split()) for ln in lines)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(results), 1, figsize=(13, 4.2 * len(results)))
    axes = np.atleast_1d(axes)
    for ax, ((lanes, bars), table) in zip(axes, results.items()):
        names = list(table)
        width = 0.8 / len(ROUTES)
        for i, route in enumerate(ROUTES):
            vals = [table[n].get(route, np.nan) for n in names]
            ax.bar(np.arange(len(names)) + i * width, vals, width, label=route)
        ax.set_yscale("log")
        ax.set_xticks(np.arange(len(names)) + 0.4 - width / 2, names)
        ax.set_ylabel("ms (best of runs, log)")
        ax.set_title(f"{lanes} instruments x {bars} bars, N = {N}")
        ax.legend(ncol=5, fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def record(results, load):
    blocks = [START, "", "## Panels: whole universes in one call", "",
              "Recorded by `python3 bench/panels.py --record` (best of runs, ms, result "
              "allocation included; chart: `bench/panels.png`).", "", "Machine:", "", "```",
              machine(), "```", "", load, ""]
    for (lanes, bars), table in results.items():
        blocks += [f"### {lanes} instruments x {bars} bars", "", table_md(table), "",
                   ratios_md(table), ""]
    blocks.append(END)
    section = "\n".join(blocks)
    text = open(RESULTS_MD).read() if os.path.exists(RESULTS_MD) else ""
    if START in text and END in text:
        text = text[:text.index(START)] + section + text[text.index(END) + len(END):]
    else:
        text = text.rstrip("\n") + "\n\n" + section + "\n"
    with open(RESULTS_MD, "w") as f:
        f.write(text)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller universes")
    ap.add_argument("--repeat", type=int, default=5, help="runs per timing (best kept)")
    ap.add_argument("--record", action="store_true", help="rewrite the section of RESULTS.md")
    args = ap.parse_args(argv)
    peers = {name: optional(name) for name in ("bottleneck", "pandas", "polars", "talib")}
    missing = [k for k, v in peers.items() if v is None]
    if missing:
        print("missing peers (left blank):", ", ".join(missing))
    load_before = os.getloadavg()
    results = measure(QUICK if args.quick else UNIVERSES, args.repeat, peers)
    load = (f"Load average (1, 5, 15 min) {', '.join(f'{v:.1f}' for v in load_before)} before "
            f"the run, {', '.join(f'{v:.1f}' for v in os.getloadavg())} after it "
            f"({os.cpu_count()} CPUs).")
    print(load)
    for (lanes, bars), table in results.items():
        print(f"\n{lanes} instruments x {bars} bars (ms)\n")
        print(table_md(table))
        print()
        print(ratios_md(table))
    if args.record:
        record(results, load)
        chart(results, CHART)
    return 0


if __name__ == "__main__":
    sys.exit(main())
