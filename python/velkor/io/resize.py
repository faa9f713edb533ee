"""Scaling photographs for the web or a proof, in linear light.

Resampling averages neighbouring pixels, and only averages of light are
right: averaging display codes darkens fine detail and edges (a black and
white line pair turns darker than their mean). So the scaling comes first,
on the linear RGB straight from the decoder, and the whole recipe runs on
the smaller picture: a local-contrast radius of 24 pixels means 24 pixels
of the print, as it does at full size.

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
    """Lanczos-3 resampling of a linear-light float32 (H, W, C) image, channel by channel.

    Pillow's 32-bit float mode keeps the values as they are: negative
    components (colours outside sRGB) and highlights above 1 survive.
    """
    check_layout(np.asarray(image).dtype, np.shape(image), "resize_linear")
    if image.shape[:2] == (height, width):
        return image
    channels = [
        np.asarray(
            Image.fromarray(np.ascontiguousarray(image[:, :, c], dtype=np.float32)).resize(
                (width, height), Image.Resampling.LANCZOS, reducing_gap=3.0
            )
        )
        for c in range(image.shape[2])
    ]
    return np.stack(channels, axis=2)
