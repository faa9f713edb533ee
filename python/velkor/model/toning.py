"""Toning: a finished grey print turned sepia, selenium, gold, or split into two hues.

A toner changes the colour of the silver, not how much of it there is, so
toning here keeps each tone's luminance: the grey's linear value ``Y``
becomes the colour ``Y * (1 + weight * hue)``, where ``hue`` has zero Rec.
709 luminance. The weight fades as ``1 - Y`` towards paper white (paper
base takes no toner, and no channel can leave the paper), and follows each
toner's reach: sepia acts most in the light and middle tones, selenium in
the shadows, gold evenly.

Toning is pointwise: a table of the three channels over the grey tone,
interpolated, gives the same print whole or in pieces.
"""

from __future__ import annotations

import colorsys
import functools

import numpy as np
import numpy.typing as npt

from velkor._types import FloatImage
from velkor.model.print_zones import srgb_decode, srgb_encode
from velkor.model.bands import each_band

LUMINANCE = np.array([0.2126, 0.7152, 0.0722])
# How far a channel may move at strength 1 (times Y), before the fade.
_REACH = 0.45
# The colour each toner gives a middle grey, in display RGB.
_TONER_COLOURS = {
    "sepia": (0.62, 0.44, 0.27),
    "selenium": (0.50, 0.40, 0.47),
    "gold": (0.38, 0.44, 0.54),
}
_STEPS = 4096
_BAND_VALUES = 1 << 15


def hue_direction(display_rgb: tuple[float, float, float]) -> npt.NDArray[np.float64]:
    """A colour as a move away from grey of zero luminance, its largest channel move 1."""
    linear = srgb_decode(np.array(display_rgb))
    direction: npt.NDArray[np.float64] = linear / float(LUMINANCE @ linear) - 1.0
    return direction / float(np.abs(direction).max())


def hue_of_angle(degrees: float) -> tuple[float, float, float]:
    red, green, blue = colorsys.hsv_to_rgb((degrees % 360.0) / 360.0, 0.5, 0.8)
    return red, green, blue


def toned_table(kind: str, strength: float, shadows: float, highlights: float, balance: float,
                tones: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The display RGB (N, 3) of each display grey tone."""
    grey = np.clip(tones, 0.0, 1.0)
    linear = srgb_decode(grey)
    fade = _REACH * strength * (1.0 - linear)
    if kind == "split":
        shadow_hue, light_hue = hue_direction(hue_of_angle(shadows)), hue_direction(hue_of_angle(highlights))
        # balance > 0 gives the highlight hue more of the scale: the crossing moves darker.
        crossing = 0.5 - 0.35 * balance
        lights = np.clip((grey - crossing) / 0.5 + 0.5, 0.0, 1.0)
        lights = lights * lights * (3.0 - 2.0 * lights)
        hue = shadow_hue * (1.0 - lights)[:, None] + light_hue * lights[:, None]
    else:
        hue = np.broadcast_to(hue_direction(_TONER_COLOURS[kind]), (grey.size, 3))
        fade = fade * _reach(kind, grey)
    colour = linear[:, None] * (1.0 + fade[:, None] * hue)
    return srgb_encode(np.clip(colour, 0.0, 1.0))


def _reach(kind: str, grey: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    if kind == "sepia":  # bleach and redevelop: the light and middle tones take it first
        return np.clip(grey * 1.6, 0.0, 1.0)
    if kind == "selenium":  # the densest silver first
        return (1.0 - grey) ** 2
    return np.ones_like(grey)


@functools.lru_cache(maxsize=32)
def _table(kind: str, strength: float, shadows: float, highlights: float, balance: float) -> FloatImage:
    """Per channel, each step's line through its two ends, ``start + slope * grey``: one multiply and add a value."""
    tones = np.linspace(0.0, 1.0, _STEPS + 1)
    table = toned_table(kind, strength, shadows, highlights, balance, tones).T
    slopes = np.append(np.diff(table, axis=1) * _STEPS, np.zeros((3, 1)), axis=1)
    lines = np.ascontiguousarray(np.stack([table - slopes * tones, slopes]).astype(np.float32))
    lines.setflags(write=False)
    return lines


def tone_print(display: FloatImage, kind: str, strength: float, *, shadows: float = 30.0,
               highlights: float = 210.0, balance: float = 0.0) -> FloatImage:
    """A grey print (H, W, 1) as a toned RGB print (H, W, 3), luminance kept tone for tone."""
    starts, slopes = _table(kind, float(strength), float(shadows), float(highlights), float(balance))
    grey = display.reshape(-1)
    toned = np.empty((grey.size, 3), np.float32)

    def band(part: slice) -> None:
        tones = np.fmax(grey[part], np.float32(0.0))  # NaN prints black, as the writer has it
        np.minimum(tones, np.float32(1.0), out=tones)
        index = (tones * np.float32(_STEPS)).astype(np.intp)  # what take indexes by: no hidden conversion
        for channel in range(3):
            value = slopes[channel].take(index)
            value *= tones
            np.add(value, starts[channel].take(index), out=toned[part, channel])

    size = grey.size
    each_band(-(-size // _BAND_VALUES), 1,
              lambda rows: band(slice(rows.start * _BAND_VALUES, min(rows.stop * _BAND_VALUES, size))))
    return toned.reshape(*display.shape[:2], 3)
