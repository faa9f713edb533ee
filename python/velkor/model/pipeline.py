"""`Pipeline`: a black-and-white recipe and the run of the kernels it names."""

from __future__ import annotations

import dataclasses
import math
import numbers
import re
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import velkor_core as core

from velkor._types import FloatImage
from velkor.errors import RecipeError
from velkor.model import recipe, reversal
from velkor.model.grain import add_grain
from velkor.model.looks import canonical_filter, clarity, factor_in_stops, filter_weights
from velkor.model.names import (  # noqa: F401  (BIT_DEPTHS, SHORT_FILTER_NAMES: re-exported)
    BIT_DEPTHS,
    FILTERS,
    SHORT_FILTER_NAMES,
    STANDARDS,
    TONERS,
    ZONE_SCALES,
    BitDepth,
    FilterName,
    StandardName,
    Toner,
    ZoneScale,
)
from velkor.model.pixels import check_layout, linear_rgb
from velkor.model.output import check_output_settings, whole_number
from velkor.model.print_zones import apply_print_curve
from velkor.model.toning import tone_print

if TYPE_CHECKING:
    import dask.array as da


# Zone and offset ranges of the Zone System. The kernel accepts any value;
# a recipe refuses values outside them because there they are typos.
ZONES = range(0, 11)
MAX_ZONE_OFFSET = 3.0
MAX_RADIUS = 4096
STRENGTH_RANGE = (-1.0, 5.0)
EXPOSURE_RANGE = (-6.0, 6.0)
# Black and white points are input display tones; middle grey (0.46) stays between them.
BLACK_RANGE = (0.0, 0.4)
WHITE_RANGE = (0.55, 4.0)
AMOUNT_RANGE = (0.0, 2.0)
TONING_RANGE = (0.0, 1.0)
GRAIN_RANGE = (0.0, 2.0)
GRAIN_SIZE_RANGE = (0.25, 8.0)


class Zones(Mapping[int, float]):
    """A read-only, hashable table of zone offsets, in zone order.

    It compares equal to any mapping with the same items, a plain dict
    included, and cannot be changed after it is made: a recipe shared by a
    whole process (a preset) must not drift because one caller edited it.
    """

    __slots__ = ("_items",)

    def __init__(self, items: Mapping[int, float] | None = None) -> None:
        self._items: dict[int, float] = dict(sorted((items or {}).items()))

    def __getitem__(self, zone: int) -> float:
        return self._items[zone]

    def __iter__(self) -> Iterator[int]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __hash__(self) -> int:
        return hash(tuple(self._items.items()))

    def __repr__(self) -> str:
        return f"Zones({self._items!r})"


@dataclasses.dataclass(frozen=True, kw_only=True)
class Pipeline:
    """A black-and-white look: which kernels run, with which parameters.

    The stages run in this order:

    1. Conversion to grey, by one of three means: an ITU-R luminance
       ``standard`` (``"Bt601"``, ``"Bt709"``, ``"Bt2020"``); a coloured lens
       ``filter`` in front of that standard (``"Yellow8K2"``, ``"Orange21"``,
       ``"Red25A"``, ``"Green11X1"``, ``"Blue47C5"``, or in short ``"yellow"``
       ... ``"blue"``, in any case; ``"NoFilter"`` for none); or free channel
       ``mixer`` weights (red, green, blue), which replace standard and filter.
       A filter or mix is opened up by its filter factor, so that a neutral
       grey stays where it was; ``exposure`` (stops) adds to that.
    2. Tone scale. With ``zone_scale = "print"`` (the default) zones are
       print values: Zone 0 paper black, Zone V middle grey, Zone X paper
       white. The input tones ``black`` and ``white`` (display values, 0 and
       1 by default) print as paper black and paper white through a film-like
       toe and shoulder, and ``zones`` maps a print zone (0 to 10) to an
       offset in zones (-3 to +3). With ``zone_scale = "scene"`` (what a
       recipe without the key means) zones are scene zones, Zone V linear
       0.18 and a stop each, through the Zone System kernel, then sRGB.
       Offsets blend smoothly into the neighbouring zones and add up there.
       A recipe whose curve would print a brighter input darker is refused.
    3. Local contrast (clarity): detail above the scale of a guided filter
       of window ``radius`` pixels and smoothing ``eps`` is multiplied by
       ``1 + strength``, on the log-odds of the display tones so that no tone
       is pushed to black or white. A negative strength softens; 0 skips it.
    4. Grain (``grain`` 0 to 2, ``grain_size`` relative to the print's long
       edge, ``grain_seed``), strongest in the middle tones.
    5. Toning (``toning``: ``"sepia"``, ``"selenium"``, ``"gold"``, or
       ``"split"`` with hues ``split_shadows`` and ``split_highlights`` in
       degrees and ``split_balance`` -1 to 1), at ``toning_strength``; a
       toned print is RGB, an untoned one a single grey channel.

    ``amount`` (0 to 2) scales the look: zone offsets, clarity strength,
    grain and toning strength (0 neutral, 1 as given, 2 twice as much).

    ``bit_depth`` (8 or 16) and ``dither`` (8-bit only) describe the file
    written from the result. Instances are immutable; derive variants with
    :func:`dataclasses.replace`, which validates again.
    """

    name: str = "custom"
    description: str = ""
    standard: StandardName = "Bt709"
    filter: FilterName = "NoFilter"
    mixer: tuple[float, float, float] | None = None
    exposure: float = 0.0
    zones: Mapping[int, float] = dataclasses.field(default_factory=Zones)
    radius: int = 8
    eps: float = 0.01
    strength: float = 0.0
    bit_depth: BitDepth = 8
    dither: bool = False
    amount: float = 1.0
    zone_scale: ZoneScale = "print"
    black: float = 0.0
    white: float = 1.0
    toning: Toner = "none"
    toning_strength: float = 1.0
    split_shadows: float = 30.0
    split_highlights: float = 210.0
    split_balance: float = 0.0
    grain: float = 0.0
    grain_size: float = 1.0
    grain_seed: int = 0

    def __post_init__(self) -> None:
        for text_field in ("name", "description"):
            if not isinstance(getattr(self, text_field), str):
                raise RecipeError(f"bad recipe value: {text_field} = {_shown(getattr(self, text_field))} (expected text)")
        _check_choice("standard", self.standard, STANDARDS)
        object.__setattr__(self, "filter", canonical_filter(self.filter, FILTERS))
        _check_choice("filter", self.filter, FILTERS + tuple(SHORT_FILTER_NAMES))
        if self.mixer is not None:
            object.__setattr__(self, "mixer", _checked_mixer(self.mixer, self.filter))
        object.__setattr__(self, "exposure", _check_real("exposure", self.exposure, *EXPOSURE_RANGE))
        object.__setattr__(self, "zones", _checked_zones(self.zones))
        object.__setattr__(self, "radius", _check_int("radius", self.radius, 0, MAX_RADIUS))
        object.__setattr__(self, "eps", _check_real("eps", self.eps, low=0.0, low_open=True))
        object.__setattr__(self, "strength", _check_real("strength", self.strength, *STRENGTH_RANGE))
        check_output_settings(bit_depth=self.bit_depth, dither=self.dither)
        object.__setattr__(self, "bit_depth", int(self.bit_depth))
        self._check_print_stages()
        _check_real("strength times amount", self.strength * self.amount, *STRENGTH_RANGE)
        _refuse_reversal(self)

    def _check_print_stages(self) -> None:
        for field, bounds in (("amount", AMOUNT_RANGE), ("black", BLACK_RANGE), ("white", WHITE_RANGE),
                              ("toning_strength", TONING_RANGE), ("split_balance", (-1.0, 1.0)),
                              ("split_shadows", (0.0, 360.0)), ("split_highlights", (0.0, 360.0)),
                              ("grain", GRAIN_RANGE), ("grain_size", GRAIN_SIZE_RANGE)):
            object.__setattr__(self, field, _check_real(field, getattr(self, field), *bounds))
        object.__setattr__(self, "grain_seed", _check_int("grain_seed", self.grain_seed, 0, 2**32 - 1))
        _check_choice("zone_scale", self.zone_scale, ZONE_SCALES)
        _check_choice("toning", self.toning, TONERS)
        if self.zone_scale == "scene" and (self.black, self.white) != (0.0, 1.0):
            raise RecipeError('bad recipe value: black and white points need zone_scale = "print" '
                              "(--zone-scale print)")

    def run(self, rgb_linear: npt.ArrayLike) -> FloatImage:
        """Turn a linear-light RGB image into a display-referred grey image.

        ``rgb_linear`` has shape (H, W, 3), float, scene-referred linear
        values (1.0 is diffuse white), as ``velkor.read_image(...).linear``
        holds. The result is a new float32 array of shape (H, W, 1),
        sRGB-encoded and not clamped: tones brighter than white stay above 1,
        and writing a file clamps them.

        Integer arrays (8- or 16-bit codes), other shapes, NaN, infinities,
        values beyond +-1000 and images whose typical pixel is far brighter
        than white (codes cast to float) are refused with a one-line
        ``TypeError`` or ``ValueError``: such input would print paper white.
        """
        display = self.tone(self.to_grey(linear_rgb(rgb_linear, "Pipeline.run")))
        return self.finish(display, 0, 0, display.shape[:2])

    @property
    def toned(self) -> bool:
        """Whether the print is toned, and so written as RGB."""
        return self.toning != "none" and self.toning_strength * self.amount > 0.0

    @property
    def channels(self) -> int:
        return 3 if self.toned else 1

    @property
    def offsets(self) -> Zones:
        """The zone offsets as printed: the recipe's, times ``amount``, without zeros."""
        return Zones({zone: stops * self.amount for zone, stops in self.zones.items() if stops * self.amount})

    def finish(self, display: FloatImage, top: int, left: int, print_shape: tuple[int, int]) -> FloatImage:
        """Grain and toning of the chunk of display tones at (top, left) of a print of ``print_shape``.

        Both depend on a pixel's place in the print alone, so a print made in
        pieces is the print made whole.
        """
        return self.toning_of(self.grain_of(display, top, left, print_shape))

    def grain_of(self, display: FloatImage, top: int, left: int, print_shape: tuple[int, int]) -> FloatImage:
        """The grain stage alone, on display tones (h, w, 1) of the chunk at (top, left)."""
        if self.grain * self.amount == 0.0:
            return display
        return add_grain(display, top=top, left=left, print_shape=print_shape, amount=self.grain * self.amount,
                         size=self.grain_size, seed=self.grain_seed)

    def toning_of(self, display: FloatImage) -> FloatImage:
        """The toning stage alone: grey display tones (h, w, 1) to RGB (h, w, 3) when the recipe tones."""
        if not self.toned:
            return display
        return tone_print(display, self.toning, self.toning_strength * self.amount,
                          shadows=self.split_shadows, highlights=self.split_highlights, balance=self.split_balance)

    def run_dask(self, rgb_linear: da.Array, *, origin: tuple[int, int] = (0, 0),
                 print_shape: tuple[int, int] | None = None) -> da.Array:
        """:meth:`run` on a Dask array, chunk by chunk; returns a lazy (H, W, 1) array.

        Only local contrast looks beyond a pixel: its guided filter's two box
        passes reach ``2 * radius`` pixels, so each chunk borrows that much of
        its neighbours and the image's own edges keep the kernel's clipped
        windows. The result differs from :meth:`run` only where the filter's
        running sums, started at a chunk's corner instead of the image's,
        round differently. Grain and toning see each chunk's place in the
        print: ``rgb_linear`` starts at ``origin`` of a print of
        ``print_shape`` (by default, it is the whole print). The dtype and
        shape are checked at once, as by :meth:`run`; the values are not,
        since they exist only when computed.
        """
        import dask.array as dask_array

        if not isinstance(rgb_linear, dask_array.Array):
            raise TypeError(f"Pipeline.run_dask: expected a dask.array.Array, got {type(rgb_linear).__name__} "
                            "(use Pipeline.run for a NumPy array)")
        check_layout(rgb_linear.dtype, rgb_linear.shape, "Pipeline.run_dask")
        rgb = rgb_linear.rechunk({2: 3})  # type: ignore[no-untyped-call]
        grey = rgb.map_blocks(lambda block: self.to_grey(np.ascontiguousarray(block, dtype=np.float32)),
                              chunks=(*rgb.chunks[:2], (1,)), dtype=np.float32)
        depth = {axis: min(self.reach, max(0, size - 1)) for axis, size in enumerate(grey.shape[:2])}
        # A chunk may only borrow from its neighbours, not theirs: chunks at
        # least as long as the reach (one chunk, where the image is shorter).
        grey = grey.rechunk({axis: _chunks_of_at_least(grey.chunks[axis], reach) for axis, reach in depth.items()})
        display: dask_array.Array = grey.map_overlap(
            lambda block: self.tone(np.ascontiguousarray(block)),
            depth={**depth, 2: 0}, boundary="none", dtype=np.float32,
        )
        if self.grain * self.amount == 0.0 and not self.toned:
            return display
        shape = print_shape or (int(rgb_linear.shape[0]), int(rgb_linear.shape[1]))

        def finish_block(block: FloatImage, block_info: dict[Any, Any] | None = None) -> FloatImage:
            (top, _), (left, _), _ = block_info[0]["array-location"] if block_info else ((0, 0), (0, 0), (0, 0))
            return self.finish(np.ascontiguousarray(block), origin[0] + top, origin[1] + left, shape)

        finished: dask_array.Array = dask_array.map_blocks(  # type: ignore[no-untyped-call]
            finish_block, display, chunks=(*display.chunks[:2], (self.channels,)), dtype=np.float32)
        return finished

    def tone(self, grey: FloatImage) -> FloatImage:
        """The stages after the grey conversion: linear grey (H, W, 1) to display tones."""
        if self.zone_scale == "print":
            display = apply_print_curve(grey, self.offsets, self.black, self.white)
        else:
            if self.offsets:
                grey = core.zone_system(grey, core.ZoneParams(dict(self.offsets)))
            display = core.encode_srgb(grey)
        if self.strength * self.amount != 0.0:
            display = clarity(display, self.radius, self.eps, self.strength * self.amount)
        return display

    def to_grey(self, rgb: FloatImage) -> FloatImage:
        """The conversion stage alone: linear RGB (H, W, 3) to linear grey (H, W, 1).

        A filter or mix is opened up by its filter factor, and the exposure applied.
        """
        if self.mixer is None and self.filter == "NoFilter" and self.exposure == 0.0:
            return core.luminance_bw(rgb, getattr(core.LuminanceStandard, self.standard))
        # The filter factor and the exposure are folded into the weights: one pass.
        gain = 2.0**self.exposure / math.fsum(self.weights)
        red, green, blue = (w * gain for w in self.weights)
        return core.channel_mixer_bw(rgb, red, green, blue)

    @property
    def reach(self) -> int:
        """How many pixels away a neighbour still changes a pixel of the print.

        Only local contrast looks beyond a pixel: its guided filter's two
        box passes reach ``2 * radius``.
        """
        return 2 * self.radius if self.strength != 0.0 else 0

    @property
    def weights(self) -> tuple[float, float, float]:
        """The grey conversion's red, green and blue weights, before the filter factor."""
        return self.mixer or filter_weights(self.filter, self.standard)

    @property
    def filter_factor_stops(self) -> float:
        """How many stops the conversion opens up to keep a neutral grey where it was."""
        return factor_in_stops(self.weights)

    def to_toml(self) -> str:
        """The recipe as TOML text, readable by :meth:`from_toml`."""
        fields = dataclasses.fields(self)
        return recipe.to_toml({field.name: getattr(self, field.name) for field in fields},
                              {field.name: _default(field) for field in fields})

    @classmethod
    def from_toml(cls, text: str) -> Pipeline:
        """Parse a recipe from TOML text; raises :class:`RecipeError`."""
        return cls(**recipe.from_toml(text))


def _chunks_of_at_least(chunks: tuple[int, ...], least: int) -> tuple[int, ...]:
    """``chunks`` merged with their followers until each (the last one too) holds at least ``least``."""
    merged: list[int] = []
    for size in chunks:
        if merged and (merged[-1] < least or size < least):
            merged[-1] += size
        else:
            merged.append(size)
    return tuple(merged)


def _default(field: dataclasses.Field[Any]) -> Any:
    return field.default_factory() if callable(field.default_factory) else field.default


def _check_choice(field: str, value: object, choices: tuple[str, ...]) -> None:
    if value not in choices:
        raise RecipeError(
            f"bad recipe value: {field} = {_shown(value)} (expected one of {', '.join(choices)})"
        )


def _checked_mixer(mixer: object, filter_name: str) -> tuple[float, float, float]:
    if filter_name != "NoFilter":
        raise RecipeError("bad recipe value: mixer replaces filter, give only one of them")
    if not isinstance(mixer, (tuple, list)) or len(mixer) != 3:
        raise RecipeError(f"bad recipe value: mixer = {_shown(mixer)} (expected three weights: red, green, blue)")
    weights = tuple(_real("mixer", w) for w in mixer)
    if not sum(weights) > 0.0:
        raise RecipeError(f"bad recipe value: mixer = {list(weights)} (weights must add up to more than 0)")
    if not _normalisable(weights):
        raise RecipeError(f"bad recipe value: mixer = {list(weights)} (no usable filter factor: "
                          "the weights cancel out or are vanishingly small)")
    return (weights[0], weights[1], weights[2])


# Divided by their sum, weights larger than this multiply a channel's noise
# past any use; nearer a sum of 0, the division itself overflows.
_MAX_MIX_SPREAD = 100.0


def _normalisable(weights: tuple[float, ...]) -> bool:
    """Whether the filter factor, with the largest exposure on top, scales the weights to finite values."""
    try:
        total = math.fsum(weights)
    except OverflowError:
        return False
    gain = 2.0 ** EXPOSURE_RANGE[1] / total
    return math.isfinite(gain) and max(abs(w) for w in weights) <= _MAX_MIX_SPREAD * total


def _refuse_reversal(pipeline: Pipeline) -> None:
    offsets = pipeline.offsets
    if not offsets:
        return
    curve = (reversal.scene_curve if pipeline.zone_scale == "scene"
             else reversal.print_scale_curve(pipeline.black, pipeline.white))
    found = reversal.find_reversal(curve, reversal.ramp_inputs(pipeline.zone_scale), offsets)
    if found is None:
        return
    given = ", ".join(f"zones.{zone} = {stops:g}" for zone, stops in pipeline.zones.items() if stops)
    at_amount = f" at amount {pipeline.amount:g}" if pipeline.amount != 1.0 else ""
    raise RecipeError(f"bad recipe value: {given}{at_amount} reverses tones ({found.describe()}); "
                      f"{reversal.remedy(curve, pipeline.zones, pipeline.amount)}")


def _checked_zones(zones: object) -> Zones:
    if not isinstance(zones, Mapping):
        raise RecipeError(f"bad recipe value: zones = {_shown(zones)} (expected a table of zone = stops)")
    checked: dict[int, float] = {}
    for key, stops in zones.items():
        zone = _zone_index(key)
        checked[zone] = _check_real(f"zones.{zone}", stops, -MAX_ZONE_OFFSET, MAX_ZONE_OFFSET)
    return Zones(checked)


def _zone_index(key: object) -> int:
    # TOML keys are text; ASCII digits only, since int() also takes "²" and "٣".
    if isinstance(key, str) and _ZONE_KEY.fullmatch(key.strip()):
        key = int(key)
    zone = whole_number(key)
    if zone is None or zone not in ZONES:
        raise RecipeError(f"bad recipe value: zone {_shown(key)} (zones are whole numbers 0 to 10)")
    return zone


_ZONE_KEY = re.compile(r"-?[0-9]{1,3}")


def _real(field: str, value: object) -> float:
    number = math.nan
    if not isinstance(value, bool) and isinstance(value, numbers.Real):
        try:
            number = float(value)
        except OverflowError:  # an integer of hundreds of digits
            pass
    if not math.isfinite(number):
        raise RecipeError(f"bad recipe value: {field} = {_shown(value)} (expected a finite number)")
    return number


def _shown(value: object) -> str:
    """A value as a message shows it: a line of bounded length, whatever the value."""
    try:
        text = repr(value)
    except (ValueError, RecursionError):  # an integer past the limit on digits; nesting past the stack
        return f"<{type(value).__name__} too large to show>"
    return text if len(text) <= 60 else f"{text[:50]}...({len(text)} characters)"


def _check_real(
    field: str, value: object, low: float = -math.inf, high: float = math.inf, *, low_open: bool = False
) -> float:
    number = _real(field, value)
    below = number <= low if low_open else number < low
    if below or number > high:
        bounds = f"more than {low:g}" if low_open else f"{low:g} to {high:g}"
        if high != math.inf and low_open:
            bounds += f" and at most {high:g}"
        raise RecipeError(f"bad recipe value: {field} = {_shown(value)} (expected {bounds})")
    return number


def _check_int(field: str, value: object, low: int, high: int) -> int:
    number = whole_number(value)
    if number is None or not low <= number <= high:
        raise RecipeError(f"bad recipe value: {field} = {_shown(value)} (expected a whole number {low} to {high})")
    return number
