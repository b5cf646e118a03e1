"""Leaks: many calls of every function, on the success path and on each
failure path of the call frame, leave reference counts, allocated blocks
and resident memory flat.

ZELVO_LEAK_CALLS sets the calls per path (default 2000, which keeps the
default run to seconds); ZELVO_LEAK_REPORT names a file that receives one
line of figures per path.  The full run is

    ZELVO_LEAK_CALLS=100000 ZELVO_LEAK_REPORT=leaks.txt python3 -m pytest -q tests/module/test_leaks.py
"""
import gc
import os
import sys

import numpy as np
import pytest

import zelvo._zelvo as z
from catalog import KINDS, POSITIONAL_ONLY

CALLS = int(os.environ.get("ZELVO_LEAK_CALLS", "2000"))
REPORT = os.environ.get("ZELVO_LEAK_REPORT")
WARMUP = 300



class LyingLength(np.ndarray):
    def __len__(self):
        return self.shape[0] + 1


class HugeLength(np.ndarray):
    def __len__(self):
        return 2**40


X = np.linspace(-5.0, 5.0, 64)
X[[3, 10]] = np.nan
W = np.arange(64) % 9 - 1.0
COND = (np.arange(64) % 5 == 0).astype(np.uint8)
COND_F = np.where(np.arange(64) % 4 == 0, 2.0, 0.5)   # converted by astype
SHORT = X[:10].copy()
EMPTY = np.zeros(0)
F32 = X.astype(np.float32)
READ_ONLY = X.copy()
READ_ONLY.flags.writeable = False
LIAR = X.copy().view(LyingLength)
HUGE = X.copy().view(HugeLength)
BIG = 2**40
ARRAYS = {"N": X, "C": COND}


def valid(kinds, name):
    return [7 if k == "I" else W if (k == "N" and i > 0 and name.endswith("_A")) else ARRAYS[k]
            for i, k in enumerate(kinds)]


def paths(name):
    """(label, args, kwargs) of the success paths and every failure path."""
    kinds = KINDS[name]
    base = valid(kinds, name)

    def at(i, v):
        args = list(base)
        args[i] = v
        return args

    out = [("success", base, {})]
    if "C" in kinds:
        out.append(("success, converted condition", at(0, COND_F), {}))
    if len(kinds) > 1:
        out.append(("core refusal: lengths differ", at(1, SHORT), {}) if kinds[1] != "I"
                   else ("core refusal: bad window", at(1, -1), {}))
    out.append(("first argument has no len", at(0, None), {}))
    out.append(("empty first argument", at(0, EMPTY), {}))
    out.append(("lying len", at(0, LIAR), {}))
    out.append(("len beyond int", at(0, HUGE), {}))
    if kinds[0] == "C":
        out.append(("astype missing", at(0, list(X)), {}))
    else:
        out.append(("buffer refused: dtype", at(0, F32), {}))
    if kinds[0] == "N":
        out.append(("buffer refused: read-only", at(0, READ_ONLY), {}))
    for i, k in enumerate(kinds[1:], 1):
        if k == "I":
            out.append((f"int type test, argument {i}", at(i, 2.5), {}))
            out.append((f"int None, argument {i}", at(i, None), {}))
            out.append((f"int overflow, argument {i}", at(i, BIG), {}))
        else:
            out.append((f"None, argument {i}", at(i, None), {}))
            out.append((f"dtype, argument {i}", at(i, F32), {}))
            out.append((f"lying len, argument {i}", at(i, LIAR), {}))
    if name not in POSITIONAL_ONLY:
        out.append(("too few arguments", base[:-1], {}))
        out.append(("unexpected keyword", base, {"bogus": 1}))
    else:
        out.append(("keyword to a one-argument function", [], {"x": base[0]}))
    return out


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def run(f, args, kwargs, count):
    with np.errstate(invalid="ignore"):      # NaN cast to uint8 by astype
        for _ in range(count):
            try:
                f(*args, **kwargs)
            except Exception:  # noqa: BLE001 - failure paths are the point
                pass


def tracked(f, args, kwargs):
    """Objects whose reference counts a leak or a held buffer would raise."""
    objs = [f, z.np, np.zeros, np.float64, np.uint8, *args, *kwargs.values()]
    # None and the cached small ints are shared by the whole interpreter.
    return [o for o in objs if o is not None and not (type(o) is int and -5 <= o <= 256)]


@pytest.fixture(autouse=True, scope="module")
def frozen_heap():
    """Moves every object alive before these tests out of the collector's
    sight, so each gc.collect() below scans only what the calls made."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def memory():
    gc.collect()
    return sys.getallocatedblocks(), rss_kib()


@pytest.mark.parametrize("name", list(KINDS))
def test_calls_leave_counts_and_memory_flat(name):
    # After a warm-up, the calls run in two halves: a leak grows memory in
    # both, while the interpreter's one-off allocations (3.13 makes a block
    # of about 940 KiB on the first error paths it meets) land in one only.
    f = getattr(z, name)
    half = max(CALLS // 2, 1)
    lines = []
    for label, args, kwargs in paths(name):
        run(f, args, kwargs, WARMUP)
        marks = [memory()]
        objs = tracked(f, args, kwargs)
        refs = [sys.getrefcount(o) for o in objs]
        for _ in range(2):
            run(f, args, kwargs, half)
            marks.append(memory())
        (blocks1, rss1), (blocks2, rss2) = [(b - b0, r - r0) for (b0, r0), (b, r)
                                            in zip(marks, marks[1:])]
        refs_after = [sys.getrefcount(o) for o in objs]
        lines.append(f"{name:14} {label:40} calls=2x{half} rss_kib=+{rss1},+{rss2} "
                     f"blocks=+{blocks1},+{blocks2} refs_changed={refs != refs_after}")
        assert refs_after == refs, (label, refs, refs_after)
        # A leak of one object per call would add `half` blocks in each half.
        assert min(blocks1, blocks2) < min(100, half // 10), (label, blocks1, blocks2)
        # One leaked byte per call is 50 KB per half at 10^5 calls; allow
        # allocator slack.
        assert min(rss1, rss2) < 1024 + half // 1000, (label, rss1, rss2)
    if REPORT:
        with open(REPORT, "a") as out:
            out.write("\n".join(lines) + "\n")


def test_name_error_path_is_flat():
    """np missing from the namespace: the lookup fails in every function."""
    saved = z.np
    try:
        del z.np
        calls = [(getattr(z, name), valid(kinds, name)) for name, kinds in KINDS.items()]
        for f, args in calls:
            run(f, args, {}, WARMUP)
        gc.collect()
        blocks = sys.getallocatedblocks()
        refs = [sys.getrefcount(f) for f, _ in calls]
        for f, args in calls:
            run(f, args, {}, max(CALLS // 10, 100))
        gc.collect()
        assert [sys.getrefcount(f) for f, _ in calls] == refs
        assert sys.getallocatedblocks() - blocks < 100
    finally:
        z.np = saved
