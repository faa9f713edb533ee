"""Photographs sent from the page: limited in size, then read as any input is."""

from __future__ import annotations

import re
import warnings
from pathlib import Path

import tifffile
from PIL import Image

from velkor.errors import UnreadableImageError
from velkor.io.reading import TIFF_SUFFIXES

MAX_UPLOAD_BYTES = 512 * 1024 * 1024
# Larger than any camera's frame (a 150-megapixel back is 1.5e8), and where
# Pillow itself stops: a file claiming more is a decompression bomb,
# refused before it is decoded.
MAX_PIXELS = 180_000_000


class UploadTooLargeError(UnreadableImageError):
    """An upload over the byte limit."""


def upload_name(name: str) -> str:
    """A harmless file name for an upload: the last part of what the page sent, plain characters only."""
    base = Path(name.replace("\\", "/")).name
    cleaned = re.sub(r"[^A-Za-z0-9._ -]", "_", base).strip(" .")
    return cleaned or "upload"


def check_pixels(path: Path) -> None:
    """Refuse a file whose header claims more pixels than any photograph has."""
    count = _claimed_pixels(path)
    if count is not None and count > MAX_PIXELS:
        raise UnreadableImageError(f"cannot read {path}: it claims {count} pixels, more than the "
                                   f"{MAX_PIXELS} that any photograph has (a decompression bomb?)")


def _claimed_pixels(path: Path) -> int | None:
    try:
        if path.suffix.lower() in TIFF_SUFFIXES:
            with tifffile.TiffFile(path) as tiff:
                shape = tiff.pages.first.shape
                return int(shape[0]) * int(shape[1]) if len(shape) >= 2 else None
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            with Image.open(path) as image:
                width, height = image.size
                return width * height
    except Image.DecompressionBombError:
        return MAX_PIXELS + 1
    except Exception:  # noqa: BLE001 - the reader gives a damaged file its own message
        return None
