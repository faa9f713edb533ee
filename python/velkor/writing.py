"""Writing display-referred grey images as 8- or 16-bit PNG or TIFF."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt
import tifffile
from PIL import Image, PngImagePlugin

from velkor._types import FloatImage
from velkor.errors import OutputExistsError, OutputWriteError, UnreadableImageError, UnsupportedFormatError

OUTPUT_SUFFIXES = {".png": "PNG", ".tif": "TIFF", ".tiff": "TIFF"}
RECIPE_KEY = "velkor:recipe"

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
    """'PNG' or 'TIFF' for an output path; raises :class:`UnsupportedFormatError`."""
    try:
        return OUTPUT_SUFFIXES[path.suffix.lower()]
    except KeyError:
        raise UnsupportedFormatError(
            f"unsupported output format '{path.suffix or path.name}': {path} "
            "(velkor writes .png, .tif and .tiff)"
        ) from None


def quantise(display: FloatImage, bit_depth: int, *, dither: bool = False) -> npt.NDArray[Any]:
    """Clamp display values to [0, 1] and round them to 8- or 16-bit codes.

    With ``dither`` (8-bit only) triangular noise of one code step is added
    before rounding, which turns banding in smooth gradients into fine grain.
    NaN becomes 0.
    """
    max_code = (1 << bit_depth) - 1
    scaled = np.clip(np.nan_to_num(display, nan=0.0), 0.0, 1.0) * np.float32(max_code)
    if dither and bit_depth == 8:
        rng = np.random.default_rng(_DITHER_SEED)
        noise = rng.random(scaled.shape, dtype=np.float32) - rng.random(scaled.shape, dtype=np.float32)
        scaled = np.clip(scaled + noise, 0.0, float(max_code))
    dtype = np.uint8 if bit_depth == 8 else np.uint16
    codes: npt.NDArray[Any] = np.rint(scaled).astype(dtype)
    return codes


def write_image(
    path: str | Path,
    display: FloatImage,
    *,
    bit_depth: int = 8,
    dither: bool = False,
    recipe: str | None = None,
    overwrite: bool = False,
) -> Path:
    """Write a display-referred image (H, W, 1) or (H, W, 3) to PNG or TIFF.

    Values are clamped to [0, 1] and quantised to ``bit_depth`` bits. The
    file records the software and, when given, the recipe text. An existing
    file is left alone (:class:`OutputExistsError`) unless ``overwrite``.
    """
    target = Path(path)
    file_format = output_format(target)
    check_bit_depth(bit_depth, dither)
    codes = quantise(display, bit_depth, dither=dither)
    if codes.ndim == 3 and codes.shape[2] == 1:
        codes = codes[:, :, 0]
    with open_for_writing(target, overwrite) as stream:
        if file_format == "PNG":
            _write_png(stream, codes, recipe)
        else:
            _write_tiff(stream, codes, recipe)
    return target


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
                stream = open(temporary, "xb")  # noqa: SIM115 - closed below
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
        if output_format(path) == "PNG":
            with Image.open(path) as image:
                image.load()
                text = image.info.get(RECIPE_KEY)
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


def _check_segments_complete(page: Any) -> None:
    for offset, count in zip(page.dataoffsets, page.databytecounts):
        if count == 0 or offset + count > page.parent.filehandle.size:
            raise ValueError("image data is incomplete")


def _write_png(stream: IO[bytes], codes: npt.NDArray[Any], recipe: str | None) -> None:
    info = PngImagePlugin.PngInfo()
    info.add_text("Software", software_name())
    if recipe is not None:
        info.add_itxt(RECIPE_KEY, recipe)
    Image.fromarray(codes).save(stream, format="PNG", pnginfo=info)


def _write_tiff(stream: IO[bytes], codes: npt.NDArray[Any], recipe: str | None) -> None:
    photometric = "minisblack" if codes.ndim == 2 else "rgb"
    tifffile.imwrite(
        stream,
        codes,
        photometric=photometric,
        software=software_name(),
        description=None if recipe is None else ascii_toml(recipe),
        metadata=None,
    )


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
