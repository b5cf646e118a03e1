"""The core from C, and the core's test suite under AddressSanitizer and
UndefinedBehaviorSanitizer (built here straight from the sources)."""
import os
import subprocess
import sys

import pytest

import builds
from builds import ROOT, run

needs_compilers = pytest.mark.skipif(not builds.have("gcc", "g++"), reason="gcc and g++ are needed")


@needs_compilers
def test_c_caller(tmp_path, core_objects):
    objs = core_objects("test")
    caller = tmp_path / "caller.o"
    # Compiled as C, strictly: the header must serve C callers.
    run(["gcc", *builds.C_CALLER, *builds.INCLUDE, "-c", os.path.join(builds.TESTS_C, "ma_caller.c"),
         "-o", caller])
    exe = tmp_path / "caller"
    run(["g++", caller, *objs, "-lm", "-o", exe])
    out = run([exe]).stdout
    assert out == ("rc=0\n"
                   "ma = [ nan,  nan,  nan,    2,    3,    4]\n"
                   "steps = [   0,  2.5,    5,  7.5]\n"
                   "bad=2 2 1\n")


@needs_compilers
@pytest.mark.skipif(not builds.runtime("libasan.so"), reason="the AddressSanitizer runtime is needed")
def test_core_suite_under_sanitizers(tmp_path, core_objects):
    # The property tests draw a fifth of their examples here: the point is
    # memory and undefined behaviour on every path, which the fixed cases and
    # the first draws reach; the uninstrumented run draws them all.
    lib = tmp_path / "librillet_san.so"
    run(["g++", *builds.flags("asan", shared=True), *core_objects("asan"), "-o", lib])
    env = dict(os.environ,
               ZELVO_CORE_LIB=str(lib),
               ZELVO_EXAMPLES="0.2",
               LD_PRELOAD=builds.runtime("libasan.so"),
               ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    p = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                        os.path.join(ROOT, "tests", "core")],
                       cwd=ROOT, env=env, capture_output=True, text=True)
    tail = (p.stdout + p.stderr)[-4000:]
    assert p.returncode == 0, tail
    assert "passed" in p.stdout and "runtime error" not in p.stderr, tail


def build_panel_caller(tmp_path, objs, flags=()):
    caller = tmp_path / "panel_caller.o"
    run(["gcc", *builds.C_CALLER, *flags, *builds.INCLUDE, "-c",
         os.path.join(builds.TESTS_C, "panel_caller.c"), "-o", caller])
    exe = tmp_path / "panel_caller"
    run(["g++", *flags, caller, *objs, "-lm", "-pthread", "-o", exe])
    return str(exe)


@needs_compilers
def test_panel_from_c(tmp_path, core_objects):
    # Every lane of zv_panel against the one-series function, both axis
    # orders, 1/2/3/7 threads; concurrent callers; children forked while the
    # pool works.
    exe = build_panel_caller(tmp_path, core_objects("test"))
    out = run([exe], timeout=600).stdout
    assert out == ("small runs=152 bad=0\n"
                   "big runs=152 bad=0\n"
                   "concurrent mismatches=0\n"
                   "forked children ok=5\n"
                   "refused=2 2 2 untouched=1\n")


@needs_compilers
@pytest.mark.skipif(not builds.runtime("libtsan.so"), reason="the ThreadSanitizer runtime is needed")
def test_panel_pool_under_thread_sanitizer(tmp_path, core_objects):
    exe = build_panel_caller(tmp_path, core_objects("tsan"), builds.VARIANTS["tsan"])
    env = dict(os.environ, PANEL_QUICK="1", PANEL_NO_FORK="1",
               TSAN_OPTIONS="halt_on_error=1:exitcode=66")
    p = subprocess.run([exe], capture_output=True, text=True, env=env, timeout=900)
    assert "ThreadSanitizer" not in p.stderr, p.stderr[-4000:]
    assert p.returncode == 0, p.stdout + p.stderr[-4000:]
    assert p.stdout == ("small runs=152 bad=0\n"
                        "concurrent mismatches=0\n"
                        "refused=2 2 2 untouched=1\n")
