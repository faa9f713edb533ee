"""Python threads: setters racing running calls, first calls of every kernel
racing in a fresh interpreter, and exit while daemon threads run kernels.
Kernels and the pool under many threads are checked in
tests/cpp/kernels_concurrent.cpp.  VELKOR_STRESS_SECONDS sizes the race."""
import os
import random
import threading
import time

import numpy as np
from velkor_testing import bits, run_python

import velkor_core as vc

SECONDS = float(os.environ.get("VELKOR_STRESS_SECONDS", "2"))


def test_setters_race_running_local_contrast():
    luma = np.random.default_rng(5).random((256, 256, 1), dtype=np.float32)
    radii, epsilons = (2, 7), (0.01, 0.5)
    valid = {bits(vc.local_contrast(luma, vc.GuidedFilterParams(r, e), 1.0)) for r in radii for e in epsilons}
    valid_eps = {float(np.float32(e)) for e in epsilons}
    params = vc.GuidedFilterParams(radii[0], epsilons[0])
    counts, failures = {"calls": 0, "stored": 0, "refused": 0}, []
    deadline = time.monotonic() + SECONDS

    def run_calls():
        while time.monotonic() < deadline:
            assert bits(vc.local_contrast(luma, params, 1.0)) in valid, "a call saw a torn or unknown parameter pair"
            counts["calls"] += 1
            time.sleep(0.002)  # a moment with no call holding the params, for the setters

    def set_values(chooser):
        while time.monotonic() < deadline:
            name, values = chooser.choice([("radius", radii), ("eps", epsilons)])
            try:
                setattr(params, name, chooser.choice(values))
                counts["stored"] += 1
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                counts["refused"] += 1
            assert params.radius in radii and params.eps in valid_eps

    def guarded(target, *args):
        try:
            target(*args)
        except BaseException as error:  # noqa: B036
            failures.append(error)

    threads = [threading.Thread(target=guarded, args=(run_calls,)) for _ in range(2)]
    threads += [threading.Thread(target=guarded, args=(set_values, random.Random(i))) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures[0]
    params.radius = 3  # every call has given its hold back
    assert counts["calls"] and counts["stored"] and counts["refused"]


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
