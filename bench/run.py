#!/usr/bin/env python3
"""Benchmark of the 31 functions of zelvo._zelvo against peer libraries.

Every function of zelvo's catalog is timed on a seeded random-walk close series
(or on real daily bars with --data real) at several sizes and windows, side by
side in one process with each installed peer that computes the same quantity
(bottleneck, pandas, TA-Lib, polars) and with the memory floor (numpy.copyto of
the same array into a preallocated result).  Peers are optional: the suite runs
with whichever are installed and names the missing ones.

    python3 bench/run.py                 # full run: 10^3, 10^5, 10^6 bars; N = 5, 20, 250
    python3 bench/run.py --quick         # smaller and shorter
    python3 bench/run.py --record        # full run, then rewrite the record in bench/RESULTS.md
    python3 bench/run.py --check         # only verify that the peers compute the same quantity

Timing: for each (function, bars, window) cell the zelvo call and its peers
are sampled in alternating rounds; each sample runs enough calls to last about
a millisecond, sampling goes on until a candidate has at least --repeat samples
and --min-time seconds of them, and the minimum time per call is kept.  The
pieces live in bench/zbench/, one job a module.
"""
from __future__ import annotations

import argparse
import json
import os
import sys

from zbench import cases, chart, data, machine, peers as peerlib, record, report, suite

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SIZES = [10**3, 10**5, 10**6]
DEFAULT_WINDOWS = [5, 20, 250]
RESULTS_HEAD = """# Benchmark results

Figures from `bench/run.py` (see `bench/README.md`).  The section between the
markers is rewritten by `python3 bench/run.py --record`; `--append` adds a
dated record at the end of this file instead, keeping the older ones.
"""


def parse_sizes(text):
    return [int(float(part)) for part in text.split(",") if part.strip()]


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", help="bars per series, comma separated (default 1e3,1e5,1e6)")
    ap.add_argument("--windows", help="window lengths N, comma separated (default 5,20,250)")
    ap.add_argument("--functions", help="only these module functions, comma separated")
    ap.add_argument("--peers", help="only these peers (bottleneck,pandas,talib,polars); 'none' for none")
    ap.add_argument("--quick", action="store_true", help="1e3 and 1e5 bars, shorter sampling")
    ap.add_argument("--repeat", type=int, default=3, help="minimum samples per candidate (default 3)")
    ap.add_argument("--min-time", type=float, default=None,
                    help="minimum seconds of samples per candidate (default 0.2, 0.05 with --quick)")
    ap.add_argument("--max-call", type=float, default=20.0,
                    help="leave out a cell whose one call is projected (quadratically from the "
                         "smaller size) to take longer than this many seconds (default 20)")
    ap.add_argument("--data", choices=("walk", "real"), default="walk",
                    help="seeded random walk (default) or the real daily bars of --data-dir, "
                         "their returns cycled to the length wanted")
    ap.add_argument("--data-dir", default=data.DATA_DIR,
                    help="folder of the daily-bar CSV files (default ../shared/data next to the checkout)")
    ap.add_argument("--seed", type=int, default=7, help="random-walk seed (default 7)")
    ap.add_argument("--out", default=os.path.join(HERE, "out"), help="output folder (default bench/out)")
    ap.add_argument("--chart", help="PNG path (default OUT/ns_per_bar.png; 'none' for no chart)")
    ap.add_argument("--record", action="store_true",
                    help="rewrite the record section of bench/RESULTS.md with this run")
    ap.add_argument("--append", action="store_true", help="append this run as a new record")
    ap.add_argument("--results", default=record.RESULTS_MD,
                    help="markdown record file (default bench/RESULTS.md)")
    ap.add_argument("--check", action="store_true", help="only check that the peers agree, then exit")
    ap.add_argument("--no-check", action="store_true", help="skip the agreement check before timing")
    args = ap.parse_args(argv)

    args.sizes = parse_sizes(args.sizes) if args.sizes else ([10**3, 10**5] if args.quick else DEFAULT_SIZES)
    args.windows = parse_sizes(args.windows) if args.windows else list(DEFAULT_WINDOWS)
    if args.min_time is None:
        args.min_time = 0.05 if args.quick else 0.2
    args.names = None
    if args.functions:
        args.names = {f.strip().upper() for f in args.functions.split(",") if f.strip()}
    args.wanted = list(peerlib.LABEL)
    if args.peers:
        args.wanted = [] if args.peers == "none" else [p.strip() for p in args.peers.split(",") if p.strip()]
        bad = [p for p in args.wanted if p not in peerlib.LABEL]
        if bad:
            ap.error(f"unknown peers: {', '.join(bad)}")
    return ap, args


def main(argv=None):
    ap, args = parse_args(argv)
    z = machine.import_zelvo()  # before the catalog, which imports the package
    unknown = (args.names or set()) - set(cases.catalog())
    if unknown:
        ap.error(f"unknown functions: {', '.join(sorted(unknown))}")
    absent = [f for f in cases.catalog() if not hasattr(z, f)]
    if absent:
        sys.exit(f"zelvo._zelvo lacks {', '.join(absent)}")
    peers, missing = peerlib.import_peers(args.wanted)
    peer_names = [p for p in peerlib.LABEL if p in peers]
    print(f"zelvo: {z.__file__}")
    print("peers: " + (", ".join(f"{peerlib.LABEL[p]} {getattr(peers[p], '__version__', '?')}"
                                 for p in peer_names) or "none"))
    for p, why in missing.items():
        print(f"peer missing: {peerlib.LABEL[p]} ({why}); its columns are left out")

    data_desc = f"seeded geometric random walk (seed {args.seed}, 1 % daily steps)"
    if args.data == "real":
        args.real_returns, files = data.real_returns(args.data_dir)
        data_desc = (f"real daily returns of {', '.join(files)} ({args.real_returns.size} bars), "
                     "cycled and chained into one price path")
    print(f"data: {data_desc}")

    check_lines = None
    if args.check or not args.no_check:
        failures, check_lines = peerlib.check(z, peers, args.windows, verbose=args.check)
        if args.check:
            print(f"{len(check_lines) - len(failures)} of {len(check_lines)} peer comparisons agree")
            return 1 if failures else 0
        if failures:
            print("peer agreement check failed (run with --check for all lines):")
            print("\n".join(failures))
            return 1
        print(f"peer agreement check: {len(check_lines)} comparisons agree")

    command = " ".join(["python3 bench/run.py"] + list(sys.argv[1:] if argv is None else argv))
    run = machine.Run(z, command)
    print()
    print(report.LEGEND_TEXT)
    print(report.header(peer_names), flush=True)
    rows = suite.run(z, peers, args.sizes, args.windows, args.names, args,
                     lambda row: print(report.format_row(row, peer_names), flush=True))
    overhead = suite.per_call(z, peers, args)
    meta = run.finish({peerlib.LABEL[p]: m for p, m in peers.items()},
                      [peerlib.LABEL[p] for p in missing], data=data_desc, missing_peers=list(missing),
                      repeat=args.repeat, min_time=args.min_time)
    if meta["module_replaced"]:
        print("warning: the installed zelvo module was replaced during the run; this process kept "
              "the one it imported, but a rerun will measure the new build")

    print()
    print(report.per_call_text(overhead))
    keys, big = report.key_ratios(rows, overhead, args.windows)
    if keys:
        print()
        print(report.key_table_text(keys, big))

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as fh:
        json.dump({"meta": meta, "rows": rows, "per_call": overhead}, fh, indent=1)
    chart_path = args.chart or os.path.join(args.out, "ns_per_bar.png")
    if chart_path != "none" and rows:
        title = (f"zelvo vs peers, ns per bar at {big:,} bars (log scale) — {meta['machine']['cpu']}, "
                 f"{meta['date']}")
        if chart.chart(rows, peer_names, chart_path, title):
            print(f"\nchart: {chart_path}")
    print(f"results: {os.path.join(args.out, 'results.json')}")
    if args.record or args.append:
        text = report.record_markdown(meta, rows, overhead, keys, big, peer_names, check_lines)
        record.write_section(args.results, text, append=args.append, head=RESULTS_HEAD)
        print(f"record {'appended to' if args.append else 'written to'} {args.results}")
    print(f"timed in {meta['wall_s']:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
