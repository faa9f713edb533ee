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
        for i, x in enumerate(values):
            if x <= THRESHOLD:
                out[i] = x * SLOPE
            else:
                out[i] = (np.float32(libm.powf(float(x), float(EXPONENT))) * SCALE) + OFFSET
    return out


def encode_flat(values):
    return encode_srgb(np.asarray(values, np.float32).reshape(1, -1, 1)).ravel()


@pytest.mark.parametrize(
    "x, expected_bits",
    [
        (1.0, 0x3F7FFFFF),  # 1.055 - 0.055 rounds below one
        (THRESHOLD, 0x3D25AED5),  # the threshold takes the linear segment
        (np.nextafter(THRESHOLD, np.float32(1)), 0x3D25AECE),  # and the next float the power
        (-1.0, 0xC14EB852),  # nothing is clamped
        (-0.0, 0x80000000),
        (np.inf, 0x7F800000),
    ],
)
def test_documented_values(x, expected_bits):
    assert bits_of(encode_flat([x]))[0] == expected_bits


# Inputs on which the platform powf does not return the correctly rounded
# power: the exact value lies so close to a float midpoint that powf's own
# double-precision error decides the rounding.  Only libm's result is right
# here, whatever a faster evaluation of the power would round to.
POWF_MISROUNDED = f32_from_bits(
    [
        0x3B4D6D37, 0x3B4E581B, 0x3B7DA16E, 0x3BCCEDAB, 0x3C3EE5F5, 0x3CA0FC8A, 0x3CF19FF0,
        0x3D570F5F, 0x3DC1FF19, 0x3E17D4D7, 0x3E780D78, 0x3EE5F026, 0x3F3A0461, 0x3F889C1C,
        0x4AFD0CF5, 0x5636C392, 0x61A654DD, 0x6CF33768, 0x784D5B25,
    ]
)


def test_bit_exact_against_platform_powf():
    rng = np.random.default_rng(7)
    samples = np.concatenate(
        [
            rng.random(20000, dtype=np.float32),
            rng.random(2000, dtype=np.float32) * 100 - 20,
            f32_from_bits(rng.integers(0, 2**32, 4000, dtype=np.uint64).astype(np.uint32)),
            np.array([1e-45, 1.1754942e-38, 3.4028235e38], np.float32),
            # 19 shares no factor with a vector width: repeated, each input meets every lane.
            np.resize(POWF_MISROUNDED, 19 * 17),
        ]
    )
    np.testing.assert_array_equal(bits_of(encode_flat(samples)), bits_of(reference(samples)))
