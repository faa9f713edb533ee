"""Placing a metered tone in a zone, as the Zone System places it: by exposure.

The photographer meters one tone and chooses the zone it should print in;
the exposure moves every tone with it, and the others fall where the tone
curve puts them. Zone offsets stay the look's own: placement never bends
the curve, so a placed shadow does not change what the recipe does to the
sky.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from velkor.editor.print_zones import zone_value_of_display
from velkor.errors import RecipeError
from velkor.model.pipeline import EXPOSURE_RANGE, Pipeline

SPOT_RADIUS = 2  # the spot is (2r + 1) pixels square of the proxy
_STEPS = 48


def spot_luminance(grey: np.ndarray, row: int, column: int) -> float:
    """Mean linear grey of the spot around a pixel (light, not display codes, is averaged)."""
    height, width = grey.shape[:2]
    top, left = max(0, row - SPOT_RADIUS), max(0, column - SPOT_RADIUS)
    spot = grey[top:min(height, row + SPOT_RADIUS + 1), left:min(width, column + SPOT_RADIUS + 1)]
    return float(np.mean(spot, dtype=np.float64))


def placed(pipeline: Pipeline, metered: float, zone: int) -> Pipeline:
    """The recipe with the exposure that prints ``metered`` (linear grey at its exposure) in ``zone``.

    The target is the zone's middle on the print scale; the print of one tone
    rises with exposure, so a bisection finds it. Raises :class:`RecipeError`
    when no exposure in range reaches it.
    """
    if not 0 <= zone <= 10:
        raise RecipeError(f"bad zone {zone!r} (zones are 0 to 10)")
    if not metered > 0.0:
        raise RecipeError("the metered spot is black: no exposure places it")
    target = float(zone)
    low, high = EXPOSURE_RANGE
    if _print_zone(pipeline, metered, low) > target or _print_zone(pipeline, metered, high) < target:
        raise RecipeError(f"Zone {zone} is out of reach for this spot within exposure {low:g} to {high:g} stops")
    for _ in range(_STEPS):
        middle = (low + high) / 2.0
        if _print_zone(pipeline, metered, middle) < target:
            low = middle
        else:
            high = middle
    return dataclasses.replace(pipeline, exposure=round((low + high) / 2.0, 3))


def _print_zone(pipeline: Pipeline, metered: float, exposure: float) -> float:
    tone = np.full((1, 1, 1), metered * 2.0 ** (exposure - pipeline.exposure), dtype=np.float32)
    flat = dataclasses.replace(pipeline, strength=0.0)
    return zone_value_of_display(float(flat.tone(tone)[0, 0, 0]))
