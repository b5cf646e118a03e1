"""Command line: indicator formulas computed on bar data.

    python -m zelvo                                  # sample bars, default formulas
    python -m zelvo --csv bars.csv "MA(CLOSE,5)" "CROSS(MA(C,5),MA(C,20))"
    python -m zelvo --csv bars.csv --all --output out.csv --plot out.png "EMA(C,12)"

User errors (a bad formula, a bad CSV file, an unwritable output) are reported
on standard error as "zelvo: error: ..." with exit status 2 and no traceback.
Outputs are written to a temporary file beside the target and renamed into
place only when complete, so a failure never leaves a half-written or emptied
file. Notes about the bars (missing values, no date column) go to standard
error as "zelvo: note: ...".
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
from typing import BinaryIO, Callable, Iterator, Sequence, TextIO

import numpy as np

from . import __version__
from ._bars import COLUMNS, FILLS, Bars, BarsError, read_csv, sample_bars
from ._formula import BAR_NAMES, FUNCTIONS, Formula, FormulaError, parse

DEFAULT_FORMULAS = ("MA(CLOSE,5)", "EMA(CLOSE,12)", "CROSS(MA(C,5),MA(C,20))")
DEFAULT_LAST = 10
INSTALL_PLOT = 'python3 -m pip install ".[plot]" (from a source checkout) or ' \
               'python3 -m pip install matplotlib'


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
            "  Conditions (x of BARSINCE, BARLAST, BARSLAST, BACKCOUNT, FIF) are true\n"
            "  where the value truncated toward zero is not 0 (0.5 and NaN are false,\n"
            "  -1 and 256 true); comparisons such as C>O give 1 or 0. A formula that\n"
            "  starts with '-' goes after '--': zelvo -- \"-MA(C,5)\".\n"
            f"  Without formulas: {' '.join(DEFAULT_FORMULAS)}\n\n"
            f"functions:\n{functions}\n\n"
            "CSV files need a header row; open, high, low, close and volume are found\n"
            "by name in any case (--columns maps other names), other columns are\n"
            "ignored. The date column (Date, Datetime, Timestamp, Trade_date, Time, ...;\n"
            "as 2014-12-31, 12/31/2014, 2014/12/31, 20141231, 31.12.2014, 31-Dec-2014\n"
            "or epoch seconds) must rise strictly from row to row: newest-first files\n"
            "need --sort. A file without dates is read as given, with a note. An empty,\n"
            "nan or inf cell is a missing value: a note names the first few."),
    )
    p.add_argument("formulas", nargs="*", metavar="FORMULA",
                   help="indicator formula, e.g. \"MA(CLOSE,5)\" (quote it for the shell)")
    p.add_argument("--csv", metavar="FILE",
                   help="read bars from this CSV file ('-' for standard input); "
                        "without it, embedded sample bars are used")
    p.add_argument("--columns", action="append", metavar="NAME=HEADER,...",
                   help="read a bar column under another header name, e.g. "
                        "close=Last,volume=Vol (names: date open high low close volume)")
    p.add_argument("--sort", action="store_true",
                   help="put the bars in date order (for files written newest first); "
                        "repeated dates stay an error")
    p.add_argument("--fill", choices=FILLS,
                   help="missing values (empty, nan or inf cells): 'previous' carries "
                        "the last value forward")
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("-n", "--last", type=int, default=DEFAULT_LAST, metavar="N",
                       help=f"print the last N bars (default {DEFAULT_LAST})")
    shown.add_argument("--all", action="store_true", help="print every bar")
    p.add_argument("--output", metavar="FILE",
                   help="write every bar with its indicators as CSV ('-' for standard "
                        "output, instead of the table); never the --csv file")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw price and indicators to an image, its type named by the "
                        "extension (.png, .svg, .pdf, ...); needs matplotlib: "
                        + INSTALL_PLOT)
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
        print(f"zelvo: error: cannot print {e.object[e.start:e.end]!r} in the output's "
              f"encoding ({e.encoding}); set PYTHONIOENCODING=utf-8 or use --output FILE",
              file=sys.stderr)
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
    if args.last < 0:
        raise UserError("--last needs a number of bars, 0 or more")
    for option, value in (("--csv", args.csv), ("--output", args.output),
                          ("--plot", args.plot)):
        if value is not None and not value.strip():
            raise UserError(f"{option} needs a file name, not an empty one")
    columns = _column_map(args.columns)
    formulas = [parse(text) for text in (args.formulas or DEFAULT_FORMULAS)]
    _check_not_the_same(args)
    if args.plot is not None:
        _check_plot(args.plot)

    needed = set().union(*(f.columns for f in formulas))
    options = dict(columns=columns, sort=args.sort, fill=args.fill)
    if args.csv is None:
        if args.columns or args.sort or args.fill:
            raise UserError("--columns, --sort and --fill apply to a --csv file")
        bars = sample_bars()
    elif args.csv == "-":
        with _strict_stdin() as stream:
            bars = read_csv("<stdin>", needed, stream, **options)
    else:
        bars = read_csv(args.csv, needed, **options)
    for note in bars.notes:
        print(f"zelvo: note: {note}", file=sys.stderr)
    n = len(bars)
    results = [f.evaluate(bars.columns, n) for f in formulas]

    if args.output == "-":
        write_csv(sys.stdout, bars, formulas, results)
    else:
        rows = n if args.all else min(args.last, n)
        print(describe(bars, rows))
        print(table(bars, formulas, results, rows))
        if args.output is not None:
            def write(f: BinaryIO) -> None:
                with _text(f) as out:
                    write_csv(out, bars, formulas, results)
            write_atomically(args.output, write)
    if args.plot is not None:
        plot(args.plot, bars, formulas, results)
    return 0


def _column_map(specs: Sequence[str] | None) -> dict[str, str]:
    """--columns close=Last,volume=Vol as {"close": "Last", "volume": "Vol"}."""
    out: dict[str, str] = {}
    for spec in specs or ():
        for part in spec.split(","):
            key, eq, header = part.partition("=")
            if not eq or not key.strip() or not header.strip():
                raise UserError(f"--columns takes NAME=HEADER pairs, e.g. "
                                f"close=Last,volume=Vol; not {part!r}")
            name = BAR_NAMES.get(key.strip().upper(), key.strip().lower())
            if name not in COLUMNS and name != "date":
                raise UserError(f"--columns: {key.strip()!r} is not a bar column "
                                f"(date, {', '.join(COLUMNS)})")
            if name in out:
                raise UserError(f"--columns names {name} twice")
            out[name] = header.strip()
    return out


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


def _same_file(a: str | None, b: str | None) -> bool:
    if a is None or b is None or "-" in (a, b):
        return False
    try:
        return os.path.samefile(a, b)
    except OSError:                    # one of them does not exist (yet)
        return False


def _check_not_the_same(args: argparse.Namespace) -> None:
    """No output may replace the bars being read, nor another output."""
    for option, path in (("--output", args.output), ("--plot", args.plot)):
        if _same_file(path, args.csv):
            raise UserError(f"{option} {path} is the --csv file itself; it would be "
                            "overwritten: write elsewhere")
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


def write_atomically(path: str, write: Callable[[BinaryIO], None]) -> None:
    """Write a file through a temporary file beside it, renamed into place only
    once `write` has finished: a failure leaves an existing file as it was and
    no partial file behind. A device or pipe (/dev/null, /dev/stdout) is written
    directly."""
    target = os.path.realpath(path)    # through a symlink to the file it names
    try:
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


def describe(bars: Bars, rows: int) -> str:
    n = len(bars)
    what = ("1 bar" if n == 1 else f"all {n} bars") if rows == n else \
        f"last {rows} of {n} bar{'s' if n > 1 else ''}"
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


def _csv_text(s: str) -> str:
    """A text cell (a date, a header) that a spreadsheet will not run as a
    formula: one starting with = + - @ (or a tab or carriage return) gets a
    leading single quote."""
    return "'" + s if s[:1] in ("=", "+", "-", "@", "\t", "\r") else s


def write_csv(out: TextIO, bars: Bars, formulas: Sequence[Formula],
              results: Sequence[np.ndarray]) -> None:
    """Every bar: date (when known), the bar columns read, then one column per formula."""
    w = csv.writer(out, lineterminator="\n")
    cols = [(c, bars.columns[c]) for c in COLUMNS if c in bars.columns]
    cols += [(f.text, r) for f, r in zip(formulas, results)]
    w.writerow((["date"] if bars.dates is not None else [])
               + [_csv_text(h) for h, _ in cols])
    for i in range(len(bars)):
        w.writerow(([_csv_text(bars.dates[i])] if bars.dates is not None else [])
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
    kind = os.path.splitext(path)[1][1:].lower()
    try:
        # Laying out and drawing compute the ticks, which fail for values near
        # the ends of the double range.
        fig.tight_layout()
        write_atomically(path, lambda f: fig.savefig(f, format=kind, dpi=100))
    except (ValueError, OverflowError, ArithmeticError, RuntimeError) as e:
        drawn = [r for _, r in overlay + panels] + ([close] if close is not None else [])
        huge = any(np.any(np.abs(r[np.isfinite(r)]) > 1e300) for r in drawn)
        why = "; values near the ends of the double range cannot be plotted" if huge else ""
        raise UserError(f"cannot draw {path}: {e}{why}") from None


if __name__ == "__main__":
    sys.exit(main())
