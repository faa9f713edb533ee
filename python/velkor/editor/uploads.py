"""Photographs sent from the page: limited in size, then read as any input is."""

from __future__ import annotations

import re
from pathlib import Path

from velkor.errors import UnreadableImageError
from velkor.io.limits import BYTES_PER_PIXEL, default_memory_limit

MAX_UPLOAD_BYTES = 512 * 1024 * 1024
# Larger than any camera's frame (a 150-megapixel back is 1.5e8): a file
# claiming more is a decompression bomb, and the reader refuses it from its
# header, before decoding, as it refuses any input over its memory limit.
MAX_UPLOAD_PIXELS = 180_000_000


class UploadTooLargeError(UnreadableImageError):
    """An upload over the byte limit."""


def upload_memory_limit() -> int:
    """The reader's memory limit for an upload: the command's, or less."""
    return min(default_memory_limit(), MAX_UPLOAD_PIXELS * BYTES_PER_PIXEL)


def upload_name(name: str) -> str:
    """A harmless file name for an upload: the last part of what the page sent, plain characters only."""
    base = Path(name.replace("\\", "/")).name
    cleaned = re.sub(r"[^A-Za-z0-9._ -]", "_", base).strip(" .")
    return cleaned or "upload"
