"""How the tests build native code, in one place: the flags every build of
core code needs for its exact bits, the optimisation and sanitizer variants,
the compilers and sanitizer runtimes at hand, and a parallel compile."""
import ctypes
import glob
import os
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORE_SRC = os.path.join(ROOT, "rillet", "src")
# The machinery, and one file per family of functions.
CORE_SOURCES = sorted(glob.glob(os.path.join(CORE_SRC, "*.cpp")) +
                      glob.glob(os.path.join(CORE_SRC, "families", "*.cpp")))
INCLUDE = ["-I", os.path.join(ROOT, "rillet"), "-I", CORE_SRC]
TESTS_C = os.path.join(ROOT, "tests", "c")

# What the core's bits depend on: integers that wrap, no multiply contracted
# into an add, no value-changing optimisation.
EXACT = ["-std=c++17", "-fwrapv", "-ffp-contract=off", "-fno-fast-math", "-fno-exceptions"]
SANITIZE = ["-g", "-O1", "-fno-omit-frame-pointer"]
VARIANTS = {
    "test": ["-O2"],                 # quick to build, the same bits
    "shipped": ["-O3"],              # as the core ships: its vector paths
    "debug": ["-O0"],
    "asan": SANITIZE + ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"],
    "tsan": SANITIZE + ["-fsanitize=thread", "-pthread"],
}
# A strict C99 caller of the public header.
C_CALLER = ["-x", "c", "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror"]

# Under the sanitizer run of the core's tests (the runtime preloaded), every
# library the tests build is sanitized too.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def flags(variant=None, shared=False):
    """The compile flags of one variant; None picks "asan" under the
    sanitizer run and "test" otherwise."""
    variant = variant or ("asan" if UNDER_ASAN else "test")
    return EXACT + VARIANTS[variant] + (["-shared", "-fPIC"] if shared else [])


def have(*tools):
    return all(shutil.which(t) for t in tools)


def runtime(name):
    """Path of a sanitizer runtime of g++ ("libasan.so", "libtsan.so"), or None."""
    if not have("g++"):
        return None
    path = subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True,
                          text=True).stdout.strip()
    return path if os.path.isabs(path) and os.path.exists(path) else None


def clangxx():
    """The first clang++ on PATH, or None."""
    for name in ["clang++"] + [f"clang++-{v}" for v in range(19, 13, -1)]:
        if shutil.which(name):
            return name
    return None


def run(cmd, **kw):
    """Runs a command; its output becomes the failure message."""
    p = subprocess.run(list(map(str, cmd)), capture_output=True, text=True, **kw)
    assert p.returncode == 0, f"{' '.join(map(str, cmd))}\n{p.stdout}\n{p.stderr}"
    return p


def objects(out_dir, sources, cmd_flags, cxx="g++"):
    """Compiles each source to an object file, all at once; returns their paths."""
    jobs = []
    for src in sources:
        obj = os.path.join(str(out_dir), os.path.basename(src) + ".o")
        cmd = [cxx, *cmd_flags, "-c", src, "-o", obj]
        jobs.append((cmd, obj, subprocess.Popen(cmd, stdout=subprocess.PIPE,
                                                stderr=subprocess.STDOUT, text=True)))
    for cmd, _, proc in jobs:
        log = proc.communicate()[0]
        assert proc.returncode == 0, f"{' '.join(cmd)}\n{log}"
    return [obj for _, obj, _ in jobs]


def program(exe, sources, core, variant, extra=()):
    """Links the test program `exe` from its sources (compiled here in
    `variant`) and the core's objects `core`."""
    cmd_flags = flags(variant) + INCLUDE + list(extra)
    out_dir = os.path.dirname(str(exe))
    run(["g++", *cmd_flags, *objects(out_dir, sources, cmd_flags), *core, "-lm", "-o", exe])
    return str(exe)


def library(path, sources, defines=(), variant=None, cxx="g++"):
    """Builds the sources into the shared library `path` and loads it."""
    run([cxx, *flags(variant, shared=True), *defines, *INCLUDE, *sources, "-o", path])
    return ctypes.CDLL(str(path))


def cpu_flags():
    """The CPU's feature flags from /proc/cpuinfo (empty where it is missing)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()
