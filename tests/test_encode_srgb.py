import numpy as np
import pytest
from velkor_testing import bits_of, f32_from_bits

from velkor_core import encode_srgb

# The bits against libm's powf at every instruction set, misrounded inputs
# included, are in tests/cpp/simd_bit_exact.cpp.
THRESHOLD = f32_from_bits([0x3B4D2E1C])[0]


def encode_flat(values):
    return encode_srgb(np.asarray(values, np.float32).reshape(1, -1, 1)).ravel()


@pytest.mark.parametrize(
    "x, expected_bits",
    [
        (1.0, 0x3F7FFFFF),  # 1.055 - 0.055 rounds below one
        (THRESHOLD, 0x3D25AED5),  # the threshold takes the linear segment
        (np.nextafter(THRESHOLD, np.float32(1)), 0x3D25AECE),  # and the next float the power
        (-1.0, 0xC14EB852),  # nothing is clamped
    ],
)
def test_documented_values(x, expected_bits):
    assert bits_of(encode_flat([x]))[0] == expected_bits
