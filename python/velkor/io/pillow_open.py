"""Pillow's opener, with HEIF taught to it on first use rather than when velkor is imported.

Pillow's own size cap (its "decompression bomb" check) is lifted while a
file is opened: velkor applies one limit of its own to every format, from
the memory limit (:mod:`velkor.io.limits`), before anything is decoded.
"""

from __future__ import annotations

import functools
import threading
from pathlib import Path

from PIL import Image, ImageFile

from velkor.extras import import_extra

HEIF_SUFFIXES = frozenset({".heic", ".heif", ".hif"})
_CAP = threading.Lock()


def open_image(path: str | Path) -> ImageFile.ImageFile:
    """``Image.open`` that also knows HEIF (velkor[heif]) for a HEIF file; a context manager, as Pillow's own.

    The HEIF library is a large import: a JPEG or PNG does without it.
    """
    if Path(path).suffix.lower() in HEIF_SUFFIXES:
        _know_heif()
    with _CAP:
        cap, Image.MAX_IMAGE_PIXELS = Image.MAX_IMAGE_PIXELS, None
        try:
            return Image.open(path)
        finally:
            Image.MAX_IMAGE_PIXELS = cap


@functools.cache
def _know_heif() -> None:
    # A plug-in registry entry and a large library: only when a file is opened.
    import_extra("pillow_heif", "heif", "reading HEIF files").register_heif_opener()
