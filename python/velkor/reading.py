"""Reading photographs into linear-light float32 RGB.

JPEG, PNG, WebP and HEIF go through Pillow (HEIF with pillow-heif; 16-bit
PNG pixels through imagecodecs, since Pillow keeps only 8 bits of a 16-bit
colour PNG), TIFF through tifffile and camera RAW through rawpy. Integer
files are decoded to linear light through their colour profile, sRGB when
they carry none; float TIFFs without a profile already hold linear light,
as HDR and RAW-development tools write them, and are taken as is.
"""

from __future__ import annotations

import dataclasses
import struct
from pathlib import Path
from typing import Any

import imagecodecs
import numpy as np
import numpy.typing as npt
import pillow_heif
import rawpy
import tifffile
from PIL import Image, ImageFile

from velkor._types import FloatImage
from velkor.errors import InputNotFoundError, UnreadableImageError, UnsupportedFormatError
from velkor.colour import LINEAR_SRGB, icc_space, pillow_space, to_linear
from velkor.orientation import ORIENTATION_TAG, apply_orientation
from velkor.raw import RAW_SUFFIXES, read_raw

PILLOW_SUFFIXES = frozenset({".jpg", ".jpeg", ".jpe", ".png", ".webp", ".heic", ".heif", ".hif"})
TIFF_SUFFIXES = frozenset({".tif", ".tiff"})
INPUT_SUFFIXES = PILLOW_SUFFIXES | TIFF_SUFFIXES | RAW_SUFFIXES

# Pillow's format names, and ours; MPO is the multi-picture JPEG of some cameras.
_PILLOW_FORMATS = {"JPEG": "JPEG", "MPO": "JPEG", "PNG": "PNG", "WEBP": "WEBP", "HEIF": "HEIF"}

pillow_heif.register_heif_opener()
_ICC_TAG = 34675

# What the decoders raise for a damaged or truncated file.
_DECODE_ERRORS: tuple[type[BaseException], ...] = (
    OSError,
    ValueError,
    SyntaxError,  # Pillow, for some malformed PNG chunks
    EOFError,
    IndexError,  # tifffile, for a file without pages
    struct.error,
    Image.DecompressionBombError,
    rawpy.LibRawError,
    imagecodecs.PngError,
)


@dataclasses.dataclass(frozen=True)
class SourceImage:
    """A decoded photograph: upright, linear light, float32 (H, W, 3)."""

    linear: FloatImage
    path: Path
    format: str
    """"JPEG", "PNG", "WEBP", "HEIF", "TIFF" or "RAW"."""


def read_image(path: str | Path) -> SourceImage:
    """Read a JPEG, PNG, WebP, HEIF, TIFF or camera RAW file as linear-light RGB.

    Colours are converted from the file's profile to linear Rec. 709
    primaries (see :mod:`velkor.colour`). Raises :class:`InputNotFoundError`,
    :class:`UnsupportedFormatError` or :class:`UnreadableImageError`; warns
    with :class:`ColourProfileWarning` when a profile cannot be used.
    """
    source = Path(path)
    if not source.exists():
        raise InputNotFoundError(f"input not found: {source}")
    if not source.is_file():
        raise UnsupportedFormatError(f"input is not a file: {source}")
    suffix = source.suffix.lower()
    if suffix not in INPUT_SUFFIXES:
        raise UnsupportedFormatError(
            f"unsupported input format '{suffix or source.name}': {source} "
            "(velkor reads JPEG, PNG, WebP, HEIF, TIFF and camera RAW files)"
        )
    try:
        if suffix in TIFF_SUFFIXES:
            return SourceImage(_read_tiff(source), source, "TIFF")
        if suffix in RAW_SUFFIXES:
            return SourceImage(read_raw(source), source, "RAW")
        return _read_with_pillow(source)
    except UnsupportedFormatError:
        raise
    except _DECODE_ERRORS as error:
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UnreadableImageError(f"cannot read {source}: {reason}") from error


def _read_with_pillow(path: Path) -> SourceImage:
    with Image.open(path) as image:
        if image.format not in _PILLOW_FORMATS:
            raise UnsupportedFormatError(
                f"unsupported input format: {path} holds {image.format} data, "
                "not JPEG, PNG, WebP or HEIF"
            )
        sixteen_bit = _is_16_bit_png(image)  # before anything loads the pixels
        space = pillow_space(image, path)
        orientation = int(image.getexif().get(ORIENTATION_TAG, 1))
        if sixteen_bit:
            codes: npt.NDArray[Any] = imagecodecs.png_decode(path.read_bytes())
        else:
            codes = np.asarray(_as_rgb_8_bit(image))
        file_format = _PILLOW_FORMATS[image.format]
    rgb = _as_rgb_array(codes)
    linear = to_linear(rgb, space, _max_code(rgb.dtype, path))
    return SourceImage(apply_orientation(linear, orientation), path, file_format)


def _is_16_bit_png(image: ImageFile.ImageFile) -> bool:
    if image.format != "PNG" or not image.tile:
        return False
    rawmode = image.tile[0].args
    return image.mode.startswith("I") or (isinstance(rawmode, str) and ";16" in rawmode)


def _as_rgb_8_bit(image: Image.Image) -> Image.Image:
    # Palette, grey, alpha and 1-bit images all become plain 8-bit RGB;
    # alpha is dropped, since a print has no transparency.
    return image if image.mode == "RGB" else image.convert("RGB")


def _read_tiff(path: Path) -> FloatImage:
    with tifffile.TiffFile(path) as tiff:
        page = tiff.pages.first
        grey = page.photometric == tifffile.PHOTOMETRIC.MINISBLACK
        icc = page.tags.valueof(_ICC_TAG)
        orientation = int(page.tags.valueof(ORIENTATION_TAG, 1))
        samples: npt.NDArray[Any] = page.asarray()
        if page.planarconfig == tifffile.PLANARCONFIG.SEPARATE and samples.ndim == 3:
            samples = np.moveaxis(samples, 0, -1)
    rgb = _as_rgb_array(samples)
    if rgb.dtype.kind == "f":
        linear = to_linear(rgb, icc_space(icc, path, grey=grey, otherwise=LINEAR_SRGB), None)
    elif rgb.dtype in (np.uint8, np.uint16):
        linear = to_linear(rgb, icc_space(icc, path, grey=grey), _max_code(rgb.dtype, path))
    else:
        raise UnsupportedFormatError(
            f"unsupported input format: {path} holds {rgb.dtype} samples "
            "(velkor reads 8- and 16-bit integer and floating-point TIFF)"
        )
    return apply_orientation(linear, orientation)


def _as_rgb_array(samples: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Grey becomes three equal channels; an alpha or extra channel is dropped."""
    if samples.ndim == 2:
        samples = samples[:, :, np.newaxis]
    if samples.ndim != 3 or samples.shape[2] not in (1, 2, 3, 4):
        raise ValueError(f"unexpected sample layout {samples.shape}")
    if samples.shape[2] <= 2:
        return np.repeat(samples[:, :, :1], 3, axis=2)
    return samples[:, :, :3]


def _max_code(dtype: np.dtype[Any], path: Path) -> int:
    if dtype == np.uint8:
        return 255
    if dtype == np.uint16:
        return 65535
    raise UnsupportedFormatError(f"unsupported input format: {path} holds {dtype} samples")
