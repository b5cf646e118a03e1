"""Streams: formula results updated one bar at a time.

A :class:`Stream` runs a graph of nodes over live bars, for one instrument or
for a whole universe at once.  Each update costs constant time for most
functions (the window for STD, STDDEV, STDP, AVEDEV, SLOPE and the per-bar
variants), whatever the length of the history, and gives bit for bit what
the whole-series functions give at the new bar for the bars so far.

The graph is a topologically ordered list of nodes, each one of::

    ("field", "close")                  a field of the bar (a bar name of the
                                        language, any case or alias, reads
                                        that bar field; other names as given)
    ("const", 2.0)                      a number
    ("call", "MA", (3,), (20,))         a function: its series arguments as
                                        node indices, in argument order, then
                                        its integer windows
    ("binop", op, a, b)                 op in + - * / > < >= <= == != AND OR
    ("unop", op, a)                     op in NEG NOT ABS SQRT LN LOG EXP SIGN
    ("binfn", "MAX" | "MIN" | "POW", a, b)
    ("if", c, a, b)                     a where c holds, else b (as FIF)

and the outputs are ``(name, node index)`` pairs.  Elementwise nodes compute
what the formula language's operations compute (``zelvo.formula._ops``):
comparisons, AND, OR and NOT give 1.0 or 0.0; MAX and MIN give the second
operand on a tie (MAX(0, -0) is -0); SIGN gives +0 for either zero; POW,
like every elementwise function, gives NaN where an operand is NaN.  A
condition (of AND, OR, NOT, "if" and of the condition arguments of BARSINCE,
BARLAST, BARSLAST, BACKCOUNT and FIF) holds where its value truncated toward
zero is not 0; NaN does not hold.

Bars, in the history and in updates, are read by the package's rules: names
by ``zelvo._columns`` (``Close``, ``CLOSE`` and ``C`` all name the close;
two names for one field are refused) and values by
``zelvo._containers.to_float64`` (strings, dates and complex numbers are
refused by name; missing values of pandas nullable columns read as NaN).

A stream's whole state is saved by ``Stream.to_bytes()`` (and by ``pickle``)
and restored by :func:`from_bytes`, in this process or another: the bytes
hold the graph and every node's state, versioned and checksummed, and the
restored stream, given the same bars, gives the same bits as the one saved.
Bytes that cannot be restored raise a :class:`StateError`.

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

import struct
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from . import _stream
from .formula import _ops
from ._catalog import FUNCTIONS, INT_MAX, INT_MIN
from ._columns import bar_fields, field_of
from ._containers import family, to_float64
from ._stream import (StateCorruptError, StateError, StateFormulaError, StateTruncatedError,
                      StateVersionError)

__all__ = ["Stream", "MissingField", "from_bytes", "StateError", "StateVersionError",
           "StateCorruptError", "StateTruncatedError", "StateFormulaError"]

_FIELD, _CONST, _CALL, _BINARY, _UNARY, _IF = range(6)
# The language's binary operators and its binary functions, as the formula
# evaluation tells them apart.
_BINOPS = tuple(_ops.BINOPS)
_BINFNS = tuple(_ops.BINFNS)
_CODES_BINARY = {op: i for i, op in enumerate(_stream.BINARY_OPS)}
_CODES_UNARY = {op: i for i, op in enumerate(_stream.UNARY_OPS)}

DEFAULT_MAX_WINDOW = 1024


class MissingField(KeyError):
    """The history has no column for a field the stream reads."""

    def __init__(self, field: str, available: list) -> None:
        have = ", ".join(repr(a) for a in available) or "none"
        super().__init__(f"the history has no {field} field (its columns: {have})")
        self.field, self.available = field, available


def _labels_of(obj: Any) -> list | None:
    """The labels of a bar or a history: a mapping's keys, a pandas
    DataFrame's columns or a pandas row's index, a polars DataFrame's
    columns; None for anything else."""
    if isinstance(obj, Mapping):
        return list(obj.keys())
    fam = family(obj)
    if fam is None:
        return None
    if fam[0] == "polars":
        return list(obj.columns) if fam[1] == "DataFrame" else None
    return list(obj.keys())


def _named(labels: list) -> dict[Any, Any]:
    """Field -> the caller's label: bar names by zelvo._columns (refusing two
    labels for one field), other labels as they are."""
    found: dict[Any, Any] = bar_fields(labels)
    for label in labels:
        if field_of(label) is None:
            found.setdefault(label, label)
    return found


def _looks_ahead(name: str, params: tuple[int, ...]) -> bool:
    return (name == "REF" and params[0] < 0) or (name == "REFXV" and params[0] > 0)


def _ref(i: int, j: Any, what: str) -> int:
    if isinstance(j, bool) or not isinstance(j, int) or not 0 <= j < i:
        raise ValueError(f"node {i}: {what} must be the index of an earlier node, not {j!r}")
    return j


def _compile(nodes: Sequence[Sequence[Any]]) -> tuple[list[tuple], list[str]]:
    """Checks the nodes and turns them into the program of the graph type:
    tuples (kind, code, a, b, c, value, name, params)."""
    from .formula._backend import check_windows

    program: list[tuple] = []
    fields: list[str] = []
    ahead: list[bool] = []      # the node's value may still change later
    for i, node in enumerate(nodes):
        if not isinstance(node, (tuple, list)) or not node:
            raise ValueError(f"node {i}: a tuple is needed, not {node!r}")
        tag, rest = node[0], tuple(node[1:])
        late = False
        if tag == "field" and len(rest) == 1 and isinstance(rest[0], str):
            name = field_of(rest[0]) or rest[0]
            if name not in fields:
                fields.append(name)
            program.append((_FIELD, fields.index(name), 0, 0, 0, 0.0, None, ()))
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
            try:   # the windows the package's functions refuse (weights that would wrap)
                check_windows(name, list(params))
            except ValueError as e:
                raise ValueError(f"node {i}: {e}") from None
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


def _check_outputs(outputs: Sequence[Any], nodes: int) -> list[tuple[str, int]]:
    outs = []
    for item in outputs:
        name, node = item
        if not isinstance(name, str) or isinstance(node, bool) or not isinstance(node, int) \
                or not 0 <= node < nodes:
            raise ValueError(f"an output is (name, node index), not {item!r}")
        outs.append((name, node))
    if not outs or len({n for n, _ in outs}) != len(outs):
        raise ValueError("a stream needs one or more outputs with distinct names")
    return outs


def _nodes_of(program: Sequence[tuple], fields: Sequence[str]) -> list[tuple]:
    """The nodes a program was compiled from (the inverse of _compile)."""
    nodes: list[tuple] = []
    for kind, code, a, b, c, value, name, params in program:
        if kind == _FIELD:
            nodes.append(("field", fields[code]))
        elif kind == _CONST:
            nodes.append(("const", value))
        elif kind == _CALL:
            nodes.append(("call", name, (a, b, c)[:code], tuple(params)))
        elif kind == _BINARY:
            op = _stream.BINARY_OPS[code]
            nodes.append(("binop" if op in _BINOPS else "binfn", op, a, b))
        elif kind == _UNARY:
            nodes.append(("unop", _stream.UNARY_OPS[code], a))
        else:
            nodes.append(("if", a, b, c))
    return nodes


def _exact(program: Sequence[tuple]) -> tuple:
    """A program with its constants as their bits, for comparisons (-0.0 is
    not 0.0, and a NaN constant equals itself)."""
    return tuple(node[:5] + (struct.pack("<d", node[5]),) + tuple(node[6:]) for node in program)


class Stream(_stream.Graph):
    """A graph of nodes run one bar at a time.

    ``Stream(nodes, outputs, history, max_window=1024)``

    * ``history``: a mapping of each field to its past bars, oldest first: a
      1-D array for one instrument, a 2-D array (instruments x bars) for a
      universe; a pandas or polars DataFrame of columns works too.  It may
      hold no bars.  Its shape is the stream's, whether or not the graph
      reads a field.  ``filled`` then holds the outputs over the history (the
      whole-series results).
    * ``max_window``: the largest per-bar window the _A functions (and REF_A)
      are to serve; that many bars are kept for each.  A larger window that
      the series could fill gives NaN with a RuntimeWarning.

    ``update(bar)`` takes the next bar and returns its outputs: for one
    instrument ``bar`` maps fields to numbers (a dict, any mapping, or a
    pandas row such as ``df.iloc[i]``; a plain number will do when there is
    one field) and the result is a number; for a universe ``bar`` maps fields
    to arrays with one value per instrument, every instrument is updated in
    one call with the GIL released, and the result is an array.
    With several outputs the result is a dict by output name.  ``peek(bar)``
    gives the same without taking the bar; ``copy()`` an independent stream.
    """

    def __init__(self, nodes: Sequence[Sequence[Any]], outputs: Sequence[tuple[str, int]],
                 history: Mapping[str, Any], max_window: int = DEFAULT_MAX_WINDOW) -> None:
        program, fields = _compile(nodes)
        outs = _check_outputs(outputs, len(program))
        if isinstance(max_window, bool) or not isinstance(max_window, int) \
                or not 0 <= max_window <= INT_MAX:
            raise ValueError(f"max_window must be an int from 0 to {INT_MAX}")
        labels = _labels_of(history)
        if labels is None:
            raise TypeError("the history maps fields to past bars (a mapping or a DataFrame), "
                            f"not {type(history).__name__}")
        named = _named(labels)
        arrays = []
        for f in fields:
            if f not in named:
                raise MissingField(f, labels)
            label = named[f]
            arrays.append(np.ascontiguousarray(
                to_float64(history[label], f"the history field {label!r}")))
        shapes = {a.shape for a in arrays}
        if not fields:
            # Nothing is read, but the history still says how many instruments
            # and bars there are: a bar column's shape, else any column's.
            some = [named[f] for f in named if field_of(f)] or labels
            if some:
                shapes = {to_float64(history[some[0]], f"the history field {some[0]!r}").shape}
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

    def _read(self, bar: Any) -> tuple[tuple, tuple | None, tuple | None]:
        """The values of ``bar``'s fields, in the order of ``fields``: floats
        for one instrument, float64 arrays of one value per instrument for a
        universe.  update and peek call it for every bar but a number (one
        field) and a dict with the keys of the last dict read here, in the
        same order, holding floats or 64-bit ints (float64 arrays), which they
        read as it would; for a dict it also gives its keys and the index of
        the field each feeds (-1 for none), so the next such bar is read
        without it."""
        universe = self.instruments is not None
        labels = _labels_of(bar)
        if labels is None:
            if universe:
                raise TypeError(
                    "a universe stream's update takes a mapping of its fields "
                    f"({', '.join(self.fields) or 'none'}) to arrays of one value per "
                    f"instrument ({self.instruments} each), not {type(bar).__name__}")
            if len(self.fields) > 1:
                raise TypeError(f"a bar of this stream maps its fields ({', '.join(self.fields)}) "
                                f"to numbers, not {type(bar).__name__}")
            return tuple(self._value(bar, "the bar") for _ in self.fields), None, None
        named = _named(labels)
        row = not universe and family(bar) == ("pandas", "Series")
        values = []
        for f in self.fields:
            if f not in named:
                have = ", ".join(repr(a) for a in labels) or "none"
                raise KeyError(f"the bar has no {f} field (its fields: {have})")
            label = named[f]
            what = f"the bar's field {label!r}"
            if row:
                # One value of a pandas row, as a one-value column: a missing
                # value of a nullable column (pd.NA, in the object row of a
                # frame of mixed columns) reads as NaN.
                one = bar[[label]]
                if one.dtype == object:
                    one = one.astype("Float64") if one.isna().all() else one.convert_dtypes()
                values.append(self._value(one, what, row=True))
            else:
                values.append(self._value(bar[label], what))
        if type(bar) is not dict:
            return tuple(values), None, None
        where = {named[f]: i for i, f in enumerate(self.fields)}
        return tuple(values), tuple(labels), tuple(where.get(k, -1) for k in labels)

    def _value(self, v: Any, what: str, row: bool = False) -> Any:
        a = to_float64(v, what)
        if self.instruments is not None:
            if a.shape != (self.instruments,):
                held = (f"{a.shape[0]} values" if a.ndim == 1 else
                        "a number" if a.ndim == 0 else f"an array of shape {a.shape}")
                raise ValueError(f"{what}: {held} for {self.instruments} instruments (one value "
                                 "for each is due)")
            return np.ascontiguousarray(a)
        if row:
            a = a[0]
        elif a.ndim:
            raise TypeError(f"{what} is one number for a stream of one instrument, not an "
                            f"array of shape {a.shape}")
        return float(a)

    def copy(self) -> Stream:
        """An independent stream in the same state."""
        twin = self._copy()
        twin.__dict__.update(self.__dict__)
        return twin

    def to_bytes(self) -> bytes:
        """The stream's whole state as bytes, for :func:`from_bytes` here or
        in another process: the graph, the instruments, the bars taken and
        every node's state (the windowed functions their window), little-endian,
        with a format version and a CRC-32.  ``filled`` is not saved."""
        return self._save()

    def __reduce__(self) -> tuple:
        return from_bytes, (self._save(),)


def from_bytes(data: bytes, formula: Any = None) -> Stream:
    """The stream whose state ``data`` holds (``Stream.to_bytes()``), ready
    to take the bar after the last one it took; its ``filled`` is empty.

    ``formula``: a :class:`zelvo.Formula` the stream must be of (the same
    text's graph and the same parameters), else :class:`StateFormulaError`.

    Bytes that cannot be restored raise a :class:`StateError` (a ValueError):
    :class:`StateVersionError` for another format version,
    :class:`StateTruncatedError` for bytes that end early,
    :class:`StateCorruptError` for anything else that is not a saved stream
    as it was saved (another kind of bytes, a checksum that differs, a
    state no series could leave).
    """
    compiled = None if formula is None else getattr(formula, "program", None)
    if formula is not None and compiled is None:
        raise TypeError(f"formula must be a zelvo.Formula, not {type(formula).__name__}")
    s = Stream.__new__(Stream)
    s._load(data)
    program, fields, outputs = s._graph
    # The graph must be one Stream() builds: its nodes pass the same checks.
    try:
        again, again_fields = _compile(_nodes_of(program, fields))
        _check_outputs(outputs, len(program))
    except ValueError as e:
        raise StateCorruptError(f"the saved graph is not one a stream is built from: {e}") from None
    if _exact(again) != _exact(program) or tuple(again_fields) != fields:
        raise StateCorruptError("the saved graph is not one a stream is built from")
    if compiled is not None:
        want, want_fields = _compile(compiled.nodes)
        want_outs = tuple((name, node) for name, node in compiled.outputs)
        if _exact(want) != _exact(program) or tuple(want_fields) != fields \
                or want_outs != outputs:
            names = ", ".join(n for n, _ in outputs)
            raise StateFormulaError(
                f"the bytes are a stream of another formula or other parameters than {formula!r} "
                f"(its outputs: {names})")
    s.fields = fields
    k = s.instruments
    s.filled = {name: np.empty((k, 0) if k is not None else 0) for name in s.outputs}
    return s
