"""What bench/run.py times: one case per function of zelvo's catalog, with its inputs.

A case is a row label, the zelvo statement, and whether it takes a window N.
The statement is built from the catalog's argument list: series arguments get
the close ``a`` and then the reference line ``y``, a condition gets the upward
crossings ``xu``, the window ``N`` gets the N of the cell (``Nv``, N at every
bar, for the variants taking a window per bar), ``M`` gets ``SMA_M``.  Where
another input says more about a function, ``INPUTS`` names its series and
condition inputs (a per-bar variant takes its base function's); ``EXTRA``
adds worst cases as rows of their own.

Names in a statement (built by ``namespace`` and ``cell_namespace``):
  a close; y reference line EMA(a, 20); c 0/1 float condition a > y; cu its
  uint8 form; x 0/1 float upward crossings of a over y; xu their uint8 form;
  A DMA factors in [0.01, 0.2]; nu no event (all 0); au all true (all 1);
  o preallocated result; N window; Nv window series; M and al for SMA; z the
  module; np NumPy; the peers' names (see ``peers.namespace``).
"""
from __future__ import annotations

import numpy as np

SMA_M = 1  # the M of SMA(a, N, M); the smoothing factor is M/N

# Inputs of the series and condition arguments, where the defaults say less.
INPUTS = {
    "DMA": ("a", "A"),
    "COUNT": ("c",),  # counts a 0/1 condition: the close is never zero
    "REFIF": ("a", "x", "y"),
    "FIF": ("cu", "a", "y"),
    "BACKCOUNT": ("cu",),  # runs of bars above the line, not lone crossings
    "FILTER": ("x",),
}
# Worst cases of a backward search, timed as rows of their own.
EXTRA = {
    "BARLAST": [("no event", ("nu",))],
    "BACKCOUNT": [("all true", ("au",))],
}
# Functions that move or select values without arithmetic: also timed against
# the memory floor.
COPY_LIKE = ("REF", "REFXV", "FIF", "CROSS", "CURRBARSCOUNT", "BARSINCE")
FLOOR = "np.copyto(o, a)"
ALLOC_COPY = "a.copy()"


def catalog():
    """The exact module's functions: the ones the benchmark times."""
    from zelvo._catalog import FUNCTIONS
    return {name: f for name, f in FUNCTIONS.items() if f.exact}


def data_args(fn):
    """The series and condition arguments of catalog entry ``fn`` (not N, not integers)."""
    return [(arg, kind) for arg, kind in fn.args if kind != "i" and arg != "N"]


def default_inputs(fn):
    """Series arguments take the close, then the reference line; conditions the crossings."""
    series = ["a", "y"]
    out = []
    for arg, kind in data_args(fn):
        if kind == "c":
            out.append("xu")
        elif series:
            out.append(series.pop(0))
        else:
            raise ValueError(f"{fn.name}: more series than defaults; name its inputs in INPUTS")
    return out


def statement(fn, inputs):
    """The zelvo call of catalog entry ``fn``, its series and conditions taken from ``inputs``."""
    if len(inputs) != len(data_args(fn)):
        raise ValueError(f"{fn.name} takes {len(data_args(fn))} series, not {inputs}")
    data = iter(inputs)
    out = []
    for arg, kind in fn.args:
        if arg == "N":
            out.append("N" if kind == "i" else "Nv")
        elif kind == "i":
            out.append(arg)
        else:
            out.append(next(data))
    return f"z.{fn.name}({', '.join(out)})"


def cases(names=None):
    """[(label, zelvo statement, takes a window)] in catalog order, for the functions in ``names``."""
    functions = catalog()
    base = {f.per_bar: f.name for f in functions.values() if f.per_bar}
    out = []
    for name, fn in functions.items():
        if names is not None and name not in names:
            continue
        windowed = "N" in fn.argnames
        inputs = INPUTS.get(name) or INPUTS.get(base.get(name)) or default_inputs(fn)
        out.append((name, statement(fn, inputs), windowed))
        for tag, extra in EXTRA.get(name, ()):
            out.append((f"{name}[{tag}]", statement(fn, extra), windowed))
    return out


def base_of(label):
    return label.split("[", 1)[0]


class Inputs:
    """Every input series of one size, built once."""

    def __init__(self, z, close):
        n = close.size
        self.n = n
        self.close = np.ascontiguousarray(close, dtype=np.float64)
        self.line = z.EMA(self.close, 20)  # a smooth reference line to cross and compare with
        above = self.close > self.line
        self.cond_f = above.astype(np.float64)  # 1.0 while above the line
        self.cond_u8 = above.astype(np.uint8)
        cross = z.CROSS(self.close, self.line)
        cross[0] = 0.0
        self.cross_f = cross  # 1.0 on the bars where close crosses above the line
        self.cross_u8 = (cross != 0).astype(np.uint8)
        rng = np.random.default_rng(12345 + n)
        self.dma_a = rng.uniform(0.01, 0.2, n)  # turnover-like smoothing factors in (0, 1)
        self.none_u8 = np.zeros(n, dtype=np.uint8)
        self.all_u8 = np.ones(n, dtype=np.uint8)
        self.out = np.empty(n)
        self.out[:] = 0.0  # touch every page of the preallocated result


def namespace(z, d: Inputs):
    return {"z": z, "np": np, "a": d.close, "c": d.cond_f, "cu": d.cond_u8, "y": d.line,
            "x": d.cross_f, "xu": d.cross_u8, "A": d.dma_a, "nu": d.none_u8, "au": d.all_u8,
            "o": d.out, "M": SMA_M}


def cell_namespace(ns, n, N):
    """``ns`` with the window names of one cell (N None: a function without a window)."""
    ns = dict(ns)
    if N is not None:
        ns.update(N=N, Nv=np.full(n, float(N)), al=SMA_M / N)
    return ns
