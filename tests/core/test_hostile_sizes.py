"""Every core function given sizes that hold no element: all sizes equal and
zero or negative.  Nothing may be read or written; each array is a window
into a larger guarded buffer so that a stray write shows here, and the
sanitized run of this suite (tests/test_native.py) sees stray reads.

Regression: the block-copy REF and REFXV kernels took a negative size as a
bar count and copied before the result array (found by fuzz/fuzz_core)."""
import numpy as np
import pytest

from corelib import FUNCTIONS, ERR_OK, ERR_PARAM_WRONG, bits, fn, ptr

GUARD = 8
PATTERN = -777.25
WINDOWS = [0, 1, 2, 7, -2, -7, 2**31 - 1, -2**31]
SIZES = [0, -1, -5, -12, -2**31]


def guarded(count, dtype):
    buf = np.full(count + 2 * GUARD, PATTERN if dtype == np.float64 else 0x5A, dtype=dtype)
    return buf, buf[GUARD:GUARD + count]


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_sizes_without_elements_touch_nothing(name):
    shape = FUNCTIONS[name]
    f = fn(name)
    for size in SIZES:
        for window in WINDOWS:
            bufs, args = [], [0]
            for kind in shape:
                if kind == "i":
                    args.append(window)
                    continue
                buf, view = guarded(4, np.uint8 if kind == "c" else np.float64)
                bufs.append((buf, buf.copy()))
                args += [ptr(view), size]
            rc = f(*args)
            assert rc in (ERR_OK, ERR_PARAM_WRONG), (name, size, window, rc)
            for buf, before in bufs:
                assert bits(buf).tolist() == bits(before).tolist() if buf.dtype == np.float64 \
                    else buf.tolist() == before.tolist(), (name, size, window)
