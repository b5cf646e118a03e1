"""The dates of a CSV file: each column's form taken from its first cell, and
keys that compare in time order.
"""
from __future__ import annotations

import datetime
import re

from .common import BarsError


# Dates. A column's form is taken from its first cell; every other cell must have
# the same form. Keys compare in time order: datetimes (offsets such as +01:00
# or Z turned to UTC), or plain numbers for epoch timestamps.

_TIME = (r"(?:[T ]\s*(\d{1,2}):(\d\d)(?::(\d\d)(?:[.,](\d{1,9}))?)?)?"
         r"\s*(Z|[+-]\d\d:?\d\d)?")
_MONTHS = {m: i + 1 for i, m in enumerate(
    ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"))}

# form name -> (pattern, indices of the year, month and day groups); the time
# groups follow those of the date.
_FORMS: dict[str, tuple[re.Pattern[str], tuple[int, int, int]]] = {
    "YYYY-MM-DD": (re.compile(r"(\d{4})([-/.])(\d{1,2})\2(\d{1,2})" + _TIME), (1, 3, 4)),
    "MM/DD/YYYY": (re.compile(r"(\d{1,2})([-/.])(\d{1,2})\2(\d{4})" + _TIME), (4, 1, 3)),
    "DD/MM/YYYY": (re.compile(r"(\d{1,2})([-/.])(\d{1,2})\2(\d{4})" + _TIME), (4, 3, 1)),
    "YYYYMMDD": (re.compile(r"(\d{4})(\d\d)(\d\d)" + _TIME), (1, 2, 3)),
    "DD-Mon-YYYY": (re.compile(r"(\d{1,2})[- ]([A-Za-z]{3})[a-z]*\.?[- ](\d{2}|\d{4})"
                               + _TIME), (3, 2, 1)),
    "Mon DD, YYYY": (re.compile(r"([A-Za-z]{3})[a-z]*\.? (\d{1,2}),? (\d{4})" + _TIME),
                     (3, 1, 2)),
}
_EPOCH = re.compile(r"\d{9,}(?:\.\d+)?")


def _date_key(text: str, form: str) -> datetime.datetime | None:
    pattern, (y, m, d) = _FORMS[form]
    match = pattern.fullmatch(text)
    if match is None:
        return None
    g = match.groups()
    t = len(g) - 5                         # the five time groups come last
    month = g[m - 1]
    try:
        year = int(g[y - 1])
        if len(g[y - 1]) == 2:             # 31-Dec-14: as strptime's %y
            year += 2000 if year < 69 else 1900
        key = datetime.datetime(
            year, _MONTHS[month[:3].lower()] if month.isalpha() else int(month),
            int(g[d - 1]), int(g[t] or 0), int(g[t + 1] or 0), int(g[t + 2] or 0),
            int((g[t + 3] or "0")[:6].ljust(6, "0")))
    except (ValueError, KeyError):
        return None
    zone = g[t + 4]
    if zone and zone != "Z":
        sign = 1 if zone[0] == "+" else -1
        digits = zone[1:].replace(":", "")
        try:
            key -= sign * datetime.timedelta(hours=int(digits[:2]), minutes=int(digits[2:]))
        except OverflowError:              # beyond year 1 or 9999 in UTC
            return None
    return key


def _date_keys(dates: list[str], lines: list[int], name: str,
               column: str) -> list[datetime.datetime] | list[float] | None:
    """The dates as keys that compare in time order; None when the first date is
    in no known form. A later date not in the form of the first is an error."""
    first = dates[0]
    for i, text in enumerate(dates):
        if not text.strip():
            raise BarsError(f"{name}, line {lines[i]}, column {column!r}: no date; every "
                            "bar needs one")
    if _EPOCH.fullmatch(first) and _date_key(first, "YYYYMMDD") is None:
        forms = ["epoch"]
    else:
        forms = [f for f in _FORMS if _date_key(first, f) is not None]
        if "MM/DD/YYYY" in forms and "DD/MM/YYYY" in forms and "." in first:
            forms.remove("MM/DD/YYYY")     # 31.12.2014 and 01.02.2014 are day first
            forms.append("MM/DD/YYYY")
    if not forms:
        return None
    bad = 0
    for form in forms:                 # the first form that reads every date
        if form == "epoch":
            keys: list = [float(x) if _EPOCH.fullmatch(x) else None for x in dates]
        else:
            keys = [_date_key(x, form) for x in dates]
        if None not in keys:
            return keys
        if form == forms[0]:
            bad = keys.index(None)
    raise BarsError(f"{name}, line {lines[bad]}, column {column!r}: {dates[bad]!r} is not "
                    f"a date like {first!r} of line {lines[0]}")
