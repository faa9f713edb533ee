"""RGB-to-luminance kernels and the two enumerations that choose their weights.

Every result is checked bit for bit against a float32 NumPy reference that
performs the same five roundings per pixel: ((r*wr) + (g*wg)) + (b*wb).
"""

import numpy as np
import pytest
from velkor_testing import Index, assert_same_bits, bits_of, f32_from_bits, sample_image

import velkor_core as vc

Std = vc.LuminanceStandard
Filt = vc.ColorFilter

# Members are unhashable, so the tables are lists of (member, decimals).
LUMINANCE = [
    (Std.Bt601, ("0.299", "0.587", "0.114")),
    (Std.Bt709, ("0.2126", "0.7152", "0.0722")),
    (Std.Bt2020, ("0.2627", "0.678", "0.0593")),
]
TRANSMISSION = [
    (Filt.NoFilter, ("1.0", "1.0", "1.0")),
    (Filt.Yellow8K2, ("1.0", "0.9", "0.3")),
    (Filt.Orange21, ("1.0", "0.55", "0.1")),
    (Filt.Red25A, ("1.0", "0.1", "0.02")),
    (Filt.Green11X1, ("0.2", "1.0", "0.3")),
    (Filt.Blue47C5, ("0.1", "0.3", "1.0")),
]
IMG = sample_image((7, 45, 3), seed=0) * np.float32(-3)  # both signs, NaN, infinities, subnormals


def f32_triple(decimals):
    # None of these decimals rounds differently through double first.
    return tuple(np.float32(float(d)) for d in decimals)


def reference(img, weights):
    wr, wg, wb = (np.float32(w) for w in weights)
    r, g, b = img[..., 0], img[..., 1], img[..., 2]
    with np.errstate(all="ignore"):
        return ((r * wr + g * wg) + b * wb)[..., np.newaxis]


def weight_cases():
    for standard, luminance in LUMINANCE:
        yield f"{standard}", lambda a, s=standard: vc.luminance_bw(a, s), f32_triple(luminance)
        for filt, transmission in TRANSMISSION:
            # A filter's transmission is folded into the luminance weights first.
            weights = [t * y for t, y in zip(f32_triple(transmission), f32_triple(luminance))]
            yield f"{filt}-{standard}", lambda a, f=filt, s=standard: vc.color_filter_bw(a, f, s), weights
    yield "defaults", vc.color_filter_bw, f32_triple(LUMINANCE[1][1])
    yield "luminance default", vc.luminance_bw, f32_triple(LUMINANCE[1][1])
    yield "filter default standard", lambda a: vc.color_filter_bw(a, filter=Filt.Red25A), \
        [t * y for t, y in zip(f32_triple(TRANSMISSION[3][1]), f32_triple(LUMINANCE[1][1]))]
    for weights, stored in [((0.5, -1.25, 2.0), None), ((0, 1, 0), None), ((1e30, 1e30, 1e30), None),
                            ((True, np.float64(0.1), 1e39), (1.0, np.float32(0.1), np.inf))]:
        yield f"mixer-{weights}", lambda a, w=weights: vc.channel_mixer_bw(a, *w), stored or weights


@pytest.mark.parametrize("name, kernel, weights", list(weight_cases()), ids=lambda x: x if isinstance(x, str) else "")
def test_kernels_match_the_reference(name, kernel, weights):
    assert_same_bits(kernel(IMG), reference(IMG, weights))


def test_nan_payloads_survive_every_path_bit_for_bit():
    # Long rows take the vector and streaming paths, row ends the tail.  A
    # pixel's NaN comes out quieted; where two meet, the first operand's
    # (red before green before blue) survives, wherever the pixel fell.
    rng = np.random.default_rng(9)
    img = rng.standard_normal((2100, 1001, 3)).astype(np.float32)
    payloads = f32_from_bits([0x7FC00001, 0xFFC00002, 0x7FA00003, 0xFFA12345])
    mask = rng.random(img.shape) < 0.01
    img[mask] = rng.choice(payloads, size=int(mask.sum()))
    for layout in (img, img[..., ::-1]):
        whole = vc.channel_mixer_bw(layout, 0.5, 1.0, -1.0)
        pieces = [vc.channel_mixer_bw(layout[:, lo:hi], 0.5, 1.0, -1.0) for lo, hi in [(0, 7), (7, 500), (500, 1001)]]
        assert bits_of(whole).tobytes() == bits_of(np.concatenate(pieces, axis=1)).tobytes()
        nan = np.isnan(layout)
        first = np.argmax(nan, axis=2)[nan.any(axis=2)]  # red's NaN, else green's, else blue's
        quieted = bits_of(layout[nan.any(axis=2)][np.arange(first.size), first]) | 0x00400000
        assert (bits_of(whole[nan.any(axis=2)][:, 0]) == quieted).all() and (nan.sum(axis=2) > 1).any()


# ------------------------------------------------------------ enumerations

MEMBERS = [(Std, name, value) for value, name in enumerate(["Bt601", "Bt709", "Bt2020"])] + [
    (Filt, name, value)
    for value, name in enumerate(["NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"])
]


@pytest.mark.parametrize("cls,name,value", MEMBERS, ids=lambda x: getattr(x, "__name__", str(x)))
def test_member_identity_text_value_and_equality(cls, name, value):
    member = getattr(cls, name)
    assert member is getattr(cls, name) and type(member) is cls and bool(member) is True
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert int(member) == value and type(int(member)) is int
    for other, equal in [(value, True), (Index(value), True), (np.int64(value), True), (float(value), False),
                         (value + 2**64, False), (value + 1, False), (Index("boom"), False)]:
        assert (member == other) is equal and (member != other) is (not equal)
        assert bool(other == member) is equal  # NumPy scalars answer with np.bool_


@pytest.mark.parametrize("cls", [Std, Filt])
def test_members_are_unordered_unhashable_closed_and_bare(cls):
    member = next(v for v in vars(cls).values() if type(v) is cls)
    assert cls.__hash__ is None and cls.__text_signature__ is None
    for attempt in (lambda: hash(member), lambda: member < member, lambda: member >= 5, cls):
        with pytest.raises(TypeError):
            attempt()
    with pytest.raises(AttributeError):
        member.extra = 1
    for absent in ("name", "value", "__index__", "__iter__"):
        assert not hasattr(member, absent)
