"""The one error type of the formula language, with a caret under the fault."""
from __future__ import annotations

import unicodedata


def _columns(text: str) -> int:
    """Terminal columns taken by text: wide East Asian characters take two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


#: The longest formula line shown under a message, in characters, and how many
#: characters before and after the fault a longer line keeps.
SHOWN = 160
CONTEXT = 60


class FormulaError(ValueError):
    """A formula (or a parameter given to it) that cannot be used.

    ``start`` and ``end`` are character offsets into ``text``; ``line`` and
    ``column`` (both from 1) locate ``start``.  ``str(error)`` is the message,
    the offending line of the formula and a caret line under the fault.
    """

    def __init__(self, message: str, text: str, start: int, end: int | None = None):
        super().__init__(message)
        self.message = message
        self.text = text
        self.start = max(0, min(start, len(text)))
        self.end = max(self.start + 1, end if end is not None else self.start + 1)

    @property
    def line(self) -> int:
        return self.text.count("\n", 0, self.start) + 1

    @property
    def column(self) -> int:
        return self.start - (self.text.rfind("\n", 0, self.start) + 1) + 1

    def render(self) -> str:
        """The message, the line at fault and carets under the offending part.

        A line longer than SHOWN characters is cut to the part around the fault,
        with "..." where text is left out, and at most SHOWN carets are drawn,
        so a fault in a formula of 100,000 characters prints a few lines.
        """
        first = self.text.rfind("\n", 0, self.start) + 1
        last = self.text.find("\n", self.start)
        last = len(self.text) if last < 0 else last
        # Every other blank (tab, form feed, carriage return) shows as one space,
        # so the caret lines up under the text in any terminal.
        shown = "".join(" " if ch.isspace() else ch for ch in self.text[first:last])
        a = self.start - first
        b = (min(self.end, last) if last > self.start else self.start + 1) - first
        if len(shown) > SHOWN:
            lo = max(0, a - CONTEXT)
            hi = min(len(shown), lo + SHOWN, max(b, a + 1) + CONTEXT)
            head = "..." if lo > 0 else ""
            tail = "..." if hi < len(shown) else ""
            shown = head + shown[lo:hi] + tail
            a, b = a - lo + len(head), min(b, hi) - lo + len(head)
        pad = _columns(shown[:a])
        width = max(1, _columns(shown[a:b]))
        where = f" (line {self.line}, column {self.column})" if "\n" in self.text else ""
        return f"{self.message}{where}\n  {shown}\n  {' ' * pad}{'^' * width}"

    def __str__(self) -> str:
        return self.render()

    def __reduce__(self):
        return (type(self), (self.message, self.text, self.start, self.end))
