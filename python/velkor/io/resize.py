"""Scaling photographs for the web or a proof, in linear light.

Resampling averages neighbouring pixels, and only averages of light are
right: averaging display codes darkens fine detail and edges (a black and
white line pair turns darker than their mean). So the scaling comes first,
on the linear RGB straight from the decoder, and the whole recipe runs on
the smaller picture: a local-contrast radius of 24 pixels means 24 pixels
of the print, as it does at full size.

Lanczos-3 is sharp, but its lobes overshoot: in linear light a thin white
line on black left a faint copy of itself two pixels away (a tenth of a
percent of the light, but sRGB lifts that to code 32 in the shadows). Each
output pixel is therefore held within the darkest and brightest source
pixels under it and its immediate neighbours: overshoot past what is
there goes, the edges keep Lanczos' steepness.

Sizes are bounds, as in darktable's export and ImageMagick's ``-resize
WxH>``: the picture keeps its proportions, fits all of them, and is never
enlarged.
"""

from __future__ import annotations

import numpy as np
from PIL import Image

from velkor._types import FloatImage
from velkor.model.pixels import check_layout


def fitted_size(
    height: int, width: int, *, long_edge: int | None = None, max_width: int | None = None,
    max_height: int | None = None,
) -> tuple[int, int]:
    """(height, width) that fits every bound given, in proportion, never larger than now."""
    for name, bound in (("long_edge", long_edge), ("width", max_width), ("height", max_height)):
        if bound is not None and (isinstance(bound, bool) or not isinstance(bound, int) or bound < 1):
            raise ValueError(f"{name} must be a whole number of pixels, at least 1, not {bound!r}")
    scale = min(
        1.0,
        long_edge / max(height, width) if long_edge else 1.0,
        max_width / width if max_width else 1.0,
        max_height / height if max_height else 1.0,
    )
    if scale == 1.0:
        return height, width
    return max(1, round(height * scale)), max(1, round(width * scale))


def resize_linear(image: FloatImage, height: int, width: int) -> FloatImage:
    """Lanczos-3 resampling of a linear-light float32 (H, W, C) image, channel by channel, without ringing.

    Pillow's 32-bit float mode keeps the values as they are: negative
    components (colours outside sRGB) and highlights above 1 survive.
    Each result lies within the range of the source pixels under its own
    and its neighbours' footprints.
    """
    check_layout(np.asarray(image).dtype, np.shape(image), "resize_linear", channels=None)
    if image.shape[:2] == (height, width):
        return image
    channels = []
    for c in range(image.shape[2]):
        channel = np.ascontiguousarray(image[:, :, c], dtype=np.float32)
        resized = np.asarray(
            Image.fromarray(channel).resize((width, height), Image.Resampling.LANCZOS, reducing_gap=3.0)
        )
        channels.append(np.clip(resized, *_footprint_range(channel, height, width)))
    return np.stack(channels, axis=2)


def _footprint_range(channel: FloatImage, height: int, width: int) -> tuple[FloatImage, FloatImage]:
    """The least and greatest source values under each output pixel's footprint and its neighbours'."""
    low, high = _along_rows(channel, height, (np.minimum, np.maximum))
    # Columns as rows of the (small) transposed result: gathered rows are contiguous.
    (low,) = _along_rows(np.ascontiguousarray(low.T), width, (np.minimum,))
    (high,) = _along_rows(np.ascontiguousarray(high.T), width, (np.maximum,))
    return low.T, high.T


def _along_rows(values: FloatImage, size: int, reductions: tuple[np.ufunc, ...]) -> list[FloatImage]:
    """Each reduction of each of ``size`` runs of rows together with the runs either side.

    Rows are gathered an offset into every run at a time, which is ten
    times faster than reducing run by run (``reduceat``).
    """
    count = values.shape[0]
    span = -(-count // size)  # the longest run
    starts = np.arange(size) * count // size
    first = values[starts]
    results = [first.copy() for _ in reductions]
    for offset in range(1, span):
        rows = values[np.minimum(starts + offset, count - 1)]  # may reach into the next run, a neighbour anyway
        for reduce, result in zip(reductions, results, strict=True):
            reduce(result, rows, out=result)
    return [_with_neighbours(result, reduce) for reduce, result in zip(reductions, results, strict=True)]


def _with_neighbours(values: FloatImage, reduce: np.ufunc) -> FloatImage:
    result = values.copy()
    reduce(result[1:], values[:-1], out=result[1:])
    reduce(result[:-1], values[1:], out=result[:-1])
    return result
