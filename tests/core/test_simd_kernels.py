"""The lane-parallel dispersion and slope kernels against the straightforward
one-bar-at-a-time loops, bit for bit, on every instruction-set path this CPU
can run, built by every compiler at hand (g++, and clang++ when installed).

The straightforward loops live in ref_kernels.cpp, built here into a small
library.  The core's two source files are built here too, once per path and
compiler with RILLET_FORCE_PATH pinning the choice, so each kernel runs on
purpose rather than only the one the CPU would pick.

Every bit is compared, with one freedom: where two NaNs meet in one
operation, the result is a NaN carrying either one's payload (the compiler
may swap the operands of an addition).  A Python model tracks, for every NaN
it computes, the set of payloads it may carry; a lone NaN operand keeps its
payload exactly, and arithmetic on numbers gives the hardware's default NaN.
"""
import ctypes
import math
import os
import shutil
import struct
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from corelib import NAN_BITS, SENTINEL, UNDER_ASAN, bits, build_flags, cpu_flags, lib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SRC = os.path.join(ROOT, "rillet", "src")
INT_MAX, INT_MIN = 2147483647, -2147483648
PATHS = {0: "baseline", 1: "avx2", 2: "avx512f"}
FUNCS = ["std", "stddev", "stdp", "avedev", "slope"]

pytestmark = pytest.mark.skipif(not shutil.which("g++"), reason="g++ is needed")


def clangxx():
    """The first clang++ on PATH, or None."""
    for name in ["clang++"] + [f"clang++-{v}" for v in range(19, 13, -1)]:
        if shutil.which(name):
            return name
    return None


COMPILERS = {"gcc": "g++", "clang": clangxx()}


def runnable(path):
    return path == 0 or PATHS[path] in cpu_flags()


# ---- builds ----------------------------------------------------------------------------

class Lib:
    """One build: calls its five functions by name with guard elements."""

    def __init__(self, path, names):
        self.path = path
        self.dll = ctypes.CDLL(path)
        D = ctypes.POINTER(ctypes.c_double)
        self.fns = {}
        for key, sym in names.items():
            f = getattr(self.dll, sym)
            f.argtypes = ([ctypes.c_int64] if sym.startswith("zv_") else []) + [
                D, ctypes.c_int, ctypes.c_int, D, ctypes.c_int]
            f.restype = ctypes.c_int
            self.fns[key] = (f, sym.startswith("zv_"))

    def __call__(self, name, x, n, shift=0):
        """Runs one function; `shift` offsets both arrays by that many elements
        inside their buffers so the kernels see other alignments.  Returns the
        code and the result; asserts nothing was written outside it."""
        x = np.asarray(x, dtype=np.float64)
        size = len(x)
        xb = np.empty(size + shift)
        xb[shift:] = x
        rb = np.full(size + shift + 2, SENTINEL)
        D = ctypes.POINTER(ctypes.c_double)
        xp = xb[shift:].ctypes.data_as(D)
        rp = rb[shift:].ctypes.data_as(D)
        f, ctx = self.fns[name]
        args = ([0] if ctx else []) + [xp, size, n, rp, size]
        rc = f(*args)
        assert (rb[:shift] == SENTINEL).all() and (rb[shift + size:] == SENTINEL).all(), \
            f"{self.path} {name}: written outside the result"
        return rc, rb[shift:shift + size].copy()


CORE_NAMES = {"std": "zv_std", "stddev": "zv_stddev", "stdp": "zv_stdp", "avedev": "zv_avedev",
              "slope": "zv_slope"}
REF_NAMES = {"std": "ref_std", "stddev": "ref_stddev", "stdp": "ref_stddev",
             "avedev": "ref_avedev", "slope": "ref_slope"}


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """{"ref": reference, (compiler, 0/1/2): core pinned to that path (runnable
    ones only), "core": the core under test (installed module or ZELVO_CORE_LIB)}."""
    out = tmp_path_factory.mktemp("simd")
    jobs = {"ref": ("g++", [os.path.join(HERE, "ref_kernels.cpp")])}
    for cc, cxx in COMPILERS.items():
        if cxx is None or (UNDER_ASAN and cc != "gcc"):  # the preloaded runtime is GCC's
            continue
        for p in PATHS:
            if runnable(p):
                jobs[cc, p] = (cxx, [f"-DRILLET_FORCE_PATH={p}", os.path.join(SRC, "std.cpp"),
                                     os.path.join(SRC, "slope.cpp")])
    procs = {}
    for key, (cxx, srcs) in jobs.items():
        so = str(out / ("lib_ref.so" if key == "ref" else f"lib_{key[0]}_{key[1]}.so"))
        procs[key] = (so, subprocess.Popen([cxx, *build_flags(), *srcs, "-o", so],
                                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                           text=True))
    libs = {}
    for key, (so, proc) in procs.items():
        log = proc.communicate()[0]
        assert proc.returncode == 0, f"building {key} failed:\n{log}"
        libs[key] = Lib(so, REF_NAMES if key == "ref" else CORE_NAMES)
    libs["core"] = Lib(lib._name, CORE_NAMES)
    return libs


@pytest.mark.parametrize("cc", sorted(COMPILERS))
@pytest.mark.parametrize("path", sorted(PATHS))
def test_pinned_builds_run_their_path(builds, cc, path):
    if not runnable(path):
        pytest.skip(f"this CPU lacks {PATHS[path]}")
    if (cc, path) not in builds:
        pytest.skip(f"no {cc} build here")
    f = builds[cc, path].dll.rillet_forced_path
    f.restype = ctypes.c_int
    assert f() == path


def test_pinned_builds_allocate_nothing(builds):
    if UNDER_ASAN or not shutil.which("nm"):
        pytest.skip("needs nm and an uninstrumented build")
    alloc = {"malloc", "calloc", "realloc", "free", "_Znwm", "_Znam", "_ZdlPv", "_ZdaPv",
             "posix_memalign", "aligned_alloc"}
    for key, b in builds.items():
        if isinstance(key, tuple):
            undefined = subprocess.run(["nm", "-u", "-D", b.path], capture_output=True,
                                       text=True, check=True).stdout.split()
            assert not alloc & {s.split("@")[0] for s in undefined}, (key, undefined)


def test_module_kernels_are_hidden_and_unfused():
    # The shipped module: nothing but the public names is exported (the
    # kernels and their dispatch stay internal), it carries AVX-512 code,
    # and no instruction anywhere fuses a multiply into an add.
    import importlib.util

    so = importlib.util.find_spec("zelvo._zelvo").origin
    if not (shutil.which("nm") and shutil.which("objdump")):
        pytest.skip("needs nm and objdump")
    exported = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True,
                              check=True).stdout.split("\n")
    names = {line.split()[-1] for line in exported if line.strip()}
    helpers = {"maxi", "mini", "ctxn", "arange", "zeros", "aprint", "PyInit__zelvo"}
    assert {n for n in names if not n.startswith("zv_")} <= helpers, names
    code = subprocess.run(["objdump", "-d", "--no-show-raw-insn", so], capture_output=True,
                          text=True, check=True).stdout
    assert "%zmm" in code and "%ymm" in code
    fused = [line for line in code.split("\n") if "\tvfmadd" in line or "\tvfmsub" in line
             or "\tvfnmadd" in line or "\tvfnmsub" in line]
    assert not fused, fused[:5]


@pytest.mark.parametrize("cc", sorted(COMPILERS))
def test_kernels_never_fuse_even_with_contraction_on(tmp_path, cc):
    # GCC contracts a*b + c into one rounding by default (-ffp-contract=fast),
    # clang within one expression (on), and AVX-512F has the instructions for
    # it; the kernel files switch contraction off themselves.  (clang's
    # -ffp-contract=fast overrides every pragma by design, so it is not asked.)
    if not shutil.which("objdump"):
        pytest.skip("needs objdump")
    if COMPILERS[cc] is None:
        pytest.skip(f"no {cc} here")
    contract = "-ffp-contract=fast" if cc == "gcc" else "-ffp-contract=on"
    for src in ("std.cpp", "slope.cpp"):
        obj = str(tmp_path / (src + ".o"))
        subprocess.run([COMPILERS[cc], "-c", "-O3", contract, "-fPIC", "-std=c++17",
                        os.path.join(SRC, src), "-o", obj], check=True)
        code = subprocess.run(["objdump", "-d", obj], capture_output=True, text=True,
                              check=True).stdout
        assert "%zmm" in code and "\tvfm" not in code and "\tvfnm" not in code, src


# ---- a Python model that tracks NaN payloads ----------------------------------------------
#
# A value is a float, or, for a NaN, the frozenset of the bit patterns it may
# carry.  Two NaNs meeting give the union of their (quieted) payloads; one
# NaN operand gives its own; numbers give the hardware's result, whose NaN
# (0/0, inf-inf, 0*inf) is x86's default NaN.

def _from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


QUIET_BIT = 1 << 51
DEFAULT_NAN_BITS = 0xFFF8000000000000  # what x86 makes of 0/0, inf-inf, 0*inf


def _value(v):
    """A float of the input series as a model value."""
    return frozenset([int(bits(v)) | QUIET_BIT]) if math.isnan(v) else v


def _result(v):
    """A float that arithmetic on numbers produced, as a model value."""
    return frozenset([DEFAULT_NAN_BITS]) if math.isnan(v) else v


def _binary(op):
    def f(a, b):
        na, nb = isinstance(a, frozenset), isinstance(b, frozenset)
        if na and nb:
            return a | b
        if na or nb:
            return a if na else b
        return _result(op(a, b))
    return f


def _ieee_div(a, b):
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


add = _binary(lambda a, b: a + b)
sub = _binary(lambda a, b: a - b)
mul = _binary(lambda a, b: a * b)
div = _binary(_ieee_div)


def sqrt(v):
    return v if isinstance(v, frozenset) else _result(math.sqrt(v) if v >= 0 else math.nan)


def fabs(v):
    if isinstance(v, frozenset):
        return frozenset(b & ~(1 << 63) for b in v)
    return abs(v)


Q = frozenset([NAN_BITS])  # the missing-bar NaN, exactly


def model(name, x, n):
    """(code, result or None) of one function, as the straightforward loops
    compute it, each bar a float or the set of NaN bit patterns it may hold."""
    size = len(x)
    x = [_value(float(v)) for v in x]
    if name == "slope":
        if n < 0:
            return 2, None
        if n == 0:
            return 0, [1.0] * size
        r = [Q] * size
        if size < n:
            return 0, r
        sum_x = float(n * (n - 1) // 2)
        sum_xx = float(n * (n - 1) * (2 * n - 1) // 6)
        denom = sub(mul(float(n), sum_xx), mul(sum_x, sum_x))
        for k in range(size - n + 1):
            sy = sxy = 0.0
            for j in range(n):
                sy = add(sy, x[k + j])
                sxy = add(sxy, mul(float(j), x[k + j]))
            r[k + n - 1] = div(sub(mul(float(n), sxy), mul(sum_x, sy)), denom)
        return 0, r
    if n < 1:
        return 2, None
    r = [Q] * size
    s = next((i for i, v in enumerate(x) if not isinstance(v, frozenset)), size)
    total = 0.0
    for j in range(s, min(s + n - 1, size)):
        total = add(total, x[j])
    for i in range(s + n - 1, size):
        total = add(total, x[i])
        avg = div(total, float(n))
        sig = 0.0
        for k in range(i - n + 1, i + 1):
            d = sub(x[k], avg)
            sig = add(sig, fabs(d) if name == "avedev" else mul(d, d))
        if name == "std":
            r[i] = 0.0 if n == 1 else sqrt(div(sig, float(n - 1)))
        elif name == "avedev":
            r[i] = div(sig, float(n))
        else:
            r[i] = sqrt(div(sig, float(n)))
        total = sub(total, x[i - n + 1])
    return 0, r


def reachable_nans(x):
    """Every NaN bit pattern a result over x may hold, for the comparisons
    without a model: the inputs' NaNs quieted, the default NaN, and all of
    these with the sign cleared (AVEDEV's absolute values)."""
    quieted = {int(b) | QUIET_BIT for b in bits(x)[np.isnan(x)]} | {DEFAULT_NAN_BITS}
    return frozenset(quieted | {b & ~(1 << 63) for b in quieted})


def as_allowed(v):
    """A model value or a float as what a bar may hold: a number, or a set of
    NaN bit patterns (a float NaN allows exactly its own bits)."""
    if isinstance(v, frozenset):
        return v
    return frozenset([int(bits(v))]) if math.isnan(v) else v


# ---- inputs --------------------------------------------------------------------------

NANS = [_from_bits(b) for b in (
    0x7FF8000000000000, 0xFFF8000000000000,  # quiet, both signs
    0x7FF8DEADBEEF0001, 0xFFFC00000000ABCD,  # quiet with payloads
    0x7FF0000000000001, 0xFFF0000000000001,  # signalling
    0x7FF4000000000005, 0xFFF7FFFFFFFFFFFF,  # signalling with payloads
)]
SPECIALS = NANS + [math.inf, -math.inf, 0.0, -0.0, 5e-324, 1e308, -1e308]
ordinary = st.one_of(
    st.floats(-1e6, 1e6),
    st.integers(-4, 4).map(float),
    # magnitudes far apart, so every rounding step shows
    st.sampled_from([1e16, -1e16, 2.0 ** 53 + 2, 1e-8, 0.1, 1 / 3, 1e154, -1e154, 1e-160,
                     1e200, 3e-300]),
)


@st.composite
def series(draw):
    """Up to 70 bars of ordinary values, a few special ones sprinkled in
    (often none, so whole runs of windows compute numbers), sometimes after a
    run of leading NaN bars."""
    x = draw(st.lists(ordinary, max_size=70))
    if x and draw(st.booleans()):
        for _ in range(draw(st.integers(1, 6))):
            x[draw(st.integers(0, len(x) - 1))] = draw(st.sampled_from(SPECIALS))
    lead = draw(st.sampled_from([0, 0, 0, 1, 3]))
    return [draw(st.sampled_from(NANS)) for _ in range(lead)] + x


# Lane widths 1, 2, 4, 8 and blocks of 8, 16, 32 bars, each minus and plus one;
# the series length and its neighbours; the largest window; refusals.
FIXED_WINDOWS = [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, INT_MAX, 0, -1, INT_MIN]


class Allowed:
    """What each bar of a result may hold: exact bits, or a set of NaN bit
    patterns."""

    def __init__(self, values):
        self.values = [as_allowed(v) for v in values]
        self.exact = np.array([next(iter(a)) if isinstance(a, frozenset) else int(bits(a))
                               for a in self.values], dtype=np.uint64)

    def mismatch(self, got):
        """The first bar where the array `got` breaks the rule, as a message;
        None when every bar is allowed."""
        got_bits = bits(got)
        if got_bits.shape != self.exact.shape:
            return f"{got_bits.shape[0]} bars, expected {self.exact.shape[0]}"
        for i in np.flatnonzero(got_bits != self.exact):  # bars with a choice, or faults
            g, a = int(got_bits[i]), self.values[i]
            if not (isinstance(a, frozenset) and g in a):
                want = sorted(hex(b) for b in a) if isinstance(a, frozenset) else hex(
                    int(bits(a)))
                return f"bar {i}: got {hex(g)}, allowed {want}"
        return None


def compare(builds, name, x, n, shift=0, expected=None):
    """Every build gives the reference's code and bits, NaNs where two met
    excepted: those must hold a payload the model allows when it is given,
    else one of the NaNs that can reach a result."""
    rc_ref, r_ref = builds["ref"](name, x, n)
    if expected is not None:
        rc_exp, r_exp = expected
        assert rc_ref == rc_exp, (name, n)
        if rc_exp == 0:
            allowed = Allowed(r_exp)
            bad = allowed.mismatch(r_ref)
            assert bad is None, f"reference differs from the model: {name} N={n}, {bad}"
    if expected is None or rc_exp != 0:
        # Bars before the first full window are the missing-bar NaN exactly.
        x = np.asarray(x, dtype=np.float64)
        lead = 0 if name == "slope" else next(
            (i for i, v in enumerate(x) if not math.isnan(v)), len(x))
        warm = lead + max(n, 1) - 1
        nans = reachable_nans(x)
        allowed = Allowed([nans if i >= warm and math.isnan(v) else v
                           for i, v in enumerate(r_ref)])
    for key, b in builds.items():
        if key == "ref":
            continue
        rc, r = b(name, x, n, shift)
        assert rc == rc_ref, (key, name, n)
        if rc == 0:
            bad = allowed.mismatch(r)
            assert bad is None, f"build {key}, {name}, N={n}, {bad}"
        else:
            assert (r == SENTINEL).all()


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_every_path_matches_the_loops(builds, data):
    x = data.draw(series())
    around_length = st.sampled_from([len(x) - 1, len(x), len(x) + 1]).filter(lambda v: v > 0)
    n = data.draw(st.one_of(st.sampled_from(FIXED_WINDOWS), around_length))
    shift = data.draw(st.sampled_from([0, 1]))
    for name in FUNCS:
        compare(builds, name, x, n, shift, expected=model(name, x, n))


@pytest.mark.parametrize("name", FUNCS)
def test_long_series(builds, name):
    rng = np.random.default_rng(11)
    walk = 1e8 + np.cumsum(rng.normal(size=10_000))  # large level, small steps: rounding shows
    spiky = rng.normal(size=10_000) * 10.0 ** rng.integers(-8, 9, size=10_000)
    holes = walk.copy()  # slope windows away from these stay numbers
    holes[rng.integers(0, 10_000, size=12)] = rng.choice(NANS + [math.inf], size=12)
    late = walk.copy()  # the running mean breaks only near the end
    late[:5] = math.nan
    late[9_990] = NANS[2]
    for x in (walk, spiky, holes, late):
        for n in (1, 2, 7, 8, 9, 16, 17, 20, 33, 128, 129, 250, 1000, 9_999, 10_000, 10_001,
                  INT_MAX):
            compare(builds, name, x, n, shift=n % 2)


# ---- two payloads meeting, by hand ----------------------------------------------------

A = _from_bits(0x7FF8000000000A0A)
B = _from_bits(0xFFF800000000B0B0)
ABS_B = _from_bits(0x7FF800000000B0B0)


@pytest.mark.parametrize("name,b_out", [("std", B), ("stddev", B), ("stdp", B),
                                        ("avedev", ABS_B), ("slope", B)])
def test_lone_payloads_kept_met_payloads_either(builds, name, b_out):
    # N = 2 over 0, 1, .., 19, A, B, 22, 23, ..: bar 20's window [19, A]
    # meets only A, so its result is A exactly.  Dispersion: the running sum
    # takes A at bar 20 and B at bar 21, where the two meet; from bar 21 on
    # every result is A or B (|B| for AVEDEV), the compiler's choice.  Slope:
    # bar 21's window [A, B] is either, bar 22's [B, 22] is B exactly and bar
    # 23's [22, 23] is a number again.
    x = [float(i) for i in range(40)]
    x[20], x[21] = A, B
    either = frozenset(int(bits(v)) for v in (A, b_out))
    allowed = Allowed([A, either] + ([b_out, 1.0] if name == "slope" else [either] * 2))
    assert [as_allowed(v) for v in model(name, x, 2)[1][20:24]] == allowed.values
    for key, b in builds.items():
        rc, r = b(name, x, 2)
        assert rc == 0
        bad = allowed.mismatch(r[20:24])
        assert bad is None, (key, bad)
        if name != "slope":
            assert Allowed([either] * 16).mismatch(r[24:]) is None, key
