"""Reading photographs into linear-light float32 RGB.

JPEG, PNG, WebP and HEIF go through Pillow (HEIF with pillow-heif; 16-bit
PNG pixels through imagecodecs, since Pillow keeps only 8 bits of a 16-bit
colour PNG), TIFF through tifffile and camera RAW through rawpy. Integer
files are decoded to linear light through their colour profile, sRGB when
they carry none; float TIFFs without a profile already hold linear light,
as HDR and RAW-development tools write them, and are taken as is once made
finite and clamped to [0, FLOAT_INPUT_MAX].

Transparency is laid over the paper (see :mod:`velkor.io.alpha`) unless
the caller keeps it. Nothing is decoded before the header's size is
checked against the memory limit (:mod:`velkor.io.limits`).

Any failure of any decoder becomes :class:`UnreadableImageError` naming
the file; what the decoders only warn or log about reaches the caller as
an :class:`InputWarning` naming the file.
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import re
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from PIL import ImageFile

# tifffile is imported where a TIFF is handled: a JPEG's convert does without its import time.
from velkor._types import FloatImage
from velkor.errors import (
    ColourProfileWarning,
    InputWarning,
    UnreadableImageError,
    UnsupportedFormatError,
    VelkorError,
)
from velkor.extras import import_extra
from velkor.io.alpha import WHITE, composite, coverage, tiff_alpha
from velkor.io.colour import LINEAR_SRGB, SRGB, InputSpace, icc_space, pillow_space, to_linear
from velkor.io.limits import check_decoded_size
from velkor.io.metadata import NO_METADATA, PhotoMetadata, metadata_of, metadata_of_file
from velkor.io.orientation import ORIENTATION_TAG, apply_orientation
from velkor.io.pillow_open import open_image
from velkor.io.raw import RAW_SUFFIXES, read_raw
from velkor.io.regular_file import require_regular_file
from velkor.model.names import DEFAULT_INTENT, INTENTS

PILLOW_SUFFIXES = frozenset({".jpg", ".jpeg", ".jpe", ".png", ".webp", ".heic", ".heif", ".hif"})
TIFF_SUFFIXES = frozenset({".tif", ".tiff"})
INPUT_SUFFIXES = PILLOW_SUFFIXES | TIFF_SUFFIXES | RAW_SUFFIXES

# Pillow's format names, and ours; MPO is the multi-picture JPEG of some cameras.
_PILLOW_FORMATS = {"JPEG": "JPEG", "MPO": "JPEG", "PNG": "PNG", "WEBP": "WEBP", "HEIF": "HEIF"}

_ICC_TAG = 34675

# Float input is scene-linear with 1.0 as diffuse white. Above this bound
# nothing can print as anything but white, and the squares that local
# contrast sums would start to cost precision in every window near them.
FLOAT_INPUT_MAX = 1000.0

# What tifffile can turn into RGB here; anything else is refused by name.
_TIFF_PHOTOMETRICS = frozenset({"MINISWHITE", "MINISBLACK", "RGB", "PALETTE", "SEPARATED", "YCBCR"})
_JPEG_COMPRESSIONS = frozenset({6, 7})  # old-style and new-style JPEG: decoded to RGB
_PILLOW_ALPHA_MODES = frozenset({"RGBA", "LA", "PA", "RGBa", "La"})


@dataclasses.dataclass(frozen=True)
class _Decoded:
    """Samples as decoded: colour (H, W, 3, or 4 for CMYK), their space, and coverage if any."""

    samples: npt.NDArray[Any]
    space: InputSpace
    max_code: int | None
    alpha: FloatImage | None = None


@dataclasses.dataclass(frozen=True)
class SourceImage:
    """A decoded photograph: upright, linear light, float32 (H, W, 3)."""

    linear: FloatImage
    path: Path
    format: str
    """"JPEG", "PNG", "WEBP", "HEIF", "TIFF" or "RAW"."""
    metadata: PhotoMetadata = NO_METADATA
    """The camera's EXIF, XMP and IPTC and the resolution, as far as the file and its decoder tell."""
    alpha: FloatImage | None = None
    """Coverage (H, W, 1), 0 to 1, when kept (``background=None``); ``linear`` is then the colours unblended."""


def read_image(
    path: str | Path, *, intent: str = DEFAULT_INTENT, background: tuple[float, float, float] | None = WHITE,
    memory_limit: int | None = None,
) -> SourceImage:
    """Read a JPEG, PNG, WebP, HEIF, TIFF or camera RAW file as linear-light RGB.

    Colours are converted from the file's profile to linear Rec. 709
    primaries (see :mod:`velkor.io.colour`), lookup-table profiles with
    ``intent`` ("relative" colorimetric with black-point compensation,
    "perceptual", "saturation" or "absolute"). Transparent pixels are laid
    over ``background`` (linear RGB; white paper) in linear light, or with
    ``background=None`` kept as :attr:`SourceImage.alpha`. A file whose
    decoded pixels would need more than ``memory_limit`` bytes (a quarter of
    the memory by default) is refused before decoding with
    :class:`ImageTooLargeError`. Raises :class:`InputNotFoundError`,
    :class:`UnsupportedFormatError` or :class:`UnreadableImageError`; warns
    with :class:`ColourProfileWarning` when a profile cannot be used.
    """
    if intent not in INTENTS:
        raise ValueError(f"intent must be one of {', '.join(INTENTS)}, not {intent!r}")
    source = Path(path)
    require_regular_file(source, "input", UnsupportedFormatError)
    suffix = source.suffix.lower()
    if suffix not in INPUT_SUFFIXES:
        raise UnsupportedFormatError(
            f"unsupported input format '{suffix or source.name}': {source} "
            "(velkor reads JPEG, PNG, WebP, HEIF, TIFF and camera RAW files)"
        )
    with _decoder_reports(source):
        try:
            if suffix in RAW_SUFFIXES:
                return SourceImage(read_raw(source, memory_limit), source, "RAW", metadata_of_file(source))
            if suffix in TIFF_SUFFIXES:
                decoded, orientation = _read_tiff(source, intent, memory_limit)
                file_format, metadata = "TIFF", metadata_of_file(source)
            else:
                decoded, orientation, file_format, metadata = _read_with_pillow(source, intent, memory_limit)
            linear = to_linear(decoded.samples, decoded.space, decoded.max_code)
            alpha = decoded.alpha
            if alpha is not None and background is not None:
                linear, alpha = composite(linear, alpha, background), None
            return SourceImage(
                apply_orientation(linear, orientation), source, file_format, metadata,
                None if alpha is None else apply_orientation(alpha, orientation),
            )
        except VelkorError:
            raise
        except MemoryError as error:
            raise UnreadableImageError(f"cannot read {source}: too large to decode in the memory available") from error
        except Exception as error:  # every decoder has its own error types; all mean a damaged file
            raise UnreadableImageError(f"cannot read {source}: {_reason(error)}") from error


def _reason(error: Exception) -> str:
    """One readable line from a decoder's exception."""
    text = str(error).strip().splitlines()[0] if str(error).strip() else ""
    text = re.sub(r"""\bb(['"])(.*?)\1""", r"\2", text)  # LibRaw's messages arrive as bytes literals
    if not re.search(r"[A-Za-z]{3}", text):  # "0", "(3,)" and the like say nothing to a reader
        return f"damaged or truncated data ({type(error).__name__})"
    return text


class _LogRecords(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


@contextlib.contextmanager
def _decoder_reports(path: Path) -> Iterator[None]:
    """Keep the decoders' own warnings and log lines off the terminal.

    tifffile logs at ERROR a segment it cannot decode and leaves black: that is
    a damaged file, not a picture. Other log lines and the decoders' warnings
    (Pillow's about EXIF, for one) come back as one InputWarning each, with
    the file named; velkor's own warnings pass unchanged.
    """
    logger = logging.getLogger("tifffile")
    handler = _LogRecords()
    logger.addHandler(handler)
    propagate, logger.propagate = logger.propagate, False
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            yield
            failures = [r for r in handler.records if r.levelno >= logging.ERROR]
            if failures:
                raise UnreadableImageError(
                    f"cannot read {path}: damaged data ({len(failures)} part(s) cannot be decoded: "
                    f"{_log_text(failures[0])})"
                )
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate
    for record in handler.records:
        warnings.warn(f"{path}: {_log_text(record)}", InputWarning, stacklevel=3)
    for warning in caught:
        if issubclass(warning.category, UserWarning) and not issubclass(
            warning.category, (InputWarning, ColourProfileWarning)
        ):
            warnings.warn(f"{path}: {warning.message}", InputWarning, stacklevel=3)
        else:
            warnings.warn(warning.message, warning.category, stacklevel=3)


def _log_text(record: logging.LogRecord) -> str:
    # tifffile starts its lines with the repr of the page or file object.
    return re.sub(r"^<[^>]*>\s*", "", record.getMessage().splitlines()[0]).strip()


def _read_with_pillow(path: Path, intent: str, memory_limit: int | None) -> tuple[_Decoded, int, str, PhotoMetadata]:
    with open_image(path) as image:
        if image.format not in _PILLOW_FORMATS:
            raise UnsupportedFormatError(
                f"unsupported input format: {path} holds {image.format} data, "
                "not JPEG, PNG, WebP or HEIF"
            )
        check_decoded_size(path, image.height, image.width, memory_limit)
        sixteen_bit = _is_16_bit_png(image)  # before anything loads the pixels
        heif_bits = int(image.info.get("bit_depth", 8)) if image.format == "HEIF" else 8
        space = pillow_space(image, path, intent)
        orientation = int(image.getexif().get(ORIENTATION_TAG, 1))
        metadata = metadata_of(image)
        transparent = image.mode in _PILLOW_ALPHA_MODES or "transparency" in image.info
        max_code: int | None = None
        import imagecodecs  # a sixth of a second to import: when a photograph is read, not before

        if sixteen_bit:
            codes: npt.NDArray[Any] = imagecodecs.png_decode(path.read_bytes())
            transparent = codes.ndim == 3 and codes.shape[2] in (2, 4)
        elif heif_bits > 8:
            # Pillow's HEIF opener keeps 8 bits of a 10- or 12-bit photograph.
            codes, max_code = _high_bit_heif(path, heif_bits), (1 << heif_bits) - 1
        elif image.mode == "CMYK":
            codes = np.asarray(image)  # ink, 0 for none: Pillow turns Adobe's inverted codes round
            if space.icc is None:  # no CMYK profile: ideal inks
                codes, space = _ideal_inks(codes), SRGB
        elif image.format == "JPEG" and image.mode == "RGB" and _ends_complete(path):
            # The same libjpeg-turbo decode as Pillow's, straight into an array:
            # Pillow's own route copies the 72 MB of a 24-megapixel photograph once more.
            codes = imagecodecs.jpeg8_decode(path.read_bytes())
        else:
            # Palette, grey, 1-bit and colour-keyed (tRNS) images become plain 8-bit RGB or RGBA.
            mode = "RGBA" if transparent else "RGB"
            codes = np.asarray(image if image.mode == mode else image.convert(mode))
        file_format = _PILLOW_FORMATS[image.format]
    max_code = max_code or _max_code(codes.dtype, path)
    alpha = None
    if transparent and codes.ndim == 3 and codes.shape[2] in (2, 4):
        codes, alpha = codes[:, :, :-1], coverage(codes[:, :, -1], max_code)
    colour = codes if space.icc is not None and space.icc[16:20] == b"CMYK" else _as_rgb_array(codes)
    return _Decoded(colour, space, max_code, alpha), orientation, file_format, metadata


def _high_bit_heif(path: Path, bits: int) -> npt.NDArray[Any]:
    """A 10- or 12-bit HEIF's own codes, 0 to 2^bits - 1.

    pillow-heif hands them over shifted up to fill 16 bits; shifted back,
    white is the top code exactly, not a sixty-fourth of a code below it.
    """
    heif = import_extra("pillow_heif", "heif", "reading HEIF files").open_heif(path, convert_hdr_to_8bit=False)
    return np.asarray(heif) >> np.uint16(16 - bits)


def _ends_complete(path: Path) -> bool:
    # imagecodecs decodes a truncated JPEG without a word; Pillow refuses it.
    # A file that does not end with the end-of-image marker goes to Pillow.
    with path.open("rb") as stream:
        stream.seek(-2, 2)
        return stream.read(2) == b"\xff\xd9"


def _is_16_bit_png(image: ImageFile.ImageFile) -> bool:
    if image.format != "PNG" or not image.tile:
        return False
    rawmode = image.tile[0].args
    return image.mode.startswith("I") or (isinstance(rawmode, str) and ";16" in rawmode)


def _read_tiff(path: Path, intent: str, memory_limit: int | None) -> tuple[_Decoded, int]:
    import tifffile

    with tifffile.TiffFile(path) as tiff:
        page = tiff.pages.first
        check_decoded_size(path, int(page.imagelength), int(page.imagewidth), memory_limit)
        photometric = _photometric_name(page.photometric)
        if photometric not in _TIFF_PHOTOMETRICS or (
            photometric == "YCBCR" and page.compression not in _JPEG_COMPRESSIONS
        ):
            raise UnsupportedFormatError(
                f"unsupported input format: {path} is a {photometric} TIFF "
                "(velkor reads grey, RGB, palette, CMYK and JPEG-compressed YCbCr TIFF)"
            )
        grey = photometric in ("MINISBLACK", "MINISWHITE")
        icc: bytes | None = page.tags.valueof(_ICC_TAG)
        orientation = int(page.tags.valueof(ORIENTATION_TAG, 1))
        bits = int(page.bitspersample)
        colormap = page.colormap if photometric == "PALETTE" else None
        extra = tuple(page.extrasamples or ())
        samples: npt.NDArray[Any] = page.asarray()
        if page.planarconfig == tifffile.PLANARCONFIG.SEPARATE and samples.ndim == 3:
            samples = np.moveaxis(samples, 0, -1)
    if samples.dtype == np.bool_:
        samples = samples.astype(np.uint8)
    colour_count = {"PALETTE": 1, "SEPARATED": 4}.get(photometric, 1 if grey else 3)
    samples, alpha = tiff_alpha(samples, colour_count, extra)
    if photometric == "PALETTE":
        return _Decoded(_palette_to_rgb(samples, colormap, path), SRGB, 65535, alpha), orientation
    if photometric == "SEPARATED":
        return _Decoded(*_cmyk(samples, icc, path, intent), alpha), orientation
    rgb = _as_rgb_array(samples)
    if rgb.dtype.kind == "u" and bits < 8:
        rgb = (rgb * (255 // ((1 << bits) - 1))).astype(np.uint8)  # 1-, 2- and 4-bit grey
    if photometric == "MINISWHITE":
        rgb = (1.0 - rgb) if rgb.dtype.kind == "f" else np.iinfo(rgb.dtype).max - rgb
    if rgb.dtype.kind == "f":
        space = icc_space(icc, path, grey=grey, otherwise=LINEAR_SRGB, intent=intent)
        return _Decoded(_finite_linear(rgb, path), space, None, alpha), orientation
    if rgb.dtype in (np.uint8, np.uint16):
        return _Decoded(rgb, icc_space(icc, path, grey=grey, intent=intent), _max_code(rgb.dtype, path), alpha), \
            orientation
    raise UnsupportedFormatError(
        f"unsupported input format: {path} holds {rgb.dtype} samples "
        "(velkor reads 8- and 16-bit integer and floating-point TIFF)"
    )


def _photometric_name(value: int) -> str:
    import tifffile
    try:
        return tifffile.PHOTOMETRIC(value).name
    except ValueError:
        return f"photometric {value}"


def _palette_to_rgb(indices: npt.NDArray[Any], colormap: npt.NDArray[Any] | None, path: Path) -> npt.NDArray[Any]:
    if colormap is None or indices.ndim != 2 or indices.dtype.kind != "u":
        raise UnsupportedFormatError(f"unsupported input format: {path} is a palette TIFF without a usable colour map")
    table = np.asarray(colormap, dtype=np.uint16).T  # (entries, 3)
    if indices.max(initial=0) >= len(table):
        raise ValueError("palette index beyond the colour map")
    if table.max(initial=0) < 256:
        table = table * np.uint16(257)  # some writers store 8-bit colours in the 16-bit map
    elif not np.any(table & 0xFF):
        table = (table >> 8) * np.uint16(257)  # 8-bit colours shifted up: white is 0xFF00, not 0xFFFF
    rgb: npt.NDArray[Any] = table[indices]
    return rgb


def _cmyk(samples: npt.NDArray[Any], icc: bytes | None, path: Path, intent: str) -> tuple[npt.NDArray[Any], InputSpace, int]:
    """Ink coverage and how to read it: through the file's own CMYK profile when it has one."""
    if samples.ndim != 3 or samples.shape[2] < 4 or samples.dtype not in (np.uint8, np.uint16):
        raise UnsupportedFormatError(
            f"unsupported input format: {path} is a SEPARATED TIFF that is not 8- or 16-bit CMYK"
        )
    cmyk = np.ascontiguousarray(samples[:, :, :4])
    max_code = int(np.iinfo(cmyk.dtype).max)
    space = icc_space(icc, path, cmyk=True, intent=intent) if icc else SRGB
    if space.icc is None:
        return _ideal_inks(cmyk), SRGB, max_code
    return cmyk, space, max_code


def _ideal_inks(cmyk: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Ink coverage without a profile, as sRGB codes: each of red, green and blue is what its
    complementary ink and black let through, (1 - C)(1 - K) for red."""
    max_code = float(np.iinfo(cmyk.dtype).max)
    ink = cmyk.astype(np.float32) / np.float32(max_code)
    light = (1.0 - ink[:, :, :3]) * (1.0 - ink[:, :, 3:4])
    return np.rint(light * max_code).astype(cmyk.dtype)


def _finite_linear(rgb: npt.NDArray[Any], path: Path) -> FloatImage:
    """Float samples made finite and clamped to [0, FLOAT_INPUT_MAX].

    One NaN or infinity would otherwise spread through local contrast's
    running sums to every pixel below and to the right of it.
    """
    linear = np.array(rgb, dtype=np.float32, order="C")
    finite = np.isfinite(linear)
    not_finite = linear.size - int(np.count_nonzero(finite))
    too_bright = int(np.count_nonzero(finite & (linear > FLOAT_INPUT_MAX)))
    if not_finite or too_bright:
        warnings.warn(
            f"{path}: {not_finite} samples NaN or infinite, {too_bright} above {FLOAT_INPUT_MAX:g}: "
            f"NaN read as 0, the others clamped to [0, {FLOAT_INPUT_MAX:g}]",
            InputWarning,
            stacklevel=2,
        )
    np.nan_to_num(linear, copy=False, nan=0.0, posinf=FLOAT_INPUT_MAX, neginf=0.0)
    np.clip(linear, 0.0, FLOAT_INPUT_MAX, out=linear)
    return linear


def _as_rgb_array(samples: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Grey becomes three equal channels; an extra channel that is not alpha is dropped."""
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
