"""Writing display-referred grey images as JPEG, or 8- or 16-bit PNG or TIFF."""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import secrets
import threading
from collections.abc import Iterator
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt
import tifffile
from PIL import Image

from velkor import png
from velkor._types import FloatImage
from velkor.errors import OutputExistsError, OutputWriteError, UnreadableImageError, UnsupportedFormatError
from velkor.metadata import (
    NO_METADATA,
    PhotoMetadata,
    exif_for_print,
    grey_profile,
    srgb_profile,
)
from velkor.threads import available_threads, each_band
from velkor.tiff_deflate import deflate_strips, rows_per_strip
from velkor.tiff_exif import append_directories, tiff_exif

OUTPUT_SUFFIXES = {".png": "PNG", ".tif": "TIFF", ".tiff": "TIFF", ".jpg": "JPEG", ".jpeg": "JPEG"}
RECIPE_KEY = "velkor:recipe"
# A JPEG keeps the recipe in a comment segment that starts with this line.
_JPEG_RECIPE_PREFIX = f"{RECIPE_KEY}\n".encode()
COMPRESSIONS = ("deflate", "lzw", "zstd", "none")
# Deflate segments are made by tiff_deflate, not by tifffile: no arguments for it.
TIFF_CODECS = {"deflate": ("zlib", {}), "lzw": ("lzw", {}), "zstd": ("zstd", {"level": 1}),
                "none": (None, {})}

# Dither noise is seeded so that the same image and recipe always give the
# same file: reproducible output matters more than noise that differs per run.
_DITHER_SEED = 0x5EED


def software_name() -> str:
    """The text of the software tag written into every output file."""
    try:
        return f"velkor {version('velkor')}"
    except PackageNotFoundError:
        return "velkor"


def output_format(path: Path) -> str:
    """'PNG', 'TIFF' or 'JPEG' for an output path; raises :class:`UnsupportedFormatError`."""
    try:
        return OUTPUT_SUFFIXES[path.suffix.lower()]
    except KeyError:
        raise UnsupportedFormatError(
            f"unsupported output format '{path.suffix or path.name}': {path} "
            "(velkor writes .png, .tif, .tiff, .jpg and .jpeg)"
        ) from None


def quantise(display: FloatImage, bit_depth: int, *, dither: bool = False) -> npt.NDArray[Any]:
    """Clamp display values to [0, 1] and round them to 8- or 16-bit codes.

    With ``dither`` (8-bit only) triangular noise of one code step is added
    before rounding, which turns banding in smooth gradients into fine grain.
    NaN becomes 0.
    """
    max_code = (1 << bit_depth) - 1
    dtype = np.uint8 if bit_depth == 8 else np.uint16
    codes: npt.NDArray[Any] = np.empty(display.shape, dtype=dtype)
    row_size = max(1, display[0].size) if display.shape[0] else 1
    # A band of rows at a time stays in the cache through every step, and
    # the bands go to every processor.  A band starts on an even element,
    # where a new output of the noise's generator begins.
    step = max(1, (1 << 18) // row_size)
    step += step % 2 * (row_size % 2)
    noisy = dither and bit_depth == 8

    def quantise_band(rows: slice) -> None:
        band = display[rows]
        scaled, noise, more_noise = _band_buffers(band.shape)
        np.fmax(band, np.float32(0.0), out=scaled)  # fmax also turns NaN into 0
        np.fmin(scaled, np.float32(1.0), out=scaled)
        scaled *= np.float32(max_code)
        if noisy:
            scaled += _triangular_noise(display.size, rows.start * row_size, noise, more_noise)
            np.maximum(scaled, np.float32(0.0), out=scaled)
            np.minimum(scaled, np.float32(max_code), out=scaled)
        codes[rows] = np.rint(scaled, out=scaled)

    each_band(display.shape[0], step, quantise_band)
    return codes


# Each thread reuses its own buffers from band to band: fresh ones would be
# new mappings wherever malloc's mmap threshold is held low (Dask's nannies
# do), and page-faulting them in costs as much as the work.
_held = threading.local()


def _band_buffers(shape: tuple[int, ...]) -> tuple[FloatImage, FloatImage, FloatImage]:
    size = math.prod(shape)
    if getattr(_held, "size", 0) < size:
        _held.buffers, _held.size = [np.empty(size, np.float32) for _ in range(3)], size
    scaled, noise, more_noise = (buffer[:size].reshape(shape) for buffer in _held.buffers)
    return scaled, noise, more_noise


def _triangular_noise(count: int, start: int, noise: FloatImage, more_noise: FloatImage) -> FloatImage:
    """Values ``start`` onwards of ``rng.random(count) - rng.random(count)``, drawn into ``noise``.

    Drawn a band at a time, the noise is that of the whole image's two
    draws, so the grain of a print does not depend on how it was split.
    """
    _floats_from(start).random(out=noise, dtype=np.float32)
    _floats_from(count + start).random(out=more_noise, dtype=np.float32)
    return np.subtract(noise, more_noise, out=noise)


def _floats_from(index: int) -> np.random.Generator:
    """The dither generator placed at float32 number ``index`` of its sequence.

    A PCG64 gives two float32 values per 64-bit output, low half first.
    """
    generator = np.random.Generator(np.random.PCG64(_DITHER_SEED).advance(index // 2))
    if index % 2:
        generator.random(1, dtype=np.float32)
    return generator


def write_image(
    path: str | Path,
    display: FloatImage,
    *,
    bit_depth: int = 8,
    dither: bool = False,
    recipe: str | None = None,
    overwrite: bool = False,
    quality: int = 92,
    compression: str = "deflate",
    metadata: PhotoMetadata | None = None,
    keep_gps: bool = False,
) -> Path:
    """Write a display-referred image (H, W, 1) or (H, W, 3) to PNG, TIFF or JPEG.

    Values are clamped to [0, 1] and quantised to ``bit_depth`` bits; a JPEG
    always holds 8 (greyscale, one component), at ``quality`` 1 to 100. A
    TIFF is compressed with ``compression`` ("deflate", "lzw", "zstd" or
    "none"; with the horizontal predictor). The file records the software,
    the recipe text when given, an ICC profile for its codes (grey with the
    sRGB tone curve, or sRGB), and the camera's EXIF and resolution from
    ``metadata`` (see :mod:`velkor.metadata`; GPS only with ``keep_gps``).
    An existing file is left alone (:class:`OutputExistsError`) unless
    ``overwrite``.
    """
    target = Path(path)
    file_format = output_format(target)
    check_bit_depth(bit_depth, dither)
    check_output_options(quality, compression, metadata)
    codes = quantise(display, 8 if file_format == "JPEG" else bit_depth, dither=dither)
    if codes.ndim == 3 and codes.shape[2] == 1:
        codes = codes[:, :, 0]
    about = _About(recipe, metadata or NO_METADATA, keep_gps, grey_profile() if codes.ndim == 2 else srgb_profile())
    with open_for_writing(target, overwrite) as stream:
        if file_format == "PNG":
            _write_png(stream, codes, about)
        elif file_format == "JPEG":
            _write_jpeg(stream, codes, about, quality)
        else:
            _write_tiff(stream, codes, about, compression)
    return target


def check_output_options(quality: object, compression: object, metadata: object = None) -> None:
    """Refuse a JPEG quality, TIFF compression or metadata that cannot be written."""
    if isinstance(quality, bool) or not isinstance(quality, int):
        raise TypeError(f"quality must be a whole number 1 to 100, not {quality!r}")
    if not 1 <= quality <= 100:
        raise ValueError(f"quality must be 1 to 100, not {quality}")
    if compression not in COMPRESSIONS:
        raise ValueError(f"compression must be one of {', '.join(COMPRESSIONS)}, not {compression!r}")
    if metadata is not None and not isinstance(metadata, PhotoMetadata):
        raise TypeError(f"metadata must be a velkor.PhotoMetadata or None, not {type(metadata).__name__}")


@dataclasses.dataclass(frozen=True)
class _About:
    """What a file says besides its pixels."""

    recipe: str | None
    metadata: PhotoMetadata
    keep_gps: bool
    profile: bytes


def check_bit_depth(bit_depth: object, dither: object) -> None:
    """Refuse a bit depth other than 8 or 16, and dither on 16-bit output."""
    if isinstance(bit_depth, bool) or not isinstance(bit_depth, int):
        raise TypeError(f"bit_depth must be the whole number 8 or 16, not {bit_depth!r}")
    if bit_depth not in (8, 16):
        raise ValueError(f"bit_depth must be 8 or 16, not {bit_depth}")
    if dither and bit_depth != 8:
        raise ValueError("dither applies to 8-bit output only")


@contextlib.contextmanager
def open_for_writing(path: Path, overwrite: bool) -> Iterator[IO[bytes]]:
    """A stream whose bytes appear at ``path`` all at once, or not at all.

    The bytes go to a hidden temporary file in the same folder, reach the
    disk (fsync), and only then take the name: a full disk, a crash or a
    signal leaves any earlier file at ``path`` exactly as it was. Without
    ``overwrite`` the name is taken by a hard link, which fails if the file
    appeared meanwhile, so two runs never both decide that a name is free.
    """
    if not overwrite and path.exists():
        raise OutputExistsError(f"output exists: {path}")
    # The name is chosen before the file exists, so that a signal arriving
    # anywhere after its creation still finds it to clean up.
    temporary = path
    try:
        while True:
            temporary = path.with_name(f".{path.name}.{secrets.token_hex(8)}.velkor-part")
            try:
                # Not tempfile.mkstemp: its files are private (0600), and the
                # finished file should get the permissions any new file gets here.
                stream = open(temporary, "xb+")  # noqa: SIM115 - closed below; read back by TIFF writers
                break
            except FileExistsError:
                continue
        with stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        _take_name(temporary, path, overwrite)
        _sync_folder(path.parent)
    except BaseException as error:
        if temporary != path:
            temporary.unlink(missing_ok=True)
        if isinstance(error, OSError) and not isinstance(error, (OutputWriteError, OutputExistsError)):
            raise OutputWriteError(f"cannot write {path}: {error.strerror or error}") from error
        raise


def _take_name(temporary: Path, path: Path, overwrite: bool) -> None:
    if overwrite:
        os.replace(temporary, path)
        return
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise OutputExistsError(f"output exists: {path}") from None
    except OSError:  # a file system without hard links
        if path.exists():
            raise OutputExistsError(f"output exists: {path}") from None
        os.replace(temporary, path)
        return
    temporary.unlink()


def _sync_folder(folder: Path) -> None:
    # The new name itself must reach the disk, or a power cut can undo it.
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass  # some file systems cannot sync a folder; the file itself is on disk
    finally:
        os.close(descriptor)


def write_text(path: str | Path, text: str, *, overwrite: bool = False) -> Path:
    """Write UTF-8 text with the same all-or-nothing guarantee as images."""
    target = Path(path)
    with open_for_writing(target, overwrite) as stream:
        stream.write(text.encode("utf-8"))
    return target


def recorded_recipe(path: Path) -> str | None:
    """The recipe text that velkor stored in a PNG or TIFF it wrote, or None.

    Every pixel is decoded on the way, so a truncated or damaged file raises
    :class:`UnreadableImageError` instead of passing for a finished print.
    """
    try:
        file_format = output_format(path)
        if file_format != "TIFF":
            with Image.open(path) as image:
                image.load()
                text = image.info.get(RECIPE_KEY) if file_format == "PNG" else _jpeg_recipe(image)
        else:
            with tifffile.TiffFile(path) as tiff:
                page = tiff.pages.first
                _check_segments_complete(page)
                page.asarray()
                text = page.description or None
    except UnsupportedFormatError:
        raise
    except Exception as error:  # any decoder failure means: not a finished print
        raise UnreadableImageError(f"cannot read {path}: {error}") from error
    return text if isinstance(text, str) else None


def _jpeg_recipe(image: Image.Image) -> str | None:
    comment = image.info.get("comment", b"")
    if isinstance(comment, bytes) and comment.startswith(_JPEG_RECIPE_PREFIX):
        return comment[len(_JPEG_RECIPE_PREFIX):].decode("utf-8")
    return None


def _check_segments_complete(page: Any) -> None:
    for offset, count in zip(page.dataoffsets, page.databytecounts):
        if count == 0 or offset + count > page.parent.filehandle.size:
            raise ValueError("image data is incomplete")


def _write_png(stream: IO[bytes], codes: npt.NDArray[Any], about: _About) -> None:
    chunks = [png.profile_chunk("velkor", about.profile), png.text_chunk("Software", software_name())]
    if about.recipe is not None:
        chunks.append(png.text_chunk(RECIPE_KEY, about.recipe))
    if about.metadata.dpi is not None:
        chunks.append(png.resolution_chunk(about.metadata.dpi))
    if about.metadata:
        chunks.append((b"eXIf", exif_for_print(about.metadata, keep_gps=about.keep_gps).tobytes()[6:]))
    png.write_png(stream, codes, chunks)


def _write_jpeg(stream: IO[bytes], codes: npt.NDArray[Any], about: _About, quality: int) -> None:
    options: dict[str, Any] = {"quality": quality, "icc_profile": about.profile}
    if about.recipe is not None:
        options["comment"] = _JPEG_RECIPE_PREFIX + about.recipe.encode("utf-8")
    if about.metadata.dpi is not None:
        options["dpi"] = about.metadata.dpi
    # A JPEG has no other place for the software's name than the EXIF block.
    options["exif"] = exif_for_print(about.metadata, keep_gps=about.keep_gps)
    options["exif"][305] = software_name()
    Image.fromarray(codes).save(stream, format="JPEG", **options)


def _write_tiff(stream: IO[bytes], codes: npt.NDArray[Any], about: _About, compression: str) -> None:
    codec, arguments = TIFF_CODECS[compression]
    exif = tiff_exif(about.metadata, keep_gps=about.keep_gps)
    pixels: dict[str, Any] = {"data": codes, "maxworkers": available_threads()}
    if compression == "deflate":  # our own strips: ISA-L on every processor, twice as fast as tifffile's zlib
        pixels = {"data": deflate_strips(codes), "shape": codes.shape, "dtype": codes.dtype,
                  "rowsperstrip": rows_per_strip(codes)}
    tifffile.imwrite(
        stream,
        **pixels,
        photometric="minisblack" if codes.ndim == 2 else "rgb",
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
