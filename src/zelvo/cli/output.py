"""The command line's results: the table on standard output, the long CSV
file and the plot.
"""
from __future__ import annotations

import csv
import math
import os
from typing import Callable, Sequence, TextIO

import numpy as np

from .. import __version__
from .bars import Bars, COLUMNS
from .common import Line, UserError, _huge, _listed, _note
from .files import write_atomically


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
