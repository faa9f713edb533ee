import numpy as np
import pytest
from velkor_testing import bits_of, f32_from_bits

from velkor_core import ZoneParams, zone_system


def tone_flat(values, offsets):
    return zone_system(np.asarray(values, np.float32).reshape(1, -1, 1), ZoneParams(offsets)).ravel()


def sample_values(count, seed):
    """Values spread over many stops either side of middle grey, plus specials."""
    stops = np.random.default_rng(seed).uniform(-40.0, 40.0, count)
    specials = [0.0, -0.0, -1.0, 1e-10, np.nextafter(np.float32(1e-10), np.float32(1)), np.nan, np.inf, -np.inf,
                0.18, 5.76, 1e-45, 3.4e38]
    return np.concatenate([(0.18 * np.exp2(stops)).astype(np.float32), np.array(specials, np.float32)])


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
        values = np.concatenate([values, sample_values(100, seed=5)])
    img = values.reshape(1, -1, 1)
    out = zone_system(img, ZoneParams(offsets))
    np.testing.assert_array_equal(bits_of(out), bits_of(img))
    assert not np.shares_memory(out, img)


def test_special_offsets():
    assert np.isnan(tone_flat(sample_values(50, seed=11), {5: 0.5, 20: float("nan")})).all()
    assert tone_flat([np.inf], {zone: -3.0 for zone in range(11)})[0] == np.inf
