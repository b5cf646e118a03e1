"""Inputs that move while a call is prepared, and how conditions are judged.

Python code a call runs (a later argument's len(), a duck-typed condition's
astype) may replace the memory of an earlier input.  Every such step runs
before the raw views are taken, so the core never reads freed memory: each
case runs in a child process, where a crash fails the test instead of the run.
"""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zelvo._zelvo as z
from zelvo._catalog import FUNCTIONS

from realbars import REAL


CHILD = textwrap.dedent("""
    import numpy as np, zelvo._zelvo as z
    from zelvo._catalog import FUNCTIONS as ALL
    FUNCTIONS = {n: f for n, f in ALL.items() if f.exact}
    N = 10**6

    def mover(victim):
        # An array whose len() replaces the victim's data buffer.
        class Mover(np.ndarray):
            def __len__(self):
                victim.__setstate__(np.zeros(N).__reduce__()[2])
                return N
        return np.ones(N).view(Mover)

    class MovingCondition:
        # A duck-typed condition: astype hands over an array that its own
        # len() then replaces.
        def __init__(self):
            self.arr = np.ones(N, np.uint8)
        def astype(self, dtype):
            return self.arr
        def __len__(self):
            self.arr.__setstate__(np.zeros(N, np.uint8).__reduce__()[2])
            return N

    def args_for(f, keyword):
        victim = np.arange(N, dtype=np.float64)
        values = [victim]
        for _, kind in f.args[1:]:
            values.append(5 if kind == "i" else mover(victim))
        if f.kinds[0] == "c":
            values[0] = MovingCondition()
            if len(values) > 1:
                values[1] = mover(values[2])
        if keyword and not f.positional_only:
            return [], dict(zip(f.argnames, values))
        return values, {}

    for name, f in FUNCTIONS.items():
        if len(f.args) < 2 and f.kinds != "c":
            continue
        for keyword in (False, True):
            args, kwargs = args_for(f, keyword)
            values = args or list(kwargs.values())
            r = getattr(z, name)(*args, **kwargs)
            # The result is that of the data as it stands after the call.
            plain = [v.arr.copy() if isinstance(v, MovingCondition) else
                     v if isinstance(v, int) else np.array(v) for v in values]
            assert r.tobytes() == getattr(z, name)(*plain).tobytes(), (name, keyword)
    print("survived")
""")


def test_inputs_replaced_during_a_call_never_crash():
    p = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                       timeout=300)
    assert p.returncode == 0 and "survived" in p.stdout, (p.returncode, p.stderr[-2000:])


# A value is true where its truncation toward zero is non-zero: NaN is false.
VALUES = [0.0, -0.0, 0.5, -0.5, 0.999, 1.0, -1.0, 256.0, 512.0, 1e10, -1e10, np.inf, -np.inf,
          np.nan, 255.0, 2.0**63]
TRUTH = [False, False, False, False, False, True, True, True, True, True, True, True, True,
         False, True, True]


def _as(dtype):
    v = np.array(VALUES)
    keep = np.isfinite(v) & (np.abs(v) < 2**31) if np.dtype(dtype).kind in "iu" else slice(None)
    if np.dtype(dtype).kind == "u":
        keep = keep & (v >= 0)
    with np.errstate(invalid="ignore", over="ignore"):
        return v[keep].astype(dtype), np.array(TRUTH)[keep]


@pytest.mark.parametrize("dtype", ["f8", "f4", "f2", ">f8", "i8", "i4", "u2", "u8", "O"])
@pytest.mark.parametrize("name", [n for n, f in FUNCTIONS.items() if "c" in f.kinds and f.exact])
def test_conditions_are_judged_by_truncation(name, dtype):
    cond, truth = _as(dtype)
    n = len(cond)
    rest = [np.arange(n, dtype=np.float64), -np.arange(n, dtype=np.float64)]
    f = getattr(z, name)
    expected = f(truth.astype(np.uint8), *rest[:len(FUNCTIONS[name].args) - 1])
    got = f(cond, *rest[:len(FUNCTIONS[name].args) - 1])
    assert got.tobytes() == expected.tobytes()
    strided = np.repeat(cond, 2)[::2]
    assert f(strided, *rest[:len(FUNCTIONS[name].args) - 1]).tobytes() == expected.tobytes()


def test_bytes_and_bools_are_read_as_they_are():
    raw = np.array([0, 1, 2, 255, 0, 128], np.uint8)
    assert np.array_equal(z.BARSLAST(raw), z.BARSLAST(raw != 0))
    ro = raw.copy()
    ro.flags.writeable = False
    assert np.array_equal(z.BARSLAST(ro), z.BARSLAST(raw))


@pytest.mark.skipif(not REAL.exists(), reason="real bars not present")
def test_volume_as_a_condition_on_real_bars():
    volume = np.loadtxt(REAL, delimiter=",", skiprows=1, usecols=6)
    assert (volume % 256 == 0).any()
    assert np.array_equal(z.BARSLAST(volume), z.BARSLAST(volume != 0))
