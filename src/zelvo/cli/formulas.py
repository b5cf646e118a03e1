"""Formulas of the command line: from arguments, -f files and the indicator
library, with their parameters, computed over a universe.
"""
from __future__ import annotations

import re
from typing import Sequence

import numpy as np

from ..formula import Formula, FormulaError, MAX_LENGTH, indicators, parse_params
from ..formula._frames import _grouped
from ..formula._parser import BAR_NAMES
from .bars import Bars, COLUMNS, file_identity
from .common import DEFAULT_FORMULAS, FileId, Line, Source, TAKEN, UserError
from .files import _strict_stdin


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
