"""The photograph being edited: the full image, and the proxy the page shows."""

from __future__ import annotations

import dataclasses
import functools

import numpy as np
import numpy.typing as npt
import velkor_core as core

from velkor._types import FloatImage
from velkor.editor.print_zones import zone_of_luminance
from velkor.io.reading import SourceImage
from velkor.io.resize import fitted_size, resize_linear
from velkor.io.quantise import quantise

# The page asks for a proxy as large as the window's device pixels, within
# these bounds: below, the print looks soft; above, a slider lags.
PROXY_EDGES = (1600, 2560)
_REC709 = np.array([0.2126, 0.7152, 0.0722], dtype=np.float32)


@dataclasses.dataclass(frozen=True, eq=False)
class Photo:
    source: SourceImage
    edge: int
    """The long edge asked for; the proxy is never larger than the photograph."""
    proxy: FloatImage
    """The linear image scaled as ``velkor convert --long-edge`` scales it, so the fitted
    print is exactly that export; the loupe shows the full size."""

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
    return min(max(asked, PROXY_EDGES[0]), PROXY_EDGES[1])


def proxy_of(source: SourceImage, asked: int) -> Photo:
    """A photo whose proxy's long edge is about ``asked`` pixels (never more than the photograph's)."""
    edge = proxy_edge(asked)
    height, width = fitted_size(*source.linear.shape[:2], long_edge=edge)
    return Photo(source, edge, resize_linear(source.linear, height, width))
