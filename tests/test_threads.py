"""Concurrency: many Python threads calling the module at once give exactly
the serial results, and the core called from C++ threads on distinct result
arrays is clean under ThreadSanitizer."""
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import builds
import zelvo._zelvo as z
from catalog import KINDS as ARG_KINDS, WINDOW_SERIES
from zelvo._catalog import FUNCTIONS

# W: a series of window lengths, A: a series of smoothing factors.
KINDS = {name: "NW" if name in WINDOW_SERIES else "NA" if name == "DMA" else kinds
         for name, kinds in ARG_KINDS.items()}



class Yielding(np.ndarray):
    """An array whose len() lets other threads run, in the middle of a call."""

    def __len__(self):
        time.sleep(0)
        return self.shape[0]


def workload(seed=7):
    """(function name, args) pairs: every function on a few inputs, plus calls
    that fail, so error paths run concurrently too."""
    rng = np.random.default_rng(seed)
    calls = []
    for name, kinds in KINDS.items():
        for n in (1, 17, 300):
            args = []
            for k in kinds:
                if k == "I":
                    args.append(int(rng.integers(0, 12)))
                elif k == "W":
                    args.append(rng.integers(-2, 15, n).astype(np.float64))
                elif k == "A":
                    args.append(rng.uniform(0, 1, n))
                elif k == "C":
                    args.append(rng.integers(0, 3, n).astype(np.uint8))
                else:
                    a = rng.normal(size=n).round(3) * 10
                    a[rng.uniform(size=n) < 0.05] = np.nan
                    args.append(a)
            calls.append((name, tuple(args)))
        bad = [np.zeros(0) if k in "NWA" else None if k == "I" else [0, 1] for k in kinds]
        calls.append((name, tuple(bad)))
        calls.append((name, tuple(a.view(Yielding) if isinstance(a, np.ndarray) else a
                                  for a in calls[-2][1])))
    return calls


def outcome(name, args):
    try:
        r = getattr(z, name)(*args)
    except Exception as e:  # noqa: BLE001 - the outcome is compared
        return (type(e), str(e))
    return r.view(np.uint64).tobytes()


def test_python_threads_give_serial_results():
    calls = workload()
    expected = [outcome(name, args) for name, args in calls]
    threads_n, rounds = 8, 20
    barrier = threading.Barrier(threads_n)
    mismatches = []

    def worker(t):
        order = np.random.default_rng(t).permutation(len(calls))
        barrier.wait()
        for _ in range(rounds):
            for i in order:
                got = outcome(*calls[i])
                if got != expected[i]:
                    mismatches.append((t, calls[i][0], i))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)    # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(threads_n)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(old)
    assert not mismatches, mismatches[:10]


@pytest.mark.skipif(not builds.runtime("libtsan.so"), reason="g++ and its ThreadSanitizer runtime are needed")
def test_core_from_cpp_threads_under_thread_sanitizer(tmp_path, core_objects):
    exe = builds.program(tmp_path / "threads_tsan", [os.path.join(builds.TESTS_C, "threads_tsan.cpp")],
                         core_objects("tsan"), "tsan")
    env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1:exitcode=66")
    run = subprocess.run([str(exe)], capture_output=True, text=True, env=env, timeout=300)
    assert "ThreadSanitizer" not in run.stderr, run.stderr[-4000:]
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    # every function of the registry, arange and zeros
    calls = len(FUNCTIONS) + 2
    assert run.stdout.strip() == f"threads=8 rounds=20 calls={calls} mismatches=0"
