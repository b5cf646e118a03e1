"""The core from C, and the core's test suite under AddressSanitizer and
UndefinedBehaviorSanitizer (built here straight from the sources)."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = sorted(glob.glob(os.path.join(ROOT, "rillet", "src", "*.cpp")))
CORE_FLAGS = ["-O2", "-fwrapv", "-ffp-contract=off", "-fvisibility=hidden", "-fno-exceptions",
              "-std=c++17"]

needs_compilers = pytest.mark.skipif(not (shutil.which("gcc") and shutil.which("g++")),
                                     reason="gcc and g++ are needed")


def run(cmd, **kw):
    p = subprocess.run(cmd, capture_output=True, text=True, **kw)
    assert p.returncode == 0, f"{cmd}\n{p.stdout}\n{p.stderr}"
    return p


@needs_compilers
def test_c_caller(tmp_path):
    objs = []
    for src in SOURCES:
        obj = tmp_path / (os.path.basename(src) + ".o")
        run(["g++", *CORE_FLAGS, "-c", src, "-o", str(obj)])
        objs.append(str(obj))
    caller = tmp_path / "caller.o"
    # Compiled as C, strictly: the header must serve C callers.
    run(["gcc", "-x", "c", "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
         "-I", os.path.join(ROOT, "rillet"), "-c", os.path.join(ROOT, "tests", "c", "ma_caller.c"),
         "-o", str(caller)])
    exe = tmp_path / "caller"
    run(["g++", str(caller), *objs, "-lm", "-o", str(exe)])
    out = run([str(exe)]).stdout
    assert out == ("rc=0\n"
                   "ma = [ nan,  nan,  nan,    2,    3,    4]\n"
                   "steps = [   0,  2.5,    5,  7.5]\n"
                   "bad=2 2 1\n")


def _runtime(name):
    path = subprocess.run(["gcc", f"-print-file-name={name}"], capture_output=True,
                          text=True).stdout.strip()
    return path if os.path.isabs(path) and os.path.exists(path) else None


@needs_compilers
@pytest.mark.skipif(not _runtime("libasan.so"), reason="the AddressSanitizer runtime is needed")
def test_core_suite_under_sanitizers(tmp_path):
    lib = tmp_path / "librillet_san.so"
    run(["g++", "-shared", "-fPIC", "-g", "-O1", "-fno-omit-frame-pointer",
         "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
         *[f for f in CORE_FLAGS if f != "-O2"], *SOURCES, "-o", str(lib)])
    env = dict(os.environ,
               ZELVO_CORE_LIB=str(lib),
               LD_PRELOAD=_runtime("libasan.so"),
               ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    p = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                        os.path.join(ROOT, "tests", "core")],
                       cwd=ROOT, env=env, capture_output=True, text=True)
    tail = (p.stdout + p.stderr)[-4000:]
    assert p.returncode == 0, tail
    assert "passed" in p.stdout and "runtime error" not in p.stderr, tail
