"""Command line: indicator formulas computed on bar data.

    python -m zelvo                                  # sample bars, default formulas
    python -m zelvo --csv bars.csv "MA(CLOSE,5)" "CROSS(MA(C,5),MA(C,20))"
    python -m zelvo --csv bars.csv "DIF:=EMA(C,12)-EMA(C,26); DIF-EMA(DIF,9)"
    python -m zelvo --csv bars.csv -f mine.txt --indicator MACD --param SHORT=10
    python -m zelvo --csv a.csv --csv b.csv --output long.csv "MA(C,20)"
    python -m zelvo --list-indicators

Every formula (an argument, a -f file or a library indicator) is compiled by
zelvo.formula; its output lines become the columns of the result. Bars come
from the embedded sample, from one CSV file (one instrument) or from a
universe: a CSV file with a symbol column, or several files, one per symbol.
A universe is computed symbol by symbol (symbols of one length together, as a
panel) and written long: symbol, date, then the outputs.

User errors (a bad formula, a bad CSV file, an unwritable output) are reported
on standard error as "zelvo: error: ..." with exit status 2 and no traceback.
Outputs are written to a temporary file beside the target and renamed into
place only when complete, so a failure never leaves a half-written or emptied
file; an output is never one of the files read (standard input included), not
even through a symlink made while the command runs. Notes about the bars
(missing values, no date column) and about results that overflowed go to
standard error as "zelvo: note: ..."; floating-point warnings do not.
"""
from __future__ import annotations

import argparse
import contextlib
import csv
import io
import math
import os
import re
import shlex
import stat
import sys
import tempfile
import warnings
from dataclasses import dataclass
from typing import BinaryIO, Callable, Iterator, Sequence, TextIO

import numpy as np

from . import __version__
from ._bars import (COLUMNS, FILLS, Bars, BarsError, file_identity, read_universe,
                    sample_bars)
from ._catalog import FUNCTIONS
from .formula import MAX_LENGTH, Formula, FormulaError, indicators, parse_params
from .formula._frames import _grouped
from .formula._parser import BAR_NAMES

DEFAULT_FORMULAS = ("MA(CLOSE,5)", "EMA(CLOSE,12)", "CROSS(MA(C,5),MA(C,20))")
DEFAULT_LAST = 10
INSTALL_PLOT = 'python3 -m pip install ".[plot]" (from a source checkout) or ' \
               'python3 -m pip install matplotlib'
#: Notes about the bars printed at the most; a universe of many files may have
#: one for every symbol.
SHOWN_NOTES = 10
#: Output names the written tables keep for their own columns.
TAKEN = {"DATE": "the date column", "SYMBOL": "the symbol column"}
#: Magnitudes this close to the largest double (about 1.8e308) overflow at the
#: next sum or product, and break the axes of a plot.
HUGE = 1e300

#: A file as (st_dev, st_ino): the same file under any name or link.
FileId = tuple[int, int]
#: What an output that is the file on standard input is called.
STDIN = "the file on standard input"


class UserError(Exception):
    """A problem the user can fix; printed without a traceback."""


@dataclass
class Source:
    """A compiled formula and where it came from: a -f file or a library
    indicator (``label``), or a formula argument (``label`` None)."""

    label: str | None
    formula: Formula
    #: The -f file it was read from, as opened (None for any other).
    file: FileId | None = None

    @property
    def where(self) -> str:
        return self.label or f"the formula {self.formula.text.strip()!r}"


#: An output line: its name and its values, one per bar (of every symbol, in
#: the order of the universe).
Line = tuple[str, np.ndarray]


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


def _note(text: str) -> None:
    print(f"zelvo: note: {text}", file=sys.stderr)


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """No floating-point warnings from NumPy or matplotlib on standard error:
    values near the ends of the double range set them off in formatting and
    drawing, and they would print library paths. What the user should know
    is said in a note."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        yield


def _huge(values: np.ndarray) -> bool:
    """Whether any finite value is within reach of the ends of the double range."""
    return bool(np.any(np.abs(values[np.isfinite(values)]) > HUGE))


def _listed(names: Sequence[str], shown: int = 3) -> str:
    more = f" and {len(names) - shown} more" if len(names) > shown else ""
    return ", ".join(names[:shown]) + more


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


def list_indicators() -> str:
    """The library: each indicator's name and summary, then its outputs and
    parameters with their defaults."""
    width = max(len(name) for name in indicators) + 2
    out = []
    for name, ind in indicators.items():
        summary = re.sub(rf"^{re.escape(name)}\s*:\s*", "", ind.summary, flags=re.I)
        params = ", ".join(f"{k}={_number_text(v)}" for k, v in ind.params.items())
        out.append(f"{name:<{width}}{summary}")
        out.append(f"{'':<{width}}outputs {', '.join(ind.outputs)}; "
                   f"parameters {params or 'none'}")
    out.append("\nzelvo --indicator NAME [--param NAME=VALUE ...] runs one; their formulas "
               "are in docs/formulas.md.")
    return "\n".join(out)


def _number_text(x: float) -> str:
    return str(int(x)) if x.is_integer() and abs(x) < 1e15 else repr(x)


def load_formulas(sources: Sequence[tuple[str, str]], texts: Sequence[str],
                  params: Sequence[str]) -> list[Source]:
    """The formulas to run: -f files and --indicator names in their order on the
    command line, then the formula arguments (the default formulas when there
    is none of the three). A --param sets the parameter in every formula that
    declares it; one that no formula declares is an error, as is an output name
    given twice."""
    given = _params(params)
    todo: list[tuple[str | None, str, FileId | None]] = []
    for kind, value in sources:
        if kind == "file":
            todo.append((value, *_formula_file(value)))
        else:
            try:
                ind = indicators[value]
            except KeyError as e:
                raise UserError(f"--indicator: {e.args[0]}") from None
            todo.append((f"indicator {ind.name}", ind.text, None))
    todo += [(None, text, None) for text in texts]
    if not todo:
        todo = [(None, text, None) for text in DEFAULT_FORMULAS]
    out: list[Source] = []
    used: set[str] = set()
    for label, text, file in todo:
        mine: dict[str, float] = {}
        try:
            f = Formula(text)
            mine = {name: value for key, (name, value) in given.items()
                    if key in {k.upper() for k in f.defaults}}
            if mine:
                f = f.with_params(**mine)
        except FormulaError as e:
            if label is None and not mine:
                raise
            where = label or "the formula"
            if mine:
                where += " with " + ", ".join(f"{k}={_number_text(v)}"
                                              for k, v in mine.items())
            raise UserError(f"{where}: {e.render()}") from None
        used.update(k.upper() for k in mine)
        out.append(Source(label, f, file))
    unknown = [name for key, (name, _) in given.items() if key not in used]
    if unknown:
        declared = sorted({k for s in out for k in s.formula.defaults})
        raise UserError(f"--param {unknown[0]}: no formula here declares it; " + (
            f"their parameters: {', '.join(declared)}" if declared
            else "they declare no parameters"))
    _check_names(out)
    return out


def _params(specs: Sequence[str]) -> dict[str, tuple[str, float]]:
    """--param NAME=VALUE ... as {upper-case name: (name, value)}."""
    out: dict[str, tuple[str, float]] = {}
    for item in specs:
        try:
            ((name, value),) = parse_params([item]).items()
        except ValueError as e:
            raise UserError(f"--param: {e}") from None
        if name.upper() in out:
            raise UserError(f"--param sets {name} twice")
        out[name.upper()] = (name, value)
    return out


def _formula_file(path: str) -> tuple[str, FileId | None]:
    """The text of a formula file, refused beyond the longest formula before it
    is read whole (so /dev/zero fails fast), and the file it was read from."""
    name = "<stdin>" if path == "-" else path
    try:
        with _strict_stdin() if path == "-" else open(path, encoding="utf-8-sig") as f:
            identity = file_identity(f)
            text = f.read(MAX_LENGTH + 1)
    except UnicodeDecodeError as e:
        raise UserError(f"{name}: not UTF-8 text (byte {e.start}: {e.reason})") from None
    except OSError as e:
        raise UserError(f"cannot read {name}: {e.strerror or e}") from None
    if len(text) > MAX_LENGTH:
        raise UserError(f"{name}: longer than {MAX_LENGTH} characters; not a formula")
    return text, identity


def _check_names(sources: Sequence[Source]) -> None:
    """Output names are the headers of the result: each once, in any case."""
    seen = dict(TAKEN)
    for s in sources:
        for name in s.formula.outputs:
            key = name.upper()
            if key in seen:
                what = (f"is taken by {seen[key]}" if key in TAKEN else
                        f"is given twice, by {seen[key]} and by {s.where}")
                raise UserError(f"the output name {name!r} {what}; name the output "
                                "lines apart (NAME:expression)")
            seen[key] = s.where


def compute(sources: Sequence[Source], universe: Sequence[Bars]) -> list[Line]:
    """Every output line over the whole universe, each symbol's bars computed
    on their own (symbols with the same number of bars as one panel)."""
    lengths = [len(b) for b in universe]
    n = sum(lengths)
    codes = None if len(universe) == 1 else np.repeat(np.arange(len(universe)), lengths)
    long: dict[str, np.ndarray] = {}
    lines: list[Line] = []
    for s in sources:
        lacking = [c for c in s.formula.fields if any(c not in b.columns for b in universe)]
        if lacking:                    # the sample has no amount; files are checked
            e = s.formula.missing_column(lacking[0], universe[0].columns)
            raise e if s.label is None else UserError(f"{s.label}: {e.render()}")
        for c in s.formula.fields:
            if c not in long:
                long[c] = _column(universe, c)
        out = _grouped(s.formula, {c: long[c] for c in s.formula.fields}, codes, n)
        lines += [(name, out[name]) for name in s.formula.outputs]
    return lines


def _column(universe: Sequence[Bars], name: str) -> np.ndarray:
    """A bar column over the whole universe, symbol after symbol."""
    if len(universe) == 1:
        return universe[0].columns[name]
    return np.concatenate([b.columns[name] for b in universe])


def _column_map(specs: Sequence[str] | None) -> dict[str, str]:
    """--columns close=Last,volume=Vol as {"close": "Last", "volume": "Vol"}."""
    out: dict[str, str] = {}
    for item in specs or ():
        for part in item.split(","):
            key, eq, header = part.partition("=")
            if not eq or not key.strip() or not header.strip():
                raise UserError(f"--columns takes NAME=HEADER pairs, e.g. "
                                f"close=Last,volume=Vol; not {part!r}")
            name = BAR_NAMES.get(key.strip().upper(), key.strip().lower())
            if name not in COLUMNS and name not in ("date", "symbol"):
                raise UserError(f"--columns: {key.strip()!r} is not a bar column "
                                f"(date, {', '.join(COLUMNS)}, symbol)")
            if name in out:
                raise UserError(f"--columns names {name} twice")
            out[name] = header.strip()
    return out


def _check_utf8_symbols(output: str, universe: Sequence[Bars]) -> None:
    """The CSV file written is UTF-8; a symbol named by a file name that is not
    UTF-8 text cannot be written to it."""
    for bars in universe:
        if bars.symbol is not None and not _is_utf8(bars.symbol):
            raise UserError(f"--output {_escaped(output)}: the symbol "
                            f"'{_escaped(bars.symbol)}' is named by the file "
                            f"{_escaped(bars.source)}, whose name is not UTF-8 text, and "
                            "cannot be written to a CSV file; rename the file")


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:         # surrogates: bytes of a name that were not UTF-8
        return False
    return True


def _escaped(text: str) -> str:
    """Text with the bytes of a name that were not UTF-8 shown as \\xff."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")
    return raw.decode("utf-8", "backslashreplace")


def _unprintable(e: UnicodeEncodeError, output: str | None) -> str:
    """What to say when standard output cannot take some text."""
    bad = e.object[e.start:e.end]
    if not _is_utf8(bad):
        return (f"cannot print '{_escaped(bad)}': a file name here is not UTF-8 text "
                "(it names the bars or their symbol); rename the file")
    fix = "set PYTHONIOENCODING=utf-8"
    if output is None or output == "-":      # the table or the CSV went to the terminal
        fix += " or use --output FILE"
    return f"cannot print {bad!r} in the output's encoding ({e.encoding}); {fix}"


def _check_plot(path: str) -> None:
    """Before any work: matplotlib is there and knows the image type of path."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise UserError(f"--plot needs matplotlib, which is not installed: "
                        f"{INSTALL_PLOT}") from None
    kinds = FigureCanvasBase.get_supported_filetypes()
    ext = os.path.splitext(path)[1][1:].lower()
    if ext not in kinds:
        what = f"an unknown image type '.{ext}'" if ext else "no extension"
        raise UserError(f"--plot {path}: {what}; name the image type by its extension: "
                        f"{', '.join('.' + k for k in sorted(kinds))}")


def _file_of(path: str | None) -> FileId | None:
    """The file a path names now (through symlinks); None for "-" or a path
    that names nothing (yet)."""
    if path is None or path == "-":
        return None
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def _same_file(a: str | None, b: str | None) -> bool:
    file = _file_of(a)
    return file is not None and file == _file_of(b)


def _overwritten(option: str, path: str, what: str) -> UserError:
    return UserError(f"{option} {path} is {what} itself; it would be overwritten: "
                     "write elsewhere")


def _check_not_the_same(args: argparse.Namespace, stdin: FileId | None) -> None:
    """No output may replace the bars or formulas being read (the file on
    standard input among them, `stdin`), nor another output."""
    inputs = [("the --csv file", p) for p in args.csv or ()]
    inputs += [("the -f file", p) for k, p in args.sources or () if k == "file"]
    for option, path in (("--output", args.output), ("--plot", args.plot)):
        for what, source in inputs:
            if _same_file(path, source):
                raise _overwritten(option, path, what)
        if stdin is not None and _file_of(path) == stdin:
            raise _overwritten(option, path, STDIN)
    if _same_file(args.output, args.plot) or (
            args.output is not None and args.output == args.plot):
        raise UserError(f"--output and --plot name the same file {args.plot}")


@contextlib.contextmanager
def _strict_stdin() -> Iterator[TextIO]:
    """Standard input decoded as strictly as a file: UTF-8, an error on any other
    byte (the interpreter's own stdin may let bad bytes through as surrogates)."""
    if sys.stdin is None:
        raise UserError("--csv -: there is no standard input to read")
    buffer = getattr(sys.stdin, "buffer", None)
    if buffer is None:                 # already text (embedded use, tests)
        yield sys.stdin
        return
    stream = io.TextIOWrapper(buffer, encoding="utf-8-sig", errors="strict", newline="")
    try:
        yield stream
    finally:
        with contextlib.suppress(OSError, ValueError):
            stream.detach()            # leave sys.stdin's buffer open


@contextlib.contextmanager
def _text(f: BinaryIO) -> Iterator[TextIO]:
    out = io.TextIOWrapper(f, encoding="utf-8", newline="")
    try:
        yield out
        out.flush()
    finally:
        out.detach()


def _guard(option: str, path: str, inputs: dict[FileId, str]) -> Callable[[str], None]:
    """For write_atomically: refuses a target that is one of the files read
    (`inputs`: what each is), as they were opened."""
    def check(target: str) -> None:
        file = _file_of(target)
        if file is not None and file in inputs:
            raise _overwritten(option, path, inputs[file])
    return check


def write_atomically(path: str, write: Callable[[BinaryIO], None],
                     guard: Callable[[str], None] | None = None) -> None:
    """Write a file through a temporary file beside it, renamed into place only
    once `write` has finished: a failure leaves an existing file as it was and
    no partial file behind. A device or pipe (/dev/null, /dev/stdout) is written
    directly.

    `guard` is called with the file the path leads to before anything is
    written and again right before the rename (a symlink made meanwhile may lead
    elsewhere); it raises to refuse the target."""
    target = os.path.realpath(path)    # through a symlink to the file it names
    try:
        if guard is not None:
            guard(target)
        try:
            mode: int | None = os.stat(target).st_mode
        except FileNotFoundError:
            mode = None
        if mode is not None and not stat.S_ISREG(mode):
            with open(target, "wb") as f:
                write(f)
            return
        if mode is not None and not os.access(target, os.W_OK):
            raise PermissionError(13, "Permission denied")   # as open() would say
        fd, temp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                    dir=os.path.dirname(target))
        try:
            with os.fdopen(fd, "wb") as f:
                write(f)
            if guard is not None:
                guard(os.path.realpath(path))
            if mode is None:           # a new file gets the usual permissions
                umask = os.umask(0)
                os.umask(umask)
                os.chmod(temp, 0o666 & ~umask)
            else:
                os.chmod(temp, stat.S_IMODE(mode))
            os.replace(temp, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temp)
            raise
    except OSError as e:
        raise UserError(f"cannot write {path}: {e.strerror or e}") from None


def describe(universe: Sequence[Bars], files: Sequence[str], rows: int | None) -> str:
    """The line above the table: where the bars come from and which are shown."""
    if len(universe) == 1 and universe[0].symbol is None:
        bars = universe[0]
        n = len(bars)
        shown = n if rows is None else min(rows, n)
        what = ("1 bar" if n == 1 else f"all {n} bars") if shown == n else \
            f"last {shown} of {n} bar{'s' if n > 1 else ''}"
        if bars.lines:
            return f"{bars.source}: {what}"
        return (f"zelvo {__version__}, built-in {bars.source}: {what}\n"
                "(--csv FILE reads your own bars, --all shows every bar, --help lists "
                "the functions)\n")
    lengths = sorted(len(b) for b in universe)
    sizes = f"{lengths[0]}" if lengths[0] == lengths[-1] else f"{lengths[0]} to {lengths[-1]}"
    k = len(universe)
    origin = ("<stdin>" if files[0] == "-" else files[0]) if len(files) == 1 else \
        f"{len(files)} files"
    what = "all bars" if rows is None else f"last {rows} bar{'s' if rows != 1 else ''} " \
                                           "of each"
    return f"{origin}: {k} symbol{'s' if k > 1 else ''} of {sizes} bars: {what}"


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


def _shown(universe: Sequence[Bars], rows: int | None) -> list[tuple[Bars, int, int]]:
    """For each symbol: its bars, where they start in the long output lines and
    the first bar shown."""
    out = []
    start = 0
    for bars in universe:
        n = len(bars)
        out.append((bars, start, 0 if rows is None else n - min(rows, n)))
        start += n
    return out


def table(universe: Sequence[Bars], lines: Sequence[Line], used: set[str] | frozenset[str],
          rows: int | None) -> str:
    """A right-aligned text table of the last ``rows`` bars (of each symbol; all
    bars for None): the symbol in a universe, bar index, date, the close and any
    other bar column the formulas read, then one column per output line."""
    spans = _shown(universe, rows)
    heads: list[str] = []
    cols: list[list[str]] = []
    if universe[0].symbol is not None:
        heads.append("symbol")
        cols.append([str(b.symbol) for b, _, first in spans for _ in range(first, len(b))])
    heads.append("bar")
    cols.append([str(i) for b, _, first in spans for i in range(first, len(b))])
    if any(b.dates is not None for b in universe):
        heads.append("date")
        cols.append([b.dates[i] if b.dates is not None else ""
                     for b, _, first in spans for i in range(first, len(b))])
    series: list[tuple[str, np.ndarray]] = [
        (c, np.concatenate([b.columns[c][first:] for b, _, first in spans]))
        for c in COLUMNS if (c == "close" or c in used)
        and all(c in b.columns for b in universe)]
    series += [(name, np.concatenate([v[start + first:start + len(b)]
                                      for b, start, first in spans]))
               for name, v in lines]
    for head, values in series:
        d = _decimals(values)
        heads.append(head)
        cols.append([_cell(float(x), d) for x in values])
    widths = [max([len(h)] + [len(c) for c in col]) for h, col in zip(heads, cols)]
    left = {"date", "symbol"}
    out = ["  ".join(h.ljust(w) if h in left else h.rjust(w)
                     for h, w in zip(heads, widths))]
    for i in range(len(cols[0])):
        out.append("  ".join(col[i].ljust(w) if h in left else col[i].rjust(w)
                             for h, col, w in zip(heads, cols, widths)))
    return "\n".join(out)


def _csv_value(x: float) -> str:
    if math.isnan(x):
        return ""                      # a missing value, as the reader takes it back
    if x.is_integer() and abs(x) < 2**53:
        # int() drops the sign of -0.0, which reads back as +0.0: keep it.
        return str(int(x)) if x or math.copysign(1.0, x) > 0 else "-0"
    return repr(x)                     # shortest text that reads back to the same double


def _csv_text(s: str) -> str:
    """A text cell (a date, a header) that a spreadsheet will not run as a
    formula: one starting with = + - @ (or a tab or carriage return) gets a
    leading single quote."""
    return "'" + s if s[:1] in ("=", "+", "-", "@", "\t", "\r") else s


def write_csv(out: TextIO, universe: Sequence[Bars], lines: Sequence[Line]) -> None:
    """Every bar as CSV. One instrument: date (when known), the bar columns read,
    then one column per output line. A universe, long: symbol, date (when any
    symbol has dates), then the outputs, symbol after symbol."""
    w = csv.writer(out, lineterminator="\n")
    if len(universe) == 1 and universe[0].symbol is None:
        bars = universe[0]
        cols = [(c, bars.columns[c]) for c in COLUMNS if c in bars.columns] + list(lines)
        dated = bars.dates is not None
        w.writerow((["date"] if dated else []) + [_csv_text(h) for h, _ in cols])
        for i in range(len(bars)):
            w.writerow(([_csv_text(bars.dates[i])] if bars.dates is not None else [])
                       + [_csv_value(float(v[i])) for _, v in cols])
        return
    dated = any(b.dates is not None for b in universe)
    w.writerow(["symbol"] + (["date"] if dated else []) + [_csv_text(h) for h, _ in lines])
    for bars, start, _ in _shown(universe, None):
        symbol = _csv_text(str(bars.symbol))
        for i in range(len(bars)):
            date = ([_csv_text(bars.dates[i]) if bars.dates is not None else ""]
                    if dated else [])
            w.writerow([symbol] + date + [_csv_value(float(v[start + i])) for _, v in lines])


def plot(path: str, bars: Bars, lines: Sequence[Line],
         guard: Callable[[str], None] | None = None) -> None:
    """Draw the close with the indicators on its scale in one panel, and every other
    indicator (flags, counts, oscillators) in a panel of its own below it. A note
    names the lines whose infinite values could not be drawn; `guard` is as for
    write_atomically."""
    try:
        from matplotlib.figure import Figure
    except ImportError as e:
        raise UserError(f"--plot needs a working matplotlib: {e}") from None
    x = np.arange(len(bars))
    close = bars.columns.get("close")
    overlay: list[Line] = []
    panels: list[Line] = []
    for name, r in lines:
        finite = r[np.isfinite(r)]
        on_price = (close is not None and finite.size > 0
                    and np.nanmin(close) * 0.5 <= finite.min()
                    and finite.max() <= np.nanmax(close) * 2.0)
        (overlay if on_price else panels).append((name, r))
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
    kind = os.path.splitext(path)[1][1:].lower()
    try:
        # Laying out and drawing compute the ticks, which fail for values near
        # the ends of the double range.
        fig.tight_layout()
        write_atomically(path, lambda f: fig.savefig(f, format=kind, dpi=100), guard)
    except (ValueError, OverflowError, ArithmeticError, RuntimeError) as e:
        drawn = [r for _, r in overlay + panels] + ([close] if close is not None else [])
        why = "; values near the ends of the double range cannot be plotted" \
            if any(map(_huge, drawn)) else ""
        raise UserError(f"cannot draw {path}: {e}{why}") from None
    infinite = [name for name, r in lines if np.isinf(r).any()]
    if infinite:
        _note(f"{path} leaves out the infinite values of {_listed(infinite)}: a plot "
              "cannot show them")


if __name__ == "__main__":
    sys.exit(main())
