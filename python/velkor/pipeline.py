"""`Pipeline`: a black-and-white recipe and the run of the kernels it names."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from pathlib import Path
from typing import Literal, TypeAlias, get_args

import numpy as np
import numpy.typing as npt
import velkor_core as core

from velkor import recipe
from velkor._types import FloatImage
from velkor.errors import RecipeError

StandardName: TypeAlias = Literal["Bt601", "Bt709", "Bt2020"]
FilterName: TypeAlias = Literal[
    "NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"
]
BitDepth: TypeAlias = Literal[8, 16]

STANDARDS: tuple[str, ...] = get_args(StandardName)
FILTERS: tuple[str, ...] = get_args(FilterName)
BIT_DEPTHS: tuple[int, ...] = get_args(BitDepth)

# Zone and offset ranges of the Zone System. The kernel accepts any value;
# a recipe refuses values outside them because there they are typos.
ZONES = range(0, 11)
MAX_ZONE_OFFSET = 3.0
MAX_RADIUS = 4096
STRENGTH_RANGE = (-1.0, 5.0)


@dataclasses.dataclass(frozen=True, kw_only=True)
class Pipeline:
    """A black-and-white look: which kernels run, with which parameters.

    The stages run in this order:

    1. Conversion to grey, by one of three means: an ITU-R luminance
       ``standard`` (``"Bt601"``, ``"Bt709"``, ``"Bt2020"``); a coloured lens
       ``filter`` in front of that standard (``"Yellow8K2"``, ``"Orange21"``,
       ``"Red25A"``, ``"Green11X1"``, ``"Blue47C5"``; ``"NoFilter"`` for
       none); or free channel ``mixer`` weights (red, green, blue), which
       replace standard and filter.
    2. Zone System tone curve: ``zones`` maps a zone (0 to 10, Zone V is
       middle grey 0.18) to an offset in stops (-3 to +3). Offsets blend
       smoothly into the neighbouring zones and add up there.
    3. Local contrast: detail above the scale of a guided filter of window
       ``radius`` pixels and smoothing ``eps`` is multiplied by
       ``1 + strength``. A negative strength softens; 0 skips the stage.
    4. sRGB encoding for display.

    ``bit_depth`` (8 or 16) and ``dither`` (8-bit only) describe the file
    written from the result. Instances are immutable; derive variants with
    :func:`dataclasses.replace`, which validates again.
    """

    name: str = "custom"
    description: str = ""
    standard: StandardName = "Bt709"
    filter: FilterName = "NoFilter"
    mixer: tuple[float, float, float] | None = None
    zones: Mapping[int, float] = dataclasses.field(default_factory=dict)
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
        _check_choice("filter", self.filter, FILTERS)
        if self.mixer is not None:
            object.__setattr__(self, "mixer", _checked_mixer(self.mixer, self.filter))
        object.__setattr__(self, "zones", _checked_zones(self.zones))
        _check_int("radius", self.radius, 0, MAX_RADIUS)
        object.__setattr__(self, "eps", _check_real("eps", self.eps, low=0.0, low_open=True))
        object.__setattr__(self, "strength", _check_real("strength", self.strength, *STRENGTH_RANGE))
        if self.bit_depth not in BIT_DEPTHS or isinstance(self.bit_depth, bool):
            raise RecipeError(f"bad recipe value: bit_depth = {self.bit_depth!r} (expected 8 or 16)")
        if not isinstance(self.dither, bool):
            raise RecipeError(f"bad recipe value: dither = {self.dither!r} (expected true or false)")

    def run(self, rgb_linear: npt.ArrayLike) -> FloatImage:
        """Turn a linear-light RGB image into a display-referred grey image.

        ``rgb_linear`` has shape (H, W, 3), scene-referred linear values
        (1.0 is diffuse white). The result is a new float32 array of shape
        (H, W, 1), sRGB-encoded and not clamped: local contrast may push
        values a little outside [0, 1], and writing a file clamps them.
        """
        rgb = np.asarray(rgb_linear, dtype=np.float32)
        if rgb.ndim != 3 or rgb.shape[2] != 3:
            raise ValueError(f"expected a linear RGB image of shape (H, W, 3), got {rgb.shape}")
        grey = self.to_grey(rgb)
        if self.zones:
            grey = core.zone_system(grey, core.ZoneParams(dict(self.zones)))
        if self.strength != 0.0:
            params = core.GuidedFilterParams(self.radius, self.eps)
            grey = core.local_contrast(grey, params, self.strength)
        return core.encode_srgb(grey)

    def to_grey(self, rgb: FloatImage) -> FloatImage:
        """The conversion stage alone: linear RGB (H, W, 3) to linear grey (H, W, 1)."""
        if self.mixer is not None:
            return core.channel_mixer_bw(rgb, *self.mixer)
        standard = getattr(core.LuminanceStandard, self.standard)
        if self.filter == "NoFilter":
            return core.luminance_bw(rgb, standard)
        return core.color_filter_bw(rgb, getattr(core.ColorFilter, self.filter), standard)

    def to_toml(self) -> str:
        """The recipe as TOML text, readable by :meth:`from_toml`."""
        return recipe.to_toml({field.name: getattr(self, field.name) for field in dataclasses.fields(self)})

    @classmethod
    def from_toml(cls, text: str) -> Pipeline:
        """Parse a recipe from TOML text; raises :class:`RecipeError`."""
        return cls(**recipe.from_toml(text))

    def save(self, path: str | Path) -> None:
        """Write the recipe to a TOML file."""
        Path(path).write_text(self.to_toml(), encoding="utf-8")

    @classmethod
    def load(cls, path: str | Path) -> Pipeline:
        """Read a recipe from a TOML file; raises :class:`RecipeError`."""
        source = Path(path)
        text = recipe.read_text(source)
        try:
            return cls.from_toml(text)
        except RecipeError as error:
            raise RecipeError(f"{source}: {error}") from error


def load_recipe(path: str | Path) -> Pipeline:
    """Read a recipe file; the same as :meth:`Pipeline.load`."""
    return Pipeline.load(path)


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


def _checked_zones(zones: object) -> dict[int, float]:
    if not isinstance(zones, Mapping):
        raise RecipeError(f"bad recipe value: zones = {zones!r} (expected a table of zone = stops)")
    checked: dict[int, float] = {}
    for key, stops in zones.items():
        zone = _zone_index(key)
        checked[zone] = _check_real(f"zones.{zone}", stops, -MAX_ZONE_OFFSET, MAX_ZONE_OFFSET)
    return dict(sorted(checked.items()))


def _zone_index(key: object) -> int:
    text = str(key)
    if isinstance(key, bool) or not text.strip().lstrip("-").isdigit() or int(text) not in ZONES:
        raise RecipeError(f"bad recipe value: zone {key!r} (zones are whole numbers 0 to 10)")
    return int(text)


def _real(field: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
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
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise RecipeError(f"bad recipe value: {field} = {value!r} (expected a whole number {low} to {high})")
    return value
