"""Indicator formulas such as ``CROSS(MA(C,5), MA(C,20))``, parsed safely.

A formula is parsed with Python's ``ast`` module and compiled by walking an
allow-list: numbers, the bar names OPEN/HIGH/LOW/CLOSE/VOLUME (and O/H/L/C/V),
``+ - * /``, unary minus and plus, one comparison at a time, parentheses and
calls of the 31 zelvo functions. Any other construct (attribute access,
subscripts, lambdas, other names, strings, ...) is refused before anything is
evaluated; nothing is ever passed to ``eval``.

Compiling also checks the kind of every argument, so a formula is rejected
before any bar is read: window lengths (``N``, ``M``) must be whole numbers in
the function's valid range (the catalog's window rule, within 32 bits) and are
passed as Python ``int``; series arguments take a series or a number, which is
broadcast to a constant series; comparisons give float series of 1.0 (true) and
0.0 (false). Condition arguments are handed over as 0/1 bytes, true where the
value truncated toward zero is not 0.
"""
from __future__ import annotations

import ast
import difflib
import re
import unicodedata
from dataclasses import dataclass
from typing import Callable, Mapping, Union

import numpy as np

from . import _zelvo
from ._catalog import FUNCTIONS, INT_MAX, INT_MIN

#: Names a formula can use for bar columns, and the column each reads.
BAR_NAMES = {
    "OPEN": "open", "HIGH": "high", "LOW": "low", "CLOSE": "close", "VOLUME": "volume",
    "O": "open", "H": "high", "L": "low", "C": "close", "V": "volume",
}


def signature(name: str) -> str:
    """The call form of a function, e.g. ``MA(a, N)`` or ``BARSLAST(x, /)``."""
    return FUNCTIONS[name].signature


def _columns(text: str) -> int:
    """Terminal columns taken by text: wide East Asian characters take two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


class FormulaError(Exception):
    """A formula that cannot be used, with the span of text at fault."""

    def __init__(self, message: str, text: str, start: int, end: int | None = None):
        super().__init__(message)
        self.message = message
        self.text = text
        self.start = max(0, min(start, len(text)))
        self.end = max(self.start + 1, end if end is not None else self.start + 1)

    def render(self) -> str:
        """The message, the formula and a caret line under the offending part."""
        end = min(self.end, max(len(self.text), self.start + 1))
        pad = _columns(self.text[:self.start])
        width = max(1, _columns(self.text[self.start:end]))
        return f"{self.message}\n  {self.text}\n  {' ' * pad}{'^' * width}"

    def __str__(self) -> str:
        return self.render()


# A compiled formula part is either a number (folded while compiling) or a
# function of the bar columns that returns a float64 series.
class Env(dict):  # type: ignore[type-arg]
    """Bar columns by name, and the number of bars ``n``."""

    def __init__(self, columns: Mapping[str, np.ndarray], n: int):
        super().__init__(columns)
        self.n = n


Value = Union[int, float, Callable[[Env], np.ndarray]]

_BINOPS = {ast.Add: np.add, ast.Sub: np.subtract, ast.Mult: np.multiply, ast.Div: np.divide}
_CMPOPS = {ast.Lt: np.less, ast.LtE: np.less_equal, ast.Gt: np.greater,
           ast.GtE: np.greater_equal, ast.Eq: np.equal, ast.NotEq: np.not_equal}

# Whole-number arithmetic and comparisons on numbers, done exactly in Python.
_EXACT: dict[np.ufunc, Callable[[int, int], Union[int, float]]] = {
    np.add: lambda a, b: a + b, np.subtract: lambda a, b: a - b,
    np.multiply: lambda a, b: a * b, np.less: lambda a, b: float(a < b),
    np.less_equal: lambda a, b: float(a <= b), np.greater: lambda a, b: float(a > b),
    np.greater_equal: lambda a, b: float(a >= b), np.equal: lambda a, b: float(a == b),
    np.not_equal: lambda a, b: float(a != b),
}

_REFUSED = {
    ast.Attribute: "attribute access", ast.Subscript: "subscripts", ast.Lambda: "lambda",
    ast.IfExp: "'... if ... else ...' (use FIF)", ast.BoolOp: "'and' / 'or'",
    ast.NamedExpr: "':='", ast.Starred: "'*' unpacking", ast.List: "lists",
    ast.Dict: "dicts", ast.Set: "sets", ast.ListComp: "comprehensions",
    ast.SetComp: "comprehensions", ast.DictComp: "comprehensions",
    ast.GeneratorExp: "comprehensions", ast.JoinedStr: "strings", ast.Await: "await",
    ast.Yield: "yield", ast.YieldFrom: "yield", ast.Slice: "slices",
    ast.Pow: "'**'", ast.Mod: "'%'", ast.FloorDiv: "'//'", ast.MatMult: "'@'",
    ast.BitAnd: "'&'", ast.BitOr: "'|'", ast.BitXor: "'^'", ast.LShift: "'<<'",
    ast.RShift: "'>>'", ast.Invert: "'~'", ast.Not: "'not'", ast.Is: "'is'",
    ast.IsNot: "'is not'", ast.In: "'in'", ast.NotIn: "'not in'",
}


@dataclass
class Formula:
    """A checked formula, ready to evaluate on bars."""

    text: str
    columns: frozenset[str]
    _value: Callable[[Env], np.ndarray]

    def evaluate(self, columns: Mapping[str, np.ndarray], n: int) -> np.ndarray:
        """The formula's series on bars of length ``n``; ``columns`` maps the
        column names of ``self.columns`` to float64 arrays of that length."""
        with np.errstate(all="ignore"):    # NaN and infinities flow as in IEEE
            try:
                return self._value(Env(columns, n))
            except RecursionError:
                raise FormulaError("the formula is nested too deeply", self.text, 0,
                                   len(self.text)) from None


def parse(text: str) -> Formula:
    """Check and compile one formula; raises FormulaError."""
    # Every whitespace character becomes one space, so the formula is one line
    # (offsets stay those of the original) and pasted tabs or no-break spaces work.
    text = re.sub(r"\s", " ", text)
    if not text.strip():
        raise FormulaError("empty formula", text, 0, len(text))
    text = text.strip()                # Python would call leading blanks an indent
    try:
        tree = ast.parse(text, mode="eval")
    except SyntaxError as e:
        raise _syntax_error(e, text) from None
    except (ValueError, MemoryError, RecursionError) as e:
        msg = (f"cannot parse the formula: {e}" if isinstance(e, ValueError)
               else "the formula is nested too deeply")
        raise FormulaError(msg, text, 0, len(text)) from None
    compiler = _Compiler(text)
    try:
        value = compiler.compile(tree.body)
    except RecursionError:
        raise FormulaError("the formula is nested too deeply", text, 0, len(text)) from None
    if not callable(value):            # a constant formula: a constant series
        value = _broadcast(compiler.as_float(value, tree.body))
    return Formula(text, frozenset(compiler.columns), value)


def _syntax_error(e: SyntaxError, text: str) -> FormulaError:
    msg = e.msg or "invalid syntax"
    start = (e.offset or 0) - 1
    if "digits" in msg:                # Python refuses int literals of over 4300 digits
        msg = "this number has too many digits"
        run = max(re.finditer(r"\d+", text), key=lambda m: len(m.group()), default=None)
        if run is not None:
            return FormulaError(msg, text, run.start(), run.end())
    if start < 0 or start >= len(text):
        start, end = len(text), len(text) + 1
        if msg == "invalid syntax":
            msg = "the formula ends too early"
    else:
        end = e.end_offset - 1 if e.end_offset and e.end_offset - 1 > start else start + 1
        if text[start] == "=" and text[start:start + 2] != "==":
            msg = "invalid syntax: use == to compare"
    return FormulaError(msg, text, start, end)


def _constant(n: int) -> Callable[[Env], int]:
    return lambda env: n


def _broadcast(x: float) -> Callable[[Env], np.ndarray]:
    return lambda env: np.full(env.n, x)


class _Compiler:
    def __init__(self, text: str):
        self.text = text
        self.utf8 = text.encode("utf-8")
        self.columns: set[str] = set()

    def span(self, node: ast.AST) -> tuple[int, int | None]:
        """The node's place in the text, in characters (ast counts UTF-8 bytes)."""
        def char(col: int) -> int:
            return len(self.utf8[:col].decode("utf-8", errors="ignore"))
        end = getattr(node, "end_col_offset", None)
        return char(getattr(node, "col_offset", 0)), (char(end) if end is not None else None)

    def error(self, message: str, node: ast.AST) -> FormulaError:
        return FormulaError(message, self.text, *self.span(node))

    def refuse(self, node: ast.AST) -> FormulaError:
        if isinstance(node, ast.Tuple):
            return self.error("one formula per argument: give each formula as its own "
                              "command-line argument", node)
        what = _REFUSED.get(type(node))
        if what is None:
            what = type(node).__name__
        return self.error(f"{what} not allowed in a formula", node)

    def compile(self, node: ast.expr) -> Value:
        if isinstance(node, ast.Constant):
            return self.constant(node)
        if isinstance(node, ast.Name):
            return self.name(node)
        if isinstance(node, ast.Call):
            return self.call(node)
        if isinstance(node, ast.UnaryOp):
            if not isinstance(node.op, (ast.USub, ast.UAdd)):
                raise self.error(f"{_REFUSED.get(type(node.op), 'this operator')} "
                                 f"not allowed in a formula", node)
            operand = self.compile(node.operand)
            if isinstance(node.op, ast.UAdd):
                return operand
            if callable(operand):
                f = operand
                return lambda env: np.negative(f(env))
            return -operand
        if isinstance(node, ast.BinOp):
            ufunc = _BINOPS.get(type(node.op))
            if ufunc is None:
                raise self.error(f"{_REFUSED.get(type(node.op), 'this operator')} not "
                                 f"allowed in a formula (use + - * /)", node)
            return self.combine(node.left, node.right, ufunc, self.compile(node.left),
                                self.compile(node.right), compare=False)
        if isinstance(node, ast.Compare):
            if len(node.ops) != 1:
                raise self.error("one comparison at a time: write a < b < c as "
                                 "(a < b) * (b < c)", node)
            ufunc = _CMPOPS.get(type(node.ops[0]))
            if ufunc is None:
                raise self.error(f"{_REFUSED.get(type(node.ops[0]), 'this comparison')} "
                                 f"not allowed in a formula", node)
            return self.combine(node.left, node.comparators[0], ufunc,
                                self.compile(node.left), self.compile(node.comparators[0]),
                                compare=True)
        raise self.refuse(node)

    def constant(self, node: ast.Constant) -> Value:
        v = node.value
        if type(v) is int:
            return v
        if type(v) is float:
            return v
        kind = {bool: "True and False", str: "strings", complex: "complex numbers",
                bytes: "strings"}.get(type(v), repr(v))
        raise self.error(f"{kind} not allowed in a formula; use numbers", node)

    def name(self, node: ast.Name) -> Value:
        key = node.id.upper()
        column = BAR_NAMES.get(key)
        if column is not None:
            self.columns.add(column)
            return lambda env: env[column]
        if key in FUNCTIONS:
            raise self.error(f"{key} is a function: call it as {signature(key)}", node)
        hint = self.suggest(key) or ("; bar names are OPEN HIGH LOW CLOSE VOLUME "
                                     "(O H L C V)")
        raise self.error(f"unknown name {node.id!r}{hint}", node)

    def suggest(self, key: str) -> str:
        close = difflib.get_close_matches(key, list(BAR_NAMES) + list(FUNCTIONS), n=1)
        return f" (did you mean {close[0]}?)" if close else ""

    def combine(self, left: ast.expr, right: ast.expr, ufunc: np.ufunc, a: Value,
                b: Value, compare: bool) -> Value:
        if not callable(a) and not callable(b):
            if isinstance(a, int) and isinstance(b, int) and ufunc in _EXACT:
                return _EXACT[ufunc](a, b)    # whole numbers stay exact ints
            with np.errstate(all="ignore"):
                r = ufunc(np.float64(self.as_float(a, left)),
                          np.float64(self.as_float(b, right)))
            return float(r)
        fa = a if callable(a) else self.scalar(a, left)
        fb = b if callable(b) else self.scalar(b, right)
        if compare:
            return lambda env: ufunc(fa(env), fb(env)).astype(np.float64)
        return lambda env: ufunc(fa(env), fb(env))

    def as_float(self, v: int | float, node: ast.AST) -> float:
        try:
            return float(v)
        except OverflowError:
            raise self.error("number too large", node) from None

    def scalar(self, v: int | float, node: ast.AST) -> Callable[[Env], float]:
        x = self.as_float(v, node)
        return lambda env: x

    def call(self, node: ast.Call) -> Value:
        if not isinstance(node.func, ast.Name):
            raise self.error("only the zelvo functions can be called, by name", node.func)
        key = node.func.id.upper()
        if key not in FUNCTIONS:
            if key in BAR_NAMES:
                raise self.error(f"{node.func.id} is a bar series, not a function",
                                 node.func)
            raise self.error(f"unknown function {node.func.id!r}{self.suggest(key)}",
                             node.func)
        spec = FUNCTIONS[key]
        names, positional_only, sig = list(spec.argnames), spec.positional_only, spec.signature
        for a in node.args:
            if isinstance(a, ast.Starred):
                raise self.refuse(a)
        if len(node.args) > len(names):
            raise self.error(f"{key} takes {len(names)} argument"
                             f"{'s' if len(names) > 1 else ''}: {sig}; "
                             f"{len(node.args)} given", node)
        bound: dict[str, ast.expr] = dict(zip(names, node.args))
        for kw in node.keywords:
            if kw.arg is None:
                raise self.error("'**' unpacking not allowed in a formula", kw.value)
            if positional_only:
                raise self.error(f"{key} takes its argument by position only: {sig}",
                                 kw.value)
            if kw.arg not in names:
                raise self.error(f"{key} has no argument {kw.arg!r}: {sig}", kw.value)
            if kw.arg in bound:
                raise self.error(f"{key} got argument {kw.arg!r} twice", kw.value)
            bound[kw.arg] = kw.value
        missing = [n for n in names if n not in bound]
        if missing:
            raise self.error(f"{key} needs {len(names)} argument"
                             f"{'s' if len(names) > 1 else ''}: {sig}; missing "
                             f"{', '.join(missing)}", node)

        makers: list[Callable[[Env], object]] = []
        lowest = spec.min_window
        for pname, kind in spec.args:
            arg = bound[pname]
            value = self.compile(arg)
            if kind == "i":
                # The window rule bounds the first integer (N); SMA's weight M
                # may be any int.
                low = INT_MIN if lowest is None else lowest
                makers.append(_constant(self.window(key, pname, value, arg, low)))
                lowest = None
                continue
            if not callable(value):   # a number where a series goes: a constant series
                value = _broadcast(self.as_float(value, arg))
            makers.append(_condition(value) if kind == "c" else value)
        function = getattr(_zelvo, key)
        text = self.text
        start, end = self.span(node)

        def run(env: Env) -> np.ndarray:
            args = [m(env) for m in makers]
            try:
                result: np.ndarray = function(*args)
            except (TypeError, ValueError, OverflowError, IndexError) as e:
                raise FormulaError(f"{sig} failed: {e}", text, start, end) from None
            return result
        return run

    def window(self, fname: str, pname: str, value: Value, arg: ast.expr, low: int) -> int:
        if callable(value):
            raise self.error(f"{pname} of {fname} is a window length: give a whole "
                             "number, not a series", arg)
        if isinstance(value, float):
            if not value.is_integer():
                raise self.error(f"{pname} of {fname} is a window length: give a whole "
                                 f"number, not {value!r}", arg)
            value = int(value)
        if not low <= value <= INT_MAX:
            raise self.error(f"{pname} of {fname} is {_shown(value)}, outside its valid "
                             f"range {low}..{INT_MAX}", arg)
        return value


def _shown(value: int) -> str:
    """A whole number for a message: its digits when short, else how many there
    are (Python refuses to print an int of more than 4300 digits)."""
    if abs(value) < 10**24:
        return str(value)
    if value.bit_length() < 14000:
        return f"a {len(str(abs(value)))}-digit number"
    return f"a number of about {int(value.bit_length() * 0.30103) + 1} digits"


def _condition(series: Callable[[Env], np.ndarray]) -> Callable[[Env], np.ndarray]:
    """A condition as bytes: true where the value truncated toward zero is not 0,
    that is where |x| >= 1 (so 0.5 and NaN are false, 256 and 1e10 true). The
    functions get 0/1 bytes, so no value can wrap in a cast to bytes."""
    return lambda env: (np.abs(series(env)) >= 1.0).view(np.uint8)
