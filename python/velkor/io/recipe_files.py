"""Recipes on disk: TOML files, and the recipe recorded in a print that velkor wrote."""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import Any, BinaryIO


# tifffile is imported where a TIFF is handled: a JPEG's convert does without its import time.
from velkor.errors import InputNotFoundError, RecipeError, UnreadableImageError, UnsupportedFormatError, VelkorError
from velkor.io.atomic import write_text
from velkor.io.regular_file import require_regular_file
from velkor.io.writing import JPEG_RECIPE_PREFIX, OUTPUT_SUFFIXES, RECIPE_KEY, output_format
from velkor.model.pipeline import Pipeline


def load_recipe(path: str | Path) -> Pipeline:
    """Read a recipe: a TOML file, or the recipe recorded in a PNG, TIFF or JPEG that velkor wrote.

    Raises :class:`RecipeError`.
    """
    source = Path(path)
    text = read_recipe_text(source)
    try:
        return Pipeline.from_toml(text)
    except RecipeError as error:
        raise RecipeError(f"{source}: {error}") from error


def save_recipe(pipeline: Pipeline, path: str | Path) -> Path:
    """Write the recipe to a TOML file, replacing any file of that name whole."""
    return write_text(path, pipeline.to_toml(), overwrite=True)


def read_recipe_text(source: Path) -> str:
    """The text of a recipe file, or of the recipe recorded in a print that velkor wrote."""
    require_regular_file(source, "recipe", RecipeError)
    if source.suffix.lower() in OUTPUT_SUFFIXES:
        return _recipe_of_print(source)
    try:
        return source.read_text(encoding="utf-8")
    except FileNotFoundError as error:
        raise InputNotFoundError(f"recipe not found: {source}") from error
    except (OSError, UnicodeDecodeError) as error:
        raise RecipeError(f"cannot read recipe {source}: {error}") from error


def _recipe_of_print(source: Path) -> str:
    try:
        text = recorded_recipe(source)
    except VelkorError as error:
        raise RecipeError(f"cannot read the recipe of {source}: {error}") from error
    if text is None:
        raise RecipeError(f"{source} holds no velkor recipe")
    return text


def recorded_recipe(path: Path) -> str | None:
    """The recipe text that velkor stored in a PNG, TIFF or JPEG it wrote, or None.

    Only the file's header is read, never its pixels: a 40960 x 40960 print
    costs what its tags cost. A file that is cut short (its data runs past
    its end, or its closing chunk or marker is missing) raises
    :class:`UnreadableImageError` instead of passing for a finished print.
    """
    import tifffile
    try:
        file_format = output_format(path)
        if file_format == "TIFF":
            with tifffile.TiffFile(path) as tiff:
                page = tiff.pages.first
                _check_segments_complete(page)
                text = page.description or None
        else:
            with path.open("rb") as stream:
                text = _png_recipe(stream) if file_format == "PNG" else _jpeg_recipe(stream)
                _check_ends_with(stream, _PNG_END if file_format == "PNG" else _JPEG_END)
    except UnsupportedFormatError:
        raise
    except Exception as error:  # any failure to read the header means: not a finished print
        raise UnreadableImageError(f"cannot read {path}: {error}") from error
    return text if isinstance(text, str) else None


_PNG_END = b"\0\0\0\0IEND\xaeB`\x82"
_JPEG_END = b"\xff\xd9"
# A recipe is a few kilobytes; a compressed one is not let grow past this.
_MAX_RECIPE_BYTES = 1 << 20


def _png_recipe(stream: BinaryIO) -> str | None:
    """The recipe's text chunk, among the chunks before the pixels (where velkor writes it)."""
    if stream.read(8) != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    while True:
        size, kind = struct.unpack(">I4s", _read_exactly(stream, 8))
        if kind in (b"IDAT", b"IEND"):
            return None
        data = _read_exactly(stream, size)
        if struct.unpack(">I", _read_exactly(stream, 4))[0] != zlib.crc32(kind + data):
            raise ValueError(f"damaged {kind.decode('latin-1')} chunk")
        keyword, _, rest = data.partition(b"\0")
        if kind == b"iTXt" and keyword == RECIPE_KEY.encode():
            compressed, text = rest[0], rest[2:].split(b"\0", 2)[2]
            if compressed:
                text = zlib.decompressobj().decompress(text, _MAX_RECIPE_BYTES)
            return _text(text)


def _jpeg_recipe(stream: BinaryIO) -> str | None:
    """The recipe's comment segment, among the segments before the scan."""
    if stream.read(2) != b"\xff\xd8":
        raise ValueError("not a JPEG file")
    while True:
        marker = _read_exactly(stream, 2)
        if marker[0] != 0xFF:
            raise ValueError("damaged segment")
        if marker[1] == 0xFF:  # fill bytes before a marker
            stream.seek(-1, 1)
            continue
        if marker[1] == 0xDA:  # the scan: no header segments after it
            return None
        data = _read_exactly(stream, struct.unpack(">H", _read_exactly(stream, 2))[0] - 2)
        if marker[1] == 0xFE and data.startswith(JPEG_RECIPE_PREFIX):
            return _text(data[len(JPEG_RECIPE_PREFIX):])


def _text(data: bytes) -> str | None:
    # Not UTF-8: not a recipe velkor wrote, though the file itself is whole.
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def _read_exactly(stream: BinaryIO, size: int) -> bytes:
    data = stream.read(size)
    if len(data) != size:
        raise ValueError("the file ends early")
    return data


def _check_ends_with(stream: BinaryIO, end: bytes) -> None:
    stream.seek(-len(end), 2)
    if stream.read(len(end)) != end:
        raise ValueError("the file ends early")


def _check_segments_complete(page: Any) -> None:
    for offset, count in zip(page.dataoffsets, page.databytecounts):
        if count == 0 or offset + count > page.parent.filehandle.size:
            raise ValueError("image data is incomplete")
