"""Writing display-referred grey images as JPEG, or 8- or 16-bit PNG or TIFF."""

from __future__ import annotations

import dataclasses
import struct
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt
from PIL import Image

# tifffile is imported where a TIFF is handled: a JPEG's convert does without its import time.
from velkor._types import FloatImage
from velkor._version import __version__
from velkor.errors import RecipeError, UnsupportedFormatError
from velkor.io import png
from velkor.io.atomic import open_for_writing
from velkor.io.metadata import (
    NO_METADATA,
    PhotoMetadata,
    exif_for_print,
    grey_profile,
    srgb_profile,
)
from velkor.io.xmp import xmp_for_print
from velkor.io.quantise import quantise
from velkor.io.tiff_deflate import deflate_strips, rows_per_strip
from velkor.io.tiff_exif import append_directories, tiff_exif
from velkor.model.bands import thread_count
from velkor.model.output import check_output_settings
from velkor.model.pipeline import Pipeline
from velkor.model.pixels import display_tones

OUTPUT_SUFFIXES = {".png": "PNG", ".tif": "TIFF", ".tiff": "TIFF", ".jpg": "JPEG", ".jpeg": "JPEG"}
RECIPE_KEY = "velkor:recipe"
# A JPEG keeps the recipe in a comment segment that starts with this line.
JPEG_RECIPE_PREFIX = f"{RECIPE_KEY}\n".encode()
# Deflate segments are made by tiff_deflate, not by tifffile: no arguments for it.
TIFF_CODECS = {"deflate": ("zlib", {}), "lzw": ("lzw", {}), "zstd": ("zstd", {"level": 1}),
                "none": (None, {})}


def software_name() -> str:
    """The text of the software tag written into every output file."""
    return f"velkor {__version__}"


def output_format(path: Path) -> str:
    """'PNG', 'TIFF' or 'JPEG' for an output path; raises :class:`UnsupportedFormatError`."""
    try:
        return OUTPUT_SUFFIXES[path.suffix.lower()]
    except KeyError:
        raise UnsupportedFormatError(
            f"unsupported output format '{path.suffix or path.name}': {path} "
            "(velkor writes .png, .tif, .tiff, .jpg and .jpeg)"
        ) from None


def write_image(
    path: str | Path,
    display: FloatImage,
    *,
    recipe: Pipeline | str | None = None,
    bit_depth: int | None = None,
    dither: bool | None = None,
    overwrite: bool = False,
    quality: int = 92,
    compression: str = "deflate",
    metadata: PhotoMetadata | None = None,
    keep_gps: bool = False,
    alpha: FloatImage | None = None,
) -> Path:
    """Write a display-referred image (H, W), (H, W, 1) or (H, W, 3) to PNG, TIFF or JPEG.

    ``display`` holds float tones, 0 black to 1 white, as :meth:`Pipeline.run`
    returns them; integer codes, NaN and images mostly past white are
    refused (``TypeError``, ``ValueError``) rather than written as a white
    print. Values are clamped to [0, 1] and quantised to ``bit_depth`` bits.

    The file records ``recipe`` (a :class:`Pipeline` or its TOML text), and
    is written the way that recipe says: ``bit_depth`` and ``dither`` come
    from it, and a value given here that contradicts it raises
    :class:`RecipeError`, so that the recorded recipe makes this very file
    again. Without a recipe they default to 8 bits, no dither. A JPEG
    always holds 8 bits (greyscale, one component), at ``quality`` 1 to 100. A
    TIFF is compressed with ``compression`` ("deflate", "lzw", "zstd" or
    "none"; with the horizontal predictor). The file records the software,
    the recipe text when given, an ICC profile for its codes (grey with the
    sRGB tone curve, or sRGB), and the camera's EXIF and resolution from
    ``metadata`` (see :mod:`velkor.io.metadata`; GPS only with ``keep_gps``).
    ``alpha`` (H, W, 1), coverage 0 to 1, is written as a straight alpha
    channel by PNG and TIFF; a JPEG has none and refuses it. An existing file is left alone (:class:`OutputExistsError`) unless
    ``overwrite``.
    """
    target = Path(path)
    file_format = output_format(target)
    look = Pipeline.from_toml(recipe) if isinstance(recipe, str) else recipe
    bit_depth, dither = _print_settings(look, bit_depth, dither, file_format)
    check_output_settings(bit_depth=bit_depth, dither=dither, quality=quality, compression=compression)
    if metadata is not None and not isinstance(metadata, PhotoMetadata):
        raise TypeError(f"metadata must be a velkor.PhotoMetadata or None, not {type(metadata).__name__}")
    if alpha is not None and file_format == "JPEG":
        raise ValueError(f"a JPEG has no alpha channel: {target} (lay the picture over a background first)")
    tones = display_tones(display, "write_image")
    codes = quantise(tones, 8 if file_format == "JPEG" else bit_depth, dither=dither)
    if alpha is not None:
        codes = np.concatenate([codes, quantise(alpha, bit_depth)], axis=2)
    if codes.ndim == 3 and codes.shape[2] == 1:
        codes = codes[:, :, 0]
    grey = codes.ndim == 2 or codes.shape[2] == 2
    text = recipe if isinstance(recipe, str) or recipe is None else recipe.to_toml()
    about = _About(text, metadata or NO_METADATA, keep_gps, grey_profile() if grey else srgb_profile())
    with open_for_writing(target, overwrite) as stream:
        if file_format == "PNG":
            _write_png(stream, codes, about)
        elif file_format == "JPEG":
            _write_jpeg(stream, codes, about, quality)
        else:
            _write_tiff(stream, codes, about, compression)
    return target


def _print_settings(
    look: Pipeline | None, bit_depth: int | None, dither: bool | None, file_format: str
) -> tuple[int, bool]:
    """The bit depth and dither to write: the recipe's, which values given by the caller must not contradict."""
    if look is None:
        return (8 if bit_depth is None else bit_depth, False if dither is None else dither)
    bits = look.bit_depth if bit_depth is None else bit_depth
    noise = look.dither if dither is None else dither
    # A JPEG holds 8 bits whatever the recipe asks; any other depth is the recipe's own.
    if (bits != look.bit_depth and file_format != "JPEG") or noise != look.dither:
        raise RecipeError(
            f"the recipe says bit_depth = {look.bit_depth}, dither = {str(look.dither).lower()}; writing "
            f"bit_depth={bits}, dither={noise} would record a recipe that does not make this file "
            "(leave them out to follow the recipe)"
        )
    return bits, noise


@dataclasses.dataclass(frozen=True)
class _About:
    """What a file says besides its pixels."""

    recipe: str | None
    metadata: PhotoMetadata
    keep_gps: bool
    profile: bytes


def _write_png(stream: IO[bytes], codes: npt.NDArray[Any], about: _About) -> None:
    chunks = [png.profile_chunk("velkor", about.profile), png.text_chunk("Software", software_name())]
    if about.recipe is not None:
        chunks.append(png.text_chunk(RECIPE_KEY, about.recipe))
    if about.metadata.dpi is not None:
        chunks.append(png.resolution_chunk(about.metadata.dpi))
    if about.metadata:
        chunks.append((b"eXIf", exif_for_print(about.metadata, keep_gps=about.keep_gps).tobytes()[6:]))
    if xmp := xmp_for_print(about.metadata.xmp, keep_gps=about.keep_gps):
        chunks.append(png.text_chunk("XML:com.adobe.xmp", xmp.decode("utf-8")))
    png.write_png(stream, codes, chunks)


def _write_jpeg(stream: IO[bytes], codes: npt.NDArray[Any], about: _About, quality: int) -> None:
    options: dict[str, Any] = {"quality": quality, "icc_profile": about.profile}
    if about.recipe is not None:
        options["comment"] = JPEG_RECIPE_PREFIX + about.recipe.encode("utf-8")
    if about.metadata.dpi is not None:
        options["dpi"] = about.metadata.dpi
    # A JPEG has no other place for the software's name than the EXIF block.
    options["exif"] = exif_for_print(about.metadata, keep_gps=about.keep_gps)
    options["exif"][305] = software_name()
    if (xmp := xmp_for_print(about.metadata.xmp, keep_gps=about.keep_gps)) and len(xmp) <= 65000:
        options["xmp"] = xmp  # one APP1 segment holds 64 KiB; a larger packet is left behind, not the print
    if about.metadata.iptc and len(about.metadata.iptc) < 65000:  # one segment holds 64 KiB
        options["extra"] = _photoshop_segment(about.metadata.iptc)
    Image.fromarray(codes).save(stream, format="JPEG", **options)


def _photoshop_segment(iptc: bytes) -> bytes:
    """A JPEG APP13 segment holding IPTC-IIM as Photoshop's image resource 0x0404, as readers look for it."""
    resource = b"8BIM" + struct.pack(">H", 0x0404) + b"\0\0" + struct.pack(">I", len(iptc)) + iptc + b"\0" * (len(iptc) % 2)
    body = b"Photoshop 3.0\0" + resource
    return b"\xff\xed" + struct.pack(">H", len(body) + 2) + body


def _write_tiff(stream: IO[bytes], codes: npt.NDArray[Any], about: _About, compression: str) -> None:
    import tifffile
    codec, arguments = TIFF_CODECS[compression]
    exif = tiff_exif(about.metadata, keep_gps=about.keep_gps, described=about.recipe is not None)
    pixels: dict[str, Any] = {"data": codes, "maxworkers": thread_count()}
    if compression == "deflate":  # our own strips: ISA-L on every processor, twice as fast as tifffile's zlib
        pixels = {"data": deflate_strips(codes), "shape": codes.shape, "dtype": codes.dtype,
                  "rowsperstrip": rows_per_strip(codes)}
    tifffile.imwrite(
        stream,
        **pixels,
        photometric="minisblack" if codes.ndim == 2 or codes.shape[2] == 2 else "rgb",
        extrasamples=("unassalpha",) if codes.ndim == 3 and codes.shape[2] in (2, 4) else None,
        compression=codec,
        compressionargs=arguments,
        predictor=codec is not None,
        software=software_name(),
        description=None if about.recipe is None else ascii_toml(about.recipe),
        iccprofile=about.profile,
        extratags=exif.extratags,
        metadata=None,
        byteorder="<",
        **exif.options,
    )
    append_directories(stream, exif.directories)


def ascii_toml(text: str) -> str:
    """TOML text with every non-ASCII character written as a \\u escape.

    TIFF text tags hold 7-bit ASCII only. In a recipe non-ASCII characters
    can only stand inside basic strings (the name, the description), where
    TOML reads the escape back as the same character.
    """
    return "".join(char if char.isascii() else _toml_escape(char) for char in text)


def _toml_escape(char: str) -> str:
    code = ord(char)
    return f"\\u{code:04X}" if code <= 0xFFFF else f"\\U{code:08X}"
