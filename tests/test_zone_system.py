import os
import subprocess
import sys

import numpy as np
import pytest

from velkor_testing import bits_of, f32_from_bits, libm, panic_type

from velkor_core import ZoneParams, zone_system

FLOOR, LN2, MIDDLE_ZONE, GREY_LOG2, WIDTH = f32_from_bits([0x2EDBE6FF, 0x3F317218, 0x40A00000, 0x401E54E3, 0x3FA3D70B])


def curve_reference(x, table):
    """One value through the curve in float32 steps, with the platform libm."""
    f32 = np.float32
    m = x if x > FLOOR else FLOOR
    z = ((f32(libm.logf(float(m))) / LN2) + MIDDLE_ZONE) + GREY_LOG2
    s = f32(0.0)
    for a, b in table:
        d = z - a
        q = (d * d) / -WIDTH
        s = s + b * f32(libm.expf(float(q)))
    return x * f32(libm.exp2f(float(s)))


def reference(values, offsets):
    """The curve over flat values, zones added in ascending order."""
    table = [(np.float32(zone), np.float32(offset)) for zone, offset in sorted(offsets.items())]
    values = np.asarray(values, np.float32).ravel()
    with np.errstate(all="ignore"):
        return np.array([curve_reference(x, table) for x in values], np.float32)


def tone_flat(values, offsets):
    values = np.asarray(values, np.float32)
    return zone_system(values.reshape(1, -1, 1), ZoneParams(offsets)).ravel()


def sample_values(count, seed):
    """Values spread over many stops either side of middle grey, plus specials."""
    rng = np.random.default_rng(seed)
    stops = rng.uniform(-40.0, 40.0, count)
    values = (0.18 * np.exp2(stops)).astype(np.float32)
    specials = [0.0, -0.0, -1.0, 1e-10, np.nextafter(np.float32(1e-10), np.float32(1)), np.nan, np.inf, -np.inf,
                0.18, 0.72, 5.76, 0.005625, 1e-45, 3.4e38]
    return np.concatenate([values, np.array(specials, np.float32)])


@pytest.mark.parametrize(
    "offsets",
    [{5: 0.5}, {0: -3.0}, {10: 3.0}, {3: -0.3}, {12: 1.0}, {-7: -100.0}, {42: 10.0}, {2**24 + 1: 1.0}, {7: 1e-30}],
)
def test_single_zone_bit_exact(offsets):
    values = sample_values(600, seed=abs(sum(offsets)))
    np.testing.assert_array_equal(bits_of(tone_flat(values, offsets)), bits_of(reference(values, offsets)))


@pytest.mark.parametrize(
    "offsets",
    [
        {zone: 0.3 * (zone - 5) for zone in range(11)},
        {10: 0.1, -2: 0.2, 3: 0.3},  # inserted out of order: zones add in ascending order
        {4: 1.0, 5: 1.0, 6: 1.0},
        {1: -2.5, 9: 2.5, 5: 0.0},
    ],
)
def test_multi_zone_bit_exact(offsets):
    values = sample_values(400, seed=len(offsets))
    np.testing.assert_array_equal(bits_of(tone_flat(values, offsets)), bits_of(reference(values, offsets)))


def test_middle_grey_lifted_half_a_stop():
    grey, zone_seven = tone_flat([0.18, 0.72], {5: 0.5})
    assert grey == pytest.approx(0.18 * np.sqrt(2), rel=1e-6)
    assert grey == pytest.approx(0.254558, rel=1e-5)
    assert np.log2(zone_seven / np.float32(0.72)) == pytest.approx(0.5 * np.exp(-4 / 1.28), rel=1e-4)


@pytest.mark.parametrize("distance, weight", [(0.5, 0.8226), (1.0, 0.4578), (2.0, 0.0439), (3.0, 0.00088)])
def test_gaussian_weight_by_distance(distance, weight):
    x = np.float32(0.18 * 2**distance)
    (y,) = tone_flat([x], {5: 1.0})
    assert np.log2(np.float64(y) / np.float64(x)) == pytest.approx(weight, rel=5e-3)


def test_neighbouring_offsets_add_up_unnormalised():
    (y,) = tone_flat([0.18], {4: 1.0, 5: 1.0, 6: 1.0})
    assert np.log2(y / np.float32(0.18)) == pytest.approx(1.9157, abs=1e-4)


def test_values_below_the_floor_pass_unchanged():
    values = np.array([0.0, -0.0, -1.0, -3e38, -np.inf, np.nan, f32_from_bits(0xFFC12345)], np.float32)
    out = tone_flat(values, {zone: 3.0 for zone in range(11)})
    np.testing.assert_array_equal(bits_of(out), bits_of(values))


def test_nan_offset_poisons_every_value():
    values = sample_values(50, seed=11)
    assert np.isnan(tone_flat(values, {5: 0.5, 20: float("nan")})).all()


def test_infinity_stays_infinite_with_finite_offsets():
    assert tone_flat([np.inf], {zone: -3.0 for zone in range(11)})[0] == np.inf


def test_empty_map_is_a_bit_identical_copy():
    values = np.concatenate([sample_values(100, seed=5), f32_from_bits([0x7F800001, 0xFFC00001, 0x80000000])])
    img = values.reshape(1, -1, 1)
    out = zone_system(img, ZoneParams({}))
    np.testing.assert_array_equal(bits_of(out), bits_of(img))
    assert not np.shares_memory(out, img)


def test_keywords_and_result_shape():
    img = np.full((3, 4, 1), 0.18, np.float32)
    out = zone_system(img=img, params=ZoneParams({5: 1.0}))
    assert out.shape == (3, 4, 1) and out.flags.c_contiguous
    assert (img == np.float32(0.18)).all()


def extent_one_views():
    base = np.linspace(0.01, 4.0, 6, dtype=np.float32)
    odd = np.lib.stride_tricks.as_strided(base, shape=(1, 6, 1), strides=(7 * 4, 4, -36 * 4))
    yield "odd strides on extent-1 axes", odd
    yield "reversed extent-1 row axis", base.reshape(1, 6, 1)[::-1]
    yield "one column of a wider image", np.ascontiguousarray(base.reshape(6, 1, 1))[:, :, ::-1]
    unaligned = np.frombuffer(b"\0" + base.tobytes(), np.float32, count=6, offset=1).reshape(2, 3, 1)
    yield "unaligned but contiguous", unaligned


@pytest.mark.parametrize("name, img", list(extent_one_views()), ids=lambda value: value if isinstance(value, str) else "")
def test_layouts_numpy_calls_contiguous_are_accepted(name, img):
    offsets = {4: 0.7, 6: -0.4}
    np.testing.assert_array_equal(bits_of(zone_system(img, ZoneParams(offsets))), bits_of(reference(img, offsets)).reshape(img.shape))


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a[:, ::2],
        lambda a: a[::-1],
        lambda a: np.asfortranarray(a),
        lambda a: np.broadcast_to(a[:1], a.shape),
        lambda a: np.repeat(a, 3, axis=2)[:, :, 1:2],
    ],
)
@pytest.mark.parametrize("offsets", [{5: 0.5}, {}])
def test_non_contiguous_input_panics(make, offsets):
    img = make(np.ones((4, 6, 1), np.float32))
    with pytest.raises(panic_type()) as raised:
        zone_system(img, ZoneParams(offsets))
    assert str(raised.value) == "zone_system: input must be C-contiguous"


@pytest.mark.parametrize("shape", [(4, 6, 3), (0, 6, 3), (4, 0, 2), (1, 1, 0)])
def test_channel_count_other_than_one_is_a_shape_error(shape):
    with pytest.raises(ValueError) as raised:
        zone_system(np.zeros(shape, np.float32), ZoneParams({5: 0.5}))
    assert str(raised.value) == (
        "shape error: zone_system expects (H, W, 1) luminance input, got shape " + str(list(shape))
    )


def test_shape_is_checked_before_contiguity():
    img = np.zeros((4, 12, 3), np.float32)[:, ::2]
    with pytest.raises(ValueError, match=r"got shape \[4, 6, 3\]$"):
        zone_system(img, ZoneParams({5: 0.5}))


@pytest.mark.parametrize("shape", [(0, 6, 1), (6, 0, 1)])
def test_empty_image_gives_an_empty_result(shape):
    out = zone_system(np.zeros(shape, np.float32)[:, ::-1], ZoneParams({5: 0.5}))
    assert out.shape == shape and out.dtype == np.float32


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.zeros((4, 6), np.float32), ZoneParams({})), "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        ((np.zeros((4, 6, 1)), ZoneParams({})), "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        ((np.zeros((4, 6), np.float32), {5: 0.5}), "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        ((np.zeros((4, 6, 1), np.float32), {5: 0.5}), "argument 'params': 'dict' object is not an instance of 'ZoneParams'"),
        ((np.zeros((4, 6, 1), np.float32), None), "argument 'params': 'None' is not an instance of 'ZoneParams'"),
        ((np.zeros((4, 6, 1), np.float32),), "zone_system() missing 1 required positional argument: 'params'"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as raised:
        zone_system(*args)
    assert str(raised.value) == message


def test_bit_identical_for_any_thread_count():
    script = (
        "import hashlib, numpy as np, velkor_core as v\n"
        "x = (0.18 * np.exp2(np.random.default_rng(1).uniform(-12, 12, 300_001))).astype(np.float32)\n"
        "y = v.zone_system(x.reshape(1, -1, 1), v.ZoneParams({z: 0.2 * (z - 5) for z in range(11)}))\n"
        "print(hashlib.sha256(y.tobytes()).hexdigest())\n"
    )
    digests = set()
    for threads in ("1", "2", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        digests.add(run.stdout.strip())
    assert len(digests) == 1
