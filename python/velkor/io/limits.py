"""One size limit for every format, checked from the header before any pixel is decoded.

Pillow refuses files above 179 megapixels as "decompression bombs" whatever
the memory, while a TIFF header may declare any size at all: a stitched
panorama that the machine can hold was refused, and a small damaged TIFF
claiming 268 megapixels was decoded. Here the one question is whether the
decoded image fits the memory limit (the command line's --memory-limit, a
quarter of the memory unless given).
"""

from __future__ import annotations

import os
from pathlib import Path

from velkor.errors import ImageTooLargeError

# A whole-image run holds the decoded image as float32 RGB, 12 bytes a pixel.
BYTES_PER_PIXEL = 12


def default_memory_limit() -> int:
    """A quarter of the machine's memory, in bytes."""
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 4


def decoded_size(height: int, width: int) -> int:
    """Bytes that a whole-image run holds of a picture this size, decoded."""
    return height * width * BYTES_PER_PIXEL


def check_decoded_size(path: Path, height: int, width: int, memory_limit: int | None) -> None:
    """Raise :class:`ImageTooLargeError` when the decoded picture would not fit ``memory_limit``."""
    limit = default_memory_limit() if memory_limit is None else memory_limit
    size = decoded_size(height, width)
    if size > limit:
        raise ImageTooLargeError(
            f"{path} is {width} x {height} pixels, {_gigabytes(size)} decoded, more than the memory limit "
            f"of {_gigabytes(limit)} (raise it with --memory-limit, or convert a TIFF with --tiled)"
        )


def _gigabytes(size: int) -> str:
    return f"{size / 2**30:.1f} GB"
