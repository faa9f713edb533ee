"""A TIFF read in bands of full rows, each stored segment decoded once, to linear light."""

from __future__ import annotations

import functools
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import tifffile

from velkor._types import FloatImage
from velkor.errors import UnsupportedFormatError
from velkor.io.alpha import ASSOCIATED_ALPHA, UNASSOCIATED_ALPHA, WHITE, composite, tiff_alpha
from velkor.io.colour import icc_space, to_linear
from velkor.model.bands import each_in_threads
from velkor.model.names import DEFAULT_INTENT

_ICC_TAG, _ORIENTATION_TAG = 34675, 274
# A segment taller or wider than this is one piece, not worth reading in pieces.
_LARGEST_SEGMENT = 8 << 20


class TiffRows:
    """The rows of a grey or RGB TIFF of 8 or 16 bits, a run of full rows at a time, as linear RGB.

    Rows are read from the segments (tiles or strips) that hold them, each
    decoded on its own thread; a caller that asks for each run of segment
    rows once decodes every segment once.
    """

    def __init__(self, tiff: tifffile.TiffFile, path: Path, *, intent: str = DEFAULT_INTENT,
                 background: tuple[float, float, float] = WHITE) -> None:
        page = tiff.pages.first
        photometric = tifffile.PHOTOMETRIC(page.photometric).name
        if photometric not in ("RGB", "MINISBLACK") or page.dtype not in (np.uint8, np.uint16):
            raise UnsupportedFormatError(
                f"cannot read {path} in pieces: only 8- and 16-bit grey and RGB TIFF can be "
                f"(this one is {photometric}, {page.dtype})"
            )
        if int(page.tags.valueof(_ORIENTATION_TAG, 1)) != 1:
            raise UnsupportedFormatError(f"cannot read {path} in pieces: it is stored turned or mirrored")
        self.page = page
        self.path = path.absolute()  # a Dask worker's folder is its own
        self.samples = int(page.samplesperpixel)
        self.colours = 1 if photometric == "MINISBLACK" else 3
        self.extra = tuple(page.extrasamples or ())
        self.shape = (int(page.imagelength), int(page.imagewidth))
        self.dtype = np.dtype(page.dtype)
        self.planes = self.samples if page.planarconfig == tifffile.PLANARCONFIG.SEPARATE else 1
        self.segment = (
            (int(page.tilelength), int(page.tilewidth)) if page.is_tiled else (int(page.rowsperstrip), self.shape[1])
        )
        self.segment = (min(self.segment[0], self.shape[0]), self.segment[1])
        if self.segment[0] * self.segment[1] > _LARGEST_SEGMENT:
            raise UnsupportedFormatError(f"cannot read {path} in pieces: it is stored in one piece")
        self.intent, self.background = intent, background
        space = icc_space(page.tags.valueof(_ICC_TAG), path, grey=photometric == "MINISBLACK", intent=intent)
        self.decode: Callable[[npt.NDArray[Any]], FloatImage] = functools.partial(
            to_linear, space=space, max_code=int(np.iinfo(page.dtype).max))
        self.lock = threading.Lock()
        self.decode_options: dict[str, Any] = {"_fullsize": page.is_tiled}
        if page.compression in (6, 7):  # JPEG
            self.decode_options |= {"jpegtables": page.jpegtables, "jpegheader": page.jpegheader}
        page.decode  # noqa: B018 - built once, before threads share it

    @property
    def has_alpha(self) -> bool:
        return bool(self.extra) and self.extra[0] in (ASSOCIATED_ALPHA, UNASSOCIATED_ALPHA)

    def linear(self, samples: npt.NDArray[Any]) -> FloatImage:
        """Stored samples (rows, columns, samples) as linear RGB, laid over the paper where an alpha channel says.

        As a whole-image read does: a cut-out prints on the page, not on
        whatever colour its transparent pixels store.
        """
        colour, alpha = tiff_alpha(samples, self.colours, self.extra)
        rgb = colour[:, :, :1].repeat(3, axis=2) if self.colours == 1 else colour[:, :, :3]
        linear = self.decode(np.ascontiguousarray(rgb))
        return linear if alpha is None else composite(linear, alpha, self.background)

    def samples_of(self, top: int, bottom: int, left: int = 0, right: int | None = None) -> npt.NDArray[Any]:
        """The stored samples of rows ``top`` to ``bottom``, columns ``left`` to ``right`` (rows, columns, samples).

        ``left`` and ``right`` (default: the width) fall on segment boundaries or the image's edge.
        """
        right = self.shape[1] if right is None else right
        height, width = self.segment
        region = np.empty((bottom - top, right - left, self.samples), self.dtype)
        across, down = -(-self.shape[1] // width), -(-self.shape[0] // height)
        pieces = [(plane, row, column) for plane in range(self.planes)
                  for row in range(top // height, -(-bottom // height))
                  for column in range(left // width, -(-right // width))]

        def place(piece: tuple[int, int, int]) -> None:
            plane, row, column = piece
            index = (plane * down + row) * across + column
            with self.lock:  # a segment's seek and read belong together
                handle = self.page.parent.filehandle
                handle.seek(self.page.dataoffsets[index])
                data = handle.read(self.page.databytecounts[index])
            segment = self._decoded(data, index)
            y, x = row * height, column * width
            first, last = max(top, y), min(bottom, y + segment.shape[0], self.shape[0])
            end = min(right, x + segment.shape[1])
            channels = slice(plane, plane + 1) if self.planes > 1 else slice(None)
            region[first - top:last - top, x - left:end - left, channels] = segment[first - y:last - y, :end - x]

        for _ in each_in_threads(place, pieces):
            pass
        return region

    def _decoded(self, data: bytes, index: int) -> npt.NDArray[Any]:
        """One segment (rows, columns, samples of its plane)."""
        segment = self.page.decode(data, index, **self.decode_options)[0]
        if segment is None:
            raise ValueError(f"image data is missing (segment {index})")
        return np.asarray(segment[0])
