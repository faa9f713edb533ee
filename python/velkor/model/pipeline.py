"""`Pipeline`: a black-and-white recipe and the run of the kernels it names."""

from __future__ import annotations

import dataclasses
import math
import numbers
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Literal, TypeAlias, get_args

import numpy as np
import numpy.typing as npt
import velkor_core as core

from velkor._types import FloatImage
from velkor.errors import RecipeError
from velkor.model import recipe
from velkor.model.looks import SHORT_FILTER_NAMES, canonical_filter, clarity, factor_in_stops, filter_weights
from velkor.model.output import check_output_settings, whole_number

if TYPE_CHECKING:
    import dask.array as da

StandardName: TypeAlias = Literal["Bt601", "Bt709", "Bt2020"]
FilterName: TypeAlias = Literal[
    "NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"
]
BitDepth: TypeAlias = Literal[8, 16]

STANDARDS: tuple[str, ...] = get_args(StandardName)
FILTERS: tuple[str, ...] = get_args(FilterName)
BIT_DEPTHS: tuple[int, ...] = get_args(BitDepth)  # the same as velkor.model.output.BIT_DEPTHS

# Zone and offset ranges of the Zone System. The kernel accepts any value;
# a recipe refuses values outside them because there they are typos.
ZONES = range(0, 11)
MAX_ZONE_OFFSET = 3.0
MAX_RADIUS = 4096
STRENGTH_RANGE = (-1.0, 5.0)
EXPOSURE_RANGE = (-6.0, 6.0)


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
    2. Zone System tone curve: ``zones`` maps a zone (0 to 10, Zone V is
       middle grey 0.18) to an offset in stops (-3 to +3). Offsets blend
       smoothly into the neighbouring zones and add up there.
    3. sRGB encoding for display.
    4. Local contrast (clarity): detail above the scale of a guided filter
       of window ``radius`` pixels and smoothing ``eps`` is multiplied by
       ``1 + strength``, on the log-odds of the display tones so that no tone
       is pushed to black or white. A negative strength softens; 0 skips it.

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

    def __post_init__(self) -> None:
        for text_field in ("name", "description"):
            if not isinstance(getattr(self, text_field), str):
                raise RecipeError(f"bad recipe value: {text_field} = {getattr(self, text_field)!r} (expected text)")
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

    def run(self, rgb_linear: npt.ArrayLike) -> FloatImage:
        """Turn a linear-light RGB image into a display-referred grey image.

        ``rgb_linear`` has shape (H, W, 3), scene-referred linear values
        (1.0 is diffuse white). The result is a new float32 array of shape
        (H, W, 1), sRGB-encoded and not clamped: tones brighter than white
        stay above 1, and writing a file clamps them.
        """
        rgb = np.asarray(rgb_linear, dtype=np.float32)
        if rgb.ndim != 3 or rgb.shape[2] != 3:
            raise ValueError(f"expected a linear RGB image of shape (H, W, 3), got {rgb.shape}")
        return self.tone(self.to_grey(rgb))

    def run_dask(self, rgb_linear: da.Array) -> da.Array:
        """:meth:`run` on a Dask array, chunk by chunk; returns a lazy (H, W, 1) array.

        Only local contrast looks beyond a pixel: its guided filter's two box
        passes reach ``2 * radius`` pixels, so each chunk borrows that much of
        its neighbours and the image's own edges keep the kernel's clipped
        windows. The result differs from :meth:`run` only where the filter's
        running sums, started at a chunk's corner instead of the image's,
        round differently.
        """
        import dask.array as dask_array

        if rgb_linear.ndim != 3 or rgb_linear.shape[2] != 3:
            raise ValueError(f"expected a linear RGB image of shape (H, W, 3), got {rgb_linear.shape}")
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
        return display

    def tone(self, grey: FloatImage) -> FloatImage:
        """The stages after the grey conversion: linear grey (H, W, 1) to display tones."""
        if self.zones:
            grey = core.zone_system(grey, core.ZoneParams(dict(self.zones)))
        display = core.encode_srgb(grey)
        if self.strength != 0.0:
            display = clarity(display, self.radius, self.eps, self.strength)
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
        return recipe.to_toml({field.name: getattr(self, field.name) for field in dataclasses.fields(self)})

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


def _check_choice(field: str, value: object, choices: tuple[str, ...]) -> None:
    if value not in choices:
        raise RecipeError(
            f"bad recipe value: {field} = {value!r} (expected one of {', '.join(choices)})"
        )


def _checked_mixer(mixer: object, filter_name: str) -> tuple[float, float, float]:
    if filter_name != "NoFilter":
        raise RecipeError("bad recipe value: mixer replaces filter, give only one of them")
    if not isinstance(mixer, (tuple, list)) or len(mixer) != 3:
        raise RecipeError(f"bad recipe value: mixer = {mixer!r} (expected three weights: red, green, blue)")
    weights = tuple(_real("mixer", w) for w in mixer)
    if not sum(weights) > 0.0:
        raise RecipeError(f"bad recipe value: mixer = {list(weights)} (weights must add up to more than 0)")
    return (weights[0], weights[1], weights[2])


def _checked_zones(zones: object) -> Zones:
    if not isinstance(zones, Mapping):
        raise RecipeError(f"bad recipe value: zones = {zones!r} (expected a table of zone = stops)")
    checked: dict[int, float] = {}
    for key, stops in zones.items():
        zone = _zone_index(key)
        checked[zone] = _check_real(f"zones.{zone}", stops, -MAX_ZONE_OFFSET, MAX_ZONE_OFFSET)
    return Zones(checked)


def _zone_index(key: object) -> int:
    text = str(key)
    if isinstance(key, bool) or not text.strip().lstrip("-").isdigit() or int(text) not in ZONES:
        raise RecipeError(f"bad recipe value: zone {key!r} (zones are whole numbers 0 to 10)")
    return int(text)


def _real(field: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise RecipeError(f"bad recipe value: {field} = {value!r} (expected a finite number)")
    return float(value)


def _check_real(
    field: str, value: object, low: float = -math.inf, high: float = math.inf, *, low_open: bool = False
) -> float:
    number = _real(field, value)
    below = number <= low if low_open else number < low
    if below or number > high:
        bounds = f"more than {low:g}" if low_open else f"{low:g} to {high:g}"
        if high != math.inf and low_open:
            bounds += f" and at most {high:g}"
        raise RecipeError(f"bad recipe value: {field} = {value!r} (expected {bounds})")
    return number


def _check_int(field: str, value: object, low: int, high: int) -> int:
    number = whole_number(value)
    if number is None or not low <= number <= high:
        raise RecipeError(f"bad recipe value: {field} = {value!r} (expected a whole number {low} to {high})")
    return number
