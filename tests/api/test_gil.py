"""A large panel call runs with the GIL released: another Python thread
makes progress while it runs, and the panel's results are those of the
exact module lane by lane."""
import threading
import time

import numpy as np

import zelvo
import zelvo._zelvo as exact


def test_another_thread_runs_during_a_panel_call():
    panel = np.random.default_rng(3).normal(size=(1000, 2500)).cumsum(axis=1)
    ticks = []
    stop = threading.Event()

    def worker():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    zelvo.set_threads(1)
    thread = threading.Thread(target=worker)
    thread.start()
    try:
        while not ticks:                  # the worker is running
            time.sleep(0.001)
        spans = []
        for _ in range(3):
            t0 = time.perf_counter()
            r = zelvo.AVEDEV(panel, 40)   # ~2.5 M bars of 40 terms each
            t1 = time.perf_counter()
            spans.append((t0, t1))
    finally:
        stop.set()
        thread.join()
        zelvo.set_threads(0)
    # The worker ticked inside the middle half of the calls: with the GIL held
    # throughout, it could not have run there at all.
    inside = 0
    for t0, t1 in spans:
        lo, hi = t0 + (t1 - t0) / 4, t1 - (t1 - t0) / 4
        inside += sum(lo <= t <= hi for t in ticks)
    assert inside > 100, (inside, [t1 - t0 for t0, t1 in spans])
    for k in (0, 517, 999):
        assert np.array_equal(r[k].view(np.uint64), exact.AVEDEV(panel[k].copy(), 40).view(np.uint64))
