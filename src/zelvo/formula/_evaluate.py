"""Evaluation of a compiled program over panels of bars.

Every node is computed once, in order; a series function runs through
``_backend.call`` over the whole panel, elementwise operations through
NumPy.  A value is dropped as soon as the last node that reads it has run,
so a long formula over a large universe keeps only its live lines in memory.
"""
from __future__ import annotations

from typing import Callable, Mapping

import numpy as np

from .._catalog import FUNCTIONS
from . import _backend, _ops
from ._graph import Program, children

F64 = np.float64
#: Operations computed in place of an operand that is read no more: exact in
#: IEEE arithmetic, so the bits cannot depend on where the result is written.
_IN_PLACE = frozenset({"+", "-", "*", "/", "NEG", "ABS", "SQRT"})


def _series(v, shape: tuple[int, ...]) -> np.ndarray:
    """A node value as a full series: constants are broadcast to every bar."""
    if isinstance(v, float):
        return np.full(shape, v, dtype=F64)
    return v


def run(program: Program, fields: Mapping[str, np.ndarray],
        shape: tuple[int, ...], call: Callable = _backend.call) -> dict[str, np.ndarray]:
    """The outputs of ``program`` by name, each a fresh float64 array of ``shape``.

    ``fields`` maps the bar columns the program reads to float64 arrays of
    ``shape`` (1-D for one instrument, 2-D as instruments x bars, C-contiguous).
    ``call(name, *args)`` computes the series functions (``_backend.call``
    unless the caller runs them another way, such as over the segments of a
    long column).
    """
    nodes, last_use = program.nodes, program.last_use
    values: list = [None] * len(nodes)
    owned = [False] * len(nodes)         # a temporary array of ours, free to overwrite

    def spare(c: int, i: int):
        """The array of node c if node i is its last reader and may write over it."""
        v = values[c]
        if owned[c] and last_use[c] == i and v.shape == shape:
            return v
        return None

    with np.errstate(all="ignore"):      # NaN and infinities flow as in IEEE
        for i, node in enumerate(nodes):
            kind = node[0]
            if kind == "field":
                v = fields[node[1]]
            elif kind == "const":
                v = node[1]
            elif kind == "binop":
                op, a, b = node[1], node[2], node[3]
                if op in _IN_PLACE:
                    # Exact IEEE operations: writing over a dead operand saves
                    # allocating (and faulting in) one more panel.
                    out = spare(a, i)
                    out = spare(b, i) if out is None else out
                    v = _ops.BINOPS[op](values[a], values[b], out=out)
                else:
                    v = _ops.BINOPS[op](values[a], values[b])
            elif kind == "unop":
                op, a = node[1], node[2]
                if op in _IN_PLACE:
                    v = _ops.UNOPS[op](values[a], out=spare(a, i))
                else:
                    v = _ops.UNOPS[op](values[a])
            elif kind == "binfn":
                v = _ops.BINFNS[node[1]](values[node[2]], values[node[3]])
            elif kind == "if":
                v = _ops.select(values[node[1]], values[node[2]], values[node[3]])
            elif kind == "call":
                v = _call(node, values, shape, call)
            else:
                raise ValueError(f"unknown node {node!r}")
            values[i] = v
            owned[i] = kind not in ("field", "const")
            for c in set(children(node)):
                if last_use[c] == i:
                    values[c] = None
    out: dict[str, np.ndarray] = {}
    taken: set[int] = set()
    for name, i in program.outputs:
        v = values[i]
        if isinstance(v, float):
            v = np.full(shape, v, dtype=F64)
        elif i in taken or nodes[i][0] == "field":
            v = np.array(v, dtype=F64)     # never hand out the input or one array twice
        out[name] = v
        taken.add(i)
    return out


def _call(node, values: list, shape: tuple[int, ...], call: Callable) -> np.ndarray:
    """Arguments of a call node put back in catalog order."""
    series = iter(node[2])
    ints = iter(node[3])
    args = [next(ints) if kind == "i" else _series(values[next(series)], shape)
            for kind in FUNCTIONS[node[1]].kinds]
    return call(node[1], *args)
