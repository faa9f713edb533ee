"""Zones as print values: Zone 0 paper black, Zone V middle grey, Zone X paper white.

A print's zone is read off its reflectance ``y`` on a perceptual scale,
``zone = 10 * y ** GAMMA``, with GAMMA chosen so that 0.18 reflectance sits
exactly at Zone V (it tracks CIE lightness / 10 within half a zone).

The scene reaches the paper through a characteristic curve, as light
reaches paper through a negative:

1. The input tone between the black point and the white point is spread
   over print zones -TOE to 10 + TOE, middle grey at Zone V (with the
   default points a tone keeps its own print zone).
2. The recipe's offsets move those zones, each a smooth bump of the same
   shape as the scene-scale kernel's, so an offset means the same there.
3. A toe and a shoulder, each a parabola ``TOE`` zones either side of the
   paper's ends, bend the zones onto 0 to 10 with no corner: paper black and
   paper white are reached with zero slope, so nothing clips abruptly.

The whole chain from linear grey to display tone is one smooth function,
tabulated once per recipe and applied by linear interpolation on the input's
float bits (1024 steps an octave); that is within a tenth of a 16-bit code
of the formula.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

from velkor._types import FloatImage
from velkor.model.bands import each_band

MIDDLE_GREY = 0.18
MIDDLE_ZONE = 5.0
PAPER_WHITE_ZONE = 10.0
GAMMA = math.log(0.5) / math.log(MIDDLE_GREY)
TOE = 0.5
# The bump shape of the Zone System kernel: exp(-(zone distance)^2 / 1.28).
_BUMP_WIDTH = 1.28

# The table spans the input's float32 bit patterns from 0 to 2^12 (white at its
# largest is 21), 1024 steps an octave; the reversal check reads it from 2^-30 up.
_FRACTION_BITS = 13
_TOP = 4096.0
_ENTRIES = ((127 + 12) << (23 - _FRACTION_BITS)) + 1
_CHECKED_FROM = (127 - 30) << (23 - _FRACTION_BITS)
_BAND_VALUES = 1 << 15


def srgb_decode(encoded: npt.ArrayLike) -> npt.NDArray[np.float64]:
    tone = np.asarray(encoded, dtype=np.float64)
    decoded: npt.NDArray[np.float64] = np.where(tone <= 0.04045, tone / 12.92, ((np.maximum(tone, 0.04045) + 0.055) / 1.055) ** 2.4)
    return decoded


def srgb_encode(light: npt.ArrayLike) -> npt.NDArray[np.float64]:
    linear = np.asarray(light, dtype=np.float64)
    encoded: npt.NDArray[np.float64] = np.where(
        linear <= 0.0031308, linear * 12.92, 1.055 * np.maximum(linear, 0.0031308) ** (1 / 2.4) - 0.055)
    return encoded


def zone_of_reflectance(reflectance: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The print zone of a reflectance (0 paper black, 10 paper white): what a spot meter on the print reads."""
    return PAPER_WHITE_ZONE * np.clip(np.asarray(reflectance, dtype=np.float64), 0.0, 1.0) ** GAMMA


def zone_of_display(tone: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The print zone of a display tone (sRGB-encoded): the scale a spot meter on a print reports."""
    return zone_of_reflectance(srgb_decode(tone))


def reflectance_of_zone(zone: npt.ArrayLike) -> npt.NDArray[np.float64]:
    return (np.clip(np.asarray(zone, dtype=np.float64), 0.0, PAPER_WHITE_ZONE) / PAPER_WHITE_ZONE) ** (1 / GAMMA)


def bumps(zone: npt.NDArray[np.float64], offsets: Mapping[int, float]) -> npt.NDArray[np.float64]:
    """The sum of the offsets' smooth bumps at each zone, in zones."""
    total = np.zeros_like(zone)
    for centre, stops in offsets.items():
        total += stops * np.exp(-((zone - centre) ** 2) / _BUMP_WIDTH)
    return total


def toe_and_shoulder(zone: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Zones bent onto 0 to 10: unchanged between TOE and 10 - TOE, parabolas to zero slope beyond."""
    toe = np.clip(zone + TOE, 0.0, 2 * TOE) ** 2 / (4 * TOE)
    shoulder = PAPER_WHITE_ZONE - np.clip(PAPER_WHITE_ZONE + TOE - zone, 0.0, 2 * TOE) ** 2 / (4 * TOE)
    return np.where(zone < TOE, toe, np.where(zone > PAPER_WHITE_ZONE - TOE, shoulder, zone))


def scene_zone(linear: npt.NDArray[np.float64], black: float, white: float) -> npt.NDArray[np.float64]:
    """The print zone an input tone starts from, before offsets and the toe and shoulder.

    ``black`` and ``white`` are the input's display tones that print paper
    black and paper white; middle grey stays at Zone V between them. The
    input's perceptual tone ``v = x ** GAMMA`` (0.5 at middle grey) is
    spread by two quadratics meeting at middle grey with a common slope (the
    harmonic mean of the two halves' mean slopes), each keeping the other
    end's slope where it was as far as it can: moving the white point
    reshapes the light half and leaves the shadows nearly alone, and with
    the default points the spread is ``v`` itself.
    """
    low, high = (float(srgb_decode(point)) ** GAMMA for point in (black, white))
    lower, upper = 0.5 / (0.5 - low), 0.5 / (high - 0.5)  # mean slopes of the halves
    middle = 2.0 / (1.0 / lower + 1.0 / upper)
    start_slope = 2.0 * lower - middle
    tone = np.clip(np.maximum(linear, 0.0) ** GAMMA, low, high)  # beyond the points: paper black, paper white
    below = tone - low
    above = tone - 0.5
    spread: npt.NDArray[np.float64] = np.where(
        tone < 0.5,
        below * (start_slope + (lower - start_slope) / (0.5 - low) * below),
        0.5 + above * (middle + (upper - middle) / (high - 0.5) * above),
    )
    return -TOE + (PAPER_WHITE_ZONE + 2 * TOE) * spread


def print_curve(
    linear: npt.NDArray[np.float64], offsets: Mapping[int, float], black: float, white: float
) -> npt.NDArray[np.float64]:
    """Display tone (0 to 1) printed from each linear input tone, in float64."""
    start = scene_zone(linear, black, white)
    moved = start + bumps(start, offsets)
    return srgb_encode(reflectance_of_zone(toe_and_shoulder(moved)))


def table_inputs(first: int = _CHECKED_FROM) -> npt.NDArray[np.float64]:
    """The linear inputs at the table's steps (from step ``first``): one for each float32 bit pattern a step starts at."""
    bits = np.arange(first, _ENTRIES, dtype=np.uint32) << np.uint32(_FRACTION_BITS)
    return bits.view(np.float32).astype(np.float64)


@functools.lru_cache(maxsize=64)
def _table(offsets: tuple[tuple[int, float], ...], black: float, white: float) -> tuple[FloatImage, FloatImage]:
    """Each step's line, ``offset + slope * x``, through its two ends: one multiply and add a pixel."""
    inputs = table_inputs(0)
    values = print_curve(inputs, dict(offsets), black, white)
    slopes = np.append(np.diff(values) / np.diff(inputs), 0.0)
    offsets_ = (values - slopes * inputs).astype(np.float32)
    slopes_ = slopes.astype(np.float32)
    offsets_.setflags(write=False)
    slopes_.setflags(write=False)
    return offsets_, slopes_


def apply_print_curve(grey: FloatImage, offsets: Mapping[int, float], black: float, white: float) -> FloatImage:
    """Linear grey (H, W, 1) to display tones through the print curve; NaN and negatives print paper black."""
    starts, slopes = _table(tuple(sorted(offsets.items())), float(black), float(white))
    grey = np.ascontiguousarray(grey, dtype=np.float32)
    display = np.empty_like(grey)
    flat_in, flat_out = grey.reshape(-1), display.reshape(-1)

    def band(part: slice) -> None:
        tones = np.fmax(flat_in[part], np.float32(0.0))  # fmax also turns NaN into 0
        np.minimum(tones, np.float32(_TOP), out=tones)  # far beyond any white point: paper white
        index = np.right_shift(tones.view(np.int32), _FRACTION_BITS, dtype=np.intp)  # what take indexes by
        tones *= slopes.take(index)
        np.add(tones, starts.take(index), out=flat_out[part])

    size = flat_in.size
    each_band(-(-size // _BAND_VALUES), 1,
              lambda rows: band(slice(rows.start * _BAND_VALUES, min(rows.stop * _BAND_VALUES, size))))
    return display
