"""Python threads: setters and the released lock during a running call,
first calls of every kernel racing in a fresh interpreter, and exit while
daemon threads run kernels.  Kernels and the pool under many threads are
checked in tests/cpp/kernels_concurrent.cpp."""
import threading
import time

import numpy as np
from velkor_testing import run_python

import velkor_core as vc


def test_the_lock_is_released_while_a_kernel_runs_and_its_params_stay_held():
    # The release is the call frame's, shared by every kernel; the hold on the
    # params must last through the unlocked part, where setters would race.
    params, ticks, refused = vc.GuidedFilterParams(8, 0.01), [], []
    stop = threading.Event()

    def meddle():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            try:
                params.eps = 0.5
            except RuntimeError as error:
                refused.append(str(error))
            time.sleep(0)

    img = np.ones((2000, 2000, 1), np.float32)
    meddler = threading.Thread(target=meddle)
    meddler.start()
    try:
        start = time.perf_counter()
        vc.local_contrast(img, params, 1.0)
        end = time.perf_counter()
    finally:
        stop.set()
        meddler.join()
    assert sum(start < t < end for t in ticks) > 10
    assert len(refused) > 5 and set(refused) == {"Already borrowed"}
    params.radius = 3  # the hold is given back


# Types, NumPy's interface, the exception class and the pool are all made on
# first use: threads that all make their first call at once share them.
# Some calls read strided views, two end in an error.
FIRST_USE = """
import threading, numpy as np, velkor_core as vc
rng = np.random.default_rng(3)
rgb, luma = rng.random((96, 128, 3), np.float32) * 2 - 0.25, rng.random((96, 128, 1), np.float32)
calls = [lambda: vc.encode_srgb(rgb), lambda: vc.encode_srgb(rgb[:, ::2]), lambda: vc.luminance_bw(luma),
         lambda: vc.luminance_bw(rgb[::-1], vc.LuminanceStandard.Bt2020),
         lambda: vc.color_filter_bw(rgb, vc.ColorFilter.Orange21), lambda: vc.channel_mixer_bw(rgb[:, 1:], 0.3, 0.6, 0.1),
         lambda: vc.zone_system(luma, vc.ZoneParams({3: -0.5, 5: 0.5})),
         lambda: vc.local_contrast(luma[:, ::-1], vc.GuidedFilterParams(4, 0.01), 1.5)]

def outcome(call):
    try:
        return call().tobytes()
    except BaseException as error:
        return type(error).__name__, str(error)

start, first = threading.Barrier(2 * len(calls)), {}

def run(i, slot):
    start.wait()
    first[i, slot] = outcome(calls[i])

threads = [threading.Thread(target=run, args=(i, slot)) for i in range(len(calls)) for slot in (0, 1)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert all(first[i, slot] == outcome(calls[i]) for i, slot in first), "first calls raced"
print(len(first))
"""

DAEMONS_AT_EXIT = """
import threading, time, numpy as np, velkor_core as vc
big = np.random.default_rng(1).random((1000, 1000, 3), dtype=np.float32)
calls = [lambda: vc.encode_srgb(big), lambda: vc.local_contrast(big[..., :1], vc.GuidedFilterParams(8, 0.01), 1.0)]
started = threading.Barrier(5)

def loop(call):
    started.wait()
    while True:
        call()

for i in range(4):
    threading.Thread(target=loop, args=(calls[i % 2],), daemon=True).start()
started.wait()
time.sleep(0.2)
"""


def test_first_calls_race_in_a_fresh_interpreter():
    for _ in range(4):
        assert run_python(FIRST_USE).stdout.split() == ["16"]


def test_interpreter_exits_while_daemon_threads_run_kernels():
    """At exit the interpreter ends daemon threads that try to take the lock
    back; one coming out of a kernel must not bring the process down."""
    for _ in range(3):
        run_python(DAEMONS_AT_EXIT)
