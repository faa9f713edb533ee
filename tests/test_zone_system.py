import numpy as np
import pytest
from velkor_testing import bits_of, f32_from_bits, sample_image

from velkor_core import ZoneParams, zone_system


def tone_flat(values, offsets):
    return zone_system(np.asarray(values, np.float32).reshape(1, -1, 1), ZoneParams(offsets)).ravel()


# The bits against libm at every instruction set are in tests/cpp/simd_bit_exact.cpp;
# here the curve's documented shape through the module.
@pytest.mark.parametrize(
    "x, offsets, stops, rel",
    [
        (0.18, {5: 0.5}, 0.5, 5e-6),  # middle grey lifted half a stop
        (0.72, {5: 0.5}, 0.5 * np.exp(-4 / 1.28), 1e-4),
        (0.18 * 2**0.5, {5: 1.0}, 0.8226, 5e-3),  # Gaussian weights by distance in zones
        (0.18, {4: 1.0, 5: 1.0, 6: 1.0}, 1.9157, 5e-5),  # neighbours add up, unnormalised
    ],
)
def test_documented_curve_shape(x, offsets, stops, rel):
    (y,) = tone_flat([x], offsets)
    assert np.log2(np.float64(y) / np.float64(np.float32(x))) == pytest.approx(stops, rel=rel)


@pytest.mark.parametrize("offsets", [{zone: 3.0 for zone in range(11)}, {}])
def test_values_below_the_floor_and_an_empty_map_pass_bit_for_bit(offsets):
    values = np.array([0.0, -0.0, -1.0, -3e38, -np.inf, np.nan, *f32_from_bits([0xFFC12345, 0x7FC00001])], np.float32)
    if not offsets:
        values = np.concatenate([values, sample_image((1, 100, 1), seed=5).ravel()])
    img = values.reshape(1, -1, 1)
    out = zone_system(img, ZoneParams(offsets))
    np.testing.assert_array_equal(bits_of(out), bits_of(img))
    assert not np.shares_memory(out, img)


def test_special_offsets():
    assert np.isnan(tone_flat(sample_image((1, 50, 1), seed=11).ravel(), {5: 0.5, 20: float("nan")})).all()
    assert tone_flat([np.inf], {zone: -3.0 for zone in range(11)})[0] == np.inf
