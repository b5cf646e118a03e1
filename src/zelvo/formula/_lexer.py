"""Tokens of the formula language.

The lexer turns the text into a list of tokens and drops blanks and comments
(``{ ... }`` and ``// ...`` to the end of the line).  A new line becomes a
statement separator, except inside parentheses, where it is a blank like any
other.  Full-width ASCII forms typed with East Asian input methods
(``；：，（）＋`` and the rest of U+FF01..U+FF5E, and the ideographic space)
are read as their ASCII counterparts, a byte-order mark as a blank; offsets
stay those of the text.
"""
from __future__ import annotations

import math
import re
from typing import NamedTuple

from ._errors import FormulaError

#: The longest formula accepted, in characters.
MAX_LENGTH = 100_000

NUM, NAME, OP, SEP, END = "number", "name", "operator", "separator", "end"

_TOKEN = re.compile(r"""
    (?P<sep>[\n;])
  | [^\S\n]+
  | \{[^}]*\}
  | //[^\n]*
  | (?P<num>(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)(?P<tail>[\w.]*)
  | (?P<name>[^\W\d]\w*)
  | (?P<op>:=|>=|<=|==|<>|!=|&&|\|\||[-+*/(),:><=!])
  | (?P<bad>.)
""", re.VERBOSE | re.DOTALL)
_FULL_WIDTH = {c: c - 0xFEE0 for c in range(0xFF01, 0xFF5F)}
_FULL_WIDTH[0x3000] = 0x20          # ideographic space
_FULL_WIDTH[0xFEFF] = 0x20          # a byte-order mark left at the start of a file


class Token(NamedTuple):
    kind: str
    text: str          # as written (upper case for names)
    start: int
    end: int
    value: float = 0.0


def tokenize(text: str) -> list[Token]:
    """The tokens of ``text``, ending with END tokens; raises FormulaError."""
    if len(text) > MAX_LENGTH:
        raise FormulaError(f"the formula is {len(text)} characters long; at most "
                           f"{MAX_LENGTH} are accepted", text, MAX_LENGTH, len(text))
    src = text.translate(_FULL_WIDTH)
    tokens: list[Token] = []
    append = tokens.append
    depth = 0           # parentheses open: new lines inside them are blanks
    for m in _TOKEN.finditer(src):
        kind = m.lastgroup
        if kind is None:             # blanks and comments
            continue
        start, end = m.span()
        if kind == "name":
            append(Token(NAME, m.group().upper(), start, end))
        elif kind == "op":
            op = m.group()
            if op == "(":
                depth += 1
            elif op == ")" and depth:
                depth -= 1
            append(Token(OP, op, start, end))
        elif kind == "num" or kind == "tail":
            if m.group("tail"):
                raise FormulaError(f"malformed number {text[start:end]!r}", text, start, end)
            end = m.end("num")
            value = float(m.group("num"))
            if math.isinf(value):
                raise FormulaError("number too large", text, start, end)
            append(Token(NUM, m.group("num"), start, end, value))
        elif kind == "sep":
            if m.group() == ";" or depth == 0:
                append(Token(SEP, m.group(), start, end))
        else:
            ch = m.group()
            if ch == "{":
                raise FormulaError("comment not closed: '{' needs a matching '}'",
                                   text, start)
            if ch == "}":
                raise FormulaError("'}' without a '{' that opens a comment", text, start)
            raise FormulaError(_unexpected(ch), text, start)
    n = len(src)
    tokens.extend([Token(END, "", n, n + 1)] * 3)
    return tokens


def _unexpected(ch: str) -> str:
    if ch in "'\"":
        return "strings are not part of the formula language"
    if ch in "[]":
        return "'[' and ']' are not part of the language: write REF(X,N) for a past value"
    if ch == "?":
        return "there is no '?:' operator: write IF(condition, a, b)"
    if ch == "&" or ch == "|":
        return f"'{ch}' alone is not an operator: write '{ch * 2}' or {'AND' if ch == '&' else 'OR'}"
    if ch.isprintable():
        return f"unexpected character {ch!r}"
    return f"unexpected character U+{ord(ch):04X}"
