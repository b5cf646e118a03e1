"""Streams: formula results updated one bar at a time.

A :class:`Stream` runs a graph of nodes over live bars, for one instrument or
for a whole universe at once.  Each update costs constant time for most
functions (the window for STD, STDDEV, STDP, AVEDEV, SLOPE and the per-bar
variants), whatever the length of the history, and gives bit for bit what
the whole-series functions give at the new bar for the bars so far.

The graph is a topologically ordered list of nodes, each one of::

    ("field", "close")                  a field of the bar
    ("const", 2.0)                      a number
    ("call", "MA", (3,), (20,))         a function: its series arguments as
                                        node indices, in argument order, then
                                        its integer windows
    ("binop", op, a, b)                 op in + - * / > < >= <= == != AND OR
    ("unop", op, a)                     op in NEG NOT ABS SQRT LN LOG EXP SIGN
    ("binfn", "MAX" | "MIN" | "POW", a, b)
    ("if", c, a, b)                     a where c holds, else b (as FIF)

and the outputs are ``(name, node index)`` pairs.  Elementwise nodes compute
what NumPy computes on float64 arrays; comparisons, AND, OR and NOT give 1.0
or 0.0.  A condition (of AND, OR, NOT, "if" and of the condition arguments
of BARSINCE, BARLAST, BARSLAST, BACKCOUNT and FIF) holds where its value
truncated toward zero is not 0; NaN does not hold.

REF with a negative window and REFXV with a positive one look ahead.  Their
update gives the new bar's value over the bars so far (NaN for REF, the
bar's own value for REFXV); the earlier bar a new bar settles is not
reported here (the C streams of ``rillet.h`` report it), and such a node may
feed only elementwise nodes and outputs, not another function.  REF_A looks
ahead where its offset is negative: it gives NaN there, and a function it
feeds takes that NaN, so keep its offsets non-negative (BARSLAST, ...) when
it feeds one.
"""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from . import _stream
from ._catalog import FUNCTIONS, INT_MAX, INT_MIN

__all__ = ["Stream"]

_FIELD, _CONST, _CALL, _BINARY, _UNARY, _IF = range(6)
_BINOPS = ("+", "-", "*", "/", ">", "<", ">=", "<=", "==", "!=", "AND", "OR")
_BINFNS = ("MAX", "MIN", "POW")
_CODES_BINARY = {op: i for i, op in enumerate(_stream.BINARY_OPS)}
_CODES_UNARY = {op: i for i, op in enumerate(_stream.UNARY_OPS)}

DEFAULT_MAX_WINDOW = 1024


def _looks_ahead(name: str, params: tuple[int, ...]) -> bool:
    return (name == "REF" and params[0] < 0) or (name == "REFXV" and params[0] > 0)


def _ref(i: int, j: Any, what: str) -> int:
    if isinstance(j, bool) or not isinstance(j, int) or not 0 <= j < i:
        raise ValueError(f"node {i}: {what} must be the index of an earlier node, not {j!r}")
    return j


def _compile(nodes: Sequence[Sequence[Any]]) -> tuple[list[tuple], list[str]]:
    """Checks the nodes and turns them into the program of the graph type:
    tuples (kind, code, a, b, c, value, name, params)."""
    program: list[tuple] = []
    fields: list[str] = []
    ahead: list[bool] = []      # the node's value may still change later
    for i, node in enumerate(nodes):
        if not isinstance(node, (tuple, list)) or not node:
            raise ValueError(f"node {i}: a tuple is needed, not {node!r}")
        tag, rest = node[0], tuple(node[1:])
        late = False
        if tag == "field" and len(rest) == 1 and isinstance(rest[0], str):
            if rest[0] not in fields:
                fields.append(rest[0])
            program.append((_FIELD, fields.index(rest[0]), 0, 0, 0, 0.0, None, ()))
        elif tag == "const" and len(rest) == 1 and isinstance(rest[0], (int, float)):
            program.append((_CONST, 0, 0, 0, 0, float(rest[0]), None, ()))
        elif tag == "call" and len(rest) == 3:
            name, args, params = rest
            f = FUNCTIONS.get(name) if isinstance(name, str) else None
            if f is None:
                raise ValueError(f"node {i}: no function {name!r}")
            nseries = sum(k != "i" for k in f.kinds)
            nints = f.kinds.count("i")
            args, params = tuple(args), tuple(params)
            if len(args) != nseries or len(params) != nints:
                raise ValueError(f"node {i}: {f.signature} takes {nseries} series and "
                                 f"{nints} integer windows")
            args = tuple(_ref(i, a, "an argument") for a in args)
            for p in params:
                if isinstance(p, bool) or not isinstance(p, int):
                    raise ValueError(f"node {i}: {name}: windows are ints, not {p!r}")
            low = f.min_window if f.min_window is not None else INT_MIN
            if params and not low <= params[0] <= INT_MAX:
                raise ValueError(f"node {i}: {name}: window {params[0]} outside {low}..{INT_MAX}")
            if len(params) > 1 and not INT_MIN <= params[1] <= INT_MAX:
                raise ValueError(f"node {i}: {name}: {params[1]} is not a 32-bit int")
            if any(ahead[a] for a in args):
                raise ValueError(f"node {i}: {name} would read values that a look-ahead "
                                 "(REF with N < 0, REFXV with N > 0) settles only later")
            late = bool(params) and _looks_ahead(name, params)
            a, b, c = (list(args) + [0, 0, 0])[:3]
            program.append((_CALL, len(args), a, b, c, 0.0, name, params))
        elif tag in ("binop", "binfn") and len(rest) == 3:
            op = rest[0]
            if op not in (_BINOPS if tag == "binop" else _BINFNS):
                raise ValueError(f"node {i}: no {tag} {op!r}")
            a, b = _ref(i, rest[1], "an operand"), _ref(i, rest[2], "an operand")
            late = ahead[a] or ahead[b]
            program.append((_BINARY, _CODES_BINARY[op], a, b, 0, 0.0, None, ()))
        elif tag == "unop" and len(rest) == 2:
            op = rest[0]
            if op not in _CODES_UNARY:
                raise ValueError(f"node {i}: no unop {op!r}")
            a = _ref(i, rest[1], "the operand")
            late = ahead[a]
            program.append((_UNARY, _CODES_UNARY[op], a, 0, 0, 0.0, None, ()))
        elif tag == "if" and len(rest) == 3:
            c, a, b = (_ref(i, x, "an operand") for x in rest)
            late = ahead[a] or ahead[b] or ahead[c]
            program.append((_IF, 0, c, a, b, 0.0, None, ()))
        else:
            raise ValueError(f"node {i}: not a node: {node!r}")
        ahead.append(late)
    if not program:
        raise ValueError("a stream needs at least one node")
    return program, fields


class Stream(_stream.Graph):
    """A graph of nodes run one bar at a time.

    ``Stream(nodes, outputs, history, max_window=1024)``

    * ``history``: a mapping of each field to its past bars, oldest first: a
      1-D array for one instrument, a 2-D array (instruments x bars) for a
      universe.  It may hold no bars.  ``filled`` then holds the outputs over
      the history (the whole-series results).
    * ``max_window``: the largest per-bar window the _A functions (and REF_A)
      are to serve; that many bars are kept for each.  A larger window that
      the series could fill gives NaN with a RuntimeWarning.

    ``update(bar)`` takes the next bar and returns its outputs: for one
    instrument ``bar`` maps fields to numbers (a plain number will do when
    there is one field) and the result is a number; for a universe ``bar``
    maps fields to arrays with one value per instrument, every instrument is
    updated in one call with the GIL released, and the result is an array.
    With several outputs the result is a dict by output name.  ``peek(bar)``
    gives the same without taking the bar; ``copy()`` an independent stream.
    """

    def __init__(self, nodes: Sequence[Sequence[Any]], outputs: Sequence[tuple[str, int]],
                 history: Mapping[str, Any], max_window: int = DEFAULT_MAX_WINDOW) -> None:
        program, fields = _compile(nodes)
        outs = []
        for item in outputs:
            name, node = item
            if not isinstance(name, str) or isinstance(node, bool) or not isinstance(node, int) \
                    or not 0 <= node < len(program):
                raise ValueError(f"an output is (name, node index), not {item!r}")
            outs.append((name, node))
        if not outs or len({n for n, _ in outs}) != len(outs):
            raise ValueError("a stream needs one or more outputs with distinct names")
        if isinstance(max_window, bool) or not isinstance(max_window, int) \
                or not 0 <= max_window <= INT_MAX:
            raise ValueError(f"max_window must be an int from 0 to {INT_MAX}")
        arrays = []
        for f in fields:
            if f not in history:
                raise KeyError(f"history has no field {f!r}")
            arrays.append(np.ascontiguousarray(np.asarray(history[f], dtype=np.float64)))
        shapes = {a.shape for a in arrays}
        if len(shapes) > 1:
            raise ValueError(f"history fields differ in shape: {sorted(shapes)}")
        shape = shapes.pop() if shapes else (0,)
        if len(shape) not in (1, 2) or (len(shape) == 2 and shape[0] < 1):
            raise ValueError("history is 1-D (one instrument) or 2-D (instruments x bars)")
        universe = len(shape) == 2
        rows = [a.reshape(1, -1) for a in arrays] if not universe else arrays
        k, n = (shape[0], shape[1]) if universe else (1, shape[0])
        filled = [np.empty((k, n)) for _ in outs]
        super().__init__(tuple(program), tuple(fields), tuple(outs), tuple(rows), tuple(filled),
                         universe, max_window)
        self.fields: tuple[str, ...] = tuple(fields)
        self.filled: dict[str, np.ndarray] = {
            name: (a if universe else a[0]) for (name, _), a in zip(outs, filled)}

    def copy(self) -> Stream:
        """An independent stream in the same state."""
        twin = self._copy()
        twin.__dict__.update(self.__dict__)
        return twin
