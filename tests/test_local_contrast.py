import numpy as np

from velkor_testing import bits_of

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


# Which NaN survives where two meet would depend on the operand order of
# each copy of a loop; every NaN comes out as the one canonical NaN (the
# instruction sets and thread counts are compared in test_pool.py).
def test_every_nan_comes_out_canonical():
    img = np.full((4, 5, 1), np.nan, f32)
    img.view(np.uint32)[0, 0] = 0xFFC54321
    assert set(bits_of(local_contrast(img, GuidedFilterParams(1, 0.01), 1.0)).ravel()) == {0x7FC00000}
