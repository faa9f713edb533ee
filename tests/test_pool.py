"""The process-wide worker pool as Python sees it: how many threads it
starts, and results independent of its size and of the instruction set,
the front end's bands included.  The parsing rules themselves are covered
in tests/cpp/pool_test.cpp; here each source of the count once."""

import json
import os

import pytest
from velkor_testing import front_end_digests, kernel_digests, run_python, sanitized

DEFAULT = len(os.sched_getaffinity(0))

# Threads the process gained by importing velkor_core, by its first kernel
# call, and by a call after the environment changed.  PIN_TO_CPU pins the
# process to one CPU first, as `taskset -c 0` would.
COUNT_THREADS = """
import json, os
import numpy as np

if os.environ.get("PIN_TO_CPU"):
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})

def threads():
    return len(os.listdir("/proc/self/task"))

before = threads()
import velkor_core
after_import = threads()
velkor_core.encode_srgb(np.ones((64, 64, 3), np.float32))
after_call = threads()
from velkor.model.bands import thread_count
front_end = thread_count()  # the same rule, read by the front end
os.environ["RAYON_NUM_THREADS"] = "1"  # read once, when the pool was made
velkor_core.encode_srgb(np.ones((64, 64, 3), np.float32))
print(json.dumps([after_import - before, after_call - before, threads() - before, front_end]))
"""


# RAYON_NUM_THREADS decides when it is an optional "+" then ASCII digits
# (0: the default); otherwise RAYON_RS_NUM_CPUS, read the same way; otherwise
# the CPUs of the process's affinity mask.
@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, pinned, expected",
    [
        ("3", "2", False, 3),
        ("+2", None, False, 2),
        ("\u00b2", "3", False, 3),
        ("0", "3", False, DEFAULT),
        ("abc", "3", False, 3),
        (None, "3", False, 3),
        (None, None, False, DEFAULT),
        (None, None, True, 1),
        ("0", "x", True, 1),
    ],
)
def test_pool_starts_the_threads_the_rule_asks_for_on_first_call(num_threads, rs_num_cpus, pinned, expected):
    done = run_python(COUNT_THREADS, RAYON_NUM_THREADS=num_threads, RAYON_RS_NUM_CPUS=rs_num_cpus,
                      PIN_TO_CPU="1" if pinned else None)
    assert json.loads(done.stdout) == [0, expected, expected, expected]


# Address space for no thread stack, then for a few: the first call fails
# and leaves no pool; the next starts the workers it can and runs with them.
LIMITED = """
import json, os, resource
import numpy as np
import velkor_core as vc
from velkor_testing import PANIC

img = np.linspace(-0.1, 1.1, 64 * 64 * 3, dtype=np.float32).reshape(64, 64, 3)
before = len(os.listdir("/proc/self/task"))
outcomes = []
for room in (1 << 20, 40 << 20):
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + room, resource.RLIM_INFINITY))
    try:
        outcomes.append(vc.encode_srgb(img).tobytes().hex())
    except PANIC as error:
        outcomes.append(str(error))
print(json.dumps(outcomes + [len(os.listdir("/proc/self/task")) - before]))
"""


@pytest.mark.skipif(sanitized(), reason="a sanitizer's allocator needs address space of its own")
def test_a_pool_that_cannot_start_all_its_threads_runs_with_those_it_started():
    import numpy as np
    import velkor_core as vc

    img = np.linspace(-0.1, 1.1, 64 * 64 * 3, dtype=np.float32).reshape(64, 64, 3)
    failed, worked, workers = json.loads(run_python(LIMITED, RAYON_NUM_THREADS="64").stdout)
    assert failed.startswith("The global thread pool has not been initialized.: could not start any of 64 ")
    assert worked == vc.encode_srgb(img).tobytes().hex() and 1 <= workers < 64


# The same bits from every kernel, and every front-end step cut into bands
# by the thread count, at every instruction set and thread count: each row
# runs them in a fresh interpreter (both settings are read once per process)
# and compares their digests with this process's, made at the widest
# instruction set the CPU offers.
DIGESTS = "json.dumps({**velkor_testing.kernel_digests(), **velkor_testing.front_end_digests()})"


@pytest.mark.parametrize("simd, threads", [(simd, threads) for simd in ("scalar", "avx2", "avx512")
                                           for threads in ("1", "2", "7")])
def test_every_kernel_gives_the_same_bits_at_every_instruction_set_and_thread_count(simd, threads):
    done = run_python(f"import json, velkor_testing; print({DIGESTS})", VELKOR_SIMD=simd, RAYON_NUM_THREADS=threads)
    assert json.loads(done.stdout) == {**kernel_digests(), **front_end_digests()}
