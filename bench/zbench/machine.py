"""What a benchmark record states about the run: machine, versions, revision, load.

A script starts a ``Run`` before timing and calls ``finish()`` after it; the
dict it returns is the ``meta`` that ``record.run_lines`` turns into the
record's bullet list and that goes into the script's JSON output.
"""
from __future__ import annotations

import datetime as _dt
import importlib
import os
import platform
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The folders whose uncommitted changes alter what a run measures.
BUILD_DIRS = ("rillet", "src")


def import_zelvo(name="zelvo._zelvo", tries=3, wait=60):
    """The module, retried a few times: someone may be reinstalling the package."""
    for attempt in range(tries):
        try:
            return importlib.import_module(name)
        except ImportError as exc:
            if attempt == tries - 1:
                sys.exit(f"cannot import {name} ({exc}); install the package first")
            print(f"import {name} failed ({exc}); retrying in {wait} s", file=sys.stderr)
            time.sleep(wait)
    raise AssertionError


def probe():
    """CPU model, cores, memory, SIMD flags, OS, Python and NumPy of this machine."""
    info = {}
    model = None
    fam = {}
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                key = line.split(":", 1)[0].strip()
                if key == "model name" and model is None:
                    model = line.split(":", 1)[1].strip()
                if key in ("cpu family", "model") and key not in fam:
                    fam[key] = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    info["simd"] = " ".join(f for f in ("sse4_2", "avx2", "fma", "avx512f") if f in flags)
                    break
    except OSError:
        pass
    info["cpu"] = model or platform.processor() or platform.machine()
    if fam:
        info["cpu"] += f" (family {fam.get('cpu family', '?')}, model {fam.get('model', '?')})"
    info["cores"] = os.cpu_count()
    try:
        with open("/proc/meminfo") as fh:
            kb = int(fh.readline().split()[1])
        info["memory"] = f"{kb / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    info["os"] = f"{platform.system()} {platform.release()}"
    info["python"] = platform.python_version()
    info["numpy"] = np.__version__
    return info


def describe(info=None):
    """One line: "CPU (family, model), 2 cores, 24 GiB, SIMD avx2 fma; Linux 6.x"."""
    m = info or probe()
    return (f"{m['cpu']}, {m['cores']} cores" + (f", {m['memory']}" if "memory" in m else "")
            + (f", SIMD {m['simd']}" if m.get("simd") else "") + f"; {m['os']}")


def load():
    """The 1-minute load average, or None where the system does not give one."""
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def revision(root=ROOT):
    """The short commit of the checkout, flagged when the core or module sources differ from it."""
    try:
        rev = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--untracked-files=no",
                                "--", *BUILD_DIRS], capture_output=True, text=True).stdout.strip()
        where = " or ".join(d + "/" for d in BUILD_DIRS)
        return rev + (f" (with uncommitted changes to {where})" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def versions(modules, missing=()):
    """{label: version} of zelvo and of the given {label: module}; missing labels 'not installed'."""
    zpkg = sys.modules.get("zelvo")
    v = {"zelvo": getattr(zpkg, "__version__", "?")}
    for label, mod in modules.items():
        ver = getattr(mod, "__version__", "?")
        ta = getattr(mod, "__ta_version__", None)  # TA-Lib: the version of its C library too
        if ta is not None:
            ta = ta.decode() if isinstance(ta, bytes) else str(ta)
            ver = f"{ver} (TA-Lib C {ta.split()[0]})"
        v[label] = ver
    for label in missing:
        v[label] = "not installed"
    return v


def _utc(t):
    return _dt.datetime.fromtimestamp(t, _dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


class Run:
    """The facts of one run, gathered at its start and its end."""

    def __init__(self, z, command):
        self.z = z
        self.command = command
        self.module_mtime = os.path.getmtime(z.__file__)
        self.revision = revision()
        self.load = load()
        self.t0 = time.perf_counter()

    def wall(self):
        return time.perf_counter() - self.t0

    def replaced(self):
        """Whether the installed module file changed since the start (this process keeps the old one)."""
        return os.path.getmtime(self.z.__file__) != self.module_mtime

    def finish(self, modules=None, missing=(), **extra):
        """The run's ``meta`` dict: what ``record.run_lines`` reads, plus ``extra``."""
        meta = {"date": _utc(time.time()), "command": self.command, "wall_s": self.wall(),
                "machine": probe(), "versions": versions(modules or {}, missing),
                "revision": self.revision, "module": os.path.basename(self.z.__file__),
                "module_time": _utc(self.module_mtime), "module_replaced": self.replaced(),
                "load": [self.load, load()]}
        meta.update(extra)
        return meta
