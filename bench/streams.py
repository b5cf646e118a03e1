#!/usr/bin/env python3
"""Benchmark of the streams (zelvo.stream and the C streams of rillet.h).

    python3 bench/streams.py            # all three parts, about a minute
    python3 bench/streams.py --record   # the same, then rewrite the streams section of RESULTS.md

1. One instrument from Python: ns per ``Stream.update`` for MA, EMA and LLV
   (N = 20), with the bar as a plain number and as a ``{"close": x}`` dict,
   side by side with TA-Lib's ``talib.stream.SMA(history, 20).update(x)``
   (and its EMA and MIN streams) when TA-Lib is installed.
2. From C: ns per ``zv_stream_update`` for every function (bench/stream_bench.cpp,
   built here with the core's flags).
3. A universe of 5000 instruments, one new bar: MACD + KDJ as one graph, one
   ``update`` call, against recomputing the same lines over the last 250
   bars of the universe with the whole-series functions (one call per
   instrument per function, NumPy over the whole panel for the elementwise
   operations).

Times are the minimum over rounds; each round runs enough calls to last
about 0.1 s.
"""
from __future__ import annotations

import argparse
import datetime as _dt
import glob
import os
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

import zelvo
from zelvo.stream import Stream

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from zbench.timing import best_of  # noqa: E402

RESULTS_MD = os.path.join(HERE, "RESULTS.md")
START, END = "<!-- streams-record:start -->", "<!-- streams-record:end -->"

MACD_KDJ = [
    ("field", "close"), ("field", "high"), ("field", "low"),                     # 0 1 2
    ("call", "EMA", (0,), (12,)), ("call", "EMA", (0,), (26,)),                  # 3 4
    ("binop", "-", 3, 4), ("call", "EMA", (5,), (9,)),                           # 5 DIF, 6 DEA
    ("binop", "-", 5, 6), ("const", 2.0), ("binop", "*", 7, 8),                  # 9 MACD
    ("call", "LLV", (2,), (9,)), ("call", "HHV", (1,), (9,)),                    # 10 11
    ("binop", "-", 0, 10), ("binop", "-", 11, 10), ("binop", "/", 12, 13),       # 14
    ("const", 100.0), ("binop", "*", 14, 15),                                    # 16 RSV
    ("call", "SMA", (16,), (3, 1)), ("call", "SMA", (17,), (3, 1)),              # 17 K, 18 D
    ("const", 3.0), ("binop", "*", 19, 17), ("binop", "*", 8, 18),               # 20 21
    ("binop", "-", 20, 21),                                                      # 22 J
]
OUTPUTS = [("DIF", 5), ("DEA", 6), ("MACD", 9), ("K", 17), ("D", 18), ("J", 22)]
ELEMENTWISE = {"-": np.subtract, "*": np.multiply, "/": np.divide}


def best_ns(fn, rounds, budget=0.1):
    """Minimum ns per call of fn() over `rounds` samples of about `budget` seconds."""
    return best_of({"fn": fn}, repeat=rounds, min_time=0.0, sample_target=budget)["fn"] * 1e9


def loop_ns(update, arg, rounds, calls=200_000):
    """ns per call of update(arg) in a tight loop (the loop's own cost included,
    as a caller pays it)."""
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(calls):
            update(arg)
        best = min(best, (time.perf_counter() - t0) / calls)
    return best * 1e9


def one_instrument(rounds):
    rng = np.random.default_rng(1)
    hist = 100.0 + np.cumsum(rng.standard_normal(1000))
    rows = []
    try:
        from talib import stream as ts
    except ImportError:
        ts = None
    peers = {"MA": "SMA", "EMA": "EMA", "LLV": "MIN"}
    for name in ("MA", "EMA", "LLV"):
        s = Stream([("field", "close"), ("call", name, (0,), (20,))], [("v", 1)], {"close": hist})
        row = {"function": name,
               "zelvo (number)": loop_ns(s.update, 101.0, rounds),
               "zelvo (dict)": loop_ns(s.update, {"close": 101.0}, rounds)}
        if ts is not None:
            row["TA-Lib SMA"] = loop_ns(ts.SMA(hist, 20).update, 101.0, rounds)
            row[f"TA-Lib {peers[name]}"] = loop_ns(getattr(ts, peers[name])(hist, 20).update,
                                                   101.0, rounds)
        rows.append(row)
    return rows, ts is not None


def from_c(rounds, bars=1_000_000):
    exe = os.path.join(tempfile.mkdtemp(prefix="zelvo-stream-bench-"), "stream_bench")
    sources = sorted(glob.glob(os.path.join(ROOT, "rillet", "src", "*.cpp")) +
                     glob.glob(os.path.join(ROOT, "rillet", "src", "families", "*.cpp")))
    cmd = ["g++", "-std=c++17", "-O3", "-fwrapv", "-ffp-contract=off", "-fno-fast-math",
           "-fno-exceptions", "-I", os.path.join(ROOT, "rillet"), *sources,
           os.path.join(HERE, "stream_bench.cpp"), "-o", exe]
    subprocess.run(cmd, check=True)
    out = subprocess.run([exe, str(bars), str(rounds)], check=True, capture_output=True,
                         text=True).stdout
    return [(line.split()[0], float(line.split()[1])) for line in out.splitlines()]


def batch_lines(panel):
    """The same lines over a panel with the whole-series functions: one call
    per instrument per function, NumPy over the panel elsewhere."""
    vals = []
    with np.errstate(all="ignore"):
        for node in MACD_KDJ:
            tag = node[0]
            if tag == "field":
                v = panel[node[1]]
            elif tag == "const":
                v = node[1]
            elif tag == "call":
                fn = getattr(zelvo, node[1])
                src = vals[node[2][0]]
                v = np.stack([fn(row, *node[3]) for row in src])
            else:
                v = ELEMENTWISE[node[1]](vals[node[2]], vals[node[3]])
            vals.append(v)
    return {name: vals[i] for name, i in OUTPUTS}


def universe(rounds, instruments=5000, bars=250):
    rng = np.random.default_rng(2)
    close = 100.0 + np.cumsum(rng.standard_normal((instruments, bars + 1)), axis=1)
    high = close + rng.random(close.shape)
    low = close - rng.random(close.shape)
    full = {"close": close, "high": high, "low": low}
    hist = {k: v[:, :bars] for k, v in full.items()}
    bar = {k: np.ascontiguousarray(v[:, bars]) for k, v in full.items()}
    s = Stream(MACD_KDJ, OUTPUTS, hist)
    # The stream's bar equals the batch's last bar over the same 251 bars.
    got = s.peek(bar)
    ref = batch_lines(full)
    for name in got:
        a, b = got[name], ref[name][:, -1]
        assert np.array_equal(a.view(np.uint64), b.view(np.uint64)), name
    last = {k: v[:, 1:] for k, v in full.items()}
    stream_ns = best_ns(lambda: s.update(bar), rounds)   # the same bar, again and again
    batch_ns = best_ns(lambda: batch_lines(last), max(1, rounds // 2), budget=0.5)
    return {"instruments": instruments, "bars": bars, "stream_ms": stream_ns / 1e6,
            "batch_ms": batch_ns / 1e6, "ratio": batch_ns / stream_ns}


def report(single, have_talib, c_rows, uni):
    calls = sum(node[0] == "call" for node in MACD_KDJ)
    lines = [f"## Streams: run of {_dt.datetime.now(_dt.timezone.utc):%Y-%m-%d %H:%M} UTC", "",
             f"`python3 bench/streams.py` on {platform.machine()}, {os.cpu_count()} CPUs, "
             f"Python {platform.python_version()}, NumPy {np.__version__}"
             + (", TA-Lib installed" if have_talib else ", TA-Lib not installed")
             + f", load average {os.getloadavg()[0]:.1f} at the end (other work shares the "
             "machine: compare within a table, not across runs).", "",
             "### One instrument from Python, ns per update (N = 20, 1000 bars of history)", ""]
    cols = list(dict.fromkeys(k for r in single for k in r))
    lines.append("| " + " | ".join(cols) + " |")
    lines.append("|" + "---|" * len(cols))
    for r in single:
        lines.append("| " + " | ".join(r[c] if c == "function" else
                                       (f"{r[c]:.0f}" if c in r else "") for c in cols) + " |")
    lines += ["", "Each figure is a tight Python loop of `update` calls (the loop included); the "
              "zelvo stream is a one-node graph, so this is the whole per-bar path of "
              "`Formula(...).stream(...)`.", "",
              "### From C, ns per `zv_stream_update` (1e6 bars, N = 20; per-bar windows 20, "
              "max_window 64)", "", "| function | ns | function | ns | function | ns |",
              "|---|---|---|---|---|---|"]
    for i in range(0, len(c_rows), 3):
        cells = []
        for name, ns in c_rows[i:i + 3]:
            cells += [name, f"{ns:.1f}"]
        cells += [""] * (6 - len(cells))
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", f"### A universe of {uni['instruments']} instruments, one new bar: "
              "MACD + KDJ", "",
              "| route | ms |", "|---|---|",
              f"| stream: one `update` of the graph ({len(OUTPUTS)} lines, {calls} function nodes) | "
              f"{uni['stream_ms']:.3f} |",
              f"| batch: the same lines over the last {uni['bars']} bars of every instrument | "
              f"{uni['batch_ms']:.1f} |",
              "", f"The stream costs 1/{uni['ratio']:.0f} of the batch (target: at most 1/50). "
              "The stream's results equal the batch's last bar over the same bars.", ""]
    return "\n".join(lines)


def record(text):
    with open(RESULTS_MD) as fh:
        md = fh.read()
    block = f"{START}\n{text}{END}\n"
    if START in md and END in md:
        head, rest = md.split(START, 1)
        md = head + block + rest.split(END, 1)[1].lstrip("\n")
    else:
        md = md.rstrip("\n") + "\n\n" + block
    with open(RESULTS_MD, "w") as fh:
        fh.write(md)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--instruments", type=int, default=5000)
    ap.add_argument("--record", action="store_true", help="rewrite the streams section of RESULTS.md")
    args = ap.parse_args(argv)
    single, have_talib = one_instrument(args.rounds)
    c_rows = from_c(args.rounds)
    uni = universe(args.rounds, args.instruments)
    text = report(single, have_talib, c_rows, uni)
    print(text)
    if args.record:
        record(text)


if __name__ == "__main__":
    sys.exit(main())
