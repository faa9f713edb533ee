"""Pillow's opener, with HEIF taught to it on first use rather than when velkor is imported."""

from __future__ import annotations

import functools
from pathlib import Path

from PIL import Image, ImageFile


def open_image(path: str | Path) -> ImageFile.ImageFile:
    """``Image.open`` that also knows HEIF; a context manager, as Pillow's own."""
    _know_heif()
    return Image.open(path)


@functools.cache
def _know_heif() -> None:
    import pillow_heif  # a plug-in registry entry and a large library: only when a file is opened

    pillow_heif.register_heif_opener()
