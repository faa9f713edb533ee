"""Soak: every entry point, on its success and its error paths, called many
times; afterwards the process must hold no more references and no more
memory than after a warm-up.  VELKOR_SOAK_COUNT sets the calls per path."""
import gc
import importlib
import os
import sys
from dataclasses import dataclass, field

import numpy as np
import pytest

import velkor_core as vc

from reliability_support import panic_type, rss_bytes, sanitized, unaligned_copy

COUNT = int(os.environ.get("VELKOR_SOAK_COUNT", "2000"))
WARM_UP = 100
# Bytes of resident growth a path may show after its warm-up: page-sized
# noise from the allocators, far below one leaked result per call.
RSS_TOLERANCE = 1 << 20
BLOCK_TOLERANCE = 256  # a leak of one object per call shows as thousands

PANIC = panic_type()
RNG = np.random.default_rng(7)
RGB = RNG.random((32, 48, 3), dtype=np.float32)
LUMA = RNG.random((32, 48, 1), dtype=np.float32)


@dataclass
class SoakPath:
    name: str
    call: object  # () -> object
    raises: type = None
    message: str = None
    watched: list = field(default_factory=list)
    warm_up: int = WARM_UP


def succeeds(name, call, *watched):
    return SoakPath(name, call, watched=list(watched))


def fails(name, call, raises, message, *watched):
    return SoakPath(name, call, raises, message, list(watched))


class FloatRaising:
    def __float__(self):
        raise ValueError("no float here")


class MutatingKey:
    """A key whose conversion adds or removes an entry of the dictionary
    being read, so its size changes on every construction."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        if self.target.pop(1000, None) is None:
            self.target[1000] = 0.0
        return 5

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return self is other


class StrengthThatSets:
    """A strength whose conversion runs while `params` is held by the call."""

    def __init__(self, params, reraise):
        self.params, self.reraise = params, reraise

    def __float__(self):
        try:
            self.params.radius = 2
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
            if self.reraise:
                raise
        else:
            raise AssertionError("a setter succeeded while local_contrast held the params")
        return 0.5


def frame_paths():
    f = vc.encode_srgb
    strided = np.zeros((8, 16, 3), np.float32)[:, ::2]
    empty, unaligned = np.zeros((0, 5, 3), np.float32), unaligned_copy(RGB)
    doubles, swapped, nested = np.zeros((2, 2, 3)), RGB.astype(">f4"), [[[0.0]]]
    return [
        succeeds("encode_srgb", lambda: f(RGB), RGB),
        succeeds("encode_srgb keyword", lambda: f(img=LUMA), LUMA),
        succeeds("encode_srgb empty", lambda: f(empty), empty),
        succeeds("encode_srgb unaligned", lambda: f(unaligned), unaligned),
        fails("encode_srgb no argument", lambda: f(), TypeError,
              "encode_srgb() missing 1 required positional argument: 'img'"),
        fails("encode_srgb two arguments", lambda: f(RGB, RGB), TypeError,
              "encode_srgb() takes 1 positional arguments but 2 were given", RGB),
        fails("encode_srgb twice", lambda: f(RGB, img=RGB), TypeError,
              "encode_srgb() got multiple values for argument 'img'", RGB),
        fails("encode_srgb unknown keyword", lambda: f(RGB, gamma=2), TypeError,
              "encode_srgb() got an unexpected keyword argument 'gamma'", RGB),
        fails("encode_srgb float64", lambda: f(doubles), TypeError,
              "argument 'img': 'ndarray' object is not an instance of 'ndarray'", doubles),
        fails("encode_srgb byte-swapped", lambda: f(swapped), TypeError,
              "argument 'img': 'ndarray' object is not an instance of 'ndarray'", swapped),
        fails("encode_srgb list", lambda: f(nested), TypeError,
              "argument 'img': 'list' object is not an instance of 'ndarray'", nested),
        fails("encode_srgb None", lambda: f(None), TypeError,
              "argument 'img': 'None' is not an instance of 'ndarray'"),
        fails("encode_srgb strided", lambda: f(strided), PANIC,
              "encode_srgb: input must be C-contiguous", strided),
    ]


def monochrome_paths():
    reversed_rgb = RGB[::-1, :, ::-1]
    raising = FloatRaising()
    four = np.zeros((2, 2, 4), np.float32)
    return [
        succeeds("luminance_bw", lambda: vc.luminance_bw(RGB), RGB),
        succeeds("luminance_bw reversed", lambda: vc.luminance_bw(reversed_rgb, standard=vc.LuminanceStandard.Bt601), reversed_rgb),
        fails("luminance_bw None standard", lambda: vc.luminance_bw(RGB, None), TypeError,
              "argument 'standard': 'None' is not an instance of 'LuminanceStandard'", RGB),
        fails("luminance_bw int standard", lambda: vc.luminance_bw(RGB, 1), TypeError,
              "argument 'standard': 'int' object is not an instance of 'LuminanceStandard'", RGB),
        fails("luminance_bw four channels", lambda: vc.luminance_bw(four), ValueError,
              "shape error: expected (H, W, 3) RGB array, got shape [2, 2, 4]", four),
        fails("luminance_bw three positional", lambda: vc.luminance_bw(RGB, vc.LuminanceStandard.Bt709, 3), TypeError,
              "luminance_bw() takes from 1 to 2 positional arguments but 3 were given", RGB),
        succeeds("color_filter_bw", lambda: vc.color_filter_bw(RGB, vc.ColorFilter.Red25A, standard=vc.LuminanceStandard.Bt2020),
                 RGB),
        fails("color_filter_bw standard as filter", lambda: vc.color_filter_bw(RGB, filter=vc.LuminanceStandard.Bt709), TypeError,
              "argument 'filter': 'LuminanceStandard' object is not an instance of 'ColorFilter'", RGB),
        succeeds("channel_mixer_bw", lambda: vc.channel_mixer_bw(RGB, 0.5, 2, wb=-1.0), RGB),
        fails("channel_mixer_bw missing weights", lambda: vc.channel_mixer_bw(RGB),
              TypeError, "channel_mixer_bw() missing 3 required positional arguments: 'wr', 'wg', and 'wb'", RGB),
        fails("channel_mixer_bw str weight", lambda: vc.channel_mixer_bw(RGB, "1", 0, 0),
              TypeError, "argument 'wr': must be real number, not str", RGB),
        fails("channel_mixer_bw huge weight", lambda: vc.channel_mixer_bw(RGB, 0, 10**400, 0), OverflowError, "int too large to convert to float",
              RGB),
        fails("channel_mixer_bw raising weight", lambda: vc.channel_mixer_bw(RGB, 0, 0, raising), ValueError, "no float here", RGB, raising),
    ]


def enumeration_paths():
    return [
        succeeds("ColorFilter compare", lambda: (vc.ColorFilter.Red25A == 3, vc.ColorFilter.NoFilter == 2**64, int(vc.ColorFilter.Orange21),
                          repr(vc.LuminanceStandard.Bt709))),
        fails("ColorFilter ordering", lambda: vc.ColorFilter.Red25A < vc.ColorFilter.Blue47C5,
              TypeError, None),
        fails("LuminanceStandard hash", lambda: hash(vc.LuminanceStandard.Bt709),
              TypeError, None),
        fails("ColorFilter instantiation", lambda: vc.ColorFilter(), TypeError, None),
    ]


def zone_paths():
    zones = vc.ZoneParams({5: 0.5, 3: -0.3})
    strided = np.zeros((8, 16, 1), np.float32)[:, ::2]
    growing, pairs = {}, [(5, 0.5)]
    growing[MutatingKey(growing)] = 1.0
    return [
        succeeds("ZoneParams", lambda: vc.ZoneParams({5: 0.5, 3: -0.3, 42: 1e39})),
        succeeds("ZoneParams keyword repr", lambda: repr(vc.ZoneParams(offsets={1: float("nan")}))),
        fails("ZoneParams list", lambda: vc.ZoneParams(pairs), TypeError,
              "argument 'offsets': 'list' object is not an instance of 'dict'", pairs),
        fails("ZoneParams None", lambda: vc.ZoneParams(None), TypeError,
              "argument 'offsets': 'None' is not an instance of 'dict'"),
        fails("ZoneParams float key", lambda: vc.ZoneParams({5.0: 1}), TypeError,
              "argument 'offsets': 'float' object cannot be interpreted as an integer"),
        fails("ZoneParams 32-bit overflow", lambda: vc.ZoneParams({2**31: 1}), OverflowError,
              "out of range integral type conversion attempted"),
        fails("ZoneParams 64-bit overflow", lambda: vc.ZoneParams({2**70: 1}), OverflowError,
              "Python int too large to convert to C long"),
        fails("ZoneParams str value", lambda: vc.ZoneParams({1: "x"}), TypeError,
              "argument 'offsets': must be real number, not str"),
        fails("ZoneParams missing", lambda: vc.ZoneParams(), TypeError,
              "ZoneParams.__new__() missing 1 required positional argument: 'offsets'"),
        fails("ZoneParams dict grows", lambda: vc.ZoneParams(growing), PANIC,
              "dictionary changed size during iteration"),
        succeeds("zone_system", lambda: vc.zone_system(LUMA, zones), LUMA, zones),
        fails("zone_system dict params", lambda: vc.zone_system(LUMA, {5: 0.5}), TypeError,
              "argument 'params': 'dict' object is not an instance of 'ZoneParams'", LUMA),
        fails("zone_system rgb", lambda: vc.zone_system(RGB, zones), ValueError,
              "shape error: zone_system expects (H, W, 1) luminance input, got shape [32, 48, 3]", RGB, zones),
        fails("zone_system strided", lambda: vc.zone_system(strided, zones), PANIC,
              "zone_system: input must be C-contiguous", strided, zones),
    ]


def guided_paths():
    params = vc.GuidedFilterParams(3, 0.01)
    quiet = StrengthThatSets(params, reraise=False)
    loud = StrengthThatSets(params, reraise=True)

    def set_both():
        params.radius = 3
        params.eps = 0.01

    def set_refused():
        params.radius = -5

    def delete_radius():
        del params.radius

    return [
        succeeds("GuidedFilterParams", lambda: vc.GuidedFilterParams(eps=0.01, radius=8)),
        succeeds("GuidedFilterParams read", lambda: (params.radius, params.eps, repr(params)), params),
        succeeds("GuidedFilterParams set", set_both, params),
        fails("GuidedFilterParams negative radius", lambda: vc.GuidedFilterParams(-1, 0.1), OverflowError,
              "out of range integral type conversion attempted"),
        fails("GuidedFilterParams float radius", lambda: vc.GuidedFilterParams(3.0, 0.1), TypeError,
              "argument 'radius': 'float' object cannot be interpreted as an integer"),
        fails("GuidedFilterParams str eps", lambda: vc.GuidedFilterParams(3, "x"), TypeError,
              "argument 'eps': must be real number, not str"),
        fails("GuidedFilterParams missing eps", lambda: vc.GuidedFilterParams(3), TypeError,
              "GuidedFilterParams.__new__() missing 1 required positional argument: 'eps'"),
        fails("GuidedFilterParams refused setter", set_refused, OverflowError,
              "out of range integral type conversion attempted", params),
        fails("GuidedFilterParams delete", delete_radius, AttributeError, "property has no deleter", params),
        succeeds("local_contrast", lambda: vc.local_contrast(LUMA, params, 1.0), LUMA, params),
        succeeds("local_contrast setter while held", lambda: vc.local_contrast(LUMA, params, quiet), LUMA,
                 params, quiet),
        fails("local_contrast setter error passes", lambda: vc.local_contrast(LUMA, params, loud),
              RuntimeError, "Already borrowed", LUMA, params, loud),
        fails("local_contrast rgb", lambda: vc.local_contrast(RGB, params, 1.0), ValueError,
              "shape error: local_contrast expects (H, W, 1) luminance input, got shape [32, 48, 3]", RGB, params),
        fails("local_contrast None params", lambda: vc.local_contrast(LUMA, None, 1.0),
              TypeError, "argument 'params': 'None' is not an instance of 'GuidedFilterParams'", LUMA),
        fails("local_contrast str strength", lambda: vc.local_contrast(LUMA, params, "x"), TypeError,
              "argument 'strength': must be real number, not str", LUMA, params),
    ]


def reimport():
    sys.modules.pop("velkor_core")
    return importlib.import_module("velkor_core")


PATHS = [
    *frame_paths(),
    *monochrome_paths(),
    *enumeration_paths(),
    *zone_paths(),
    *guided_paths(),
    # The interpreter's own caches fill over the first few thousand imports.
    SoakPath("module re-import", reimport, warm_up=5000),
]


def run(path, times):
    for _ in range(times):
        try:
            path.call()
        except BaseException as error:  # noqa: B036 - PanicException included
            if path.raises is None or type(error) is not path.raises:
                raise
            if path.message is not None and str(error) != path.message:
                raise AssertionError(f"{path.name}: {error!r}") from error
        else:
            assert path.raises is None, f"{path.name} did not raise"


def watched_objects(path):
    classes = [vc.LuminanceStandard, vc.ColorFilter, vc.ZoneParams, vc.GuidedFilterParams]
    members = [getattr(cls, name) for cls in classes for name in dir(cls) if isinstance(getattr(cls, name), cls)]
    return [None, np.ndarray, PANIC, *classes, *members, *path.watched]


RESULTS = []


@pytest.fixture(scope="module", autouse=True)
def report_figures():
    rss_at_start = rss_bytes()
    yield
    calls = sum(calls for _, calls, _ in RESULTS)
    print(f"\nsoak: {len(RESULTS)} paths, {calls} calls, {COUNT} per path; "
          f"RSS {rss_at_start / 2**20:.1f} MiB at start, {rss_bytes() / 2**20:.1f} MiB at end; "
          f"largest growth of one path {max((g for *_, g in RESULTS), default=0) / 2**10:.0f} KiB")


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("path", PATHS, ids=[path.name for path in PATHS])
def test_path_leaks_nothing(path):
    run(path, path.warm_up)
    gc.collect()
    watched = watched_objects(path)
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks, rss = sys.getallocatedblocks(), rss_bytes()

    run(path, COUNT)
    gc.collect()

    growth = rss_bytes() - rss
    RESULTS.append((path.name, path.warm_up + COUNT, growth))
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == counts, [(repr(obj)[:40], b, a) for obj, b, a in zip(watched, counts, after) if a != b]
    if blocks:  # zero when Python allocates with plain malloc (sanitizer runs)
        assert sys.getallocatedblocks() - blocks <= BLOCK_TOLERANCE
    if not sanitized():
        assert growth <= RSS_TOLERANCE, f"resident memory grew by {growth} bytes over {COUNT} calls"
