import numpy as np

from velkor_testing import bits_of, run_python

from velkor_core import GuidedFilterParams, local_contrast

f32 = np.float32


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(bits_of(a), bits_of(b))


# Bit-exactness against a plain-loop reference, over sizes, radii, eps and
# strengths, is checked in tests/cpp/local_contrast_test.cpp; layouts in
# test_call_frame.py.
def test_worked_example():
    img = np.array([0, 0, 1, 1], f32).reshape(1, 4, 1)
    out = local_contrast(img, GuidedFilterParams(1, 0.01), 1.0)
    expected = np.array([-0.00717703346, -0.0143540669, 1.01435399, 1.00717711], f32)
    assert same_bits(out.ravel(), expected)
    # Without regularisation the step survives exactly.
    assert same_bits(local_contrast(img, GuidedFilterParams(1, 0.0), 1.0), img)
    assert same_bits(local_contrast(img, GuidedFilterParams(1, 0.01), 0.0), img)  # strength 0: the input itself


# NaNs of mixed payloads and signs, from the 3 x 8 case where the instruction
# sets once disagreed to an image whose split varies with the thread count.
MIXED_NANS = """
import hashlib
import numpy as np
import velkor_core as v

rng = np.random.default_rng(4)
img = rng.random((96, 203, 1), dtype=np.float32)
nans = rng.random(img.shape) < 0.01
payloads = 0x7FC00000 | rng.integers(0, 1 << 22, img.shape) | rng.integers(0, 2, img.shape) << 31
img.view(np.uint32)[nans] = payloads[nans]
digest = hashlib.sha256()
for view in (img[:3, :8], img):
    for radius in (1, 6):
        runs = {v.local_contrast(view, v.GuidedFilterParams(radius, 0.01), 1.0).tobytes() for _ in range(20)}
        assert len(runs) == 1, "the same call gave other bits"
        digest.update(runs.pop())
print(digest.hexdigest())
"""


def test_nan_bits_are_the_same_for_any_thread_count_instruction_set_and_run():
    settings = [("1", "scalar"), ("2", "scalar"), ("2", "avx2"), ("1", ""), ("2", "")]
    digests = {run_python(MIXED_NANS, RAYON_NUM_THREADS=n, VELKOR_SIMD=simd).stdout for n, simd in settings}
    assert len(digests) == 1
    img = np.full((4, 5, 1), np.nan, f32)
    img.view(np.uint32)[0, 0] = 0xFFC54321
    assert set(bits_of(local_contrast(img, GuidedFilterParams(1, 0.01), 1.0)).ravel()) == {0x7FC00000}
