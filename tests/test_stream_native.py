"""The C streams against the whole-series functions, bit for bit, from a C++
test program (tests/c/stream_exact.cpp) built here from the core's sources,
once optimised as the core ships and once under AddressSanitizer and
UndefinedBehaviorSanitizer."""
import os
import subprocess

import pytest

from test_native import CORE_FLAGS, ROOT, SOURCES, _runtime, needs_compilers, run

PROGRAM = os.path.join(ROOT, "tests", "c", "stream_exact.cpp")
INCLUDE = ["-I", os.path.join(ROOT, "rillet")]


def _build(tmp_path, flags):
    exe = tmp_path / "stream_exact"
    run(["g++", *flags, *INCLUDE, *SOURCES, PROGRAM, "-o", str(exe)])
    return str(exe)


def _check(out):
    last = out.strip().splitlines()[-1]
    checks, failures = int(last.split()[0]), int(last.split()[2])
    assert failures == 0 and checks > 100_000, out[-3000:]


@needs_compilers
def test_streams_equal_the_whole_series_functions(tmp_path):
    # The core's own flags, -O3 as it ships: the step code is what runs.
    exe = _build(tmp_path, [f if f != "-O2" else "-O3" for f in CORE_FLAGS] + ["-fno-fast-math"])
    _check(run([exe, "4"]).stdout)


@needs_compilers
@pytest.mark.skipif(not _runtime("libasan.so"), reason="the AddressSanitizer runtime is needed")
def test_streams_under_sanitizers(tmp_path):
    exe = _build(tmp_path, ["-g", "-O1", "-fno-omit-frame-pointer", "-fsanitize=address,undefined",
                            "-fno-sanitize-recover=all",
                            *[f for f in CORE_FLAGS if f != "-O2"]])
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    p = subprocess.run([exe, "1"], capture_output=True, text=True, env=env)
    assert p.returncode == 0, (p.stdout + p.stderr)[-4000:]
    assert "runtime error" not in p.stderr, p.stderr[-4000:]
    _check(p.stdout)
