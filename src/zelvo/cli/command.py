"""The command: its arguments, and one run from the bars to the written result.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import re
import shlex
import sys
from typing import BinaryIO, Sequence

import numpy as np

from .. import __version__
from .._catalog import FUNCTIONS
from ..formula import FormulaError
from .bars import Bars, BarsError, FILLS, file_identity, read_universe
from .common import (DEFAULT_FORMULAS, DEFAULT_LAST, INSTALL_PLOT, Line, SHOWN_NOTES, STDIN,
                     Source, UserError, _huge, _listed, _note, _quiet)
from .files import (_check_not_the_same, _check_plot, _check_utf8_symbols, _guard, _strict_stdin,
                    _text, _unprintable, write_atomically)
from .formulas import _column, _column_map, compute, list_indicators, load_formulas
from .output import describe, plot, table, write_csv
from .sample import sample_bars


def build_parser() -> argparse.ArgumentParser:
    functions = "\n".join(
        f"  {f.signature:<22} {f.summary}" for f in FUNCTIONS.values())
    p = argparse.ArgumentParser(
        prog="zelvo",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Compute indicator formulas on daily bars and print the last bars.",
        epilog=(
            "formulas (the language is described in docs/formulas.md):\n"
            "  statements separated by ';' or new lines: NAME:=expr (an intermediate\n"
            "  line), NAME:expr (an output line), expr (an output named by its text),\n"
            "  PARAM N=12, M=26 (parameters with defaults; --param N=5 sets one).\n"
            "  Bar names OPEN HIGH LOW CLOSE VOL (or O H L C V) and AMOUNT, numbers,\n"
            "  + - * /, comparisons > < >= <= = <> (1 where true, else 0), AND OR NOT\n"
            "  (&& || !), parentheses, comments {...} and //, IF(c,a,b) (or IFF: a where\n"
            "  c is true, else b), ABS MAX MIN SQRT LN LOG EXP POW SIGN bar by bar, and\n"
            "  the functions below.\n"
            "  Names are case-insensitive. A value is true where, truncated toward zero,\n"
            "  it is not 0 (0.5 and NaN are false, -1 and 256 true). Windows N and M are\n"
            "  whole numbers in each function's range; MA SUM COUNT REF LLV HHV also\n"
            "  take a series (one window per bar). A formula that starts with '-' goes\n"
            "  after '--': zelvo -- \"-MA(C,5)\".\n"
            f"  Without formulas: {' '.join(DEFAULT_FORMULAS)}\n\n"
            f"functions:\n{functions}\n\n"
            "CSV files need a header row; open, high, low, close and volume (and amount\n"
            "when a formula reads it) are found by name in any case (--columns maps\n"
            "other names), other columns are ignored. The date column (Date, Datetime,\n"
            "Timestamp, Trade_date, Time, ...; as 2014-12-31, 12/31/2014, 2014/12/31,\n"
            "20141231, 31.12.2014, 31-Dec-2014 or epoch seconds) must rise strictly from\n"
            "row to row: newest-first files need --sort. A file without dates is read\n"
            "as given, with a note. An empty, nan or inf cell is a missing value: a note\n"
            "names the first few.\n\n"
            "A universe: a file with a symbol column (Symbol, Ticker, Instrument or\n"
            "Code), or several --csv files, each file one symbol named by the file name\n"
            "(orcl.csv: orcl). Each symbol's rows are checked, sorted and filled on\n"
            "their own and computed as a series of their own; the result is long:\n"
            "symbol, date, then the outputs (--last N bars of each symbol)."),
    )
    p.add_argument("formulas", nargs="*", metavar="FORMULA",
                   help="indicator formula, e.g. \"MA(CLOSE,5)\" or \"DIF:=EMA(C,12)-"
                        "EMA(C,26); DIF-EMA(DIF,9)\" (quote it for the shell)")
    p.add_argument("-f", dest="sources", action="append", metavar="FILE",
                   type=lambda path: ("file", path),
                   help="run the formula in this file ('-' for standard input); "
                        "repeatable")
    p.add_argument("--indicator", dest="sources", action="append", metavar="NAME",
                   type=lambda name: ("indicator", name),
                   help="run a library indicator, e.g. MACD (see --list-indicators); "
                        "repeatable")
    p.add_argument("--param", action="append", metavar="NAME=VALUE",
                   help="set a parameter of the formulas that declare it, e.g. "
                        "SHORT=10; repeatable")
    p.add_argument("--list-indicators", action="store_true",
                   help="list the library indicators with their outputs and parameters")
    p.add_argument("--csv", action="append", metavar="FILE",
                   help="read bars from this CSV file ('-' for standard input); "
                        "repeat it for a universe of one file per symbol; without it, "
                        "embedded sample bars are used")
    p.add_argument("--columns", action="append", metavar="NAME=HEADER,...",
                   help="read a bar column under another header name, e.g. "
                        "close=Last,volume=Vol (names: date open high low close volume "
                        "amount symbol)")
    p.add_argument("--sort", action="store_true",
                   help="put the bars in date order (for files written newest first); "
                        "repeated dates stay an error")
    p.add_argument("--fill", choices=FILLS,
                   help="missing values (empty, nan or inf cells): 'previous' carries "
                        "the last value forward")
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("-n", "--last", type=int, default=DEFAULT_LAST, metavar="N",
                       help=f"print the last N bars (of each symbol; default "
                            f"{DEFAULT_LAST})")
    shown.add_argument("--all", action="store_true", help="print every bar")
    p.add_argument("--output", metavar="FILE",
                   help="write every bar with its indicators as CSV ('-' for standard "
                        "output, instead of the table); never a --csv file")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw price and indicators of one instrument to an image, its "
                        "type named by the extension (.png, .svg, .pdf, ...); needs "
                        "matplotlib: " + INSTALL_PLOT)
    p.add_argument("--version", action="version", version=f"zelvo {__version__}")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the
    exit status."""
    parser = build_parser()
    if argv is None:
        argv = sys.argv[1:]
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:            # --help, --version, or a usage error (status 2)
        code = e.code if isinstance(e.code, int) else 2
        hint = _dash_hint(parser, argv) if code == 2 else None
        if hint:
            print(f"zelvo: hint: {hint}", file=sys.stderr)
        return code
    try:
        return _run(args)
    except FormulaError as e:
        print(f"zelvo: error: {e.render()}", file=sys.stderr)
    except (BarsError, UserError) as e:
        print(f"zelvo: error: {e}", file=sys.stderr)
    except BrokenPipeError:            # e.g. piped into head: stop quietly
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except UnicodeEncodeError as e:    # a date or header the terminal cannot show
        print(f"zelvo: error: {_unprintable(e, args.output)}", file=sys.stderr)
    except MemoryError:
        print("zelvo: error: out of memory (too many bars for this machine?)",
              file=sys.stderr)
    return 2


def _dash_hint(parser: argparse.ArgumentParser, argv: Sequence[str]) -> str | None:
    """A hint when a formula starting with '-' was taken for an option."""
    known = parser._option_string_actions
    for a in argv:
        if a == "--":
            break
        if (a.startswith("-") and not a.startswith("--") and len(a) > 1
                and a[:2] not in known and not re.fullmatch(r"-\d+|-\d*\.\d+", a)):
            return (f"a formula that starts with '-' goes after '--' (which ends the "
                    f"options): zelvo [options] -- {shlex.quote(a)}")
    return None


def _run(args: argparse.Namespace) -> int:
    if args.list_indicators:
        print(list_indicators())
        return 0
    if args.last < 0:
        raise UserError("--last needs a number of bars, 0 or more")
    files = args.csv or []
    for option, values in (("--csv", files), ("--output", [args.output]),
                           ("--plot", [args.plot]),
                           ("-f", [v for k, v in args.sources or () if k == "file"])):
        if any(v is not None and not v.strip() for v in values):
            raise UserError(f"{option} needs a file name, not an empty one")
    reads_stdin = files.count("-") + (args.sources or []).count(("file", "-"))
    if reads_stdin > 1:
        raise UserError("standard input ('-') can be read once: by one --csv or one -f")
    columns = _column_map(args.columns)
    sources = load_formulas(args.sources or [], args.formulas, args.param or [])
    stdin = file_identity(sys.stdin) if reads_stdin else None
    _check_not_the_same(args, stdin)
    if args.plot is not None:
        _check_plot(args.plot)

    needed = set().union(*(s.formula.fields for s in sources))
    if not files:
        if args.columns or args.sort or args.fill:
            raise UserError("--columns, --sort and --fill apply to a --csv file")
        universe = [sample_bars()]
    else:
        with _strict_stdin() if "-" in files else contextlib.nullcontext() as stream:
            universe = read_universe(files, needed, stream, columns=columns,
                                     sort=args.sort, fill=args.fill)
    notes = [note for bars in universe for note in bars.notes]
    for note in notes[:SHOWN_NOTES]:
        _note(note)
    if len(notes) > SHOWN_NOTES:
        _note(f"and {len(notes) - SHOWN_NOTES} more notes like these")
    single = len(universe) == 1 and universe[0].symbol is None
    if args.plot is not None and not single:
        raise UserError(f"--plot draws one instrument; these bars hold "
                        f"{len(universe)} symbol{'s' if len(universe) > 1 else ''}")
    if args.output not in (None, "-"):
        _check_utf8_symbols(args.output, universe)
    # What the files were when they were read: an output must not become one of
    # them, even through a symlink made while this runs.
    inputs = {b.file: "the --csv file" for b in universe if b.file is not None}
    inputs.update({s.file: "the -f file" for s in sources if s.file is not None})
    if stdin is not None:
        inputs[stdin] = STDIN

    with _quiet():
        lines = compute(sources, universe)
        overflowed = _overflowed(sources, universe, lines)
        if overflowed:
            _note(overflowed)
        if args.output == "-":
            write_csv(sys.stdout, universe, lines)
        else:
            rows = None if args.all else args.last
            print(describe(universe, files, rows))
            print(table(universe, lines, needed, rows))
            if args.output is not None:
                def write(f: BinaryIO) -> None:
                    with _text(f) as out:
                        write_csv(out, universe, lines)
                write_atomically(args.output, write, _guard("--output", args.output,
                                                            inputs))
        if args.plot is not None:
            plot(args.plot, universe[0], lines, _guard("--plot", args.plot, inputs))
    return 0


def _overflowed(sources: Sequence[Source], universe: Sequence[Bars],
                lines: Sequence[Line]) -> str | None:
    """A note for output lines that overflowed: infinite at bars whose columns
    they read are finite, where the line or those columns hold values near the
    ends of the double range. (An infinity from a division by zero, among
    ordinary values, is no news.)"""
    values = dict(lines)
    names: list[str] = []
    for s in sources:
        read = [_column(universe, c) for c in s.formula.fields]
        finite = np.ones(sum(len(b) for b in universe), dtype=bool)
        for column in read:
            finite &= np.isfinite(column)
        for name in s.formula.outputs:
            v = values[name]
            if np.any(np.isinf(v) & finite) and (_huge(v) or any(map(_huge, read))):
                names.append(name)
    if not names:
        return None
    verb = "is" if len(names) == 1 else "are"
    return (f"values near the largest double (about 1.8e308) overflow to inf: "
            f"{_listed(names)} {verb} infinite where the bars read are finite")
