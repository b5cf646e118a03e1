"""Bar data for the command line: the CSV reader.

Bars are kept as one float64 array per column (oldest bar first), which is the
form every zelvo function takes, plus an optional list of date strings. A
universe is a list of Bars, one per symbol: from a file with a symbol column
(its rows split by symbol) or from several files (a file's name is its symbol).
"""
from __future__ import annotations

import contextlib
import csv
import os
import re
from dataclasses import dataclass, field
from typing import Iterable, Iterator, Mapping, Sequence, TextIO

import numpy as np

from .._columns import DATE_NAMES, FIELDS, SYMBOL_NAMES
from .common import BarsError
from .dates import _date_keys


#: The bar columns a formula can read, in display order.
COLUMNS = FIELDS
#: Read only when a formula needs it or --columns names it: other files may
#: carry a column of that name in some other form.
OPTIONAL = ("amount",)


@dataclass
class Bars:
    """Columns of bars, each a writable, contiguous float64 array of one length."""

    columns: dict[str, np.ndarray]
    dates: list[str] | None = None
    source: str = ""
    #: The 1-based line of the file each bar came from (empty for the sample).
    lines: list[int] = field(default_factory=list)
    #: Things the reader noticed that the user should know (missing values, no dates).
    notes: list[str] = field(default_factory=list)
    #: The instrument, in a universe (None for bars read on their own).
    symbol: str | None = None
    #: The file read, as (st_dev, st_ino) of the descriptor it was read through;
    #: None for the sample or a stream without a descriptor.
    file: tuple[int, int] | None = None

    def __len__(self) -> int:
        if self.columns:
            return len(next(iter(self.columns.values())))
        return len(self.dates) if self.dates is not None else len(self.lines)



#: The longest line read, in characters: a file without line breaks (or
#: /dev/zero) is refused after this much, in bounded memory.
MAX_LINE = 1 << 20

#: Missing cells named one by one in the note; the rest are counted.
SHOWN_MISSING = 5

FILLS = ("previous",)


def file_identity(f: object) -> tuple[int, int] | None:
    """(st_dev, st_ino) of the file behind an open file object, or None when
    it has no descriptor (an io.StringIO, for one)."""
    try:
        st = os.fstat(f.fileno())      # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def read_csv(path: str | os.PathLike[str], required: Iterable[str] = (),
             stream: TextIO | None = None, *, columns: Mapping[str, str] | None = None,
             sort: bool = False, fill: str | None = None) -> Bars:
    """Read the bars of one instrument from a CSV file with a header row.

    Header names are matched to open, high, low, close and volume (and amount,
    when `required` names it) case-insensitively, ignoring surrounding blanks;
    `columns` maps any of them (or "date") to another header name. The date
    column is found among the common names (DATE_NAMES); a separate "Time"
    column beside "Date" joins it. Other columns (such as "Adj Close") are
    skipped. Every cell of a bar column must be a number; an empty cell is a
    missing value (NaN).

    The dates must rise strictly from line to line; `sort` puts merely
    unordered (for example newest-first) bars in date order instead. `fill`
    "previous" replaces a missing value (empty, nan or inf) by the bar before
    it. What the user should know (missing values, a file without dates) is
    left in `Bars.notes`.

    Raises BarsError naming the line and column of the first problem, or a
    column of `required` that the file lacks. With `stream` given, reads from
    it and uses `path` only in messages. A symbol column is ignored here
    (read_symbols splits the file by it).
    """
    return _read(path, stream, _Options(set(required), dict(columns or {}), sort, fill,
                                        symbols=False))[0]


def read_symbols(path: str | os.PathLike[str], required: Iterable[str] = (),
                 stream: TextIO | None = None, *, columns: Mapping[str, str] | None = None,
                 sort: bool = False, fill: str | None = None) -> list[Bars]:
    """Read a CSV file as read_csv does, split by its symbol column when it has
    one (a header named symbol, ticker, instrument or code, or the header
    `columns` maps "symbol" to): one Bars per symbol, in the order each first
    appears, each symbol's rows in file order. Dates are checked (or, with
    `sort`, put in order) and missing values filled for each symbol on its own.
    Without a symbol column: a list of one Bars whose symbol is None.
    """
    return _read(path, stream, _Options(set(required), dict(columns or {}), sort, fill,
                                        symbols=True))


def read_universe(paths: Sequence[str], required: Iterable[str] = (),
                  stdin: TextIO | None = None, *, columns: Mapping[str, str] | None = None,
                  sort: bool = False, fill: str | None = None) -> list[Bars]:
    """The bars of every symbol of one or more CSV files, each read as
    read_symbols does; "-" reads `stdin` (named <stdin> in messages).

    Among several files, one without a symbol column holds one symbol named by
    the file name without its extension ("stdin" for "-"). A single file
    without a symbol column gives one Bars whose symbol is None: the bars of
    one instrument. A symbol found twice is an error.
    """
    out: list[Bars] = []
    where: dict[str, str] = {}
    for path in paths:
        name = "<stdin>" if path == "-" else path
        parts = read_symbols(name, required, stdin if path == "-" else None,
                             columns=columns, sort=sort, fill=fill)
        if parts[0].symbol is None and len(paths) > 1:
            stem = os.path.splitext(os.path.basename(os.fspath(path)))[0]
            parts[0].symbol = "stdin" if path == "-" else stem or os.fspath(path)
        for bars in parts:
            if bars.symbol is None:
                continue
            if bars.symbol in where:
                raise BarsError(f"the symbol {bars.symbol!r} comes from both "
                                f"{where[bars.symbol]} and {name}; a universe holds one "
                                "series per symbol")
            where[bars.symbol] = name
        out += parts
    return out


def _read(path: str | os.PathLike[str], stream: TextIO | None,
          options: _Options) -> list[Bars]:
    name = os.fspath(path)
    if options.fill is not None and options.fill not in FILLS:
        raise BarsError(f"unknown fill {options.fill!r}; known: {', '.join(FILLS)}")
    try:
        with contextlib.nullcontext(stream) if stream is not None else \
                open(name, newline="", encoding="utf-8-sig") as f:
            identity = file_identity(f)
            parts = _parse(f, name, options)
    except UnicodeDecodeError as e:
        raise BarsError(f"{name}: not UTF-8 text (byte {e.start}: {e.reason})") from None
    except csv.Error as e:
        raise BarsError(f"{name}: not a readable CSV file ({e})") from None
    except OSError as e:
        raise BarsError(f"cannot read {name}: {e.strerror or e}") from None
    for bars in parts:
        bars.file = identity
    return parts


@dataclass
class _Options:
    required: set[str]
    columns: dict[str, str]
    sort: bool
    fill: str | None
    symbols: bool


def _bounded_lines(f: TextIO, name: str) -> Iterator[str]:
    """The lines of f, refusing one longer than MAX_LINE before reading it whole."""
    limit = MAX_LINE
    number = 0
    while True:
        line = f.readline(limit + 1)
        if not line:
            return
        number += 1
        if len(line) > limit and line[-1] not in "\r\n":
            raise BarsError(f"{name}, line {number}: longer than {limit} characters; "
                            "not a CSV file of bars")
        yield line


def _header_key(h: str) -> str:
    return h.strip().lower()


def _find_columns(header: list[str], name: str, opts: _Options) -> dict[str, int]:
    """Bar column (and "date", "time", "symbol") -> index in the header."""
    keys = [_header_key(h) for h in header]
    where: dict[str, int] = {}
    claimed: set[int] = set()
    for col, wanted in opts.columns.items():
        if col not in COLUMNS and col not in ("date", "symbol"):
            raise BarsError(f"cannot map {col!r}: the bar columns are date, "
                            f"{', '.join(COLUMNS)}, symbol")
        found = [i for i, k in enumerate(keys) if k == _header_key(wanted)]
        if not found:
            raise BarsError(f"{name}: no column named {wanted!r} (for {col}); the header "
                            f"has {', '.join(repr(h) for h in header)}")
        if len(found) > 1:
            raise BarsError(f"{name}: two columns are named {wanted!r} "
                            f"({found[0] + 1} and {found[1] + 1}); keep one")
        where[col] = found[0]
        claimed.add(found[0])

    def take(key: str, matches: list[int]) -> None:
        matches = [i for i in matches if i not in claimed]
        if len(matches) > 1:
            raise BarsError(f"{name}: two columns are named {key!r} "
                            f"({matches[0] + 1} and {matches[1] + 1}); keep one")
        if matches:
            where[key] = matches[0]
            claimed.add(matches[0])

    for col in COLUMNS:
        if col not in where and (col not in OPTIONAL or col in opts.required):
            take(col, [i for i, k in enumerate(keys) if k == col])
    if opts.symbols and "symbol" not in where:
        for symbol_name in SYMBOL_NAMES:
            take("symbol", [i for i, k in enumerate(keys) if k == symbol_name])
            if "symbol" in where:
                break
    if "date" not in where:
        plain = [re.sub(r"[\s\-]+", "_", k) for k in keys]
        for date_name in DATE_NAMES:
            take("date", [i for i, k in enumerate(plain) if k == date_name])
            if "date" in where:
                break
        if "date" in where and plain[where["date"]] == "date":
            take("time", [i for i, k in enumerate(plain) if k == "time"])
    return where


def _parse(f: TextIO, name: str, opts: _Options) -> list[Bars]:
    rows = csv.reader(_bounded_lines(f, name))
    header = next(rows, None)
    while header is not None and not any(h.strip() for h in header):
        header = next(rows, None)          # blank lines before the header
    if header is None:
        raise BarsError(f"{name}: the file is empty; expected a header row with "
                        f"date, {', '.join(c for c in COLUMNS if c not in OPTIONAL)}")
    if header and header[0].startswith("\ufeff"):
        header[0] = header[0][1:]          # a byte-order mark read through a stream

    where = _find_columns(header, name, opts)
    missing = [c for c in COLUMNS if c in opts.required and c not in where]
    if missing:
        found = ", ".join(repr(h) for h in header)
        raise BarsError(f"{name}: no {' or '.join(repr(c) for c in missing)} column "
                        f"(a formula needs it); the header has {found}")

    numeric = [(c, where[c]) for c in COLUMNS if c in where]
    values: dict[str, list[float]] = {c: [] for c, _ in numeric}
    dates: list[str] | None = [] if "date" in where else None
    day, time = where.get("date"), where.get("time")
    symbol = where.get("symbol") if opts.symbols else None
    symbols: list[str] = []
    lines: list[int] = []
    width = len(header)
    for row in rows:
        if not any(cell.strip() for cell in row):
            continue                       # blank line
        line = rows.line_num
        if len(row) != width:
            raise BarsError(f"{name}, line {line}: {len(row)} fields, but the header "
                            f"has {width}")
        for c, i in numeric:
            values[c].append(_number(row[i], name, line, header[i]))
        if symbol is not None:
            symbols.append(row[symbol].strip())
            if not symbols[-1]:
                raise BarsError(f"{name}, line {line}, column {header[symbol].strip()!r}: "
                                "no symbol; every bar needs one")
        if dates is not None:
            stamp = row[day].strip()
            if time is not None:
                stamp = f"{stamp} {row[time].strip()}"
            dates.append(stamp)
        lines.append(line)
    if not lines:
        raise BarsError(f"{name}: no bars (only a header row)")
    columns = {c: np.array(v, dtype=np.float64) for c, v in values.items()}
    headers = {c: header[i].strip() for c, i in numeric}
    if symbol is None:
        parts = [Bars(columns, dates, name, lines)]
    else:
        parts = [Bars({c: v[rows_of] for c, v in columns.items()},
                      None if dates is None else [dates[i] for i in rows_of],
                      f"{name}, symbol {sym}", [lines[i] for i in rows_of], symbol=sym)
                 for sym, rows_of in _by_symbol(symbols)]
    if day is None:
        looked = "such as Date, Datetime, Timestamp, Trade_date or Time"
        if opts.sort:
            raise BarsError(f"{name}: no date column to sort by ({looked})")
        parts[0].notes.append(f"{name}: no date column ({looked}); the bars are taken in "
                              "file order, oldest first")
    for bars in parts:
        if day is not None:
            _order(bars, header[day].strip(), opts.sort)
        _fill(bars, headers, opts.fill)
    return parts


def _by_symbol(symbols: list[str]) -> Iterator[tuple[str, np.ndarray]]:
    """Each symbol (in the order it first appears) and the indexes of its rows."""
    names, codes = np.unique(np.array(symbols, dtype=object), return_inverse=True)
    order = np.argsort(codes, kind="stable")
    groups = np.split(order, np.cumsum(np.bincount(codes))[:-1])
    for rows_of in sorted(groups, key=lambda g: g[0]):
        yield str(names[codes[rows_of[0]]]), rows_of


def _order(bars: Bars, column: str, sort: bool) -> None:
    """Check (or, with sort, make) the dates strictly rise; a note where their
    form is unknown."""
    name, dates, lines = bars.source, bars.dates, bars.lines
    assert dates is not None
    keys = _date_keys(dates, lines, name, column)
    if keys is None:
        if sort:
            raise BarsError(f"{name}: cannot sort by column {column!r}: "
                            f"{dates[0]!r} (line {lines[0]}) is not a date form zelvo "
                            "reads")
        bars.notes.append(f"{name}: the dates in column {column!r} ({dates[0]!r}, line "
                          f"{lines[0]}) are not in a form zelvo reads; their order is not "
                          "checked and the bars are taken in file order")
        return
    if sort:
        order = sorted(range(len(keys)), key=keys.__getitem__)
        if order != list(range(len(keys))):
            keys = [keys[i] for i in order]
            bars.dates = dates = [dates[i] for i in order]
            bars.lines = lines = [lines[i] for i in order]
            index = np.array(order, dtype=np.intp)
            for c, v in bars.columns.items():
                bars.columns[c] = np.ascontiguousarray(v[index])
    for i in range(1, len(keys)):
        if keys[i] > keys[i - 1]:
            continue
        if keys[i] == keys[i - 1]:
            raise BarsError(f"{name}, line {lines[i]}: the date {dates[i]} repeats "
                            f"line {lines[i - 1]}; every bar needs a date of its own")
        if all(a > b for a, b in zip(keys, keys[1:])):
            raise BarsError(f"{name}: the dates run from newest ({dates[0]}, line "
                            f"{lines[0]}) to oldest ({dates[-1]}, line {lines[-1]}); the "
                            "bars must be oldest first (--sort puts them in order)")
        raise BarsError(f"{name}, line {lines[i]}: the date {dates[i]} comes before "
                        f"{dates[i - 1]} of line {lines[i - 1]}; the bars must be oldest "
                        "first (--sort puts them in order)")


def _fill(bars: Bars, headers: Mapping[str, str], fill: str | None) -> None:
    """A note on missing values (NaN or infinite cells), naming the first few by
    line, and with fill "previous" each one replaced by the bar before it."""
    lines = np.array(bars.lines, dtype=np.int64)
    count = 0
    first: list[tuple[int, int, str]] = []  # (line, column order, header)
    for k, (c, v) in enumerate(bars.columns.items()):
        bad = lines[~np.isfinite(v)]
        count += len(bad)
        first += [(int(x), k, headers[c]) for x in np.sort(bad)[:SHOWN_MISSING]]
    if not count:
        return
    gaps = sorted(first)[:SHOWN_MISSING]
    places = ", ".join(f"line {line} column {col!r}" for line, _, col in gaps)
    more = f" and {count - len(gaps)} more" if count > len(gaps) else ""
    what = f"{count} missing value{'s' if count > 1 else ''} (empty, nan or inf)"
    if fill is None:
        bars.notes.append(f"{bars.source}: {what}: {places}{more}; indicators reading "
                          "them give NaN (--fill previous carries the last value forward)")
        return
    left = 0
    for c, v in bars.columns.items():
        bars.columns[c] = filled = _carry_forward(v)
        left += int(np.count_nonzero(np.isnan(filled)))
    note = f"{bars.source}: {what} filled with the bar before: {places}{more}"
    if left:
        note += f"; {left} at the start of a column have no bar before and stay NaN"
    bars.notes.append(note)


def _carry_forward(v: np.ndarray) -> np.ndarray:
    """v with every NaN or infinity replaced by the latest finite value before it
    (NaN where there is none)."""
    good = np.isfinite(v)
    if good.all():
        return v
    last = np.maximum.accumulate(np.where(good, np.arange(len(v)), -1))
    out = np.where(last >= 0, v[np.maximum(last, 0)], np.nan)
    return np.ascontiguousarray(out, dtype=np.float64)


def _number(cell: str, name: str, line: int, column: str) -> float:
    text = cell.strip()
    if not text:
        return float("nan")
    try:
        if "_" in text:                    # float() would take 1_000; a CSV cell should not
            raise ValueError
        return float(text)
    except ValueError:
        raise BarsError(f"{name}, line {line}, column {column.strip()!r}: "
                        f"{cell!r} is not a number") from None
