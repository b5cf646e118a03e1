"""Bar data for the command line: a CSV reader and an embedded sample.

Bars are kept as one float64 array per column (oldest bar first), which is the
form every zelvo function takes, plus an optional list of date strings.
"""
from __future__ import annotations

import csv
import datetime
import os
import re
from dataclasses import dataclass, field
from typing import Iterable, Iterator, TextIO

import numpy as np

#: The bar columns a formula can read, in display order.
COLUMNS = ("open", "high", "low", "close", "volume")


class BarsError(Exception):
    """Bar data that cannot be used; the message is meant for the user."""


@dataclass
class Bars:
    """Columns of bars, each a writable, contiguous float64 array of one length."""

    columns: dict[str, np.ndarray]
    dates: list[str] | None = None
    source: str = ""
    #: The 1-based line of the file each bar came from (empty for the sample).
    lines: list[int] = field(default_factory=list)

    def __len__(self) -> int:
        if self.columns:
            return len(next(iter(self.columns.values())))
        return len(self.dates) if self.dates is not None else len(self.lines)


def read_csv(path: str | os.PathLike[str], required: Iterable[str] = (),
             stream: TextIO | None = None) -> Bars:
    """Read bars from a CSV file with a header row.

    Header names are matched to date, open, high, low, close and volume
    case-insensitively, ignoring surrounding blanks; other columns (such as
    "Adj Close") are skipped. Every cell of a bar column must be a number; an
    empty cell is a missing value (NaN). Rows must be oldest first. Raises
    BarsError naming the line and column of the first problem, or a column of
    `required` that the file lacks. With `stream` given, reads from it and uses
    `path` only in messages.
    """
    name = os.fspath(path)
    try:
        if stream is not None:
            return _parse(stream, name, set(required))
        with open(name, newline="", encoding="utf-8-sig") as f:
            return _parse(f, name, set(required))
    except UnicodeDecodeError as e:
        raise BarsError(f"{name}: not UTF-8 text (byte {e.start}: {e.reason})") from None
    except csv.Error as e:
        raise BarsError(f"{name}: not a readable CSV file ({e})") from None
    except OSError as e:
        raise BarsError(f"cannot read {name}: {e.strerror or e}") from None


def _parse(f: TextIO, name: str, required: set[str]) -> Bars:
    rows = csv.reader(f)
    header = next(rows, None)
    while header is not None and not any(h.strip() for h in header):
        header = next(rows, None)          # blank lines before the header
    if header is None:
        raise BarsError(f"{name}: the file is empty; expected a header row with "
                        f"date, {', '.join(COLUMNS)}")
    if header and header[0].startswith("\ufeff"):
        header[0] = header[0][1:]          # a byte-order mark read through a stream

    where: dict[str, int] = {}
    for i, h in enumerate(header):
        key = h.strip().lower()
        if key in COLUMNS or key == "date":
            if key in where:
                raise BarsError(f"{name}: two columns are named {key!r} "
                                f"({where[key] + 1} and {i + 1}); keep one")
            where[key] = i
    missing = [c for c in COLUMNS if c in required and c not in where]
    if missing:
        found = ", ".join(repr(h) for h in header)
        raise BarsError(f"{name}: no {' or '.join(repr(c) for c in missing)} column "
                        f"(a formula needs it); the header has {found}")

    numeric = [(c, where[c]) for c in COLUMNS if c in where]
    values: dict[str, list[float]] = {c: [] for c, _ in numeric}
    dates: list[str] | None = [] if "date" in where else None
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
        if dates is not None:
            dates.append(row[where["date"]].strip())
        lines.append(line)
    if not lines:
        raise BarsError(f"{name}: no bars (only a header row)")
    if dates and _ISO.match(dates[0]) and _ISO.match(dates[-1]) and dates[0] > dates[-1]:
        raise BarsError(f"{name}: the dates run from newest ({dates[0]}, line {lines[0]}) "
                        f"to oldest; the bars must be oldest first")
    columns = {c: np.array(v, dtype=np.float64) for c, v in values.items()}
    return Bars(columns, dates, name, lines)


_ISO = re.compile(r"\d{4}-\d\d-\d\d")


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


def _uniforms(seed: int) -> Iterator[float]:
    """Uniform numbers in [0, 1) from splitmix64: plain integer arithmetic, so
    the sample is the same on every machine and every NumPy version."""
    mask = (1 << 64) - 1
    state = seed & mask
    while True:
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        yield (z >> 11) / 9007199254740992.0


SAMPLE_SEED = 16
SAMPLE_START = datetime.date(2024, 1, 2)


def sample_bars(n: int = 250, seed: int = SAMPLE_SEED) -> Bars:
    """Deterministic daily bars: a random walk of closes with opens, highs, lows
    and volumes around it, on weekdays from 2 January 2024, prices in cents.

    Only integer arithmetic and single IEEE operations are used, so the bars
    are identical everywhere.
    """
    u = _uniforms(seed)

    def normal() -> float:             # Irwin-Hall: sum of 12 uniforms, mean 0, sd 1
        return sum(next(u) for _ in range(12)) - 6.0

    cols: dict[str, list[float]] = {c: [] for c in COLUMNS}
    dates: list[str] = []
    day = SAMPLE_START
    prev = 100.0
    for _ in range(n):
        while day.weekday() >= 5:
            day += datetime.timedelta(days=1)
        dates.append(day.isoformat())
        day += datetime.timedelta(days=1)
        ret = 0.0004 + 0.016 * normal()
        o = round(prev * (1.0 + 0.004 * normal()), 2)
        c = round(prev * (1.0 + ret), 2)
        h = round(max(o, c) * (1.0 + 0.012 * next(u)), 2)
        lo = round(min(o, c) * (1.0 - 0.012 * next(u)), 2)
        v = float(round(800000.0 * (0.6 + 0.8 * next(u)) * (1.0 + 25.0 * abs(ret))))
        for key, x in zip(COLUMNS, (o, h, lo, c, v)):
            cols[key].append(x)
        prev = c
    return Bars({k: np.array(v, dtype=np.float64) for k, v in cols.items()}, dates,
                f"sample bars ({n} days of a seeded random walk)")
