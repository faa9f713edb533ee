import numpy as np
import pytest

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


def in_bands(img, params, strength, cuts):
    """local_contrast a band at a time, each continuing from what the band above carried."""
    import velkor_core

    height, reach, carried, out = img.shape[0], 2 * params.radius, b"", []
    edges = [0, *cuts, height]
    for first, end in zip(edges, edges[1:]):
        context = img[max(0, first - reach):min(height, end + reach)]
        rows, carried = velkor_core._local_contrast_rows(context, params, strength, height, first, end, carried)
        out.append(rows)
    return np.concatenate(out)


# A summed-area table's rounding depends on the row it starts at: without the
# carried rows, a few pixels in ten million printed a code apart at the seams.
@pytest.mark.parametrize(("shape", "radius", "cuts"), [
    ((300, 41, 1), 3, [1, 2, 3, 150, 299]),     # bands of one row, and one at each end
    ((257, 2100, 1), 10, [37, 38, 200]),        # wide: the filter's own bands are a few rows
    ((90, 30, 1), 200, [30, 60]),               # every window the whole image
    ((120, 50, 1), 0, [7, 8, 119]),
    ((500, 64, 1), 16, list(range(13, 500, 61))),
])
def test_bands_carrying_their_sums_are_the_whole_image_bit_for_bit(shape, radius, cuts):
    rng = np.random.default_rng(sum(shape) + radius)
    # Both signs and eleven decades: sums of such values round in double precision.
    img = (rng.standard_normal(shape) * 10.0 ** rng.uniform(-9, 1.5, shape)).astype(f32)
    img[rng.random(shape) < 1e-3] = np.nan
    params = GuidedFilterParams(radius, 1e-3)
    assert same_bits(in_bands(img, params, 0.8, cuts), local_contrast(img, params, 0.8))


def test_bands_refuse_rows_that_do_not_match():
    import velkor_core

    img, params = np.ones((40, 8, 1), f32), GuidedFilterParams(2, 0.01)
    with pytest.raises(ValueError, match="need the 18 rows from 6, got 40"):
        velkor_core._local_contrast_rows(img, params, 1.0, 40, 10, 20, bytes(4 * 8 * 8))
    with pytest.raises(ValueError, match="expected 256 carried bytes from the band above, got 3"):
        velkor_core._local_contrast_rows(img[6:24], params, 1.0, 40, 10, 20, b"abc")
    with pytest.raises(ValueError, match="rows 30 to 20 are not rows of an image 40 rows tall"):
        velkor_core._local_contrast_rows(img, params, 1.0, 40, 30, 20, b"")
    with pytest.raises(TypeError, match="carried"):
        velkor_core._local_contrast_rows(img[:24], params, 1.0, 40, 0, 20, None)
