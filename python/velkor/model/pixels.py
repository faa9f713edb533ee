"""What the front end accepts as pixels: a float image of the expected shape, in the expected range.

An array of 8- or 16-bit codes is refused rather than converted: only the
file it came from knows its colour space and transfer curve, which
``velkor.read_image`` applies. Read through NumPy alone, codes would be
taken as light many times brighter than white and print as paper white.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from velkor._types import FloatImage
from velkor.model.bands import each_band

# Linear light: 1.0 is diffuse white. read_image clamps float files here;
# past it nothing prints but white.
LINEAR_MAX = 1000.0
# Any photograph has most of its pixels below diffuse white. One whose
# typical pixel is this far above it is codes taken for light.
_TYPICAL_LINEAR_MAX = 16.0
# Display tones: 0 is black and 1 white. A print whose typical pixel lies
# past white is codes taken for tones.
_TYPICAL_DISPLAY_MAX = 1.0
# A strided sample decides "typical": cheap on any size, every region seen.
_SAMPLE_EDGE = 64
_BAND_VALUES = 1 << 18


def linear_rgb(array: object, what: str) -> FloatImage:
    """``array`` as float32 linear-light RGB (H, W, 3), or a one-line ValueError/TypeError saying what is wrong."""
    pixels = _float_array(array, what, "linear-light RGB (H, W, 3), 1.0 = diffuse white",
                          "use velkor.read_image, or divide by the maximum code and apply velkor.srgb_to_linear")
    if pixels.ndim != 3 or pixels.shape[2] != 3:
        raise ValueError(f"{what}: expected linear-light RGB of shape (H, W, 3), got shape {pixels.shape}")
    _check_range(pixels, what, "linear light", low=-LINEAR_MAX, high=LINEAR_MAX, typical=_TYPICAL_LINEAR_MAX,
                 hint="1.0 is diffuse white; codes must be divided by the maximum code and decoded")
    return pixels


def display_tones(array: object, what: str) -> FloatImage:
    """``array`` as float32 display tones (H, W), (H, W, 1) or (H, W, 3), or a one-line error."""
    pixels = _float_array(array, what, "display tones, 0 = black to 1 = white",
                          "divide 8-bit codes by 255, 16-bit codes by 65535")
    if not (pixels.ndim == 2 or (pixels.ndim == 3 and pixels.shape[2] in (1, 3))):
        raise ValueError(f"{what}: expected display tones of shape (H, W), (H, W, 1) or (H, W, 3), "
                         f"got shape {pixels.shape}")
    _check_range(pixels, what, "display tones", low=-math.inf, high=math.inf, typical=_TYPICAL_DISPLAY_MAX,
                 hint="0 is black and 1 white; divide codes by the maximum code")
    return pixels


def check_layout(dtype: np.dtype[Any], shape: tuple[int, ...], what: str, *, channels: int | None = 3) -> None:
    """The dtype and shape checks of :func:`linear_rgb` alone, for a lazy array whose values are not yet there.

    ``channels=None`` takes any number of them (an alpha plane, say).
    """
    _float_dtype(dtype, what, "linear-light RGB (H, W, 3), 1.0 = diffuse white",
                 "divide by the maximum code and apply velkor.srgb_to_linear")
    if len(shape) != 3 or shape[2] != (shape[2] if channels is None else channels):
        layout = "(H, W, 3)" if channels == 3 else "(H, W, C)"
        raise ValueError(f"{what}: expected linear-light RGB of shape {layout}, got shape {shape}")


def _float_array(array: object, what: str, expected: str, hint: str) -> FloatImage:
    given = type(array).__name__
    if hasattr(array, "linear"):  # a velkor.SourceImage
        raise TypeError(f"{what}: expected a NumPy array of {expected}, got {given} (pass its .linear)")
    try:
        pixels = np.asarray(array)
    except (TypeError, ValueError):  # ragged nested lists, and the like
        pixels = np.asarray(None)
    if pixels.dtype.kind not in "biuf":  # text, objects, records: not pixels at all
        raise TypeError(f"{what}: expected a NumPy array of {expected}, got {given} of {pixels.dtype}")
    _float_dtype(pixels.dtype, what, expected, hint)
    return np.asarray(pixels, dtype=np.float32)


def _float_dtype(dtype: np.dtype[Any], what: str, expected: str, hint: str) -> None:
    if dtype.kind in "ui":
        raise TypeError(f"{what}: expected float {expected}, got {dtype} codes ({hint})")
    if dtype.kind != "f":
        raise TypeError(f"{what}: expected float {expected}, got {dtype}")


def _extremes(pixels: FloatImage) -> tuple[float, float]:
    """The least and the greatest value (NaN if any is NaN), a band of rows per thread: one pass, in the cache."""
    lows: list[float] = []
    highs: list[float] = []

    def band(rows: slice) -> None:
        part = pixels[rows]
        lows.append(float(part.min()))
        highs.append(float(part.max()))

    each_band(pixels.shape[0], max(1, _BAND_VALUES // max(1, pixels[0].size)), band)
    return min(lows, key=_nan_first), max(highs, key=_nan_last)


def _nan_first(value: float) -> float:
    return -math.inf if math.isnan(value) else value


def _nan_last(value: float) -> float:
    return math.inf if math.isnan(value) else value


def _check_range(pixels: FloatImage, what: str, kind: str, *, low: float, high: float, typical: float,
                 hint: str) -> None:
    if pixels.size == 0:
        return
    least, most = _extremes(pixels)
    if not (math.isfinite(least) and math.isfinite(most)):
        raise ValueError(f"{what}: expected finite {kind}, got NaN or infinity ({hint})")
    if least < low or most > high:
        raise ValueError(f"{what}: expected {kind} from {low:g} to {high:g}, got {least:g} to {most:g} ({hint})")
    height, width = pixels.shape[:2]
    sample = pixels[:: max(1, height // _SAMPLE_EDGE), :: max(1, width // _SAMPLE_EDGE)]
    median = float(np.median(sample))
    if median > typical:
        raise ValueError(f"{what}: expected {kind}, got a typical value of {median:g} with most pixels "
                         f"past white ({hint})")
