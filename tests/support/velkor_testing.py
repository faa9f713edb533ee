"""Helpers shared by the test modules (on sys.path through pytest's pythonpath):
references' building blocks, the input layouts every kernel must accept, and
the table of refused calls with their exact texts."""

import ctypes
import os
import subprocess
import sys
import textwrap

import numpy as np

import velkor_core as vc

libm = ctypes.CDLL("libm.so.6")
for _name in ("powf", "logf", "expf", "exp2f"):
    getattr(libm, _name).restype = ctypes.c_float
    getattr(libm, _name).argtypes = [ctypes.c_float] * (2 if _name == "powf" else 1)

SUPPORT = os.path.dirname(os.path.abspath(__file__))
SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-40, 0.0031308, 1.0], np.float32)


def f32_from_bits(bits):
    return np.array(bits, dtype=np.uint32).view(np.float32)


def bits_of(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def bits(array):
    """Bytes of a float32 array in C order: compares NaNs and signed zeros too."""
    return bits_of(array).tobytes()


def assert_same_bits(actual, expected):
    """Bit for bit, except that any NaN matches any NaN: which NaN an operation
    on two NaNs yields may depend on the compiler's operand order."""
    expected = np.ascontiguousarray(expected, dtype=np.float32)
    assert actual.dtype == np.float32 and actual.shape == expected.shape
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    np.testing.assert_array_equal(bits_of(actual)[~nan], bits_of(expected)[~nan])


def sample_image(shape=(97, 131, 3), seed=11):
    """Ordinary values with the awkward ones spread through them."""
    img = np.random.default_rng(seed).uniform(-0.5, 4.0, shape).astype(np.float32)
    flat = img.reshape(-1)
    flat[::101] = np.resize(SPECIALS, flat[::101].size)
    return img


def unaligned_copy(array):
    """A C-contiguous float32 copy whose data starts one byte off the float grid."""
    raw = bytearray(array.size * 4 + 1)
    out = np.frombuffer(raw, np.float32, array.size, offset=1).reshape(array.shape)
    out[...] = array
    return out


def packed_field(array):
    """The same values as a field of packed records: 5-byte strides."""
    records = np.zeros(array.shape, dtype=np.dtype([("tag", "u1"), ("value", "<f4")]))
    records["value"] = array
    return records["value"]


class ArraySubclass(np.ndarray):
    pass


# Views of an (H, W, C) array that every kernel must read as it reads their
# contiguous copy; the contiguity-bound kernels refuse the ones NumPy does
# not call C-contiguous.
LAYOUTS = {
    "contiguous": lambda a: a,
    "reversed": lambda a: a[::-1, ::-1, ::-1],
    "every second column": lambda a: a[:, ::2],
    "every third row": lambda a: a[::3],
    "transposed": lambda a: a.transpose(1, 0, 2),
    "Fortran order": np.asfortranarray,
    "planar memory": lambda a: np.moveaxis(np.ascontiguousarray(np.moveaxis(a, -1, 0)), 0, -1),
    "reversed channels in memory": lambda a: np.ascontiguousarray(a[..., ::-1])[..., ::-1],
    "channels of a wider array": lambda a: np.concatenate([a, a[..., :1]], axis=2)[..., : a.shape[2]],
    "broadcast row": lambda a: np.broadcast_to(a[:1], a.shape),
    "unaligned": unaligned_copy,
    "packed record field": packed_field,
    # A row stride that is never used (its extent is 1), odd and negative.
    "one row, odd stride": lambda a: np.lib.stride_tricks.as_strided(
        a[:1], a[:1].shape, (-36 * 4 - 1, *a.strides[1:]), writeable=False),
    "subclass": lambda a: a.view(ArraySubclass),
}


def panic_type():
    """The PanicException class; the module does not export it."""
    try:
        vc.encode_srgb(np.zeros((2, 2, 2), np.float32)[:, ::2])
    except BaseException as error:  # PanicException derives from BaseException
        return type(error)
    raise AssertionError("a non-contiguous input was accepted")


PANIC = panic_type()


def run_python(code, check=True, **env):
    """Runs `code` in a fresh interpreter that can import this module; a
    keyword set to None removes that variable.  Returns the finished process."""
    environment = dict(os.environ, PYTHONPATH=SUPPORT)
    for name, value in env.items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environment,
                          capture_output=True, text=True, timeout=120)
    if check:
        assert done.returncode == 0, done.stderr
    return done


def sanitized():
    """True inside a sanitizer's process, where resident memory means little."""
    with open("/proc/self/maps") as maps:
        text = maps.read()
    return "libasan" in text or "libtsan" in text


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ------------------------------------------------ refused calls, exact texts

Std, Filt, ZP, GFP = vc.LuminanceStandard, vc.ColorFilter, vc.ZoneParams, vc.GuidedFilterParams
A = np.zeros((2, 3, 1), np.float32)
RGB = np.zeros((2, 2, 3), np.float32)
HELD = GFP(5, 0.5)  # refused setters must leave it as it was
ZONES = ZP({5: 0.5})
NOT_INSTANCE = "argument '{}': '{}' object is not an instance of '{}'"
OUT_OF_RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return int(self.value)  # int("boom") raises


class BadFloat:
    def __float__(self):
        raise TypeError("no float here")


class MutatingKey:
    """A key whose conversion changes the dictionary being read."""

    def __init__(self, mutate):
        self.mutate = mutate

    def __index__(self):
        self.mutate(self)
        return 1


def mutated(mutate):
    def build():
        d = {}
        d[MutatingKey(lambda key: mutate(d, key))], d[2] = 0.5, 0.2
        return ZP(d)
    return build


# (id, call, exception type, exact message); the soak runs the same calls.
ERRORS = [
    ("no argument", lambda: vc.encode_srgb(), TypeError, "encode_srgb() missing 1 required positional argument: 'img'"),
    ("two positional", lambda: vc.encode_srgb(A, A), TypeError, "encode_srgb() takes 1 positional arguments but 2 were given"),
    ("twice", lambda: vc.encode_srgb(A, img=A), TypeError, "encode_srgb() got multiple values for argument 'img'"),
    ("unknown keyword", lambda: vc.encode_srgb(A, gamma=2), TypeError, "encode_srgb() got an unexpected keyword argument 'gamma'"),
    ("list image", lambda: vc.encode_srgb([[[0.0]]]), TypeError, NOT_INSTANCE.format("img", "list", "ndarray")),
    ("None image", lambda: vc.encode_srgb(None), TypeError, "argument 'img': 'None' is not an instance of 'ndarray'"),
    # Only native float32 arrays of three axes are images.
    ("float64", lambda: vc.encode_srgb(RGB.astype(np.float64)), TypeError, NOT_INSTANCE.format("img", "ndarray", "ndarray")),
    ("two axes", lambda: vc.luminance_bw(RGB[:, :, 0]), TypeError, NOT_INSTANCE.format("img", "ndarray", "ndarray")),
    ("big-endian", lambda: vc.local_contrast(RGB.astype(">f4"), None, "x"), TypeError, NOT_INSTANCE.format("img", "ndarray", "ndarray")),
    ("int standard", lambda: vc.luminance_bw(RGB, 1), TypeError, NOT_INSTANCE.format("standard", "int", "LuminanceStandard")),
    ("standard as filter", lambda: vc.color_filter_bw(RGB, Std.Bt709), TypeError, NOT_INSTANCE.format("filter", "LuminanceStandard", "ColorFilter")),
    ("optional positional", lambda: vc.luminance_bw(RGB, Std.Bt709, 3), TypeError, "luminance_bw() takes from 1 to 2 positional arguments but 3 were given"),
    ("three missing", lambda: vc.channel_mixer_bw(RGB), TypeError, "channel_mixer_bw() missing 3 required positional arguments: 'wr', 'wg', and 'wb'"),
    ("str weight", lambda: vc.channel_mixer_bw(RGB, 1, 1, "1"), TypeError, "argument 'wb': must be real number, not str"),
    ("huge weight", lambda: vc.channel_mixer_bw(RGB, 10**400, 0, 0), OverflowError, "int too large to convert to float"),
    # Arguments are converted in order: the bad image is reported first.
    ("order", lambda: vc.channel_mixer_bw(None, "x", 0, 0), TypeError, "argument 'img': 'None' is not an instance of 'ndarray'"),
    ("dict params", lambda: vc.zone_system(A, {5: 0.5}), TypeError, NOT_INSTANCE.format("params", "dict", "ZoneParams")),
    ("None params", lambda: vc.local_contrast(A, None, "x"), TypeError, "argument 'params': 'None' is not an instance of 'GuidedFilterParams'"),
    ("raising strength", lambda: vc.local_contrast(A, HELD, BadFloat()), TypeError, "argument 'strength': no float here"),
    ("four channels", lambda: vc.luminance_bw(np.zeros((2, 2, 4), np.float32)), ValueError, "shape error: expected (H, W, 3) RGB array, got shape [2, 2, 4]"),
    ("rgb tone", lambda: vc.zone_system(np.zeros((4, 6, 3), np.float32), ZONES), ValueError, "shape error: zone_system expects (H, W, 1) luminance input, got shape [4, 6, 3]"),
    ("empty two channels", lambda: vc.local_contrast(np.zeros((0, 6, 2), np.float32), HELD, 1.0), ValueError, "shape error: local_contrast expects (H, W, 1) luminance input, got shape [0, 6, 2]"),
    # The shape is checked before the layout.
    ("shape first", lambda: vc.zone_system(np.zeros((4, 12, 3), np.float32)[:, ::2], ZONES), ValueError, "shape error: zone_system expects (H, W, 1) luminance input, got shape [4, 6, 3]"),
    ("strided encode", lambda: vc.encode_srgb(A[:, ::2]), PANIC, "encode_srgb: input must be C-contiguous"),
    ("strided tone", lambda: vc.zone_system(A[::-1], ZP({})), PANIC, "zone_system: input must be C-contiguous"),
    ("zone list", lambda: ZP([(5, 0.5)]), TypeError, NOT_INSTANCE.format("offsets", "list", "dict")),
    ("zone missing", lambda: ZP(), TypeError, "ZoneParams.__new__() missing 1 required positional argument: 'offsets'"),
    ("zone 32 bits", lambda: ZP({2**31: 0.0}), OverflowError, OUT_OF_RANGE),
    # Beyond 64 bits the interpreter's own conversion fails first.
    ("zone 64 bits", lambda: ZP({2**70: 0.0}), OverflowError, "Python int too large to convert to C long"),
    ("zone float key", lambda: ZP({5.0: 0.0}), TypeError, "argument 'offsets': 'float' object cannot be interpreted as an integer"),
    ("zone str value", lambda: ZP({5: "0.5"}), TypeError, "argument 'offsets': must be real number, not str"),
    # The first failing entry decides, its key before its value.
    ("zone first entry", lambda: ZP({5: "x", "y": 0.0}), TypeError, "argument 'offsets': must be real number, not str"),
    ("zone key first", lambda: ZP({"y": "x", 5: "x"}), TypeError, "argument 'offsets': 'str' object cannot be interpreted as an integer"),
    ("dict grows", mutated(lambda d, key: d.__setitem__(100, 1.0)), PANIC, "dictionary changed size during iteration"),
    ("dict keys swapped", mutated(lambda d, key: (d.pop(key), d.__setitem__(10, 0.0))), PANIC, "dictionary keys changed during iteration"),
    ("guided missing", lambda: GFP(), TypeError, "GuidedFilterParams.__new__() missing 2 required positional arguments: 'radius' and 'eps'"),
    ("guided three", lambda: GFP(8, 0.1, 2), TypeError, "GuidedFilterParams.__new__() takes 2 positional arguments but 3 were given"),
    ("guided twice", lambda: GFP(8, radius=2), TypeError, "GuidedFilterParams.__new__() got multiple values for argument 'radius'"),
    # radius is converted before eps, so its error wins.
    ("guided order", lambda: GFP(1.5, "x"), TypeError, "argument 'radius': 'float' object cannot be interpreted as an integer"),
    ("radius 2**32", lambda: GFP(2**32, 0.1), OverflowError, OUT_OF_RANGE),
    ("set negative radius", lambda: setattr(HELD, "radius", -1), OverflowError, OUT_OF_RANGE),
    ("set float radius", lambda: setattr(HELD, "radius", 3.0), TypeError, "argument 'radius': 'float' object cannot be interpreted as an integer"),
    ("set str eps", lambda: setattr(HELD, "eps", "x"), TypeError, "argument 'eps': must be real number, not str"),
    ("delete radius", lambda: delattr(HELD, "radius"), AttributeError, "property has no deleter"),
]


def kernel_digests():
    """A sha256 per kernel of its results on every layout its loops tell apart
    (packed, reversed channels, channel-first, strided, transposed), every
    row length up to past two vector widths, and NaNs of mixed payloads and
    signs among infinities, subnormals and signed zeros."""
    import hashlib

    rng = np.random.default_rng(23)
    awkward = np.concatenate([SPECIALS, f32_from_bits([0x7FC00001, 0xFFC12345, 0x7FA00003, 0x00000001])])

    def image(h, w, c):
        img = rng.uniform(-0.5, 2.0, (h, w, c)).astype(np.float32)
        mask = rng.random(img.shape) < 0.05
        img[mask] = rng.choice(awkward, int(mask.sum()))
        return img

    def layouts(img):
        planar = np.ascontiguousarray(img.transpose(2, 0, 1)).transpose(1, 2, 0)
        return img, img[:, :, ::-1], planar, img[::-1, ::2], img.transpose(1, 0, 2)

    zones = vc.ZoneParams({z: 0.2 * (z - 5) for z in range(11)})
    digests = {}
    outs = {name: [] for name in ("luminance_bw", "color_filter_bw", "channel_mixer_bw", "zone_system",
                                  "local_contrast", "encode_srgb")}
    for h, w in [(1, n) for n in range(41)] + [(67, 131), (129, 257)]:
        rgb, grey = image(h, w, 3), image(h, w, 1)
        for view in layouts(rgb):
            outs["luminance_bw"].append(vc.luminance_bw(view, vc.LuminanceStandard.Bt2020))
            outs["color_filter_bw"].append(vc.color_filter_bw(view, vc.ColorFilter.Orange21))
            outs["channel_mixer_bw"].append(vc.channel_mixer_bw(view, 0.1, -2.0, 3.5))
        outs["zone_system"].append(vc.zone_system(grey, zones))
        outs["encode_srgb"].append(vc.encode_srgb(rgb))
        for view, radius in [(grey, 1), (grey[::-1, ::3], 7), (grey, 40)]:
            outs["local_contrast"].append(vc.local_contrast(view, vc.GuidedFilterParams(radius, 0.01), 1.5))
    for name, results in outs.items():
        digests[name] = hashlib.sha256(b"".join(bits(out) for out in results)).hexdigest()
    return digests
