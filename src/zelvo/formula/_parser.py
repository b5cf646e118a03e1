"""Statements and expressions of the formula language, compiled to a graph.

A hand-written precedence-climbing parser over the lexer's tokens.  It builds
the graph while it parses (every expression is a node id of the builder), so
shared subexpressions and constant folding need no second pass, and every
error is raised with the span of text at fault.  Nesting (parentheses, call
arguments and prefix operators) is bounded by MAX_DEPTH.
"""
from __future__ import annotations

import difflib
import math
import numbers
import sys
from dataclasses import dataclass
from typing import Mapping, NamedTuple

from .._catalog import FUNCTIONS, INT_MAX, INT_MIN
from .._columns import BAR_NAMES
from . import _backend
from ._errors import FormulaError
from ._graph import Builder, Program
from ._lexer import END, NAME, NUM, OP, SEP, Token, tokenize

#: The deepest nesting of parentheses, call arguments and prefix operators.
MAX_DEPTH = 64

#: Elementwise functions: name -> (number of arguments, graph operation).
ELEMENTWISE = {
    "ABS": (1, "ABS"), "SQRT": (1, "SQRT"), "LN": (1, "LN"), "LOG": (1, "LOG"),
    "EXP": (1, "EXP"), "SIGN": (1, "SIGN"),
    "MAX": (2, "MAX"), "MIN": (2, "MIN"), "POW": (2, "POW"),
    "IF": (3, "IF"), "IFF": (3, "IF"),
}
ELEMENTWISE_SIGNATURES = {
    "ABS": "ABS(x)", "SQRT": "SQRT(x)", "LN": "LN(x)", "LOG": "LOG(x)", "EXP": "EXP(x)",
    "SIGN": "SIGN(x)", "MAX": "MAX(a, b)", "MIN": "MIN(a, b)", "POW": "POW(a, b)",
    "IF": "IF(c, a, b)", "IFF": "IFF(c, a, b)",
}
KEYWORDS = {"AND", "OR", "NOT", "PARAM"}
RESERVED = set(BAR_NAMES) | set(FUNCTIONS) | set(ELEMENTWISE) | KEYWORDS

_CMP = 4
# Binary operators: token text -> (precedence, graph operator).
_BINARY = {
    "OR": (1, "OR"), "||": (1, "OR"), "AND": (2, "AND"), "&&": (2, "AND"),
    ">": (_CMP, ">"), "<": (_CMP, "<"), ">=": (_CMP, ">="), "<=": (_CMP, "<="),
    "=": (_CMP, "=="), "==": (_CMP, "=="), "<>": (_CMP, "!="), "!=": (_CMP, "!="),
    "+": (5, "+"), "-": (5, "-"), "*": (6, "*"), "/": (6, "/"),
}
_NOT_OPERAND = 3         # NOT applies to a whole comparison: NOT C > O
_PER_BAR = ", ".join(n for n, f in FUNCTIONS.items() if f.per_bar)


def signature(name: str) -> str:
    if name in FUNCTIONS:
        f = FUNCTIONS[name]
        return f"{name}({', '.join(f.argnames)})"
    return ELEMENTWISE_SIGNATURES[name]


class Expr(NamedTuple):
    node: int
    start: int
    end: int


@dataclass(frozen=True)
class Param:
    name: str           # as written
    default: float
    value: float
    start: int
    end: int


@dataclass(frozen=True)
class Compiled:
    program: Program
    params: dict[str, Param]                    # upper-case name -> declaration
    field_spans: dict[str, tuple[int, int]]     # bar column -> its first use


def _shown(v: float) -> str:
    if math.isfinite(v) and v.is_integer() and abs(v) < 1e16:
        return str(int(v))
    return repr(v)


def is_number(v: object) -> bool:
    return isinstance(v, numbers.Real) and not isinstance(v, bool)


#: A parameter's value is a double: finite, at most this in size.
PARAM_LIMIT = sys.float_info.max


def _as_param(v: object) -> float | None:
    """A caller's parameter value as a finite double, or None."""
    if not is_number(v):
        return None
    try:
        f = float(v)  # type: ignore[arg-type]
    except OverflowError:        # an int or Fraction beyond every double
        return None
    return f if math.isfinite(f) else None


def _given(v: object) -> str:
    """A caller's value as a message shows it, however large it is."""
    if isinstance(v, numbers.Rational) and not isinstance(v, bool):
        try:
            float(v)
        except OverflowError:
            exponent = math.log10(abs(v.numerator)) - math.log10(v.denominator)
            whole = math.floor(exponent)
            return f"about {'-' if v < 0 else ''}{10 ** (exponent - whole):.1f}e{whole}"
    return repr(v)


class _Parser:
    def __init__(self, text: str, overrides: Mapping[str, object]):
        self.text = text
        self.toks = tokenize(text)
        self.pos = 0
        self.b = Builder()
        self.depth = 0
        self.names: dict[str, int] = {}            # lines and parameters -> node
        self.params: dict[str, Param] = {}
        self.outputs: list[tuple[str, int]] = []
        self.output_keys: dict[str, int] = {}
        self.field_spans: dict[str, tuple[int, int]] = {}
        self.overrides: dict[str, tuple[str, object]] = {}
        for k, v in overrides.items():
            if str(k).upper() in self.overrides:
                raise FormulaError(f"parameter {k!r} is given twice", text, 0)
            self.overrides[str(k).upper()] = (str(k), v)
        # Names defined anywhere, for the hint on a name used before its line.
        self.defined_later = {t.text for t, u in zip(self.toks, self.toks[1:])
                              if t.kind == NAME and u.text in (":=", ":")}

    # -- tokens ------------------------------------------------------------
    def peek(self, k: int = 0) -> Token:
        return self.toks[self.pos + k]      # the lexer ends the list with 3 END

    def advance(self) -> Token:
        tok = self.toks[self.pos]
        if tok.kind != END:
            self.pos += 1
        return tok

    def error(self, message: str, start: int, end: int | None = None) -> FormulaError:
        return FormulaError(message, self.text, start, end)

    def describe(self, tok: Token) -> str:
        if tok.kind == END:
            return "the end of the formula"
        if tok.kind == SEP:
            return "the end of the statement" if tok.text == ";" else "the end of the line"
        return repr(self.text[tok.start:tok.end])

    def enter(self, tok: Token) -> None:
        self.depth += 1
        if self.depth > MAX_DEPTH:
            raise self.error(f"the formula is nested too deeply (more than {MAX_DEPTH} "
                             "levels of parentheses, calls and prefix operators)",
                             tok.start, tok.end)

    # -- statements --------------------------------------------------------
    def parse(self) -> Compiled:
        while True:
            while self.peek().kind == SEP:
                self.advance()
            if self.peek().kind == END:
                break
            self.statement()
            tok = self.peek()
            if tok.kind not in (SEP, END):
                raise self.statement_end_error(tok)
        if not self.text.strip():
            raise self.error("the formula is empty", 0)
        if not self.outputs:
            raise self.error("the formula has no output line: write NAME:expression, or "
                             "an expression on its own", 0, max(1, len(self.text)))
        for key, (name, _) in self.overrides.items():
            if key not in self.params:
                declared = ", ".join(p.name for p in self.params.values())
                where = min((p.start for p in self.params.values()), default=0)
                raise self.error(f"unknown parameter {name!r}; " + (
                    f"the formula declares {declared}" if declared
                    else "the formula declares no parameters"), where)
        return Compiled(self.b.program(self.outputs), self.params, self.field_spans)

    def statement_end_error(self, tok: Token) -> FormulaError:
        if tok.text == ",":
            return self.error("',' outside a function call: end a statement with ';' "
                              "(drawing attributes such as COLORRED are not supported)",
                              tok.start)
        if tok.text == ")":
            return self.error("')' without a matching '('", tok.start)
        if tok.text in (":", ":="):
            return self.error(f"'{tok.text}' must follow the name of a line, as in "
                              "DIF:=EMA(C,12)-EMA(C,26)", tok.start, tok.end)
        return self.error(f"expected an operator, ';' or a new line before "
                          f"{self.describe(tok)}", tok.start, tok.end)

    def statement(self) -> None:
        tok, nxt = self.peek(), self.peek(1)
        if tok.kind == NAME and tok.text == "PARAM" and nxt.kind == NAME:
            self.advance()
            self.param_declarations()
        elif tok.kind == NAME and nxt.text in (":=", ":"):
            self.advance()
            self.advance()
            self.check_new_name(tok, "line")
            e = self.expression()
            self.names[tok.text] = e.node
            if nxt.text == ":":
                self.add_output(self.text[tok.start:tok.end], e.node, tok)
        else:
            e = self.expression()
            name = " ".join(self.text[e.start:e.end].split())
            self.add_output(name, e.node, e)

    def add_output(self, name: str, node: int, where) -> None:
        key = name.upper()
        if key in self.output_keys:
            raise self.error(f"the output {name!r} is given twice", where.start, where.end)
        self.output_keys[key] = node
        self.outputs.append((name, node))

    def check_new_name(self, tok: Token, what: str) -> None:
        name = self.text[tok.start:tok.end]
        if tok.text in BAR_NAMES:
            raise self.error(f"{name} is a bar series; give the {what} another name",
                             tok.start, tok.end)
        if tok.text in RESERVED:
            kind = "a keyword" if tok.text in KEYWORDS else "a function"
            raise self.error(f"{name} is {kind}; give the {what} another name",
                             tok.start, tok.end)
        if tok.text in self.names:
            raise self.error(f"{name} is already defined", tok.start, tok.end)

    def param_declarations(self) -> None:
        while True:
            tok = self.advance()
            if tok.kind != NAME:
                raise self.error("expected a parameter name, as in PARAM N=12, M=26",
                                 tok.start, tok.end)
            self.check_new_name(tok, "parameter")
            eq = self.advance()
            if eq.text not in ("=", ":="):
                raise self.error(f"expected '=' and a default value after the parameter "
                                 f"{self.text[tok.start:tok.end]}", eq.start, eq.end)
            sign = 1.0
            while self.peek().text in ("-", "+"):
                sign = -sign if self.advance().text == "-" else sign
            num = self.advance()
            if num.kind != NUM:
                raise self.error("a parameter's default is a number", num.start, num.end)
            name = self.text[tok.start:tok.end]
            default = sign * num.value
            value = default
            if tok.text in self.overrides:
                given = self.overrides[tok.text][1]
                number = _as_param(given)
                if number is None:
                    raise self.error(f"parameter {name} must be set to a finite number, not "
                                     f"{_given(given)} (a parameter is a double, from "
                                     f"{-PARAM_LIMIT!r} to {PARAM_LIMIT!r})",
                                     tok.start, num.end)
                value = number
            self.params[tok.text] = Param(name, default, value, tok.start, num.end)
            self.names[tok.text] = self.b.const(value)
            if self.peek().text != ",":
                return
            self.advance()

    # -- expressions -------------------------------------------------------
    def expression(self) -> Expr:
        return self.binary(0)

    def binary(self, min_prec: int) -> Expr:
        left = self.prefix()
        compared = False
        while True:
            tok = self.peek()
            if tok.kind not in (OP, NAME) or tok.text not in _BINARY:
                return left
            prec, op = _BINARY[tok.text]
            if prec < min_prec:
                return left
            if prec == _CMP and compared:
                raise self.error("comparisons do not chain: write A<B AND B<C",
                                 tok.start, tok.end)
            self.advance()
            right = self.binary(prec + 1)
            left = Expr(self.b.binop(op, left.node, right.node), left.start, right.end)
            compared = prec == _CMP

    def prefix(self) -> Expr:
        while self.peek().kind == SEP and self.peek().text == "\n":
            self.advance()           # an operand is due: the expression goes on
        tok = self.peek()
        if tok.text in ("NOT", "!") and tok.kind in (NAME, OP):
            self.advance()
            self.enter(tok)
            e = self.binary(_NOT_OPERAND)
            self.depth -= 1
            return Expr(self.b.unop("NOT", e.node), tok.start, e.end)
        if tok.kind == OP and tok.text in ("-", "+"):
            self.advance()
            self.enter(tok)
            e = self.prefix()
            self.depth -= 1
            node = self.b.unop("NEG", e.node) if tok.text == "-" else e.node
            return Expr(node, tok.start, e.end)
        return self.primary()

    def primary(self) -> Expr:
        tok = self.advance()
        if tok.kind == NUM:
            return Expr(self.b.const(tok.value), tok.start, tok.end)
        if tok.kind == NAME:
            if self.peek().text == "(":
                return self.call(tok)
            return Expr(self.name(tok), tok.start, tok.end)
        if tok.text == "(":
            self.enter(tok)
            e = self.expression()
            close = self.advance()
            if close.text != ")":
                raise self.unclosed(tok, close)
            self.depth -= 1
            return Expr(e.node, tok.start, close.end)
        if tok.kind in (SEP, END):
            raise self.error(f"expected a value, found {self.describe(tok)}",
                             tok.start, tok.end)
        raise self.error(f"expected a value before {self.describe(tok)}",
                         tok.start, tok.end)

    def unclosed(self, open_tok: Token, tok: Token) -> FormulaError:
        line = self.text.count("\n", 0, open_tok.start) + 1
        col = open_tok.start - (self.text.rfind("\n", 0, open_tok.start) + 1) + 1
        return self.error(f"expected ',' or ')' to close the '(' at line {line}, column "
                          f"{col}, found {self.describe(tok)}", tok.start, tok.end)

    def name(self, tok: Token) -> int:
        key = tok.text
        written = self.text[tok.start:tok.end]
        if key in self.names:
            return self.names[key]
        if key in BAR_NAMES:
            column = BAR_NAMES[key]
            self.field_spans.setdefault(column, (tok.start, tok.end))
            return self.b.field(column)
        if key in FUNCTIONS or key in ELEMENTWISE:
            raise self.error(f"{written} is a function: call it as {signature(key)}",
                             tok.start, tok.end)
        if key == "PARAM":
            raise self.error("PARAM declares parameters in a statement of its own: "
                             "PARAM N=12, M=26;", tok.start, tok.end)
        if key in KEYWORDS:
            raise self.error(f"{written} needs a value before it", tok.start, tok.end)
        if key in self.defined_later:
            raise self.error(f"{written} is used before the line that defines it",
                             tok.start, tok.end)
        close = []
        if len(key) > 2:    # lines and bars first: a name is more likely one of them
            for known in (list(self.names) + list(BAR_NAMES),
                          list(FUNCTIONS) + list(ELEMENTWISE)):
                close = close or difflib.get_close_matches(key, known, n=1)
        hint = (f" (did you mean {close[0]}?)" if close else
                f" (a parameter is declared first: PARAM {written}=10;)")
        raise self.error(f"unknown name {written!r}{hint}", tok.start, tok.end)

    def call(self, tok: Token) -> Expr:
        key = tok.text
        written = self.text[tok.start:tok.end]
        if key not in FUNCTIONS and key not in ELEMENTWISE:
            if key in BAR_NAMES:
                raise self.error(f"{written} is a bar series, not a function: write "
                                 f"REF({written},N) for a past value", tok.start, tok.end)
            if key in self.names:
                raise self.error(f"{written} is a line of this formula, not a function",
                                 tok.start, tok.end)
            if key in KEYWORDS:
                raise self.error(f"{written} is a keyword, not a function",
                                 tok.start, tok.end)
            close = difflib.get_close_matches(key, list(FUNCTIONS) + list(ELEMENTWISE), n=1)
            hint = f" (did you mean {close[0]}?)" if close else ""
            raise self.error(f"unknown function {written!r}{hint}", tok.start, tok.end)
        open_tok = self.advance()
        self.enter(open_tok)
        args: list[Expr] = []
        if self.peek().text == ")":
            close = self.advance()
        else:
            while True:
                args.append(self.expression())
                close = self.advance()
                if close.text == ")":
                    break
                if close.text != ",":
                    raise self.unclosed(open_tok, close)
        self.depth -= 1
        want = len(FUNCTIONS[key].args) if key in FUNCTIONS else ELEMENTWISE[key][0]
        if len(args) != want:
            raise self.error(f"{key} takes {want} argument{'s' if want > 1 else ''}: "
                             f"{signature(key)}; {len(args)} given", tok.start, close.end)
        if key in ELEMENTWISE:
            op = ELEMENTWISE[key][1]
            nodes = [a.node for a in args]
            if want == 1:
                node = self.b.unop(op, nodes[0])
            elif want == 2:
                node = self.b.binfn(op, nodes[0], nodes[1])
            else:
                node = self.b.select(nodes[0], nodes[1], nodes[2])
            return Expr(node, tok.start, close.end)
        return Expr(self.series_call(key, args), tok.start, close.end)

    def series_call(self, key: str, args: list[Expr]) -> int:
        f = FUNCTIONS[key]
        windows = [(a, argname) for (argname, kind), a in zip(f.args, args) if kind == "i"]
        if f.per_bar and any(not self.b.is_const(a.node) for a, _ in windows):
            # A window that is a series: the variant with a length per bar.
            return self.b.call(f.per_bar, tuple(a.node for a in args), ())
        ints = []
        for i, (a, argname) in enumerate(windows):
            if not self.b.is_const(a.node):
                raise self.error(
                    f"{argname} of {key} must be a constant whole number, not a series "
                    f"({key} has no form with a window per bar; {_PER_BAR} have one)",
                    a.start, a.end)
            lo = f.min_window if i == 0 and f.min_window is not None else INT_MIN
            v = self.b.value(a.node)
            if not (math.isfinite(v) and v.is_integer() and lo <= v <= INT_MAX):
                raise self.error(f"{argname} of {key} must be a whole number from {lo} to "
                                 f"{INT_MAX}; it is {_shown(v)}", a.start, a.end)
            ints.append(int(v))
        if ints:   # the API's own refusals, such as windows whose weights would wrap
            try:
                _backend.check_windows(key, ints)
            except ValueError as e:
                raise self.error(str(e), windows[0][0].start, windows[-1][0].end) from None
        series = tuple(a.node for (argname, kind), a in zip(f.args, args) if kind != "i")
        return self.b.call(key, series, tuple(ints))


def compile_text(text: str, params: Mapping[str, object] | None = None) -> Compiled:
    """Parse and compile a formula; raises FormulaError for any fault in it."""
    if not isinstance(text, str):
        raise TypeError(f"a formula is a str, not {type(text).__name__}")
    parser = _Parser(text, params or {})
    try:
        return parser.parse()
    except RecursionError:       # a guard: MAX_DEPTH keeps the parser well inside
        raise FormulaError("the formula is nested too deeply", text, 0,
                           max(1, len(text))) from None
