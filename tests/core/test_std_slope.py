"""Dispersion statistics (STD, STDDEV, STDP, AVEDEV) and the regression slope
(SLOPE), bit for bit, on every instruction-set path this CPU can run, built
by every compiler at hand (g++, and clang++ when installed).

The core's two source files are built here once per path and compiler, with
RILLET_FORCE_PATH pinning the choice, so each lane-parallel kernel runs on
purpose rather than only the one the CPU would pick; the installed core runs
beside them.  Every bit is compared, with one freedom: where two NaNs meet in
one operation the result may carry either one's payload (the compiler may
swap the operands of an addition), so a NaN that arithmetic made may be any
NaN that can reach the result.  The hand-made tables pin payloads exactly.
"""
import ctypes
import math
import os
import subprocess

import numpy as np
import pytest
from hypothesis import given, strategies as st

import builds
import reference
from corelib import (ERR_OK, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH, NAN_BITS, NEG_NAN, PAYLOAD_NAN,
                     SENTINEL, SNAN, assert_bits, bits, call, double_from_bits, fn, lib, ptr)
from reference import INT_MAX, INT_MIN, NaN, slope_constants
from strategies import NANS, examples, from_bits, sprinkled

FUNCS = ["zv_std", "zv_stddev", "zv_stdp", "zv_avedev"]
QUIET_SNAN = double_from_bits(0x7FF8000000000001)  # SNAN after passing through arithmetic
PATHS = {0: "baseline", 1: "avx2", 2: "avx512f"}
COMPILERS = {"gcc": "g++", "clang": builds.clangxx()}
CPU = builds.cpu_flags()


def runnable(path):
    return path == 0 or PATHS[path] in CPU


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    """{"module": the core under test, (compiler, path): the kernels pinned to
    that path} for every runnable path and compiler at hand."""
    if not builds.have("g++"):
        return {"module": lib}
    out = tmp_path_factory.mktemp("paths")
    jobs = {}
    for cc, cxx in COMPILERS.items():
        if cxx is None or (builds.UNDER_ASAN and cc != "gcc"):  # the preloaded runtime is GCC's
            continue
        for p in filter(runnable, PATHS):
            so = str(out / f"lib_{cc}_{p}.so")
            cmd = [cxx, *builds.flags(shared=True), f"-DRILLET_FORCE_PATH={p}", *builds.INCLUDE,
                   os.path.join(builds.CORE_SRC, "families", "dispersion.cpp"),
                   os.path.join(builds.CORE_SRC, "families", "slope.cpp"), "-o", so]
            jobs[cc, p] = (so, subprocess.Popen(cmd, stdout=subprocess.PIPE,
                                                stderr=subprocess.STDOUT, text=True))
    found = {"module": lib}
    for key, (so, proc) in jobs.items():
        log = proc.communicate()[0]
        assert proc.returncode == 0, f"building {key} failed:\n{log}"
        found[key] = ctypes.CDLL(so)
    return found


def run_on(dll, name, x, n, shift=0):
    """Runs one function of one build; `shift` offsets both arrays inside
    their buffers so the kernels see other alignments.  Returns the code and
    the result; asserts nothing was written outside it."""
    x = np.asarray(x, dtype=np.float64)
    size = len(x)
    xb = np.empty(size + shift)
    xb[shift:] = x
    rb = np.full(size + shift + 2, SENTINEL)
    rc = fn(name, dll)(0, ptr(xb[shift:]), size, n, ptr(rb[shift:]), size)
    assert (rb[:shift] == SENTINEL).all() and (rb[shift + size:] == SENTINEL).all(), \
        f"{dll} {name}: written outside the result"
    return rc, rb[shift:shift + size].copy()


# ---- comparing with a reference -----------------------------------------------------------

QUIET_BIT, SIGN_BIT = 1 << 51, 1 << 63
DEFAULT_NAN_BITS = 0xFFF8000000000000  # what x86 makes of 0/0, inf-inf, 0*inf


def reachable_nans(x):
    """Every NaN bit pattern a result over x may hold: the inputs' NaNs
    quieted, the default NaN, and all of these with the sign cleared
    (AVEDEV's absolute values)."""
    x = np.asarray(x, dtype=np.float64)
    quieted = {int(b) | QUIET_BIT for b in bits(x)[np.isnan(x)]} | {DEFAULT_NAN_BITS}
    return np.array(sorted(quieted | {b & ~SIGN_BIT for b in quieted}), dtype=np.uint64)


class Expected:
    """A reference result as a rule per bar: None is the exact missing-bar
    NaN, a float NaN any NaN that can reach the result, a number its bits."""

    def __init__(self, ref, x):
        self.missing = np.array([e is None for e in ref], dtype=bool)
        values = np.array([NaN if e is None else e for e in ref], dtype=np.float64)
        self.made_nan = np.isnan(values) & ~self.missing
        self.bits = np.where(self.missing, np.uint64(NAN_BITS), bits(values))
        self.nans = reachable_nans(x)

    def mismatch(self, got):
        g = bits(got)
        if g.shape != self.bits.shape:
            return f"{g.shape[0]} bars, expected {self.bits.shape[0]}"
        ok = np.where(self.made_nan, np.isin(g, self.nans), g == self.bits)
        bad = np.flatnonzero(~ok)
        if len(bad):
            i = bad[0]
            return f"bar {i}: got {hex(int(g[i]))}, expected {hex(int(self.bits[i]))}"
        return None


def references(x, n):
    """{function: reference result} of the five functions for window n."""
    out = reference.dispersion(x, n) if n >= 1 else {}
    if n >= 0:
        out["zv_slope"] = reference.slope(x, n)
    return out


def compare(paths, x, n, shift=0):
    """Every build gives each function's reference code and bits."""
    refs = references(x, n)
    for name in FUNCS + ["zv_slope"]:
        expected = Expected(refs[name], x) if name in refs else None
        for key, dll in paths.items():
            rc, r = run_on(dll, name, x, n, shift)
            if expected is None:
                assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all(), (key, name, n)
                continue
            assert rc == ERR_OK, (key, name, n)
            bad = expected.mismatch(r)
            assert bad is None, f"build {key}, {name}, N={n}, {bad}"


# ---- hand-made cases --------------------------------------------------------------------

S3 = 0.816496580927726
S2 = 0.7071067811865476


@pytest.mark.parametrize("x,n,std,stddev,avedev", [
    ([1, 2, 3, 4], 3, [NaN, NaN, 1, 1], [NaN, NaN, S3, S3],
     [NaN, NaN, 0.6666666666666666, 0.6666666666666666]),
    ([2, 4, 4, 4, 5, 5, 7, 9], 8, [NaN] * 7 + [2.138089935299395], [NaN] * 7 + [2.0],
     [NaN] * 7 + [1.5]),
    ([NaN, 1, 2, 3], 2, [NaN, NaN, S2, S2], [NaN, NaN, 0.5, 0.5], [NaN, NaN, 0.5, 0.5]),
    ([1, NaN, 2, 3, 4], 2, [NaN] * 5, [NaN] * 5, [NaN] * 5),
    # N = 1: STD is 0.0 from the first valid bar on whatever the data
    ([NaN, 1, NaN, 2], 1, [NaN, 0, 0, 0], [NaN, 0, NaN, NaN], [NaN, 0, NaN, NaN]),
    ([1, 2, 3], 4, [NaN] * 3, [NaN] * 3, [NaN] * 3),
    ([NaN, 1, 2], INT_MAX, [NaN] * 3, [NaN] * 3, [NaN] * 3),
    ([NaN, NaN], 1, [NaN] * 2, [NaN] * 2, [NaN] * 2),
    ([-0.0, -0.0], 1, [0.0, 0.0], [0.0, 0.0], [0.0, 0.0]),  # never a negative zero
    # infinity minus infinity once the infinite bar leaves the window: the
    # negative default NaN, which the absolute value of AVEDEV turns positive
    ([1, math.inf, 3, 4], 2, [NaN, NEG_NAN, NEG_NAN, NEG_NAN], [NaN, NEG_NAN, NEG_NAN, NEG_NAN],
     [NaN, NaN, NaN, NaN]),
    ([1, 2, NEG_NAN], 2, [NaN, S2, NEG_NAN], [NaN, 0.5, NEG_NAN], [NaN, 0.5, NaN]),
    ([1, 2, PAYLOAD_NAN], 2, [NaN, S2, PAYLOAD_NAN], [NaN, 0.5, PAYLOAD_NAN],
     [NaN, 0.5, PAYLOAD_NAN]),
    ([3, SNAN], 1, [0, 0], [0, QUIET_SNAN], [0, QUIET_SNAN]),
])
def test_dispersion_examples(paths, x, n, std, stddev, avedev):
    for name, exp in zip(FUNCS, [std, stddev, stddev, avedev]):
        for key, dll in paths.items():
            rc, r = run_on(dll, name, x, n)
            assert rc == ERR_OK, (key, name)
            assert_bits(r, exp)


@pytest.mark.parametrize("name", FUNCS)
def test_dispersion_refusals(name):
    for n in (0, -1, -2**31):
        rc, r = call(name, [1, 2, 3], n)
        assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all()
    for size_r in (2, 4):
        rc, r = call(name, [1, 2, 3], 0, size_r=size_r)  # size beats parameter
        assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()
    assert call(name, [], 3)[0] == ERR_OK
    rc, r = call(name, [], 1, sizes=[-4], size_r=-4)
    assert rc == ERR_OK


@pytest.mark.parametrize("y,n,expected", [
    ([1, 3, 5, 7], 2, [NaN, 2, 2, 2]),
    ([2, 4, 3, 8], 3, [NaN, NaN, 0.5, 2.0]),
    ([2, 4, 3, 8], 4, [NaN, NaN, NaN, 1.7]),
    ([2, 4, 3, 8], 5, [NaN] * 4),
    ([2, 4, 3], INT_MAX, [NaN] * 3),
    ([1, 2, 3], 1, [NEG_NAN] * 3),  # 0 / 0
    ([1, NaN, 3], 0, [1, 1, 1]),
    ([1, NaN, 3, 4, 5], 2, [NaN, NaN, NaN, 1, 1]),  # only windows holding the NaN
    ([1, PAYLOAD_NAN, 3], 2, [NaN, PAYLOAD_NAN, PAYLOAD_NAN]),
    ([5, 5, -0.0, -0.0], 2, [NaN, 0.0, -5.0, 0.0]),
])
def test_slope_examples(paths, y, n, expected):
    for key, dll in paths.items():
        rc, r = run_on(dll, "zv_slope", y, n)
        assert rc == ERR_OK, key
        assert_bits(r, expected)


def test_slope_refusals_and_empty():
    rc, r = call("zv_slope", [1, 2, 3], -1)
    assert rc == ERR_PARAM_WRONG and (r == SENTINEL).all()
    rc, r = call("zv_slope", [1, 2, 3], -1, size_r=2)
    assert rc == ERR_SIZE_DISMATCH and (r == SENTINEL).all()
    for n in (0, 2, INT_MAX):
        assert call("zv_slope", [], n)[0] == ERR_OK
        assert call("zv_slope", [], n, sizes=[-3], size_r=-3)[0] == ERR_OK


def test_slope_long_window_position_sums():
    # N(N-1)(2N-1)/6 exceeds 64 bits here; it must still be exact before its
    # one rounding to double.  cumsum adds strictly in order, as the core does.
    n = 4_200_000
    y = np.random.default_rng(5).normal(size=n + 1)
    rc, r = call("zv_slope", y, n)
    assert rc == ERR_OK
    assert (bits(r[:n - 1]) == NAN_BITS).all()
    sum_x, den = slope_constants(n)
    pos = np.arange(n, dtype=np.float64)
    for k in (0, 1):
        w = y[k:k + n]
        exp = (float(n) * float(np.cumsum(pos * w)[-1]) - sum_x * float(np.cumsum(w)[-1])) / den
        assert bits(r[k + n - 1]) == bits(exp)


# ---- against the reference -----------------------------------------------------------------

# Lane widths 1, 2, 4, 8 and blocks of 8, 16, 32 bars, each minus and plus one;
# the largest window; refusals.
FIXED_WINDOWS = [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, INT_MAX, 0, -1, INT_MIN]


@examples(300)
@given(st.data())
def test_every_path_matches_the_reference(paths, data):
    x = data.draw(sprinkled())
    around_length = st.sampled_from([len(x) - 1, len(x), len(x) + 1]).filter(lambda v: v > 0)
    n = data.draw(st.one_of(st.sampled_from(FIXED_WINDOWS), around_length))
    compare(paths, x, n, shift=data.draw(st.sampled_from([0, 1])))


@pytest.mark.parametrize("kind", ["walk", "spiky", "holes", "late"])
def test_long_series(paths, kind):
    rng = np.random.default_rng(11)
    walk = 1e8 + np.cumsum(rng.normal(size=10_000))  # large level, small steps: rounding shows
    x = {"walk": walk, "spiky": rng.normal(size=10_000) * 10.0 ** rng.integers(-8, 9, size=10_000)}
    x["holes"] = walk.copy()  # slope windows away from these stay numbers
    x["holes"][rng.integers(0, 10_000, size=12)] = rng.choice(NANS + [math.inf], size=12)
    x["late"] = walk.copy()  # the running mean breaks only near the end
    x["late"][:5] = math.nan
    x["late"][9_990] = NANS[2]
    for n in (1, 2, 7, 8, 9, 16, 17, 20, 33, 128, 129, 250, 1000, 9_999, 10_000, 10_001, INT_MAX):
        compare(paths, x[kind], n, shift=n % 2)


# ---- the builds themselves ------------------------------------------------------------------

def test_pinned_builds_allocate_nothing(paths):
    if builds.UNDER_ASAN or not builds.have("nm"):
        pytest.skip("needs nm and an uninstrumented build")
    alloc = {"malloc", "calloc", "realloc", "free", "_Znwm", "_Znam", "_ZdlPv", "_ZdaPv",
             "posix_memalign", "aligned_alloc"}
    for key, dll in paths.items():
        if isinstance(key, tuple):
            undefined = subprocess.run(["nm", "-u", "-D", dll._name], capture_output=True,
                                       text=True, check=True).stdout.split()
            assert not alloc & {s.split("@")[0] for s in undefined}, (key, undefined)


def test_module_kernels_are_hidden_and_unfused():
    # The shipped core (the one the modules link): nothing but the public
    # names is exported (the kernels and their dispatch stay internal), it
    # carries AVX-512 code, and no instruction anywhere fuses a multiply into
    # an add.
    import zelvo

    so = zelvo.get_library()
    if not builds.have("nm", "objdump"):
        pytest.skip("needs nm and objdump")
    exported = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True,
                              check=True).stdout.split("\n")
    names = {line.split()[-1] for line in exported if line.strip()}
    helpers = {"maxi", "mini", "ctxn", "arange", "zeros", "aprint"}
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
    if builds.UNDER_ASAN or not builds.have("objdump"):
        pytest.skip("needs objdump; a compile check, not repeated under the sanitizers")
    if COMPILERS[cc] is None:
        pytest.skip(f"no {cc} here")
    contract = "-ffp-contract=fast" if cc == "gcc" else "-ffp-contract=on"
    for src in ("dispersion.cpp", "slope.cpp"):
        obj = str(tmp_path / (src + ".o"))
        subprocess.run([COMPILERS[cc], "-c", "-O3", contract, "-fPIC", "-std=c++17",
                        os.path.join(builds.CORE_SRC, "families", src), "-o", obj], check=True)
        code = subprocess.run(["objdump", "-d", obj], capture_output=True, text=True,
                              check=True).stdout
        assert "%zmm" in code and "\tvfm" not in code and "\tvfnm" not in code, src


# ---- two payloads meeting, by hand ----------------------------------------------------

A = from_bits(0x7FF8000000000A0A)
B = from_bits(0xFFF800000000B0B0)
ABS_B = from_bits(0x7FF800000000B0B0)


@pytest.mark.parametrize("name,b_out", [("zv_std", B), ("zv_stddev", B), ("zv_stdp", B),
                                        ("zv_avedev", ABS_B), ("zv_slope", B)])
def test_lone_payloads_kept_met_payloads_either(paths, name, b_out):
    # N = 2 over 0, 1, .., 19, A, B, 22, 23, ..: bar 20's window [19, A]
    # meets only A, so its result is A exactly.  Dispersion: the running sum
    # takes A at bar 20 and B at bar 21, where the two meet; from bar 21 on
    # every result is A or B (|B| for AVEDEV), the compiler's choice.  Slope:
    # bar 21's window [A, B] is either, bar 22's [B, 22] is B exactly and bar
    # 23's [22, 23] is a number again.
    x = [float(i) for i in range(40)]
    x[20], x[21] = A, B
    a, b = int(bits(A)), int(bits(b_out))
    rules = [{a}, {a, b}] + ([{b}, {int(bits(1.0))}] if name == "zv_slope" else [{a, b}] * 18)
    for key, dll in paths.items():
        rc, r = run_on(dll, name, x, 2)
        assert rc == ERR_OK
        got = [int(v) for v in bits(r[20:20 + len(rules)])]
        assert all(g in rule for g, rule in zip(got, rules)), (key, [hex(g) for g in got])
