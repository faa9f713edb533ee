"""Large inputs: an allocation that cannot succeed raises MemoryError and
leaves a working interpreter (each case in its own interpreter, under a
lowered address-space limit); a live large result is never written over.
bench/bench_local_contrast.py reports the peak bytes per pixel."""
import textwrap

import numpy as np
import pytest

from velkor_testing import run_python

from velkor_core import encode_srgb, luminance_bw

# Small calls first, so that the worker pool and NumPy's interface exist
# before the address space is limited.
PRELUDE = """
import resource, numpy as np, velkor_core as vc

def limit_address_space(headroom):
    with open("/proc/self/status") as status:
        vm = int(next(l for l in status if l.startswith("VmSize:")).split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + headroom, resource.getrlimit(resource.RLIMIT_AS)[1]))

small = np.full((4, 4, 3), 0.25, np.float32)
expected = vc.encode_srgb(small)
"""

# Inputs that cost little memory but make the kernel, its working planes or
# the frame (for an unaligned array it must copy) allocate tens of gigabytes:
# one case per place an allocation can fail.
HUGE = (100_000, 100_000)
CASES = {
    "kernel output": f"vc.luminance_bw(np.broadcast_to(np.zeros((1, 1, 3), np.float32), {HUGE} + (3,)))",
    "working planes": f"vc.local_contrast(np.broadcast_to(np.ones((1, 1, 1), np.float32), {HUGE} + (1,)), params, 1.0)",
    "unaligned copy": f"vc.encode_srgb(np.broadcast_to(np.frombuffer(bytearray(5), np.float32, 1, 1).reshape(1, 1, 1), {HUGE} + (3,)))",
}


@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_impossible_allocation_raises_memory_error(call):
    out = run_python(PRELUDE + textwrap.dedent(f"""
        params = vc.GuidedFilterParams(2, 0.01)
        limit_address_space(1 << 30)
        try:
            {call}
        except MemoryError:
            print("MemoryError")
        params.radius = 3  # the failed call gave its hold back
        assert vc.encode_srgb(small).tobytes() == expected.tobytes()
        print("still running")
    """)).stdout
    assert out.splitlines() == ["MemoryError", "still running"]


def test_large_outputs_recycle_memory_only_once_freed():
    """Outputs of 32 MiB and more reuse the last freed block of their size:
    a live result must never be written over."""
    rng = np.random.default_rng(5)
    shape = (2900, 2900, 1)  # 33.6 MB of float32: over the threshold

    def by_pieces(kernel, img):  # a few MB per call: never a large block
        return np.concatenate([kernel(img[y : y + 500]) for y in range(0, img.shape[0], 500)])

    first_in, second_in = rng.random(shape, np.float32), rng.random(shape, np.float32)
    first = encode_srgb(first_in)
    second = encode_srgb(second_in)
    del first
    third = encode_srgb(first_in * 0.5)  # takes the block `first` gave back
    np.testing.assert_array_equal(third, by_pieces(encode_srgb, first_in * 0.5))
    del third
    rgb = np.concatenate([first_in, second_in, first_in * 0.5], axis=2)
    np.testing.assert_array_equal(luminance_bw(rgb), by_pieces(luminance_bw, rgb))  # same size, another kernel
    np.testing.assert_array_equal(second, by_pieces(encode_srgb, second_in))
