"""How much memory a conversion takes, and whether a file must be converted in pieces to stay under a limit.

The figures are what a run really holds at its peak, measured with
``bench/bench_tiled.py`` (peak RSS less the interpreter's, per pixel), not
the size of the decoded image alone: the whole-image run holds the stored
samples, their linear float copy, the grey and display planes, the
clarity's log-odds and result, the codes and the compressed file at once.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import re
from pathlib import Path

import tifffile

from velkor.errors import UnsupportedFormatError
from velkor.io.pillow_open import open_image
from velkor.io.reading import TIFF_SUFFIXES
from velkor.model.pipeline import Pipeline

# Peak bytes a pixel of the whole-image run, without and with clarity
# (measured: 22 and 27 at 84 megapixels, a 16-bit RGB TIFF to a 16-bit print).
WHOLE_BYTES_PER_PIXEL = 26
WHOLE_CLARITY_BYTES_PER_PIXEL = 32
# The interpreter, NumPy, the kernels and the codecs, before any image (measured: 46 MB).
BASELINE_BYTES = 64 << 20
# Peak bytes a pixel of a band (or of a strip of a band, with clarity) of the
# tiled run: the display rows and their context, the log-odds and the
# clarity's result, codes and compressed tiles (measured: 28 neutral, 40
# with clarity, at 25 megapixels, when bands were not cut into strips).
BAND_BYTES_PER_PIXEL = 40
# glibc's M_ARENA_MAX.
_ARENA_MAX = -8


def physical_memory() -> int:
    """The machine's memory in bytes."""
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def parse_size(text: str) -> int:
    """Bytes from "4G", "512M", "1.5T" or a plain number of bytes."""
    match = re.fullmatch(r"\s*(\d{1,15}(?:\.\d{1,15})?)\s*([KMGT]?)i?B?\s*", text, re.IGNORECASE)
    if match is None or float(match[1]) <= 0:
        raise ValueError(f"invalid size {text!r} (expected e.g. 4G, 512M or bytes)")
    return int(float(match[1]) * 1024 ** " KMGT".index(match[2].upper() or " "))


def image_pixels(path: Path) -> int | None:
    """Rows times columns of ``path``, from its header; None if it cannot be told."""
    try:
        if path.suffix.lower() in TIFF_SUFFIXES:
            with tifffile.TiffFile(path) as tiff:
                page = tiff.pages.first
                return int(page.imagelength) * int(page.imagewidth)
        with open_image(path) as image:  # reads the header only
            return int(image.width) * int(image.height)
    except Exception:  # the reader proper reports what is wrong with the file
        return None


def whole_image_bytes(pixels: int, pipeline: Pipeline) -> int:
    """The peak memory of converting an image of ``pixels`` pixels whole."""
    per_pixel = WHOLE_CLARITY_BYTES_PER_PIXEL if pipeline.strength != 0.0 else WHOLE_BYTES_PER_PIXEL
    return BASELINE_BYTES + pixels * per_pixel


def needs_tiles(path: Path, memory_limit: int, pipeline: Pipeline) -> bool:
    """Whether ``path`` must be converted in pieces to stay under ``memory_limit``; refuses what cannot be.

    The one memory guard of the command and of every file of a batch.
    """
    pixels = image_pixels(path)
    if pixels is None or whole_image_bytes(pixels, pipeline) <= memory_limit:
        return False
    if path.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(
            f"{path} needs {_gigabytes(whole_image_bytes(pixels, pipeline))} to convert whole, more than the "
            f"memory limit of {_gigabytes(memory_limit)} (--memory-limit), and only TIFF can be read in pieces: "
            "convert it to a tiled TIFF first"
        )
    return True


def band_pixels_within(memory_limit: int | None) -> int:
    """The most pixels a band of the tiled run may have to stay under ``memory_limit``."""
    if memory_limit is None:
        return 2**62
    return max(1, (memory_limit - BASELINE_BYTES) // BAND_BYTES_PER_PIXEL)


def share_heaps() -> None:
    """Have the process's threads share two malloc heaps instead of one each.

    Each thread that frees a band's buffers into a heap of its own leaves it
    holding them: with one heap per thread a tiled run kept about a third
    more than it used (178 against 134 MB at 25 megapixels), for no speed.
    """
    with contextlib.suppress(OSError, AttributeError):  # not glibc: its own rules
        ctypes.CDLL("libc.so.6").mallopt(_ARENA_MAX, 2)


def _gigabytes(size: int) -> str:
    return f"{size / 2**30:.1f} GB"
