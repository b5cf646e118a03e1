"""Writes the seed corpus of fuzz_stream_load into fuzz/corpus_state: real
saved states (zv_stream_save / zv_stream_save_set of the installed core) of
every function of the catalog, with windows of every class, over histories
of no bars, a few bars and more bars than the window, with NaN runs,
infinities and zeros of both signs; alone and in sets of two and three."""
import ctypes
import math

import zelvo
from zelvo._catalog import FUNCTIONS

lib = ctypes.CDLL(zelvo.get_library())
P, D = ctypes.c_void_p, ctypes.POINTER(ctypes.c_double)
lib.zv_stream_open.argtypes = [ctypes.POINTER(P), ctypes.c_char_p, ctypes.POINTER(ctypes.c_int),
                               ctypes.c_int, ctypes.c_int, ctypes.POINTER(D), ctypes.c_int, D]
lib.zv_stream_save_set.argtypes = [ctypes.POINTER(P), ctypes.c_int, ctypes.c_char_p,
                                   ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]
lib.zv_stream_close.argtypes = [P]

VALUES = [1.5, -0.0, math.nan, math.nan, 2.25, math.inf, -3.0, 0.0, 7.0, -math.inf, 4.5, 4.5]
WINDOWS = [1.0, 2.0, 0.0, 3.0, 9.0, math.nan, -1.0, 1.0]


def series(kind, n, shift):
    if kind == "c":
        return [float((i + shift) % 3) for i in range(n)]
    if kind == "w":
        return [WINDOWS[(i + shift) % len(WINDOWS)] for i in range(n)]
    return [VALUES[(3 * i + shift) % len(VALUES)] for i in range(n)]


def params_of(f):
    if f.name == "SMA":
        return [(3, 1), (0, 1), (2, 5)]
    if "i" not in f.kinds:
        return [()]
    low = f.min_window
    return [(w,) for w in (-3, 0, 1, 3, 6) if w >= low]


def opened(f, params, n, shift, max_window):
    kinds = ["w" if f.per_bar is None and a == "N" and k == "s" else k
             for a, k in f.args if k != "i"]
    arrays = [(ctypes.c_double * max(n, 1))(*series(k, n, shift + j)) for j, k in enumerate(kinds)]
    hist = (D * 3)(*[ctypes.cast(a, D) for a in arrays])
    out = (ctypes.c_double * max(n, 1))()
    s = P()
    ints = (ctypes.c_int * 2)(*(list(params) + [0, 0])[:2])
    rc = lib.zv_stream_open(ctypes.byref(s), f.name.encode(), ints, len(params), max_window,
                            hist, n, ctypes.cast(out, D))
    assert rc == 0, (f.name, params, rc)
    return s


def saved(streams):
    arr = (P * len(streams))(*streams)
    size = ctypes.c_size_t()
    lib.zv_stream_save_set(arr, len(streams), None, 0, ctypes.byref(size))
    buf = ctypes.create_string_buffer(size.value)
    assert lib.zv_stream_save_set(arr, len(streams), buf, size.value, ctypes.byref(size)) == 0
    return buf.raw


def seeds():
    for f in FUNCTIONS.values():
        for max_window in ([0, 3] if f.per_bar is None and "N" in f.argnames and
                           "i" not in f.kinds else [0]):
            for params in params_of(f):
                label = f"{f.name}-{'-'.join(map(str, params)) or 'x'}-mw{max_window}"
                for n in (0, 2, 9):
                    s = opened(f, params, n, n, max_window)
                    yield f"{label}-n{n}", saved([s])
                    lib.zv_stream_close(s)
                group = [opened(f, params, n, n + 1, max_window) for n in (4, 7, 12)]
                yield f"{label}-set2", saved(group[:2])
                yield f"{label}-set3", saved(group)
                for s in group:
                    lib.zv_stream_close(s)


def main():
    # Past findings (regress-*) stay beside the seeds.
    from make_corpus import write
    write("corpus_state", seeds())


if __name__ == "__main__":
    main()
