"""Soak: every entry point, on its success paths and on the refused calls of
the exact-text table, called many times; afterwards the process must hold no
more references and no more memory than after a warm-up.
VELKOR_SOAK_COUNT sets the calls per path."""
import gc
import importlib
import os
import sys

import numpy as np
import pytest
from velkor_testing import ERRORS, HELD, PANIC, ZONES, rss_bytes, sanitized, unaligned_copy

import velkor_core as vc

COUNT = int(os.environ.get("VELKOR_SOAK_COUNT", "2000"))
WARM_UP = 100
# Resident growth a path may show after its warm-up: page-sized allocator
# noise, far below one leaked result per call.
RSS_TOLERANCE = 1 << 20
BLOCK_TOLERANCE = 256  # a leak of one object per call shows as thousands

RNG = np.random.default_rng(7)
RGB = RNG.random((32, 48, 3), dtype=np.float32)
LUMA = RNG.random((32, 48, 1), dtype=np.float32)
UNALIGNED = unaligned_copy(RGB)
PARAMS = vc.GuidedFilterParams(3, 0.01)


class StrengthThatSets:
    """A strength whose conversion runs while `PARAMS` is held by the call."""

    def __float__(self):
        try:
            PARAMS.radius = 2
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
        else:
            raise AssertionError("a setter succeeded while local_contrast held the params")
        return 0.5


def set_both():
    PARAMS.radius, PARAMS.eps = 3, 0.01


def reimport():
    sys.modules.pop("velkor_core")
    new = importlib.import_module("velkor_core")
    # The classes are the process's, shared by every import; the functions are each module's own.
    assert new.ZoneParams is vc.ZoneParams and new.encode_srgb is not vc.encode_srgb


STRENGTH = StrengthThatSets()
# (id, call, warm-up); the refused calls come from the exact-text table.
SUCCEEDS = [
    ("encode_srgb", lambda: vc.encode_srgb(img=RGB), WARM_UP),
    ("encode_srgb unaligned", lambda: vc.encode_srgb(UNALIGNED), WARM_UP),
    ("luminance_bw reversed", lambda: vc.luminance_bw(RGB[::-1, :, ::-1], standard=vc.LuminanceStandard.Bt601), WARM_UP),
    ("color_filter_bw", lambda: vc.color_filter_bw(RGB, vc.ColorFilter.Red25A), WARM_UP),
    ("channel_mixer_bw", lambda: vc.channel_mixer_bw(RGB, 0.5, 2, wb=-1.0), WARM_UP),
    ("zone_system", lambda: vc.zone_system(LUMA, ZONES), WARM_UP),
    ("local_contrast", lambda: vc.local_contrast(LUMA, PARAMS, 1.0), WARM_UP),
    ("local_contrast setter while held", lambda: vc.local_contrast(LUMA, PARAMS, STRENGTH), WARM_UP),
    ("enumerations", lambda: (vc.ColorFilter.Red25A == 3, vc.ColorFilter.NoFilter == 2**64, repr(vc.LuminanceStandard.Bt709)), WARM_UP),
    ("ZoneParams", lambda: repr(vc.ZoneParams({5: 0.5, 3: float("nan"), 42: 1e39})), WARM_UP),
    ("GuidedFilterParams", lambda: repr(vc.GuidedFilterParams(eps=0.01, radius=8)), WARM_UP),
    ("GuidedFilterParams set", set_both, WARM_UP),
    # The interpreter's own caches fill over the first few thousand imports.
    ("module re-import", reimport, 5000),
]
PATHS = [(name, call, error, WARM_UP) for name, call, error, _ in ERRORS] + [(n, c, None, w) for n, c, w in SUCCEEDS]


def run(call, raises, times):
    for _ in range(times):
        try:
            call()
        except BaseException as error:  # noqa: B036 - PanicException included
            if raises is None or type(error) is not raises:
                raise
        else:
            assert raises is None, "the call did not raise"


def watched_objects():
    classes = [vc.LuminanceStandard, vc.ColorFilter, vc.ZoneParams, vc.GuidedFilterParams]
    members = [getattr(cls, name) for cls in classes for name in dir(cls) if isinstance(getattr(cls, name), cls)]
    return [None, np.ndarray, np.dtype(np.float32), PANIC, *classes, *members,
            RGB, LUMA, UNALIGNED, PARAMS, HELD, ZONES, STRENGTH]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("call, raises, warm_up", [p[1:] for p in PATHS], ids=[p[0] for p in PATHS])
def test_path_leaks_nothing(call, raises, warm_up):
    run(call, raises, warm_up)
    gc.collect()
    watched = watched_objects()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    run(call, raises, COUNT)
    gc.collect()
    growth = rss_bytes() - rss
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == counts, [(repr(obj)[:40], b, a) for obj, b, a in zip(watched, counts, after) if a != b]
    if blocks:  # zero when Python allocates with plain malloc (sanitizer runs)
        assert sys.getallocatedblocks() - blocks <= BLOCK_TOLERANCE
    if not sanitized():
        assert growth <= RSS_TOLERANCE, f"resident memory grew by {growth} bytes over {COUNT} calls"
