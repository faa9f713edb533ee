"""RGB-to-luminance kernels and the two enumerations that choose their weights.

Every result is checked bit for bit against a float32 NumPy reference that
performs the same five roundings per pixel: ((r*wr) + (g*wg)) + (b*wb).
"""

import numpy as np
import pytest
from velkor_testing import assert_same_bits, unaligned_copy

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


def f32_triple(decimals):
    # None of these decimals rounds differently through double first.
    return tuple(np.float32(float(d)) for d in decimals)


def reference(img, weights):
    wr, wg, wb = (np.float32(w) for w in weights)
    r, g, b = img[..., 0], img[..., 1], img[..., 2]
    with np.errstate(all="ignore"):
        return ((r * wr + g * wg) + b * wb)[..., np.newaxis]


def sample_image(h=7, w=45, seed=0):
    """Mixed magnitudes and signs, with a few subnormals and exact zeros."""
    rng = np.random.default_rng(seed)
    img = rng.standard_normal((h, w, 3)).astype(np.float32) * np.float32(3)
    img.flat[::17] = np.float32(1e-40)
    img.flat[5::23] = -0.0
    img.flat[7::29] = np.float32(3e37)
    return img


IMG = sample_image()


# ---------------------------------------------------------------- arithmetic


def weight_cases():
    for standard, luminance in LUMINANCE:
        yield f"luminance-{standard}", lambda a, s=standard: vc.luminance_bw(a, s), f32_triple(luminance)
        for filt, transmission in TRANSMISSION:
            weights = [t * y for t, y in zip(f32_triple(transmission), f32_triple(luminance))]
            yield f"{filt}-{standard}", lambda a, f=filt, s=standard: vc.color_filter_bw(a, f, s), weights
    for weights in [(1, 0, 0), (0.5, -1.25, 2.0), (-2, -2, -2), (1e-3, 7.0, 0.3), (1e30, 1e30, 1e30)]:
        yield f"mixer-{weights}", lambda a, w=weights: vc.channel_mixer_bw(a, *w), weights


@pytest.mark.parametrize("name, kernel, weights", list(weight_cases()), ids=lambda x: x if isinstance(x, str) else "")
def test_kernels_match_the_reference(name, kernel, weights):
    # A filter's transmission is folded into the luminance weights first.
    assert_same_bits(kernel(IMG), reference(IMG, weights))


# ------------------------------------------------------------ known values

PIXEL = np.array([[[0.5, 0.25, 0.125]]], np.float32)
WHITE = np.ones((1, 1, 3), np.float32)


@pytest.mark.parametrize(
    "call,img,expected",
    [
        (lambda a: vc.luminance_bw(a), PIXEL, "0.294125"),  # Bt709 by default
        (lambda a: vc.color_filter_bw(a, Filt.Red25A, Std.Bt709), PIXEL, "0.124360494"),
        (lambda a: vc.color_filter_bw(a, Filt.Red25A), WHITE, "0.285564"),
        (lambda a: vc.luminance_bw(a, Std.Bt601), WHITE, "1.0"),
        (lambda a: vc.luminance_bw(a, Std.Bt2020), WHITE, "0.99999994"),
    ],
)
def test_documented_values(call, img, expected):
    out = call(img)
    assert out.shape == (1, 1, 1)
    assert out[0, 0, 0] == np.float32(expected)


@pytest.mark.parametrize(
    "call,same_as",
    [
        (lambda a: vc.color_filter_bw(a), lambda a: vc.color_filter_bw(a, Filt.NoFilter, Std.Bt709)),
        (lambda a: vc.color_filter_bw(a, standard=Std.Bt2020), lambda a: vc.color_filter_bw(a, Filt.NoFilter, Std.Bt2020)),
        (lambda a: vc.color_filter_bw(a, filter=Filt.Orange21), lambda a: vc.color_filter_bw(a, Filt.Orange21, Std.Bt709)),
    ],
)
def test_defaults(call, same_as):
    assert_same_bits(call(IMG), same_as(IMG))


@pytest.mark.parametrize("weights", [(1, 0, 0), (0, 1, 0), (0.5, 0, -2)])
def test_special_values_follow_the_reference(weights):
    # Nine pixels per row, so the vector body and the tail both see them; a
    # zero weight times infinity must still give NaN, nothing is clamped.
    img = np.ones((3, 9, 3), np.float32)
    img[0, :, :] = np.nan
    img[0, ::3, 0], img[0, 1::3, 1] = 1.0, 1.0
    img[1, :3], img[1, 3:6, 1], img[1, 6:, 2] = np.inf, -np.inf, np.inf
    img[2] = np.float32(1e38)
    assert_same_bits(vc.channel_mixer_bw(img, *weights), reference(img, weights))


@pytest.mark.parametrize(
    "weight,expected",
    [
        (2, 2.0),
        (True, 1.0),
        (1e39, np.inf),
        (-1e39, -np.inf),
        (float("nan"), np.nan),
        (np.float64(0.1), np.float32(0.1)),
        (type("Idx", (), {"__index__": lambda self: 3})(), 3.0),
    ],
)
def test_mixer_weight_conversion(weight, expected):
    out = vc.channel_mixer_bw(np.ones((1, 1, 3), np.float32), weight, 0, 0)
    assert_same_bits(out.ravel(), [expected])


# ------------------------------------------------------------ layouts


def planar_rgb(img):
    return np.moveaxis(np.ascontiguousarray(np.moveaxis(img, -1, 0)), 0, -1)


LAYOUTS = {
    "reversed_all": lambda a: a[::-1, ::-1, ::-1],
    "reversed_channels": lambda a: a[..., ::-1],
    "bgr_memory": lambda a: np.ascontiguousarray(a[..., ::-1])[2:, 1:, ::-1],
    "every_second_column": lambda a: a[:, ::2],
    "transposed": lambda a: a.transpose(1, 0, 2),
    "channel_first_memory": planar_rgb,
    "extra_channels": lambda a: np.concatenate([a, a[..., :1]], axis=2)[..., :3],
    "broadcast_row": lambda a: np.broadcast_to(a[:1], a.shape),
    "broadcast_pixel": lambda a: np.broadcast_to(a[0, 0], (4, 11, 3)),
    "unaligned": unaligned_copy,
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize(
    "kernel",
    [
        lambda a: vc.luminance_bw(a, Std.Bt2020),
        lambda a: vc.color_filter_bw(a, Filt.Green11X1),
        lambda a: vc.channel_mixer_bw(a, -0.5, 1.5, 0.25),
    ],
    ids=["luminance", "filter", "mixer"],
)
def test_any_layout_equals_contiguous_copy(layout, kernel):
    view = layout(IMG)
    out = kernel(view)
    assert out.flags.c_contiguous
    assert_same_bits(out, kernel(np.ascontiguousarray(view)))


# ------------------------------------------------------------ enumerations

MEMBERS = [(Std, name, value) for value, name in enumerate(["Bt601", "Bt709", "Bt2020"])] + [
    (Filt, name, value)
    for value, name in enumerate(["NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"])
]


@pytest.mark.parametrize("cls,name,value", MEMBERS, ids=lambda x: getattr(x, "__name__", str(x)))
def test_member_identity_text_and_value(cls, name, value):
    member = getattr(cls, name)
    assert member is getattr(cls, name) and type(member) is cls
    assert repr(member) == str(member) == f"{cls.__name__}.{name}" == f"{member}"
    assert int(member) == value and type(int(member)) is int
    assert member == value and not (member != value)
    assert bool(member) is True


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return int(self.value)  # int("boom") raises


@pytest.mark.parametrize(
    "member,other,equal",
    [
        (Filt.Red25A, 3, True),
        (Filt.Red25A, Filt.Orange21, False),
        (Filt.NoFilter, False, True),
        (Std.Bt709, True, True),
        (Filt.Orange21, 2.0, False),
        (Filt.NoFilter, 2**64, False),
        (Filt.NoFilter, -1, False),
        (Filt.Red25A, Index(3), True),
        (Filt.Red25A, Index("boom"), False),
        (Filt.Red25A, np.int64(3), True),
    ],
)
def test_member_equality(member, other, equal):
    assert (member == other) is equal
    assert (member != other) is (not equal)
    assert bool(other == member) is equal  # NumPy scalars answer with np.bool_
    assert bool(other != member) is (not equal)


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
@pytest.mark.parametrize("other", [Filt.Blue47C5, 5, Std.Bt709])
def test_members_have_no_order(op, other):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": Filt.Red25A, "b": other})


@pytest.mark.parametrize("cls", [Std, Filt])
def test_members_are_unhashable_closed_and_bare(cls):
    member = next(v for v in vars(cls).values() if type(v) is cls)
    assert cls.__hash__ is None and cls.__text_signature__ is None
    for attempt in (lambda: hash(member), lambda: {member}, cls):
        with pytest.raises(TypeError):
            attempt()
    with pytest.raises(AttributeError):
        member.extra = 1
    for absent in ("name", "value", "__index__", "__iter__"):
        assert not hasattr(member, absent)


def test_docstrings():
    assert Std.__doc__.startswith("ITU-R luminance standard for B&W conversion.\n\n")
    assert "approximations \u2014 real Wratten" in Filt.__doc__
    assert "Range \u22122..+2 is conventional" in vc.channel_mixer_bw.__doc__
    for function in (vc.luminance_bw, vc.color_filter_bw, vc.channel_mixer_bw):
        assert function.__doc__.startswith("Convert a linear RGB image to greyscale using ")


@pytest.mark.parametrize("weights", [(0.0, 1.0, 0.0), (0.5, 1.0, 1.0)])
def test_nan_bits_do_not_depend_on_position_split_or_layout(weights):
    # Two NaNs meeting in an addition: which one survives must not depend on
    # whether a pixel fell in a vector body, a tail or a strided row.
    rng = np.random.default_rng(5)
    img = rng.random((3, 37, 3), dtype=np.float32)
    payloads = np.array([0x7FC00001, 0xFFC00002, 0x7F800000, 0xFF800000, 0x7FA00003], np.uint32).view(np.float32)
    mask = rng.random(img.shape) < 0.5
    img[mask] = rng.choice(payloads, size=int(mask.sum()))
    img[1, :, 0], img[1, :, 1] = np.inf, np.nan  # 0 * inf makes a NaN of its own
    whole = vc.channel_mixer_bw(img, *weights)
    for split in range(1, 37):
        parts = [vc.channel_mixer_bw(img[:, :split], *weights), vc.channel_mixer_bw(img[:, split:], *weights)]
        assert_same_bits(np.concatenate(parts, axis=1), whole)
    reversed_rows = vc.channel_mixer_bw(img[::-1], *weights)[::-1]
    transposed = vc.channel_mixer_bw(np.ascontiguousarray(img.transpose(1, 0, 2)).transpose(1, 0, 2), *weights)
    for result in (reversed_rows, transposed):
        assert_same_bits(result, whole)


@pytest.mark.parametrize("shape", [(2100, 1001), (1, 2_100_003)], ids=["odd-width", "one-row"])
@pytest.mark.parametrize("layout", [lambda a: a, lambda a: a[..., ::-1]], ids=["rgb", "bgr"])
def test_large_outputs_match_small_pieces(shape, layout):
    # A result of several megabytes is written around the cache, by a loop
    # whose first stores depend on where each row (or, for one long row, each
    # thread's piece) starts in a 32-byte line.  Computed in small pieces,
    # the same pixels take the ordinary path; the bits, NaN payloads
    # included, must not tell the two apart.
    rng = np.random.default_rng(9)
    img = rng.standard_normal(shape + (3,)).astype(np.float32)
    payloads = np.array([0x7FC00001, 0xFFC00002, 0x7F800000], np.uint32).view(np.float32)
    mask = rng.random(img.shape) < 0.01
    img[mask] = rng.choice(payloads, size=int(mask.sum()))
    img = layout(img)
    weights = (0.5, 1.0, -1.0)
    whole = vc.channel_mixer_bw(img, *weights)
    axis = 0 if shape[0] > 1 else 1
    bounds = np.linspace(0, shape[axis], 41).astype(int)
    pieces = [vc.channel_mixer_bw(img[lo:hi] if axis == 0 else img[:, lo:hi], *weights)
              for lo, hi in zip(bounds, bounds[1:])]
    assert_same_bits(whole, np.concatenate(pieces, axis=axis))
