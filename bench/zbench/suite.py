"""The timing loop of bench/run.py: every case at every size and window, with its peers."""
from __future__ import annotations

import numpy as np

from . import cases, data, peers as peerlib, timing


def make_inputs(z, n, args):
    if args.data == "real":
        close = data.real_walk(n, args.real_returns)
    else:
        close = data.random_walk(n, args.seed)
    return cases.Inputs(z, close)


def run(z, peers, sizes, windows, names, args, log):
    """The result rows: {function, bars, window, ns_per_bar: {candidate: ns}} or a skipped cell.

    ``log(row)`` is called with each row as soon as it is measured."""
    rows = []
    last_call = {}  # (label, window) -> (bars, seconds of one call) at the last size
    todo = cases.cases(names)
    for n in sizes:
        d = make_inputs(z, n, args)
        base_ns = dict(cases.namespace(z, d), **peerlib.namespace(peers, d))
        for name, zstmt, windowed in todo:
            for N in (windows if windowed else [None]):
                if N is not None and N > n:
                    continue
                ns = cases.cell_namespace(base_ns, n, N)
                stmts = {"zelvo": zstmt, **peerlib.statements(name, peers)}
                if cases.base_of(name) in cases.COPY_LIKE:
                    stmts["floor"] = cases.FLOOR
                    stmts["alloc+copy"] = cases.ALLOC_COPY
                # A function whose time grew fast at the smaller sizes is projected
                # quadratically and left out when one call would take too long.
                prev = last_call.get((name, N))
                if prev is not None:
                    projected = prev[1] * (n / prev[0]) ** 2
                    if projected > args.max_call:
                        row = {"function": name, "bars": n, "window": N, "ns_per_bar": {},
                               "skipped": f"projected {projected:.0f} s per call"}
                        rows.append(row)
                        log(row)
                        continue
                cands = [timing.Candidate(k, s, ns) for k, s in stmts.items()]
                last_call[(name, N)] = (n, cands[0].first)
                best = timing.measure(cands, args.repeat, args.min_time)
                row = {"function": name, "bars": n, "window": N,
                       "ns_per_bar": {k: v * 1e9 / n for k, v in best.items()}}
                rows.append(row)
                log(row)
    return rows


def per_call(z, peers, args, bars=100, window=20):
    """ns per call on a short array: the fixed cost of a call."""
    a = data.random_walk(bars, args.seed)
    ns = {"z": z, "np": np, "a": a, "o": np.empty(bars), "N": window}
    stmts = {"zelvo MA": "z.MA(a, N)", "zelvo REF": "z.REF(a, N)", "numpy copyto": "np.copyto(o, a)"}
    if "talib" in peers:
        ns["talib"] = peers["talib"]
        stmts["TA-Lib SMA"] = "talib.SMA(a, N)"
    if "bottleneck" in peers:
        ns["bn"] = peers["bottleneck"]
        stmts["bottleneck move_mean"] = "bn.move_mean(a, N)"
    best = timing.best_of(stmts, ns, max(args.repeat, 5), max(args.min_time, 0.2), sample_target=2e-3)
    return {"bars": bars, "window": window, "ns_per_call": {k: v * 1e9 for k, v in best.items()}}
