"""The names a recipe chooses from, without NumPy: the command's help needs them before any image work."""

from __future__ import annotations

from typing import Literal, TypeAlias, get_args

StandardName: TypeAlias = Literal["Bt601", "Bt709", "Bt2020"]
FullFilterName: TypeAlias = Literal["NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"]
ShortFilterName: TypeAlias = Literal["none", "yellow", "orange", "red", "green", "blue"]
FilterName: TypeAlias = Literal[FullFilterName, ShortFilterName]
"""A filter's own name or its short one; any casing is accepted at run time, these are what type checkers know."""
BitDepth: TypeAlias = Literal[8, 16]
ZoneScale: TypeAlias = Literal["print", "scene"]
Toner: TypeAlias = Literal["none", "sepia", "selenium", "gold", "split"]

STANDARDS: tuple[str, ...] = get_args(StandardName)
FILTERS: tuple[str, ...] = get_args(FullFilterName)
SHORT_FILTER_NAMES: dict[str, str] = dict(zip(get_args(ShortFilterName), FILTERS, strict=True))
BIT_DEPTHS: tuple[int, ...] = get_args(BitDepth)
ZONE_SCALES: tuple[str, ...] = get_args(ZoneScale)
TONERS: tuple[str, ...] = get_args(Toner)

# littleCMS's rendering intents, by the names the command takes.
INTENTS = {"perceptual": 0, "relative": 1, "saturation": 2, "absolute": 3}
DEFAULT_INTENT = "relative"
