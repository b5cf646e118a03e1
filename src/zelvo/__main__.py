"""Command line: indicator formulas computed on bar data.

    python -m zelvo                                  # sample bars, default formulas
    python -m zelvo --csv bars.csv "MA(CLOSE,5)" "CROSS(MA(C,5),MA(C,20))"
    python -m zelvo --csv bars.csv --all --output out.csv --plot out.png "EMA(C,12)"

User errors (a bad formula, a bad CSV file, an unwritable output) are reported
on standard error as "zelvo: error: ..." with exit status 2 and no traceback.
"""
from __future__ import annotations

import argparse
import csv
import math
import os
import sys
from typing import Sequence, TextIO

import numpy as np

from . import __version__
from ._bars import COLUMNS, Bars, BarsError, read_csv, sample_bars
from ._formula import FUNCTIONS, Formula, FormulaError, parse

DEFAULT_FORMULAS = ("MA(CLOSE,5)", "EMA(CLOSE,12)", "CROSS(MA(C,5),MA(C,20))")
DEFAULT_LAST = 10


class UserError(Exception):
    """A problem the user can fix; printed without a traceback."""


def build_parser() -> argparse.ArgumentParser:
    functions = "\n".join(
        f"  {f.signature:<22} {f.summary}" for f in FUNCTIONS.values())
    p = argparse.ArgumentParser(
        prog="zelvo",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Compute indicator formulas on daily bars and print the last bars.",
        epilog=(
            "formulas:\n"
            "  bar names OPEN HIGH LOW CLOSE VOLUME (or O H L C V), numbers, + - * /,\n"
            "  comparisons < <= > >= == != (1 where true, else 0), parentheses and\n"
            "  the functions below; N and M are whole numbers (window lengths), the\n"
            "  other arguments are series or numbers. Names are case-insensitive.\n"
            "  Conditions (x of BARSINCE, BARLAST, BARSLAST, BACKCOUNT, FIF) are cast\n"
            "  to bytes as in the library (0.5 is false): pass comparisons, e.g. C>O.\n"
            f"  Without formulas: {' '.join(DEFAULT_FORMULAS)}\n\n"
            f"functions:\n{functions}\n\n"
            "CSV files need a header row; date, open, high, low, close and volume are\n"
            "found by name in any case, other columns are ignored, rows oldest first,\n"
            "an empty cell is a missing value (NaN)."),
    )
    p.add_argument("formulas", nargs="*", metavar="FORMULA",
                   help="indicator formula, e.g. \"MA(CLOSE,5)\" (quote it for the shell)")
    p.add_argument("--csv", metavar="FILE",
                   help="read bars from this CSV file ('-' for standard input); "
                        "without it, embedded sample bars are used")
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("-n", "--last", type=int, default=DEFAULT_LAST, metavar="N",
                       help=f"print the last N bars (default {DEFAULT_LAST})")
    shown.add_argument("--all", action="store_true", help="print every bar")
    p.add_argument("--output", metavar="FILE",
                   help="write every bar with its indicators as CSV ('-' for standard "
                        "output, instead of the table)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw price and indicators to an image (needs matplotlib: "
                        "pip install 'zelvo[plot]')")
    p.add_argument("--version", action="version", version=f"zelvo {__version__}")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the
    exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:            # --help, --version, or a usage error (status 2)
        return e.code if isinstance(e.code, int) else 2
    try:
        return _run(args)
    except FormulaError as e:
        print(f"zelvo: error: {e.render()}", file=sys.stderr)
        return 2
    except (BarsError, UserError) as e:
        print(f"zelvo: error: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:            # e.g. piped into head: stop quietly
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


def _run(args: argparse.Namespace) -> int:
    if args.last < 0:
        raise UserError("--last needs a number of bars, 0 or more")
    formulas = [parse(text) for text in (args.formulas or DEFAULT_FORMULAS)]
    if args.plot:
        try:
            import matplotlib  # noqa: F401  (checked before any work is done)
        except ImportError:
            raise UserError("--plot needs matplotlib, which is not installed: "
                            "pip install 'zelvo[plot]' (or pip install matplotlib)") from None

    needed = set().union(*(f.columns for f in formulas))
    if args.csv is None:
        bars = sample_bars()
    elif args.csv == "-":
        bars = read_csv("<stdin>", needed, sys.stdin)
    else:
        bars = read_csv(args.csv, needed)
    n = len(bars)
    results = [f.evaluate(bars.columns, n) for f in formulas]

    if args.output == "-":
        write_csv(sys.stdout, bars, formulas, results)
    else:
        rows = n if args.all else min(args.last, n)
        print(describe(bars, rows))
        print(table(bars, formulas, results, rows))
        if args.output:
            try:
                with open(args.output, "w", newline="", encoding="utf-8") as f:
                    write_csv(f, bars, formulas, results)
            except OSError as e:
                raise UserError(f"cannot write {args.output}: {e.strerror or e}") from None
    if args.plot:
        plot(args.plot, bars, formulas, results)
    return 0


def describe(bars: Bars, rows: int) -> str:
    n = len(bars)
    what = f"all {n} bars" if rows == n else f"last {rows} of {n} bars"
    if bars.lines:
        return f"{bars.source}: {what}"
    return (f"zelvo {__version__}, built-in {bars.source}: {what}\n"
            "(--csv FILE reads your own bars, --all shows every bar, --help lists "
            "the functions)\n")


def _decimals(values: np.ndarray) -> int:
    """The fewest decimals (up to 4) that show every finite value of a column."""
    finite = values[np.isfinite(values)]
    for d in range(5):
        if np.all(np.round(finite, d) == finite):
            return d
    return 4


def _cell(x: float, decimals: int) -> str:
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return f"{x:.{decimals}f}"


def table(bars: Bars, formulas: Sequence[Formula], results: Sequence[np.ndarray],
          rows: int) -> str:
    """A right-aligned text table of the last ``rows`` bars: bar index, date, the
    close and any other bar column the formulas read, then one column per formula."""
    n = len(bars)
    first = n - rows
    used = set().union(*(f.columns for f in formulas))
    heads = ["bar"]
    cols: list[list[str]] = [[str(i) for i in range(first, n)]]
    if bars.dates is not None:
        heads.append("date")
        cols.append(bars.dates[first:])
    series = [(c, bars.columns[c]) for c in COLUMNS
              if c in bars.columns and (c == "close" or c in used)]
    series += [(f.text, r) for f, r in zip(formulas, results)]
    for head, values in series:
        shown = values[first:]
        d = _decimals(shown)
        heads.append(head)
        cols.append([_cell(float(x), d) for x in shown])
    widths = [max([len(h)] + [len(c) for c in col]) for h, col in zip(heads, cols)]
    left = {"date"}
    lines = ["  ".join(h.ljust(w) if h in left else h.rjust(w)
                       for h, w in zip(heads, widths))]
    for i in range(rows):
        lines.append("  ".join(col[i].ljust(w) if h in left else col[i].rjust(w)
                               for h, col, w in zip(heads, cols, widths)))
    return "\n".join(lines)


def _csv_value(x: float) -> str:
    if math.isnan(x):
        return ""                      # a missing value, as the reader takes it back
    if x.is_integer() and abs(x) < 2**53:
        return str(int(x))
    return repr(x)                     # shortest text that reads back to the same double


def write_csv(out: TextIO, bars: Bars, formulas: Sequence[Formula],
              results: Sequence[np.ndarray]) -> None:
    """Every bar: date (when known), the bar columns read, then one column per formula."""
    w = csv.writer(out, lineterminator="\n")
    cols = [(c, bars.columns[c]) for c in COLUMNS if c in bars.columns]
    cols += [(f.text, r) for f, r in zip(formulas, results)]
    w.writerow((["date"] if bars.dates is not None else []) + [h for h, _ in cols])
    for i in range(len(bars)):
        w.writerow(([bars.dates[i]] if bars.dates is not None else [])
                   + [_csv_value(float(v[i])) for _, v in cols])


def plot(path: str, bars: Bars, formulas: Sequence[Formula],
         results: Sequence[np.ndarray]) -> None:
    """Draw the close with the indicators on its scale in one panel, and every other
    indicator (flags, counts, oscillators) in a panel of its own below it."""
    try:
        from matplotlib.figure import Figure
    except ImportError as e:
        raise UserError(f"--plot needs a working matplotlib: {e}") from None
    x = np.arange(len(bars))
    close = bars.columns.get("close")
    overlay: list[tuple[str, np.ndarray]] = []
    panels: list[tuple[str, np.ndarray]] = []
    for f, r in zip(formulas, results):
        finite = r[np.isfinite(r)]
        on_price = (close is not None and finite.size > 0
                    and np.nanmin(close) * 0.5 <= finite.min()
                    and finite.max() <= np.nanmax(close) * 2.0)
        (overlay if on_price else panels).append((f.text, r))
    has_price = close is not None or bool(overlay)
    ratios = ([3] if has_price else []) + [1] * len(panels)
    fig = Figure(figsize=(11, 2.0 + 1.4 * sum(ratios)))
    axes = fig.subplots(len(ratios), 1, sharex=True, squeeze=False,
                        gridspec_kw={"height_ratios": ratios})[:, 0]
    k = 0
    if has_price:
        ax = axes[0]
        if close is not None:
            ax.plot(x, close, color="black", linewidth=1.0, label="CLOSE")
        for text, r in overlay:
            ax.plot(x, r, linewidth=1.0, label=text)
        ax.legend(loc="upper left", fontsize="small")
        ax.set_title(bars.source)
        k = 1
    for text, r in panels:
        ax = axes[k]
        finite = r[np.isfinite(r)]
        whole = finite.size > 0 and bool(np.all(finite == np.round(finite)))
        ax.plot(x, r, linewidth=1.0, drawstyle="steps-mid" if whole else "default")
        ax.set_title(text, loc="left", fontsize="small")
        k += 1
    if bars.dates is not None and len(bars) > 0:
        ticks = np.linspace(0, len(bars) - 1, num=min(6, len(bars))).astype(int)
        axes[-1].set_xticks(ticks)
        axes[-1].set_xticklabels([bars.dates[i] for i in ticks])
    else:
        axes[-1].set_xlabel("bar")
    fig.tight_layout()
    try:
        fig.savefig(path, dpi=100)
    except (OSError, ValueError) as e:
        raise UserError(f"cannot write {path}: {getattr(e, 'strerror', None) or e}") from None


if __name__ == "__main__":
    sys.exit(main())
