"""What the command line's parts share: its constants, the user's errors,
formula sources, output lines and notes on standard error.
"""
from __future__ import annotations

import contextlib
import sys
import warnings
from dataclasses import dataclass
from typing import Iterator, Sequence

import numpy as np

from ..formula import Formula


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


class BarsError(Exception):
    """Bar data that cannot be used; the message is meant for the user."""
