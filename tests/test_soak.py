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
    watched: list = field(default_factory=list)
    warm_up: int = WARM_UP


def succeeds(name, call, *watched):
    return SoakPath(name, call, watched=list(watched))


def fails(name, call, raises, *watched):
    return SoakPath(name, call, raises, list(watched))


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


# The exact texts of these errors are pinned by the tests of each entry
# point; here only the type matters, to know the intended path ran.
def frame_paths():
    f = vc.encode_srgb
    strided = np.zeros((8, 16, 3), np.float32)[:, ::2]
    empty, unaligned = np.zeros((0, 5, 3), np.float32), unaligned_copy(RGB)
    doubles, nested = np.zeros((2, 2, 3)), [[[0.0]]]
    return [
        succeeds("encode_srgb", lambda: f(RGB), RGB),
        succeeds("encode_srgb keyword", lambda: f(img=LUMA), LUMA),
        succeeds("encode_srgb empty", lambda: f(empty), empty),
        succeeds("encode_srgb unaligned", lambda: f(unaligned), unaligned),
        fails("encode_srgb no argument", lambda: f(), TypeError),
        fails("encode_srgb two arguments", lambda: f(RGB, RGB), TypeError, RGB),
        fails("encode_srgb twice", lambda: f(RGB, img=RGB), TypeError, RGB),
        fails("encode_srgb unknown keyword", lambda: f(RGB, gamma=2), TypeError, RGB),
        fails("encode_srgb float64", lambda: f(doubles), TypeError, doubles),
        fails("encode_srgb list", lambda: f(nested), TypeError, nested),
        fails("encode_srgb None", lambda: f(None), TypeError),
        fails("encode_srgb strided", lambda: f(strided), PANIC, strided),
    ]


def monochrome_paths():
    Std, reversed_rgb = vc.LuminanceStandard, RGB[::-1, :, ::-1]
    raising, four = FloatRaising(), np.zeros((2, 2, 4), np.float32)
    return [
        succeeds("luminance_bw", lambda: vc.luminance_bw(RGB), RGB),
        succeeds("luminance_bw reversed", lambda: vc.luminance_bw(reversed_rgb, standard=Std.Bt601), reversed_rgb),
        fails("luminance_bw None standard", lambda: vc.luminance_bw(RGB, None), TypeError, RGB),
        fails("luminance_bw int standard", lambda: vc.luminance_bw(RGB, 1), TypeError, RGB),
        fails("luminance_bw four channels", lambda: vc.luminance_bw(four), ValueError, four),
        fails("luminance_bw three positional", lambda: vc.luminance_bw(RGB, Std.Bt709, 3), TypeError, RGB),
        succeeds("color_filter_bw", lambda: vc.color_filter_bw(RGB, vc.ColorFilter.Red25A, standard=Std.Bt2020), RGB),
        succeeds("channel_mixer_bw", lambda: vc.channel_mixer_bw(RGB, 0.5, 2, wb=-1.0), RGB),
        fails("channel_mixer_bw missing weights", lambda: vc.channel_mixer_bw(RGB), TypeError, RGB),
        fails("channel_mixer_bw str weight", lambda: vc.channel_mixer_bw(RGB, "1", 0, 0), TypeError, RGB),
        fails("channel_mixer_bw huge weight", lambda: vc.channel_mixer_bw(RGB, 0, 10**400, 0), OverflowError, RGB),
        fails("channel_mixer_bw raising weight", lambda: vc.channel_mixer_bw(RGB, 0, 0, raising), ValueError,
              RGB, raising),
    ]


def enumeration_paths():
    Filt = vc.ColorFilter
    return [
        succeeds("ColorFilter compare", lambda: (Filt.Red25A == 3, Filt.NoFilter == 2**64, int(Filt.Orange21),
                                                 repr(vc.LuminanceStandard.Bt709))),
        fails("ColorFilter ordering", lambda: Filt.Red25A < Filt.Blue47C5, TypeError),
        fails("LuminanceStandard hash", lambda: hash(vc.LuminanceStandard.Bt709), TypeError),
        fails("ColorFilter instantiation", lambda: Filt(), TypeError),
    ]


def zone_paths():
    zones = vc.ZoneParams({5: 0.5, 3: -0.3})
    strided = np.zeros((8, 16, 1), np.float32)[:, ::2]
    growing, pairs = {}, [(5, 0.5)]
    growing[MutatingKey(growing)] = 1.0
    return [
        succeeds("ZoneParams", lambda: vc.ZoneParams({5: 0.5, 3: -0.3, 42: 1e39})),
        succeeds("ZoneParams keyword repr", lambda: repr(vc.ZoneParams(offsets={1: float("nan")}))),
        fails("ZoneParams list", lambda: vc.ZoneParams(pairs), TypeError, pairs),
        fails("ZoneParams float key", lambda: vc.ZoneParams({5.0: 1}), TypeError),
        fails("ZoneParams 32-bit overflow", lambda: vc.ZoneParams({2**31: 1}), OverflowError),
        fails("ZoneParams 64-bit overflow", lambda: vc.ZoneParams({2**70: 1}), OverflowError),
        fails("ZoneParams str value", lambda: vc.ZoneParams({1: "x"}), TypeError),
        fails("ZoneParams missing", lambda: vc.ZoneParams(), TypeError),
        fails("ZoneParams dict grows", lambda: vc.ZoneParams(growing), PANIC),
        succeeds("zone_system", lambda: vc.zone_system(LUMA, zones), LUMA, zones),
        fails("zone_system dict params", lambda: vc.zone_system(LUMA, {5: 0.5}), TypeError, LUMA),
        fails("zone_system rgb", lambda: vc.zone_system(RGB, zones), ValueError, RGB, zones),
        fails("zone_system strided", lambda: vc.zone_system(strided, zones), PANIC, strided, zones),
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
        fails("GuidedFilterParams negative radius", lambda: vc.GuidedFilterParams(-1, 0.1), OverflowError),
        fails("GuidedFilterParams float radius", lambda: vc.GuidedFilterParams(3.0, 0.1), TypeError),
        fails("GuidedFilterParams str eps", lambda: vc.GuidedFilterParams(3, "x"), TypeError),
        fails("GuidedFilterParams missing eps", lambda: vc.GuidedFilterParams(3), TypeError),
        fails("GuidedFilterParams refused setter", set_refused, OverflowError, params),
        fails("GuidedFilterParams delete", delete_radius, AttributeError, params),
        succeeds("local_contrast", lambda: vc.local_contrast(LUMA, params, 1.0), LUMA, params),
        succeeds("local_contrast setter while held", lambda: vc.local_contrast(LUMA, params, quiet),
                 LUMA, params, quiet),
        fails("local_contrast setter error passes", lambda: vc.local_contrast(LUMA, params, loud), RuntimeError,
              LUMA, params, loud),
        fails("local_contrast rgb", lambda: vc.local_contrast(RGB, params, 1.0), ValueError, RGB, params),
        fails("local_contrast None params", lambda: vc.local_contrast(LUMA, None, 1.0), TypeError, LUMA),
        fails("local_contrast str strength", lambda: vc.local_contrast(LUMA, params, "x"), TypeError, LUMA, params),
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
