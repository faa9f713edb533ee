"""Zones of the print, as the spot meter, the zone map and placement read them.

A zone is a tenth of the print's lightness L* (CIE 1976): Zone 0 is paper
black (L* 0), Zone V middle grey (L* 50, 18.4 % reflectance) and Zone X
paper white (L* 100). Equal steps of L* look like equal steps of tone,
which is what the Zone System's eleven steps from black to white are.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from velkor.io.transfer import srgb_to_linear

ZONE_COUNT = 11
_KAPPA = 24389.0 / 27.0  # CIE's slope of L* below its cube-root segment
_EPSILON = 216.0 / 24389.0


def lightness(luminance: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """CIE L* (0 to 100) of relative luminance (0 to 1)."""
    y = np.clip(np.asarray(luminance, dtype=np.float64), 0.0, 1.0)
    return np.where(y > _EPSILON, 116.0 * np.cbrt(y) - 16.0, _KAPPA * y)


def zone_of_luminance(luminance: npt.ArrayLike) -> npt.NDArray[np.uint8]:
    """The print zone (0 to 10) of relative luminance: L* / 10, to the nearest zone."""
    zones = np.rint(lightness(luminance) / 10.0)
    return np.clip(zones, 0, ZONE_COUNT - 1).astype(np.uint8)


def zone_of_display(display: npt.ArrayLike) -> npt.NDArray[np.uint8]:
    """The print zone of sRGB-encoded tones, as a print shows them (clamped to paper)."""
    tones = np.clip(np.asarray(display, dtype=np.float32), 0.0, 1.0)
    return zone_of_luminance(srgb_to_linear(tones))


def zone_of_codes() -> list[int]:
    """The print zone of each 8-bit code, for the page to look up."""
    codes = np.arange(256, dtype=np.float32) / np.float32(255)
    return [int(zone) for zone in zone_of_display(codes)]


def lightness_of_display(display: npt.ArrayLike) -> float:
    """L* of one sRGB-encoded tone."""
    tone = np.clip(np.asarray([display], dtype=np.float32), 0.0, 1.0)
    return float(lightness(srgb_to_linear(tone))[0])
