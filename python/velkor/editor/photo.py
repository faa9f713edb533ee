"""The photograph being edited: the full image, and the proxy the page shows."""

from __future__ import annotations

import dataclasses
import functools

import numpy as np
import numpy.typing as npt
import velkor_core as core

from velkor._types import FloatImage
from velkor.editor.print_zones import zone_of_luminance
from velkor.io.quantise import quantise
from velkor.io.reading import SourceImage
from velkor.io.resize import fitted_size, resize_linear

# The page asks for a proxy as large as the window's device pixels and gets
# the next of these sizes (below them the print looks soft, above a slider
# lags); a few sizes let the one made at start-up serve most windows.
PROXY_EDGES = (1600, 2048, 2560)
START_EDGE = 2048  # a full-HD window
_REC709 = np.array([0.2126, 0.7152, 0.0722], dtype=np.float32)


@dataclasses.dataclass(frozen=True, eq=False)
class Photo:
    source: SourceImage
    edge: int
    """The long edge asked for; the proxy is never larger than the photograph."""
    proxy: FloatImage
    """The linear image scaled to about the window's device pixels; the loupe shows the full size."""

    @property
    def full_size(self) -> tuple[int, int]:
        height, width = self.source.linear.shape[:2]
        return height, width

    @functools.cached_property
    def original_codes(self) -> npt.NDArray[np.uint8]:
        """The colour original of the proxy, as 8-bit sRGB RGB bytes."""
        return quantise(core.encode_srgb(self.proxy), 8)

    @functools.cached_property
    def original_zones(self) -> npt.NDArray[np.uint8]:
        """The print zone of each proxy pixel's plain luminance: where it would print untouched."""
        return zone_of_luminance(self.proxy @ _REC709)


def proxy_edge(asked: int) -> int:
    return next((edge for edge in PROXY_EDGES if edge >= asked), PROXY_EDGES[-1])


def proxy_of(source: SourceImage, asked: int) -> Photo:
    """A photo whose proxy's long edge is about ``asked`` pixels (between 2/3 and all of the size
    it snaps to, never more than the photograph's)."""
    edge = proxy_edge(asked)
    # The nearest whole factor: its block means often land within the size
    # asked for, and only what is still larger goes through Lanczos.
    reduced = box_mean(source.linear, max(1, round(max(source.linear.shape[:2]) / edge)))
    height, width = fitted_size(*reduced.shape[:2], long_edge=edge)
    return Photo(source, edge, resize_linear(reduced, height, width))


def box_mean(linear: FloatImage, factor: int) -> FloatImage:
    """Means of ``factor`` x ``factor`` blocks of light (the last partial ones dropped).

    Lanczos over a whole 24-megapixel photograph takes seconds; averaging
    blocks first, as Pillow's reducing_gap does, leaves it a small step,
    and a mean of light is exactly right for a reduction.
    """
    if factor == 1:
        return linear
    rows, columns = (edge // factor * factor for edge in linear.shape[:2])
    total = np.zeros((rows // factor, columns // factor, linear.shape[2]), dtype=np.float32)
    for row in range(factor):
        for column in range(factor):
            total += linear[row:rows:factor, column:columns:factor]
    total *= np.float32(1.0 / (factor * factor))
    return total
