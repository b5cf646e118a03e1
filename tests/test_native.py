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


def compile_core(out_dir, flags):
    """The core's objects, compiled side by side."""
    jobs = []
    for src in SOURCES:
        obj = os.path.join(out_dir, os.path.basename(src) + ".o")
        cmd = ["g++", *flags, "-c", src, "-o", obj]
        jobs.append((cmd, obj, subprocess.Popen(cmd, stdout=subprocess.PIPE,
                                                stderr=subprocess.STDOUT, text=True)))
    for cmd, _, proc in jobs:
        log = proc.communicate()[0]
        assert proc.returncode == 0, f"{cmd}\n{log}"
    return [obj for _, obj, _ in jobs]


@pytest.fixture(scope="module")
def core_objects(tmp_path_factory):
    return compile_core(str(tmp_path_factory.mktemp("core")), CORE_FLAGS)


@needs_compilers
def test_c_caller(tmp_path, core_objects):
    objs = core_objects
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


def build_panel_caller(tmp_path, objs, flags=()):
    caller = tmp_path / "panel_caller.o"
    run(["gcc", "-x", "c", "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror", *flags,
         "-I", os.path.join(ROOT, "rillet"), "-c",
         os.path.join(ROOT, "tests", "c", "panel_caller.c"), "-o", str(caller)])
    exe = tmp_path / "panel_caller"
    run(["g++", *flags, str(caller), *objs, "-lm", "-pthread", "-o", str(exe)])
    return str(exe)


@needs_compilers
def test_panel_from_c(tmp_path, core_objects):
    # Every lane of zv_panel against the one-series function, both axis
    # orders, 1/2/3/7 threads; concurrent callers; children forked while the
    # pool works.
    exe = build_panel_caller(tmp_path, core_objects)
    out = run([exe], timeout=600).stdout
    assert out == ("small runs=152 bad=0\n"
                   "big runs=152 bad=0\n"
                   "concurrent mismatches=0\n"
                   "forked children ok=5\n"
                   "refused=2 2 2 untouched=1\n")


@needs_compilers
@pytest.mark.skipif(not _runtime("libtsan.so"), reason="the ThreadSanitizer runtime is needed")
def test_panel_pool_under_thread_sanitizer(tmp_path):
    flags = ["-g", "-O1", "-fsanitize=thread"]
    objs = compile_core(str(tmp_path), [f for f in CORE_FLAGS if f != "-O2"] + flags)
    exe = build_panel_caller(tmp_path, objs, flags)
    env = dict(os.environ, PANEL_QUICK="1", PANEL_NO_FORK="1",
               TSAN_OPTIONS="halt_on_error=1:exitcode=66")
    p = subprocess.run([exe], capture_output=True, text=True, env=env, timeout=900)
    assert "ThreadSanitizer" not in p.stderr, p.stderr[-4000:]
    assert p.returncode == 0, p.stdout + p.stderr[-4000:]
    assert p.stdout == ("small runs=152 bad=0\n"
                        "concurrent mismatches=0\n"
                        "refused=2 2 2 untouched=1\n")
