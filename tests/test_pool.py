"""The process-wide worker pool as Python sees it: its size from the
environment, and results independent of its size.  The
parsing rules themselves are covered in tests/cpp/pool_test.cpp."""

import json
import os

import pytest
from velkor_testing import run_python

DEFAULT = len(os.sched_getaffinity(0))

# How many threads the process gained by importing velkor_core, by its first
# kernel call, and by a call after the environment changed.
COUNT_THREADS = """
import json, os
import numpy as np

def threads():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))

before = threads()
import velkor_core
after_import = threads()
velkor_core.encode_srgb(np.ones((64, 64, 3), np.float32))
after_call = threads()
os.environ["RAYON_NUM_THREADS"] = "1"  # read once, when the pool was made
velkor_core.encode_srgb(np.ones((64, 64, 3), np.float32))
print(json.dumps([after_import - before, after_call - before, threads() - before]))
"""


@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, expected",
    [("3", "2", 3), ("abc", "3", 3), ("0", "3", DEFAULT), (None, None, DEFAULT)],
)
def test_pool_size_follows_environment_on_first_call(num_threads, rs_num_cpus, expected):
    done = run_python(COUNT_THREADS, RAYON_NUM_THREADS=num_threads, RAYON_RS_NUM_CPUS=rs_num_cpus)
    assert json.loads(done.stdout) == [0, expected, expected]


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
