"""Writing display-referred grey images as 8- or 16-bit PNG or TIFF."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt
import tifffile
from PIL import Image, PngImagePlugin

from velkor._types import FloatImage
from velkor.errors import OutputExistsError, OutputWriteError, UnsupportedFormatError

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
    codes = quantise(display, bit_depth, dither=dither)
    if codes.ndim == 3 and codes.shape[2] == 1:
        codes = codes[:, :, 0]
    with open_for_writing(target, overwrite) as stream:
        if file_format == "PNG":
            _write_png(stream, codes, recipe)
        else:
            _write_tiff(stream, codes, recipe)
    return target


@contextlib.contextmanager
def open_for_writing(path: Path, overwrite: bool) -> Iterator[IO[bytes]]:
    # "x" creates the file only if it does not exist, atomically, so two
    # runs of a batch never both decide that a file is free.
    try:
        stream = path.open("wb" if overwrite else "xb")
    except FileExistsError:
        raise OutputExistsError(
            f"output exists: {path} (use --overwrite to replace it)"
        ) from None
    except OSError as error:
        raise OutputWriteError(f"cannot write {path}: {error.strerror or error}") from error
    try:
        with stream:
            yield stream
    except BaseException as error:
        path.unlink(missing_ok=True)  # never leave half a file behind
        if isinstance(error, OSError) and not isinstance(error, OutputWriteError):
            raise OutputWriteError(f"cannot write {path}: {error.strerror or error}") from error
        raise


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
