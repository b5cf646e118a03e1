"""The one error type of the formula language, with a caret under the fault."""
from __future__ import annotations

import unicodedata


def _columns(text: str) -> int:
    """Terminal columns taken by text: wide East Asian characters take two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


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
        """The message, the line at fault and carets under the offending part."""
        first = self.text.rfind("\n", 0, self.start) + 1
        last = self.text.find("\n", self.start)
        last = len(self.text) if last < 0 else last
        # Every other blank (tab, form feed, carriage return) shows as one space,
        # so the caret lines up under the text in any terminal.
        shown = "".join(" " if ch.isspace() else ch for ch in self.text[first:last])
        end = min(self.end, last) if last > self.start else self.start + 1
        pad = _columns(shown[:self.start - first])
        width = max(1, _columns(shown[self.start - first:end - first]))
        where = f" (line {self.line}, column {self.column})" if "\n" in self.text else ""
        return f"{self.message}{where}\n  {shown}\n  {' ' * pad}{'^' * width}"

    def __str__(self) -> str:
        return self.render()

    def __reduce__(self):
        return (type(self), (self.message, self.text, self.start, self.end))
