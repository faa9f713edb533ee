"""Python threads: setters racing running calls, first calls of every kernel
racing in a fresh interpreter, and exit while daemon threads run kernels.
Kernels and the pool under many threads are checked in
tests/cpp/kernels_concurrent.cpp.  VELKOR_STRESS_SECONDS sizes the race."""
import os
import random
import subprocess
import sys
import threading
import time

import numpy as np

import velkor_core as vc
from velkor_testing import bits

SECONDS = float(os.environ.get("VELKOR_STRESS_SECONDS", "2"))


def inputs(seed=3):
    rng = np.random.default_rng(seed)
    return rng.random((96, 128, 3), dtype=np.float32) * 2 - 0.25, rng.random((96, 128, 1), dtype=np.float32)


# Each case is a call on (rgb, luma).  Some read strided views, two end in
# an error, so failing calls race too.
CASES = {
    "encode_srgb": lambda rgb, luma: vc.encode_srgb(rgb),
    "encode_srgb strided": lambda rgb, luma: vc.encode_srgb(rgb[:, ::2]),
    "luminance_bw": lambda rgb, luma: vc.luminance_bw(rgb[::-1], vc.LuminanceStandard.Bt2020),
    "luminance_bw wrong shape": lambda rgb, luma: vc.luminance_bw(luma),
    "color_filter_bw": lambda rgb, luma: vc.color_filter_bw(rgb, vc.ColorFilter.Orange21),
    "channel_mixer_bw": lambda rgb, luma: vc.channel_mixer_bw(rgb[:, 1:], 0.3, 0.6, 0.1),
    "zone_system": lambda rgb, luma: vc.zone_system(luma, vc.ZoneParams({3: -0.5, 5: 0.5, 7: 1.0})),
    "local_contrast": lambda rgb, luma: vc.local_contrast(luma[:, ::-1], vc.GuidedFilterParams(4, 0.01), 1.5),
}
NAMES = sorted(CASES)


def outcome(name, rgb, luma):
    """The result's bits, or the exception's type and text."""
    try:
        return bits(CASES[name](rgb, luma))
    except BaseException as error:  # noqa: B036 - PanicException included
        return type(error).__name__, str(error)


def outcomes(rgb, luma):
    return {name: outcome(name, rgb, luma) for name in NAMES}


def run_threads(targets):
    start, failures = threading.Barrier(len(targets)), []

    def body(target):
        start.wait()
        try:
            target()
        except BaseException as error:  # noqa: B036
            failures.append(error)

    threads = [threading.Thread(target=body, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def test_setters_race_running_local_contrast():
    luma = np.random.default_rng(5).random((256, 256, 1), dtype=np.float32)
    radii, epsilons = (2, 7), (0.01, 0.5)
    valid = {bits(vc.local_contrast(luma, vc.GuidedFilterParams(r, e), 1.0)) for r in radii for e in epsilons}
    params = vc.GuidedFilterParams(radii[0], epsilons[0])
    counts = {"calls": 0, "stored": 0, "refused": 0}
    deadline = time.monotonic() + SECONDS
    valid_eps = {float(np.float32(e)) for e in epsilons}

    def run_calls():
        while time.monotonic() < deadline:
            assert bits(vc.local_contrast(luma, params, 1.0)) in valid, "a call saw a torn or unknown parameter pair"
            counts["calls"] += 1
            time.sleep(0.002)  # a moment with no call holding the params, for the setters

    def set_values(index):
        chooser = random.Random(index)
        while time.monotonic() < deadline:
            name, values = chooser.choice([("radius", radii), ("eps", epsilons)])
            try:
                setattr(params, name, chooser.choice(values))
                counts["stored"] += 1
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                counts["refused"] += 1
            assert params.radius in radii and params.eps in valid_eps

    run_threads([run_calls] * 2 + [lambda i=i: set_values(i) for i in range(4)])
    params.radius = 3  # every call has given its hold back
    assert counts["calls"] and counts["stored"] and counts["refused"]


FIRST_USE = """
import sys, threading
sys.path[:0] = {paths!r}
import test_stress as t   # only the module: nothing of velkor_core has been used yet

rgb, luma = t.inputs()
first = {{}}

def call(name, slot):
    first[name, slot] = t.outcome(name, rgb, luma)

t.run_threads([lambda name=name, slot=slot: call(name, slot) for name in t.NAMES for slot in (0, 1)])
later = t.outcomes(rgb, luma)
assert all(first[name, slot] == later[name] for name, slot in first), "first calls raced"
print(len(first))
"""


def test_first_calls_race_in_a_fresh_interpreter():
    """Types, NumPy's interface, the exception class and the pool are all made
    on first use: threads that all make a first call at once share them."""
    script = FIRST_USE.format(paths=[os.path.dirname(__file__), *sys.path])
    for _ in range(4):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-2000:]
        assert done.stdout.split() == [str(2 * len(NAMES))]


DAEMONS_AT_EXIT = """
import threading, time, numpy as np, velkor_core as vc
big = np.random.default_rng(1).random((1000, 1000, 3), dtype=np.float32)
calls = [lambda: vc.encode_srgb(big),
         lambda: vc.local_contrast(big[..., :1], vc.GuidedFilterParams(8, 0.01), 1.0)]
started = threading.Barrier(5)

def loop(call):
    started.wait()
    while True:
        call()

for i in range(4):
    threading.Thread(target=loop, args=(calls[i % len(calls)],), daemon=True).start()
started.wait()
time.sleep(0.2)
"""


def test_interpreter_exits_while_daemon_threads_run_kernels():
    """At exit the interpreter ends daemon threads that try to take the lock
    back; one coming out of a kernel must not bring the process down."""
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", DAEMONS_AT_EXIT], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-2000:]
