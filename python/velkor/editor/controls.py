"""The page's controls, one line per recipe value.

Each control names where its value lives in the recipe's TOML document
("table.key"), so the page edits the same document that a saved recipe
holds and the recipe itself validates every change. A new recipe value is
one more line here.
"""

from __future__ import annotations

import dataclasses
from typing import Any

from velkor.model.names import BIT_DEPTHS, FILTERS, STANDARDS, TONERS, ZONE_SCALES
from velkor.model.pipeline import (
    AMOUNT_RANGE,
    BLACK_RANGE,
    EXPOSURE_RANGE,
    GRAIN_RANGE,
    GRAIN_SIZE_RANGE,
    MAX_ZONE_OFFSET,
    STRENGTH_RANGE,
    TONING_RANGE,
    WHITE_RANGE,
    ZONES,
    Pipeline,
)

_ROMAN = ("0", "I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X")


@dataclasses.dataclass(frozen=True)
class Control:
    key: str
    label: str
    group: str
    low: float | None = None
    high: float | None = None
    step: float | None = None
    default: Any = None
    choices: tuple[Any, ...] = ()
    kind: str = "number"  # "number", "choice", "weight" (one of the mixer's three) or "switch"


_DEFAULT = Pipeline()
_WEIGHT_LABELS = ("Mixer red", "Mixer green", "Mixer blue")

CONTROLS: tuple[Control, ...] = (
    Control("conversion.standard", "Standard", "Conversion", default=_DEFAULT.standard,
            choices=STANDARDS, kind="choice"),
    Control("conversion.filter", "Filter", "Conversion", default=_DEFAULT.filter, choices=FILTERS, kind="choice"),
    *(Control(f"conversion.mixer.{index}", label, "Conversion", -1.0, 2.0, 0.01, None, kind="weight")
      for index, label in enumerate(_WEIGHT_LABELS)),
    Control("conversion.exposure", "Exposure (stops)", "Conversion", *EXPOSURE_RANGE, 0.01, _DEFAULT.exposure),
    Control("amount", "Amount of the look", "Look", *AMOUNT_RANGE, 0.01, _DEFAULT.amount),
    Control("tone.zone_scale", "Zones are", "Zones", default=_DEFAULT.zone_scale, choices=ZONE_SCALES, kind="choice"),
    Control("tone.black", "Black point", "Zones", *BLACK_RANGE, 0.001, _DEFAULT.black),
    Control("tone.white", "White point", "Zones", *WHITE_RANGE, 0.01, _DEFAULT.white),
    *(Control(f"zones.{zone}", f"Zone {_ROMAN[zone]}", "Zones", -MAX_ZONE_OFFSET, MAX_ZONE_OFFSET, 0.01, 0.0)
      for zone in ZONES),
    Control("local_contrast.strength", "Clarity strength", "Clarity", *STRENGTH_RANGE, 0.01, _DEFAULT.strength),
    Control("local_contrast.radius", "Clarity radius (px)", "Clarity", 1, 256, 1, _DEFAULT.radius),
    Control("local_contrast.eps", "Clarity eps", "Clarity", 0.001, 0.2, 0.001, _DEFAULT.eps),
    Control("toning.kind", "Toner", "Toning", default=_DEFAULT.toning, choices=TONERS, kind="choice"),
    Control("toning.strength", "Toning strength", "Toning", *TONING_RANGE, 0.01, _DEFAULT.toning_strength),
    Control("toning.shadows", "Split: shadow hue", "Toning", 0, 360, 1, _DEFAULT.split_shadows),
    Control("toning.highlights", "Split: highlight hue", "Toning", 0, 360, 1, _DEFAULT.split_highlights),
    Control("toning.balance", "Split: balance", "Toning", -1.0, 1.0, 0.01, _DEFAULT.split_balance),
    Control("grain.amount", "Grain", "Grain", *GRAIN_RANGE, 0.01, _DEFAULT.grain),
    Control("grain.size", "Grain size", "Grain", *GRAIN_SIZE_RANGE, 0.05, _DEFAULT.grain_size),
    Control("grain.seed", "Grain seed", "Grain", 0, 9999, 1, _DEFAULT.grain_seed),
    Control("output.bit_depth", "Bit depth", "Output", default=_DEFAULT.bit_depth, choices=BIT_DEPTHS, kind="choice"),
    Control("output.dither", "Dither 8-bit", "Output", default=_DEFAULT.dither, kind="switch"),
)


def control_table() -> list[dict[str, Any]]:
    """The table as the page reads it."""
    return [dataclasses.asdict(control) for control in CONTROLS]
