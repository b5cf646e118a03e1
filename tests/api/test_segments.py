"""zelvo._api._segments: a function over the segments of long columns, each as
the package function gives it on that segment alone, and its refusals."""
import numpy as np
import pytest

import zelvo
from zelvo import _api
from zelvo._catalog import FUNCTIONS

RNG = np.random.default_rng(17)
N = 97
OFFSETS = np.array([0, 0, 30, 31, 31, 80, N])
COLUMNS = {
    "s": np.where(RNG.random(N) < 0.08, np.nan, np.cumsum(RNG.integers(-3, 4, N)) / 4),
    # conditions given as floats (judged by the condition rule), as bools
    "c": RNG.choice([0.0, 1.0, 0.5, -1.5, np.nan], N),
    "N": RNG.integers(-1, 7, N).astype(np.float64),
}


def arguments(f, scalar_at=None, strided=False):
    args = []
    for i, (name, kind) in enumerate(f.args):
        if kind == "i":
            args.append(3 if not any(isinstance(a, int) for a in args) else 1)
        elif i == scalar_at:
            args.append(2.0)
        else:
            col = COLUMNS["N" if name == "N" else kind]
            args.append(np.repeat(col, 2)[::2] if strided else col)
    return args


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def per_segment(f, args):
    out = np.empty(N)
    for a, b in zip(OFFSETS[:-1], OFFSETS[1:]):
        piece = [v[a:b] if isinstance(v, np.ndarray) else v for v in args]
        if b > a:
            out[a:b] = getattr(zelvo, f.name)(*piece)
    return out


# A number stands for the last series argument where there are two or more.
CASES = [(name, variant) for name, f in FUNCTIONS.items()
         for variant in ("plain", "strided", "number")
         if variant != "number" or sum(k != "i" for k in f.kinds) > 1]


@pytest.mark.parametrize("name,variant", CASES)
def test_segments_equal_the_function_per_segment(name, variant):
    f = FUNCTIONS[name]
    series = [i for i, (_, k) in enumerate(f.args) if k != "i"]
    args = arguments(f, scalar_at=series[-1] if variant == "number" else None,
                     strided=variant == "strided")
    got = _api._segments(name, OFFSETS, tuple(args))
    assert same_bits(got, per_segment(f, args))


def test_conditions_as_bools_read_as_they_are():
    x = COLUMNS["c"] != 0
    got = _api._segments("BARSLAST", OFFSETS, (x,))
    assert same_bits(got, per_segment(FUNCTIONS["BARSLAST"], [x]))


REFUSED = [
    ("MA", [1, N], (COLUMNS["s"], 3), ValueError, "rise from 0"),
    ("MA", [0, N - 1], (COLUMNS["s"], 3), ValueError, "rise from 0"),
    ("MA", [0, 50, 40, N], (COLUMNS["s"], 3), ValueError, "rise from 0"),
    ("MA", [[0, N]], (COLUMNS["s"], 3), ValueError, "dimension"),
    ("MA", [0, N], (COLUMNS["s"], 0), ValueError, "'N' must be from 1"),
    ("MA", [0, N], (COLUMNS["s"].reshape(1, N), 3), ValueError, "1-D"),
    ("CROSS", [0, N], (COLUMNS["s"], COLUMNS["s"][:-1]), ValueError, "one length"),
    ("CROSS", [0, 1], (1.0, 2.0), TypeError, "only numbers"),
    ("MAX", [0, N], (COLUMNS["s"],), ValueError, "no series function"),
    ("MA", [0, N], (["a"] * N, 3), TypeError, "bool, int or float"),
]


@pytest.mark.parametrize("name,offsets,args,error,message", REFUSED)
def test_refusals(name, offsets, args, error, message):
    with pytest.raises(error, match=message):
        _api._segments(name, offsets, args)


def test_calls_leave_python_memory_flat():
    import gc
    import sys

    x = COLUMNS["s"]
    calls = [lambda: _api._segments("MA", OFFSETS, (x, 3)),
             lambda: _api._segments("FIF", OFFSETS, (COLUMNS["c"], x, 1.0)),
             lambda: _api._segments("MA", [1, N], (x, 3))]
    for call in calls:
        def run(k):
            for _ in range(k):
                try:
                    call()
                except ValueError:
                    pass
        run(200)
        gc.collect()
        before, refs = sys.getallocatedblocks(), sys.getrefcount(x)
        run(2000)
        gc.collect()
        assert sys.getallocatedblocks() - before < 100
        assert sys.getrefcount(x) == refs
