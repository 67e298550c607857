"""The interpreter stays free while a call runs, and calls from several
Python threads at once give each its own labels."""
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import edgeseg
from edgeseg import _core

# A call of about a second on this kind of machine: every iteration runs.
VOLUME = np.random.default_rng(3).normal(100, 30, size=(24, 256, 256)).astype(np.float32)
LONG_CALL = dict(class_count=3, window_size=5, edge_weight=500, tolerance=0, max_iterations=30)


def test_another_python_thread_runs_while_a_call_computes(monkeypatch):
    # With a switch interval far longer than the test, the interpreter never
    # takes itself from this thread: the counter thread runs (it gives the
    # interpreter back on every step) only while this thread has let go of
    # it. So the counter moves during the compiled call exactly when that
    # call releases it, whatever the machine's speed.
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)  # lets go of the interpreter

    moved = []

    def watched_call(*arguments):
        before = counter[0]
        held = original(*arguments)
        moved.append(counter[0] - before)
        return held

    original = _core.sorvik
    monkeypatch.setattr(_core, "sorvik", watched_call)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    worker = threading.Thread(target=count)
    try:
        worker.start()
        while counter[0] == 0:
            time.sleep(0.001)
        edgeseg.sorvik(VOLUME, **LONG_CALL)
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        worker.join()
    assert moved and moved[0] > 0


def test_calls_from_several_threads_at_once_give_each_its_labels():
    rng = np.random.default_rng(4)
    images = [rng.normal(100, 30, size=(64, 64)) + 60 * (np.arange(64) < 20 + 8 * k) for k in range(4)]
    alone = [edgeseg.sorvik(image, class_count=2, window_size=5, edge_weight=400) for image in images]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda image: edgeseg.sorvik(image, class_count=2, window_size=5, edge_weight=400,
                                                                 threads=2), images * 3))
    for index, labels in enumerate(together):
        assert np.array_equal(labels, alone[index % 4])
