import numpy as np
import pytest
from velkor_testing import bits_of, f32_from_bits, libm

from velkor_core import encode_srgb

THRESHOLD, SLOPE, EXPONENT, SCALE, OFFSET = f32_from_bits([0x3B4D2E1C, 0x414EB852, 0x3ED55555, 0x3F870A3D, 0xBD6147AE])


def reference(values):
    """The encoding written out in float32 steps, with the platform powf."""
    values = np.asarray(values, np.float32).ravel()
    out = np.empty_like(values)
    with np.errstate(over="ignore", invalid="ignore"):
        _encode_into(values, out)
    return out


def _encode_into(values, out):
    for i, x in enumerate(values):
        if x <= THRESHOLD:
            out[i] = x * SLOPE
        else:
            p = np.float32(libm.powf(float(x), float(EXPONENT)))
            out[i] = (p * SCALE) + OFFSET


def encode_flat(values):
    values = np.asarray(values, np.float32)
    return encode_srgb(values.reshape(1, -1, 1)).ravel()


@pytest.mark.parametrize(
    "x, expected_bits",
    [
        (1.0, 0x3F7FFFFF),  # 1.055 - 0.055 rounds below one
        (f32_from_bits(0x3B4D2E1C), 0x3D25AED5),  # the threshold takes the linear segment
        (0.0, 0x00000000),
        (-0.0, 0x80000000),
        (np.inf, 0x7F800000),
        (-np.inf, 0xFF800000),
    ],
)
def test_documented_values(x, expected_bits):
    assert bits_of(encode_flat([x]))[0] == expected_bits


@pytest.mark.parametrize("x, approx", [(-1.0, -12.92), (2.0, 1.353256), (0.18, 0.461356)])
def test_unclamped_values(x, approx):
    assert encode_flat([x])[0] == pytest.approx(approx, rel=1e-6)


def test_nan_stays_nan():
    assert np.isnan(encode_flat([np.nan])[0])


def test_bit_exact_against_platform_powf():
    rng = np.random.default_rng(7)
    threshold = f32_from_bits(0x3B4D2E1C)
    neighbours = [np.nextafter(threshold, np.float32(np.inf)), np.nextafter(threshold, np.float32(-np.inf))]
    samples = np.concatenate(
        [
            rng.random(20000, dtype=np.float32),
            rng.random(2000, dtype=np.float32) * 100 - 20,
            f32_from_bits(rng.integers(0, 2**32, 4000, dtype=np.uint64).astype(np.uint32)),
            np.array(neighbours + [threshold, 1e-45, 1.1754942e-38, 3.4028235e38], np.float32),
        ]
    )
    np.testing.assert_array_equal(bits_of(encode_flat(samples)), bits_of(reference(samples)))


@pytest.mark.parametrize("shape", [(3, 5, 1), (3, 5, 3), (3, 5, 4), (2, 2, 7)])
def test_every_channel_is_encoded(shape):
    img = np.random.default_rng(1).random(shape, dtype=np.float32) * 1.2
    out = encode_srgb(img)
    assert out.shape == shape
    np.testing.assert_array_equal(bits_of(out).ravel(), bits_of(reference(img)))


@pytest.mark.parametrize("shape", [(0, 5, 3), (4, 4, 0), (4, 0, 2)])
def test_empty_inputs_keep_their_shape(shape):
    # Strides of empty arrays are never examined.
    img = np.zeros((shape[0], shape[1] * 2, shape[2]), np.float32)[:, ::2]
    assert encode_srgb(img).shape == shape


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a[:, ::2],
        lambda a: a[::-1],
        lambda a: a[:, :, ::-1],
        lambda a: a.transpose(1, 0, 2),
    ],
    ids=["every-second-column", "reversed-rows", "reversed-channels", "transposed"],
)
def test_non_contiguous_views_are_refused(make):
    view = make(np.zeros((4, 6, 3), np.float32))
    with pytest.raises(BaseException) as caught:
        encode_srgb(view)
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == "encode_srgb: input must be C-contiguous"


def test_odd_strides_on_axes_of_extent_one_are_accepted():
    base = np.arange(12, dtype=np.float32).reshape(1, 12, 1) / 12
    view = np.lib.stride_tricks.as_strided(base, shape=(1, 12, 1), strides=(999 * 4, 4, 7 * 4))
    reversed_single_row = np.zeros((1, 12, 1), np.float32)[::-1]
    np.testing.assert_array_equal(encode_srgb(view), encode_srgb(base.copy()))
    assert encode_srgb(reversed_single_row).shape == (1, 12, 1)
