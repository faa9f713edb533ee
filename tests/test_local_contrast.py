import numpy as np
import pytest

from velkor_testing import bits_of

from velkor_core import GuidedFilterParams, local_contrast

f32 = np.float32


def scene(h, w, seed=0):
    """An edge and a ramp under noise, spread over a few binades."""
    rng = np.random.default_rng(seed)
    x = np.arange(w)[None, :]
    y = np.arange(h)[:, None]
    base = np.where(x < w // 2, 0.15, 0.85) + 0.02 * y
    return (base * np.exp2(rng.uniform(-0.5, 0.5, (h, w)))).astype(f32)[:, :, None]


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


def test_strength_zero_returns_the_input():
    img = scene(30, 40)
    assert same_bits(local_contrast(img, GuidedFilterParams(3, 0.01), 0.0), img)


def test_params_are_released_when_a_later_argument_fails():
    params = GuidedFilterParams(2, 0.1)
    with pytest.raises(TypeError):
        local_contrast(np.zeros((4, 6, 1), f32), params, "x")
    params.radius = 3
    assert params.radius == 3
