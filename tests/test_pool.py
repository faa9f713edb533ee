"""The process-wide worker pool as Python sees it: how many threads it
starts, and results independent of its size and of the instruction set.  The
parsing rules themselves are covered in tests/cpp/pool_test.cpp."""

import json
import os

import pytest
from velkor_testing import run_python, sanitized

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
os.environ["RAYON_NUM_THREADS"] = "1"  # read once, when the pool was made
velkor_core.encode_srgb(np.ones((64, 64, 3), np.float32))
print(json.dumps([after_import - before, after_call - before, threads() - before]))
"""


# RAYON_NUM_THREADS decides when it is an optional "+" then ASCII digits
# (0: the default); otherwise RAYON_RS_NUM_CPUS, read the same way; otherwise
# the CPUs of the process's affinity mask.
@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, pinned, expected",
    [
        ("3", "2", False, 3),
        ("+3", None, False, 3),
        ("0", "3", False, DEFAULT),
        ("abc", "3", False, 3),
        (" 4", None, False, DEFAULT),
        ("-4", "3", False, 3),
        ("\u00b2", None, False, DEFAULT),
        (None, "3", False, 3),
        (None, "+0", False, DEFAULT),
        (None, None, False, DEFAULT),
        (None, None, True, 1),
        ("0", "x", True, 1),
    ],
)
def test_pool_starts_the_threads_the_rule_asks_for_on_first_call(num_threads, rs_num_cpus, pinned, expected):
    done = run_python(COUNT_THREADS, RAYON_NUM_THREADS=num_threads, RAYON_RS_NUM_CPUS=rs_num_cpus,
                      PIN_TO_CPU="1" if pinned else None)
    assert json.loads(done.stdout) == [0, expected, expected]


# Address space for only a few thread stacks: the pool runs with the workers
# it could start; with room for none, the call fails and a later one, once
# the limit is lifted, works.
LIMITED = """
import json, os, resource, sys, time
import numpy as np
import velkor_core as vc
from velkor_testing import PANIC

img = np.linspace(-0.1, 1.1, 64 * 64 * 3, dtype=np.float32).reshape(64, 64, 3)
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
before = len(os.listdir("/proc/self/task"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[1]) * 2**20, hard))
start = time.monotonic()
try:
    out = vc.encode_srgb(img).tobytes().hex()
except PANIC as error:
    out = str(error)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
again = vc.encode_srgb(img).tobytes().hex()
print(json.dumps([out, again, len(os.listdir("/proc/self/task")) - before, time.monotonic() - start]))
"""


@pytest.mark.skipif(sanitized(), reason="a sanitizer's allocator needs address space of its own")
@pytest.mark.parametrize("room_mb, workers", [(40, "some"), (1, "none at first")])
def test_a_pool_that_cannot_start_all_its_threads_still_works(room_mb, workers):
    import numpy as np
    import velkor_core as vc

    img = np.linspace(-0.1, 1.1, 64 * 64 * 3, dtype=np.float32).reshape(64, 64, 3)
    expected = vc.encode_srgb(img).tobytes().hex()
    done = run_python(f"import sys; sys.argv[1:] = ['{room_mb}']\n" + LIMITED, RAYON_NUM_THREADS="64")
    first, again, threads, seconds = json.loads(done.stdout)
    assert again == expected and seconds < 10
    if workers == "some":
        assert first == expected and 1 <= threads < 64
    else:
        assert first.startswith("The global thread pool has not been initialized.: could not start any of 64 ")
        assert threads == 64  # the later call made the whole pool


# Every kernel, on awkward layouts where it takes them, hashed together.
ALL_KERNELS = """
import hashlib
import numpy as np
import velkor_core as v
from velkor_testing import sample_image

rgb = sample_image((67, 131, 3), seed=3)
grey = (0.18 * np.exp2(np.random.default_rng(1).uniform(-12, 12, (301, 997, 1)))).astype(np.float32)
outs = [
    v.luminance_bw(rgb),
    v.color_filter_bw(rgb[:, ::-1], v.ColorFilter.Orange21),
    v.channel_mixer_bw(rgb.transpose(1, 0, 2), 0.1, -2.0, 3.5),
    v.zone_system(grey, v.ZoneParams({z: 0.2 * (z - 5) for z in range(11)})),
    v.local_contrast(grey[::-1, ::3], v.GuidedFilterParams(7, 0.01), 1.5),
    v.encode_srgb(sample_image()),
]
print(hashlib.sha256(b"".join(o.tobytes() for o in outs)).hexdigest())
"""


def test_every_kernel_is_bit_identical_for_any_thread_count_and_instruction_set():
    settings = [("1", ""), ("2", ""), ("3", ""), ("7", ""), ("2", "scalar")]
    digests = {run_python(ALL_KERNELS, RAYON_NUM_THREADS=n, VELKOR_SIMD=simd).stdout for n, simd in settings}
    assert len(digests) == 1
