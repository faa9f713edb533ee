"""Python threads: setters and the released lock during a running call,
every kernel racing others on shared and on separate inputs from its first
call on (the data-race check of kernels and pool under ThreadSanitizer, in
.ci/sanitize.sh), and exit while daemon threads run kernels."""
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
# first use: threads that all make their first call at once share them, and
# go on calling, one of each pair on inputs of its own.  Some calls read
# strided views, two end in an error.
FIRST_USE = """
import threading, numpy as np, velkor_core as vc
rng = np.random.default_rng(3)
rgb, luma = rng.random((96, 128, 3), np.float32) * 2 - 0.25, rng.random((96, 128, 1), np.float32)
calls = [lambda c, g: vc.encode_srgb(c), lambda c, g: vc.encode_srgb(c[:, ::2]), lambda c, g: vc.luminance_bw(g),
         lambda c, g: vc.luminance_bw(c[::-1], vc.LuminanceStandard.Bt2020),
         lambda c, g: vc.color_filter_bw(c, vc.ColorFilter.Orange21),
         lambda c, g: vc.channel_mixer_bw(c[:, 1:], 0.3, 0.6, 0.1),
         lambda c, g: vc.zone_system(g, vc.ZoneParams({3: -0.5, 5: 0.5})),
         lambda c, g: vc.local_contrast(g[:, ::-1], vc.GuidedFilterParams(4, 0.01), 1.5)]

def outcome(call, c=rgb, g=luma):
    try:
        return call(c, g).tobytes()
    except BaseException as error:
        return type(error).__name__, str(error)

start, first = threading.Barrier(2 * len(calls)), {}

def run(i, slot):
    inputs = (rgb.copy(), luma.copy()) if slot else (rgb, luma)
    start.wait()
    first[i, slot] = {outcome(calls[i], *inputs) for _ in range(10)}

threads = [threading.Thread(target=run, args=(i, slot)) for i in range(len(calls)) for slot in (0, 1)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert all(first[i, slot] == {outcome(calls[i])} for i, slot in first), "calls raced"
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
