"""Zones of the print as the spot meter, the zone map and placement read them: the recipe's own print scale.

Zone 0 is paper black, Zone V middle grey (18 % reflectance) and Zone X
paper white, on the scale that print-zone recipes place their offsets on
(:mod:`velkor.model.print_zones`), so a tone metered in Zone III is the
tone that the recipe's Zone III offset moves.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from velkor.model.print_zones import PAPER_WHITE_ZONE, zone_of_display, zone_of_reflectance

ZONE_COUNT = int(PAPER_WHITE_ZONE) + 1


def zone_of_luminance(luminance: npt.ArrayLike) -> npt.NDArray[np.uint8]:
    """The print zone (0 to 10) of a relative luminance, to the nearest zone."""
    return _nearest(zone_of_reflectance(luminance))


def zone_of_codes() -> list[int]:
    """The print zone of each 8-bit display code, for the page to look up."""
    return [int(zone) for zone in _nearest(zone_of_display(np.arange(256) / 255.0))]


def zone_value_of_display(display: float) -> float:
    """Where one display tone (sRGB-encoded) lies on the print scale, as a fraction of zones."""
    return float(zone_of_display(np.clip(display, 0.0, 1.0)))


def _nearest(zones: npt.NDArray[np.float64]) -> npt.NDArray[np.uint8]:
    return np.clip(np.rint(zones), 0, ZONE_COUNT - 1).astype(np.uint8)
