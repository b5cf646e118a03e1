"""Writes the seed corpus of fuzz_core into fuzz/corpus (input layout: see
the top of fuzz_core.cpp).  Seeds cover every selector with an ordinary
call, special values, windows at their extremes, mismatched and
non-positive sizes, and the helpers' edge arguments."""
import os
import struct

from zelvo._catalog import NAMES as CATALOG

HERE = os.path.dirname(os.path.abspath(__file__))
# The selectors: the catalog's rows in its order (as fuzz_core takes them),
# then the helpers.
NAMES = [name.lower() for name in CATALOG] + ["maxi", "mini", "ctxn", "arange", "zeros",
                                              "aprint"]
INT_MAX, INT_MIN = 2**31 - 1, -2**31
NO_PERTURB = 7  # plan byte: no array perturbed


def seed(sel, n, N=3, M=2, ctx=0, plan=NO_PERTURB, spare=0, body=b""):
    return (struct.pack("<BBHiiqi", sel, plan, n, N, M, ctx, spare) + body)


def small_ints(values):
    return bytes(v + 0x40 for v in values)


SPECIALS = bytes(range(32))                      # every entry of the special table
RAMP = small_ints([1, 2, 3, 5, 8, 13, 4, 2, 0, -1, 7, 9])
WINDOWS = small_ints([0, 1, 2, -1, 3, 12, 5, 0]) + bytes([20, 21, 22, 23, 24, 25, 0])
CONDITIONS = bytes([0, 1, 0, 0, 255, 0, 2, 0, 0, 1, 128, 0])


def seeds():
    for sel, name in enumerate(NAMES[:len(CATALOG)]):
        yield f"{name}-plain", seed(sel, 12, body=RAMP + RAMP + RAMP)
        yield f"{name}-special", seed(sel, 32, N=2, body=SPECIALS + WINDOWS + SPECIALS)
        yield f"{name}-windows", seed(sel, 15, N=INT_MAX, M=INT_MIN, body=WINDOWS + RAMP + RAMP)
        yield f"{name}-nwin", seed(sel, 9, N=0, body=CONDITIONS + RAMP)
        yield f"{name}-mismatch", seed(sel, 8, plan=(2 << 3) | 4, body=RAMP)   # size_R = n+1
        yield f"{name}-nonpositive", seed(sel, 5, plan=0x40 | (1 << 3), body=RAMP)
    ma = NAMES.index("ma")
    yield "ma-ctx-tail", seed(ma, 12, N=3, ctx=-4, body=RAMP)
    yield "ma-ctx-high-bits", seed(ma, 12, N=3, ctx=0xFFFFFFFF, body=RAMP)
    yield "ma-ctx-min", seed(ma, 12, N=INT_MAX, ctx=-2**63, body=RAMP)
    yield "ma-leading-nan", seed(ma, 10, N=4, body=bytes([0, 1, 2, 3]) + RAMP)
    helpers = {n: NAMES.index(n) for n in NAMES[len(CATALOG):]}
    for a, b in [(-1, -5), (INT_MAX, INT_MIN), (0, 0)]:
        yield f"maxi-{a}-{b}", seed(helpers["maxi"], 0, N=a, M=b)
        yield f"mini-{a}-{b}", seed(helpers["mini"], 0, N=a, M=b)
    for ctx, size, n in [(0, 10, 3), (-1, 10, 3), (-100, 10, 3), (0xFFFFFFFF, 10, 3),
                         (INT_MIN, INT_MAX, INT_MIN)]:
        yield f"ctxn-{ctx}-{size}-{n}", seed(helpers["ctxn"], 0, N=n, M=size, ctx=ctx)
    for start, stop, step in [(0, 10, 3), (0, 10, 2.5), (5, 0, -1), (3, 3, 1), (0, 10, 0),
                              (5, 0, 1), (INT_MIN, INT_MAX, 1e9)]:
        body = b"\xf0" + struct.pack("<d", step)
        yield f"arange-{start}-{stop}-{step}", seed(helpers["arange"], 0, N=start, M=stop,
                                                    body=body)
    for n in [0, -1, 7, INT_MIN]:
        yield f"zeros-{n}", seed(helpers["zeros"], 0, N=n)
    yield "aprint", seed(helpers["aprint"], 6, body=b"x" + bytes(15) + RAMP)


def write(folder, named):
    """Each (name, bytes) of `named` as a file of the corpus folder fuzz/<folder>."""
    out = os.path.join(HERE, folder)
    os.makedirs(out, exist_ok=True)
    for name, data in named:
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def main():
    write("corpus", seeds())


if __name__ == "__main__":
    main()
