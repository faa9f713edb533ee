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


def in_pieces(img, params, strength, row_cuts, column_cuts):
    """local_contrast a piece at a time, each continuing from what the pieces above and to its left carried."""
    import velkor_core

    (height, width), reach = img.shape[:2], 2 * params.radius
    out, above = np.empty_like(img), b""
    rows, columns = [0, *row_cuts, height], [0, *column_cuts, width]
    for top, bottom in zip(rows, rows[1:]):
        below, left = np.zeros((4, width)), b""
        for first, end in zip(columns, columns[1:]):
            context = img[max(0, top - reach):bottom + reach, max(0, first - reach):end + reach]
            piece, carried, left = velkor_core._local_contrast_piece(
                context, params, strength, (height, top, bottom), (width, first, end), above, left)
            out[top:bottom, first:end] = piece
            below[:, first:end] = np.frombuffer(carried).reshape(4, end - first)
        above = below.tobytes()
    return out


# A summed-area table's rounding depends on the row and column it starts at:
# without the carried rows, a few pixels in ten million printed a code apart
# at the seams.
@pytest.mark.parametrize(("shape", "radius", "row_cuts", "column_cuts"), [
    ((300, 41, 1), 3, [1, 2, 3, 150, 299], [1, 2, 20, 40]),  # pieces of one row or column, one at each end
    ((257, 2100, 1), 10, [37, 38, 200], [256, 1024]),        # wide: the filter's own bands are a few rows
    ((90, 30, 1), 200, [30, 60], [10, 11]),                  # every window the whole image
    ((120, 50, 1), 0, [7, 8, 119], [25]),
    ((500, 64, 1), 16, list(range(13, 500, 61)), [5, 33, 34, 63]),
])
def test_pieces_carrying_their_sums_are_the_whole_image_bit_for_bit(shape, radius, row_cuts, column_cuts):
    rng = np.random.default_rng(sum(shape) + radius)
    # Both signs and eleven decades: sums of such values round in double precision.
    img = (rng.standard_normal(shape) * 10.0 ** rng.uniform(-9, 1.5, shape)).astype(f32)
    img[rng.random(shape) < 1e-3] = np.nan
    params = GuidedFilterParams(radius, 1e-3)
    whole = local_contrast(img, params, 0.8)
    assert same_bits(in_pieces(img, params, 0.8, row_cuts, []), whole)
    assert same_bits(in_pieces(np.asfortranarray(img), params, 0.8, row_cuts, column_cuts), whole)


def test_pieces_refuse_pixels_that_do_not_match():
    import velkor_core

    img, params = np.ones((40, 8, 1), f32), GuidedFilterParams(2, 0.01)
    whole = (8, 0, 8)
    with pytest.raises(ValueError, match="rows 10 to 20 need the 18 rows from 6, got 40"):
        velkor_core._local_contrast_piece(img, params, 1.0, (40, 10, 20), whole, bytes(4 * 8 * 8), b"")
    with pytest.raises(ValueError, match="columns 4 to 8 need the 8 columns from 0, got 6"):
        velkor_core._local_contrast_piece(img[:24, :6], params, 1.0, (40, 0, 20), (8, 4, 8), b"", b"")
    with pytest.raises(ValueError, match="expected 256 carried bytes from the piece above, got 3"):
        velkor_core._local_contrast_piece(img[6:24], params, 1.0, (40, 10, 20), whole, b"abc", b"")
    with pytest.raises(ValueError, match="carried bytes from the piece to the left, got 0"):
        velkor_core._local_contrast_piece(img[:24, 1:], params, 1.0, (40, 0, 20), (8, 5, 8), b"", b"")
    with pytest.raises(ValueError, match="rows 30 to 20 are not rows of an image 40 rows across"):
        velkor_core._local_contrast_piece(img, params, 1.0, (40, 30, 20), whole, b"", b"")
    with pytest.raises(TypeError, match="carried"):
        velkor_core._local_contrast_piece(img[:24], params, 1.0, (40, 0, 20), whole, None, b"")
    with pytest.raises(TypeError, match="columns"):
        velkor_core._local_contrast_piece(img[:24], params, 1.0, (40, 0, 20), [8, 0, 8], b"", b"")
