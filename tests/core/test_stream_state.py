"""The byte form of the core's streams (zv_stream_save / zv_stream_load),
through ctypes, against the layout rillet.h and the state sources describe.

States written by hand load and continue as those fields say; states that no
series could leave (out-of-range positions and counts, LLV/HHV candidates
out of order, a flag that is neither 0 nor 1, parameters the function
refuses ...) are refused with ERR_STATE_CORRUPT even with a valid checksum;
and the bytes every function saves are pinned, so that a change to what a
state saves cannot go out without a new format version.
"""
import ctypes
import hashlib
import json
import math
import os
import struct
from pathlib import Path

import numpy as np
import pytest

from corelib import _load
from stateframe import HEAD, frame
from zelvo import _catalog

ERR_OK, ERR_SIZE_DISMATCH, ERR_PARAM_WRONG = 0, 1, 2
ERR_STATE_VERSION, ERR_STATE_TRUNCATED, ERR_STATE_CORRUPT = 4, 5, 6
NAN = math.nan
DIGESTS = Path(__file__).with_name("stream_states.json")

lib = _load()      # a handle of its own: the argument types below are set on it
P = ctypes.c_void_p
D = ctypes.POINTER(ctypes.c_double)
lib.zv_stream_open.argtypes = [ctypes.POINTER(P), ctypes.c_char_p, ctypes.POINTER(ctypes.c_int),
                               ctypes.c_int, ctypes.c_int, ctypes.POINTER(D), ctypes.c_int, D]
lib.zv_stream_save.argtypes = [P, ctypes.c_char_p, ctypes.c_size_t,
                               ctypes.POINTER(ctypes.c_size_t)]
lib.zv_stream_load.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(P)]
lib.zv_stream_update.argtypes = [P, D, D]
lib.zv_stream_close.argtypes = [P]
lib.zv_stream_bars.argtypes = [P]
lib.zv_stream_bars.restype = ctypes.c_int64
lib.zv_stream_info.argtypes = [P, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                               ctypes.POINTER(ctypes.c_int)]
lib.zv_stream_info.restype = ctypes.c_char_p


def payload(name, params=(), max_window=0, states=((0, b""),)):
    """A payload as rillet.h lays it out: the name, the parameters,
    max_window, then each stream's bar count and state."""
    return (bytes([len(name)]) + name + bytes([len(params)])
            + struct.pack(f"<{len(params)}i", *params) + struct.pack("<i", max_window)
            + struct.pack("<Q", len(states))
            + b"".join(struct.pack("<q", bars) + state for bars, state in states))


def load(b):
    s = P()
    rc = lib.zv_stream_load(b, len(b), ctypes.byref(s))
    assert (rc == ERR_OK) == bool(s.value)
    return rc, s


def save(s):
    size = ctypes.c_size_t()
    assert lib.zv_stream_save(s, None, 0, ctypes.byref(size)) == ERR_SIZE_DISMATCH
    buf = ctypes.create_string_buffer(size.value)
    assert lib.zv_stream_save(s, buf, size.value, ctypes.byref(size)) == ERR_OK
    return buf.raw


def update(s, *bar):
    out = (ctypes.c_double * 2)()
    lib.zv_stream_update(s, (ctypes.c_double * 3)(*bar), out)
    return out[0]


def opened(name, params, series, max_window=0):
    arrays = [np.ascontiguousarray(a, dtype=np.float64) for a in series]
    n = len(arrays[0]) if arrays else 0
    hist = (D * 3)(*[a.ctypes.data_as(D) for a in arrays])
    out = np.empty(max(n, 1))
    s = P()
    ints = (ctypes.c_int * 2)(*(list(params) + [0, 0])[:2])
    rc = lib.zv_stream_open(ctypes.byref(s), name, ints, len(params), max_window, hist, n,
                            out.ctypes.data_as(D))
    assert rc == ERR_OK
    return s


def d(*values):
    return struct.pack(f"<{len(values)}d", *values)


def q(*values):
    return struct.pack(f"<{len(values)}q", *values)


def llv3(size, items):
    """LLV 3 after 5 bars: the running extreme (unused), the deque's size and
    its 3 slots (index, value)."""
    return d(NAN) + q(size) + b"".join(q(i) + d(v) for i, v in items)


# name, parameters, max_window, bars, state, the bars fed next, what they give
HAND_WRITTEN = [
    ("BARSLAST", (), 0, 5, q(2), [(0.0,), (3.0,), (0.0,)], [4.0, 1.0, 2.0]),
    ("EMA", (3,), 0, 7, d(10.0) + b"\x01", [(20.0,)], [15.0]),
    # MA 2 after four bars: the bars from the first valid one, the ring (its
    # position is 4 mod 2 = 0, so 3.0 is the oldest), the sum, running.
    ("MA", (2,), 0, 4, q(4) + d(3.0, 5.0) + d(8.0) + b"\x01", [(7.0,), (1.0,)], [6.0, 4.0]),
    ("LLV", (3,), 0, 5, llv3(2, [(3, 1.0), (4, 2.0), (0, 0.0)]), [(5.0,), (7.0,)], [1.0, 2.0]),
    ("FILTER", (3,), 0, 6, q(7), [(1.0,), (2.0,)], [0.0, 2.0]),
    ("REFIF", (), 0, 2, d(-0.0), [(9.0, 0.0, 5.0)], [-0.0]),
]


@pytest.mark.parametrize("case", HAND_WRITTEN, ids=[c[0] for c in HAND_WRITTEN])
def test_hand_written_states_continue_as_their_fields_say(case):
    name, params, max_window, bars, state, feed, want = case
    b = frame(b"ZVST", payload(name.encode(), params, max_window, [(bars, state)]))
    rc, s = load(b)
    assert rc == ERR_OK
    try:
        assert lib.zv_stream_bars(s) == bars
        assert save(s) == b                  # the same fields, the same bytes
        got = [update(s, *bar) for bar in feed]
        assert np.array_equal(np.array(got).view(np.uint64), np.array(want).view(np.uint64))
    finally:
        lib.zv_stream_close(s)


def test_saved_bytes_are_the_documented_ones():
    s = opened(b"REF", (2,), [[1.5, -0.0, 7.0]])
    # Three values pushed into a ring of two: 7.0 overwrote 1.5 at slot 0.
    assert save(s) == frame(b"ZVST", payload(b"REF", (2,), 0, [(3, d(7.0, -0.0))]))
    params, nparams, mw = (ctypes.c_int * 2)(), ctypes.c_int(), ctypes.c_int()
    assert lib.zv_stream_info(s, params, ctypes.byref(nparams), ctypes.byref(mw)) == b"REF"
    assert (params[0], nparams.value, mw.value) == (2, 1, 0)
    lib.zv_stream_close(s)


def _ma(taken, running=1, ring=(3.0, 5.0, 6.0)):
    return q(taken) + d(*ring) + d(14.0) + bytes([running])


# label, payload, the code the loader returns
REFUSED = [
    ("unknown function", payload(b"NOPE", (), 0, [(0, b"")]), ERR_STATE_CORRUPT),
    ("NUL in the name", payload(b"MA\0", (3,), 0, [(0, _ma(0, 0))]), ERR_STATE_CORRUPT),
    ("empty name", payload(b"", (), 0, [(0, b"")]), ERR_STATE_CORRUPT),
    ("a name too long", payload(b"X" * 16, (), 0, [(0, b"")]), ERR_STATE_CORRUPT),
    ("MA with two parameters", payload(b"MA", (3, 1), 0, [(0, _ma(0, 0))]), ERR_STATE_CORRUPT),
    ("MA 0", payload(b"MA", (0,), 0, [(0, q(0) + d(0.0) + b"\0")]), ERR_STATE_CORRUPT),
    ("max_window of MA", payload(b"MA", (3,), 5, [(0, _ma(0, 0))]), ERR_STATE_CORRUPT),
    ("negative max_window", payload(b"MA_A", (), -1, [(0, b"")]), ERR_STATE_CORRUPT),
    ("negative bars", payload(b"BARSLAST", (), 0, [(-1, q(-1))]), ERR_STATE_CORRUPT),
    ("bars beyond 2^62", payload(b"BARSLAST", (), 0, [(2**62 + 1, q(-1))]), ERR_STATE_CORRUPT),
    ("a flag of 2", payload(b"EMA", (3,), 0, [(4, d(1.0) + b"\x02")]), ERR_STATE_CORRUPT),
    ("started before any bar", payload(b"EMA", (3,), 0, [(0, d(1.0) + b"\x01")]),
     ERR_STATE_CORRUPT),
    ("BARSINCE at the next bar", payload(b"BARSINCE", (), 0, [(5, q(5))]), ERR_STATE_CORRUPT),
    ("BARSINCE before bar 0", payload(b"BARSINCE", (), 0, [(5, q(-2))]), ERR_STATE_CORRUPT),
    ("BACKCOUNT run of 1.5", payload(b"BACKCOUNT", (), 0, [(5, d(1.5))]), ERR_STATE_CORRUPT),
    ("BACKCOUNT run past the bars", payload(b"BACKCOUNT", (), 0, [(5, d(6.0))]),
     ERR_STATE_CORRUPT),
    ("BACKCOUNT run NaN", payload(b"BACKCOUNT", (), 0, [(5, d(NAN))]), ERR_STATE_CORRUPT),
    ("FILTER silenced too far", payload(b"FILTER", (3,), 0, [(6, q(9))]), ERR_STATE_CORRUPT),
    ("FILTER 0 silenced to a bar", payload(b"FILTER", (0,), 0, [(6, q(5))]), ERR_STATE_CORRUPT),
    ("COUNT_A counted past the bars", payload(b"COUNT_A", (), 1, [(1, d(0.0, 0.0) + q(2))]),
     ERR_STATE_CORRUPT),
    ("MA running before a full window", payload(b"MA", (3,), 0, [(5, _ma(2))]), ERR_STATE_CORRUPT),
    ("bars from the first valid past the bars", payload(b"MA", (3,), 0, [(5, _ma(6))]),
     ERR_STATE_CORRUPT),
    ("SUM 0 keeps no window", payload(b"SUM", (0,), 0, [(5, q(1) + d(0.0))]), ERR_STATE_CORRUPT),
    ("LLV order reversed", payload(b"LLV", (3,), 0, [(5, llv3(2, [(3, 2.0), (4, 1.0), (0, 0)]))]),
     ERR_STATE_CORRUPT),
    ("LLV equal candidates", payload(b"LLV", (3,), 0, [(5, llv3(2, [(3, 1.0), (4, 1.0), (0, 0)]))]),
     ERR_STATE_CORRUPT),
    ("LLV bars out of order", payload(b"LLV", (3,), 0, [(5, llv3(2, [(4, 1.0), (3, 2.0), (0, 0)]))]),
     ERR_STATE_CORRUPT),
    ("LLV a bar out of the window", payload(b"LLV", (3,), 0,
                                            [(5, llv3(2, [(1, 1.0), (4, 2.0), (0, 0)]))]),
     ERR_STATE_CORRUPT),
    ("LLV a bar not yet taken", payload(b"LLV", (3,), 0,
                                        [(5, llv3(2, [(3, 1.0), (5, 2.0), (0, 0)]))]),
     ERR_STATE_CORRUPT),
    ("LLV a NaN candidate", payload(b"LLV", (3,), 0, [(5, llv3(1, [(4, NAN), (0, 0), (0, 0)]))]),
     ERR_STATE_CORRUPT),
    ("LLV a free slot used", payload(b"LLV", (3,), 0, [(5, llv3(1, [(4, 1.0), (0, 0), (0, -0.0)]))]),
     ERR_STATE_CORRUPT),
    ("LLV more candidates than N", payload(b"LLV", (3,), 0,
                                           [(5, d(NAN) + q(4) + (q(2) + d(1.0)) * 3)]),
     ERR_STATE_CORRUPT),
    ("LLV more candidates than bars", payload(b"LLV", (3,), 0,
                                              [(1, llv3(2, [(0, 1.0), (1, 2.0), (0, 0)]))]),
     ERR_STATE_CORRUPT),
    ("a byte missing", payload(b"BARSLAST", (), 0, [(5, q(2)[:7])]), ERR_STATE_CORRUPT),
    ("a byte too many", payload(b"BARSLAST", (), 0, [(5, q(2) + b"\0")]), ERR_STATE_CORRUPT),
    ("no stream", payload(b"BARSLAST", (), 0, []), ERR_SIZE_DISMATCH),
    ("two streams", payload(b"BARSLAST", (), 0, [(5, q(2)), (5, q(2))]), ERR_SIZE_DISMATCH),
    # A window of 2^31-1 bars asks for 32 GiB: refused for want of the bytes
    # that would fill it, before any memory is asked for.
    ("a window the bytes cannot fill", payload(b"SUM", (2**31 - 1,), 0, [(0, q(0) + d(0.0))]),
     ERR_STATE_CORRUPT),
    ("LLV storage the bytes cannot fill", payload(b"LLV", (2**31 - 1,), 0, [(0, d(NAN) + q(0))]),
     ERR_STATE_CORRUPT),
]


@pytest.mark.parametrize("label,body,rc", REFUSED, ids=[r[0] for r in REFUSED])
def test_states_no_series_could_leave_are_refused(label, body, rc):
    assert load(frame(b"ZVST", body))[0] == rc


# ---- the bytes of every function, pinned ----------------------------------------------

def _inputs(kinds, n=23):
    """Series that leave the same state on every machine and in every build:
    NaN only as leading bars and no infinities, so that no operation makes a
    NaN whose payload the compiler or the processor may choose."""
    values = [1.5, -0.0, 2.25, 0.0, 7.0, -3.0, 4.5, 2.25, 1e300, -2.5]
    out = []
    for j, k in enumerate(kinds):
        if k == "c":
            out.append([float((i * 7 + j) % 3) for i in range(n)])
        elif k == "w":                       # a window per bar
            out.append([[1.0, 2.0, 0.0, 3.0, 9.0, NAN, -1.0, 4.0][(i + j) % 8] for i in range(n)])
        else:
            out.append([NAN, NAN] + [values[(i * 3 + j) % len(values)] for i in range(n - 2)])
    return out


def _saved(f):
    params = {"SMA": (3, 1), "REF": (2,), "REFXV": (-2,)}.get(
        f.name, (3,) if "i" in f.kinds else ())
    kinds = ["w" if f.per_bar is None and a == "N" and k == "s" else k
             for a, k in f.args if k != "i"]
    s = opened(f.name.encode(), params, _inputs(kinds), max_window=4)
    try:
        return save(s)
    finally:
        lib.zv_stream_close(s)


def test_the_bytes_every_function_saves_are_pinned():
    got = {name: hashlib.sha256(_saved(f)).hexdigest() for name, f in _catalog.FUNCTIONS.items()}
    version = struct.unpack_from("<H", _saved(next(iter(_catalog.FUNCTIONS.values()))), 4)[0]
    if os.environ.get("ZELVO_RECORD_STATES"):
        DIGESTS.write_text(json.dumps({"version": version, "sha256": got}, indent=1) + "\n")
    pinned = json.loads(DIGESTS.read_text())
    assert pinned["version"] == version and pinned["sha256"] == got, (
        "what a stream saves has changed: raise kFormatVersion in rillet/src/stream_bytes.h and "
        "record the digests anew (ZELVO_RECORD_STATES=1 python3 -m pytest "
        "tests/core/test_stream_state.py)")
