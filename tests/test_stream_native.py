"""The C streams against the whole-series functions, bit for bit, from a C++
test program (tests/c/stream_exact.cpp) built here from the core's sources,
once optimised as the core ships and once under AddressSanitizer and
UndefinedBehaviorSanitizer."""
import os
import subprocess

import pytest

import builds

PROGRAM = os.path.join(builds.TESTS_C, "stream_exact.cpp")
needs_gxx = pytest.mark.skipif(not builds.have("g++"), reason="g++ is needed")


def _build(tmp_path, core_objects, variant):
    return builds.program(tmp_path / "stream_exact", [PROGRAM], core_objects(variant), variant)


def _check(out):
    last = out.strip().splitlines()[-1]
    checks, failures = int(last.split()[0]), int(last.split()[2])
    assert failures == 0 and checks > 100_000, out[-3000:]


@needs_gxx
def test_streams_equal_the_whole_series_functions(tmp_path, core_objects):
    # The core's own flags, -O3 as it ships: the step code is what runs.
    exe = _build(tmp_path, core_objects, "shipped")
    _check(builds.run([exe, "4"]).stdout)


@needs_gxx
@pytest.mark.skipif(not builds.runtime("libasan.so"), reason="the AddressSanitizer runtime is needed")
def test_streams_under_sanitizers(tmp_path, core_objects):
    exe = _build(tmp_path, core_objects, "asan")
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    p = subprocess.run([exe, "1"], capture_output=True, text=True, env=env)
    assert p.returncode == 0, (p.stdout + p.stderr)[-4000:]
    assert "runtime error" not in p.stderr, p.stderr[-4000:]
    _check(p.stdout)
