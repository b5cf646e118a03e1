"""The formula language: multi-line indicator formulas over bars and panels.

    >>> import zelvo
    >>> f = zelvo.Formula('''
    ...     PARAM SHORT=12, LONG=26, MID=9;
    ...     DIF: EMA(C,SHORT)-EMA(C,LONG);
    ...     DEA: EMA(DIF,MID);
    ...     MACD: (DIF-DEA)*2;''', MID=10)
    >>> f.outputs
    ['DIF', 'DEA', 'MACD']

The language is described in docs/formulas.md.  A text is tokenized
(``_lexer``), parsed by a precedence-climbing parser that builds the graph as
it goes (``_parser``, ``_graph``), and evaluated node by node (``_evaluate``),
every series function going through ``_backend.call``.

The graph
---------
``Formula(text, **params).program`` is a ``Program`` with

* ``nodes``: a list of tuples in topological order (a node refers only to
  nodes before it), each computed once for all outputs:

  - ``("field", column)``, column one of ``"open" "high" "low" "close"
    "volume" "amount"``: a bar column;
  - ``("const", value)``, value a float: a number, broadcast to every bar
    where a series is needed (parameters and folded arithmetic end up here);
  - ``("call", NAME, (node ids...), (ints...))``: the catalog function NAME
    (``zelvo._catalog.FUNCTIONS``), its series and condition arguments as
    node ids and its integer windows as ints, each group in catalog order.
    A formula's ``MA(C, BARSLAST(X))`` arrives here as ``MA_A``, the per-bar
    variant.  A condition argument is a float series read as true where
    ``|x| >= 1`` (NaN false);
  - ``("binop", op, a, b)``, op one of ``+ - * / > < >= <= == != AND OR``;
    comparisons, AND and OR give 1.0 or 0.0;
  - ``("unop", op, a)``, op one of ``NEG NOT ABS SQRT LN LOG EXP SIGN``;
  - ``("binfn", fn, a, b)``, fn one of ``MAX MIN POW``;
  - ``("if", c, a, b)``: a where c is true, else b (the meaning of FIF);

* ``outputs``: a list of ``(name, node id)`` in the order of the formula.

The exact meaning of every elementwise operation (truth, MAX/MIN of signed
zeros, NaN handling) is fixed in ``_ops``; identical subexpressions are one
node (``A+B`` and ``B+A`` included), and nodes no output needs are dropped.
"""
from __future__ import annotations

import sys

from ._errors import FormulaError
from ._formula import Formula, parse_params
from ._graph import Program
from ._library import Indicator, Library, indicator, indicators, load
from ._lexer import MAX_LENGTH
from ._parser import MAX_DEPTH

# The indicator texts live in the folder zelvo/indicators; an import of that
# name must give the library, not a namespace package that would shadow
# zelvo.indicators.
sys.modules.setdefault("zelvo.indicators", indicators)  # type: ignore[arg-type]

__all__ = ["Formula", "FormulaError", "Program", "Indicator", "Library", "indicator",
           "indicators", "load", "parse_params", "MAX_DEPTH", "MAX_LENGTH"]
