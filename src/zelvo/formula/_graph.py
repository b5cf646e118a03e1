"""The compiled form of a formula: a list of nodes with shared subexpressions.

Nodes are plain tuples (see the package docstring for their shapes).  The
builder interns every node it is given, so an expression written twice, in
one line or in several, becomes one node; operations on constants are folded
into constants as they are built.  A node only ever refers to nodes before it,
so the list is in topological order as built.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass, field

from . import _ops

Node = tuple


def children(node: Node) -> tuple[int, ...]:
    """The node ids a node reads."""
    kind = node[0]
    if kind == "call":
        return node[2]
    if kind == "binop" or kind == "binfn":
        return node[2:4]
    if kind == "unop":
        return node[2:3]
    if kind == "if":
        return node[1:4]
    return ()


@dataclass(frozen=True)
class Program:
    """Nodes in topological order and the outputs as (name, node id)."""

    nodes: list[Node]
    outputs: list[tuple[str, int]]
    #: For every node, the index of the last node (or output) that reads it;
    #: the evaluator drops a value after that.  len(nodes) for output nodes.
    last_use: list[int] = field(repr=False, compare=False)

    @property
    def fields(self) -> tuple[str, ...]:
        """The bar columns the program reads, in node order."""
        return tuple(n[1] for n in self.nodes if n[0] == "field")


def _key(node: Node) -> Node:
    if node[0] == "const":     # 0.0 and -0.0 are different constants
        return ("const", struct.pack("<d", node[1]))
    return node


class Builder:
    """Interns nodes and folds operations on constants."""

    def __init__(self) -> None:
        self.nodes: list[Node] = []
        self._ids: dict[Node, int] = {}

    def add(self, node: Node) -> int:
        key = _key(node)
        i = self._ids.get(key)
        if i is None:
            i = len(self.nodes)
            self.nodes.append(node)
            self._ids[key] = i
        return i

    def is_const(self, i: int) -> bool:
        return self.nodes[i][0] == "const"

    def value(self, i: int) -> float:
        return self.nodes[i][1]

    def const(self, v: float) -> int:
        return self.add(("const", float(v)))

    def field(self, name: str) -> int:
        return self.add(("field", name))

    def binop(self, op: str, a: int, b: int) -> int:
        if self.is_const(a) and self.is_const(b):
            return self.const(_ops.fold(_ops.BINOPS[op], self.value(a), self.value(b)))
        if op in _ops.COMMUTATIVE and a > b:
            a, b = b, a
        return self.add(("binop", op, a, b))

    def unop(self, op: str, a: int) -> int:
        if self.is_const(a):
            return self.const(_ops.fold(_ops.UNOPS[op], self.value(a)))
        return self.add(("unop", op, a))

    def binfn(self, fn: str, a: int, b: int) -> int:
        if self.is_const(a) and self.is_const(b):
            return self.const(_ops.fold(_ops.BINFNS[fn], self.value(a), self.value(b)))
        return self.add(("binfn", fn, a, b))

    def select(self, c: int, a: int, b: int) -> int:
        if self.is_const(c):
            return a if _ops.truth(self.value(c)) else b
        if a == b:
            return a
        return self.add(("if", c, a, b))

    def call(self, name: str, series: tuple[int, ...], ints: tuple[int, ...]) -> int:
        return self.add(("call", name, series, ints))

    def program(self, outputs: list[tuple[str, int]]) -> Program:
        """The nodes the outputs need, renumbered in the same order."""
        keep = [False] * len(self.nodes)
        for _, i in outputs:
            keep[i] = True
        for i in range(len(self.nodes) - 1, -1, -1):
            if keep[i]:
                for c in children(self.nodes[i]):
                    keep[c] = True
        new_id: dict[int, int] = {}
        nodes: list[Node] = []
        for i, node in enumerate(self.nodes):
            if keep[i]:
                new_id[i] = len(nodes)
                nodes.append(_renumber(node, new_id))
        outs = [(name, new_id[i]) for name, i in outputs]
        last_use = [-1] * len(nodes)
        for i, node in enumerate(nodes):
            for c in children(node):
                last_use[c] = i
        for _, i in outs:
            last_use[i] = len(nodes)
        return Program(nodes, outs, last_use)


def _renumber(node: Node, new_id: dict[int, int]) -> Node:
    kind = node[0]
    if kind == "call":
        return (kind, node[1], tuple(new_id[c] for c in node[2]), node[3])
    if kind == "binop" or kind == "binfn":
        return (kind, node[1], new_id[node[2]], new_id[node[3]])
    if kind == "unop":
        return (kind, node[1], new_id[node[2]])
    if kind == "if":
        return (kind, new_id[node[1]], new_id[node[2]], new_id[node[3]])
    return node
