"""What a printer does by hand: open up for a filter, and add clarity without losing the paper's ends.

A coloured filter passes only part of the light, so a photographer opens
up by its filter factor and a neutral grey prints where it would have
without the filter. Here the factor is the grey conversion's response to
neutral grey, and the conversion's weights are scaled by its inverse.

Local contrast adds back detail as ``L + strength * (L - smooth(L))``; in
linear light that pushes the dark side of every edge below black. Clarity
therefore runs on the log-odds of the display tone, ``log(E / (1 - E))``:
a tone moves freely in the mid-tones, ever less towards the ends, and
never reaches 0 or 1 unless it was there already.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable

import numpy as np
import velkor_core as core

from velkor._types import FloatImage
from velkor.model.bands import each_band
from velkor.model.names import SHORT_FILTER_NAMES


# Log-odds of tones this close to black or white are not taken: such tones
# (and any outside [0, 1]) are left as they are.
_END = np.float32(2.0**-16)
# Log-odds are divided by 4, the slope of the logistic at mid-grey, so that
# there a tone and its copy change alike and eps means what it meant for tones.
_SLOPE = np.float32(4.0)
_BAND_VALUES = 1 << 16


def canonical_filter(name: object, filters: tuple[str, ...]) -> object:
    """A filter's own name for a short (``red``) or differently cased (``red25a``) one.

    Anything else comes back unchanged, for validation to refuse.
    """
    if not isinstance(name, str):
        return name
    key = name.strip().lower()
    full = {f.lower(): f for f in filters} | SHORT_FILTER_NAMES
    return full.get(key, name)


@functools.cache
def filter_weights(filter_name: str, standard: str) -> tuple[float, float, float]:
    """The grey conversion's weights for red, green and blue: the kernel's response to each."""
    unit = np.eye(3, dtype=np.float32).reshape(1, 3, 3)
    grey = core.color_filter_bw(
        unit, getattr(core.ColorFilter, filter_name), getattr(core.LuminanceStandard, standard)
    )
    red, green, blue = (float(w) for w in grey.reshape(3))
    return red, green, blue


def factor_in_stops(weights: tuple[float, float, float]) -> float:
    """The filter factor, as the stops a photographer opens up by: log2(1 / response to grey)."""
    return -math.log2(math.fsum(weights))


def clarity(display: FloatImage, radius: int, eps: float, strength: float) -> FloatImage:
    """Local contrast on the log-odds of display tones (H, W, 1); ends and outliers kept."""
    detailed = core.local_contrast(_log_odds(display), core.GuidedFilterParams(radius, eps), strength)
    _each_band(display, lambda rows: _from_log_odds(detailed[rows], display[rows]))
    return detailed


# (extent, first, end) of one axis of a piece of a larger print.
Span = tuple[int, int, int]


def clarity_piece(context: FloatImage, radius: int, eps: float, strength: float, *, rows: Span, columns: Span,
                  carried: bytes, carried_left: bytes) -> tuple[FloatImage, bytes, bytes]:
    """Rows and columns ``(extent, first, end)`` of :func:`clarity` on a larger image, bit for bit.

    ``context`` holds the pixels their windows reach (``2 * radius`` either
    side, within the image); ``carried`` is what the piece above returned
    for these columns' band (``b""`` for the first band), ``carried_left``
    what the piece to the left returned (``b""`` at the left edge). Returns
    the piece, what the piece below needs of its columns and what the piece
    to the right needs.
    """
    detailed, below, right = core._local_contrast_piece(_log_odds(context), core.GuidedFilterParams(radius, eps),
                                                        strength, rows, columns, carried, carried_left)
    top, left = (first - max(0, first - 2 * radius) for _, first, _ in (rows, columns))
    display = context[top:top + detailed.shape[0], left:left + detailed.shape[1]]
    _each_band(display, lambda band: _from_log_odds(detailed[band], display[band]))
    return detailed, below, right


def _log_odds(display: FloatImage) -> FloatImage:
    log_odds = np.empty_like(display)
    _each_band(display, lambda rows: _to_log_odds(display[rows], out=log_odds[rows]))
    return log_odds


def _each_band(image: FloatImage, step: Callable[[slice], None]) -> None:
    # A band at a time spares the many image-sized temporaries (each a fresh,
    # page-faulted mapping) that whole-image expressions would make.
    each_band(image.shape[0], max(1, _BAND_VALUES // max(1, math.prod(image.shape[1:]))), step)


def _to_log_odds(tones: FloatImage, *, out: FloatImage) -> None:
    np.maximum(tones, _END, out=out)  # NaN stays NaN, as in the kernels
    np.minimum(out, np.float32(1.0) - _END, out=out)
    np.divide(out, np.float32(1.0) - out, out=out)
    np.log(out, out=out)
    out /= _SLOPE


def _from_log_odds(detailed: FloatImage, display: FloatImage) -> None:
    """Tones back from log-odds, in place; where ``display`` was at an end or outside [0, 1] it is kept."""
    np.multiply(detailed, -_SLOPE, out=detailed)
    np.exp(detailed, out=detailed)
    detailed += np.float32(1.0)
    np.divide(np.float32(1.0), detailed, out=detailed)
    outside = (display <= _END) | (display >= np.float32(1.0) - _END) | np.isnan(display)
    np.copyto(detailed, display, where=outside)
