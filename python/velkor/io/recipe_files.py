"""Recipes on disk: TOML files, and the recipe recorded in a print that velkor wrote."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from PIL import Image

# tifffile is imported where a TIFF is handled: a JPEG's convert does without its import time.
from velkor.errors import InputNotFoundError, RecipeError, UnreadableImageError, UnsupportedFormatError, VelkorError
from velkor.io.atomic import write_text
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
    if source.suffix.lower() in OUTPUT_SUFFIXES:
        return _recipe_of_print(source)
    try:
        return source.read_text(encoding="utf-8")
    except FileNotFoundError as error:
        raise InputNotFoundError(f"recipe not found: {source}") from error
    except (OSError, UnicodeDecodeError) as error:
        raise RecipeError(f"cannot read recipe {source}: {error}") from error


def _recipe_of_print(source: Path) -> str:
    if not source.exists():
        raise InputNotFoundError(f"recipe not found: {source}")
    try:
        text = recorded_recipe(source)
    except VelkorError as error:
        raise RecipeError(f"cannot read the recipe of {source}: {error}") from error
    if text is None:
        raise RecipeError(f"{source} holds no velkor recipe")
    return text


def recorded_recipe(path: Path) -> str | None:
    """The recipe text that velkor stored in a PNG or TIFF it wrote, or None.

    Every pixel is decoded on the way, so a truncated or damaged file raises
    :class:`UnreadableImageError` instead of passing for a finished print.
    """
    import tifffile
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
    if isinstance(comment, bytes) and comment.startswith(JPEG_RECIPE_PREFIX):
        return comment[len(JPEG_RECIPE_PREFIX):].decode("utf-8")
    return None


def _check_segments_complete(page: Any) -> None:
    for offset, count in zip(page.dataoffsets, page.databytecounts):
        if count == 0 or offset + count > page.parent.filehandle.size:
            raise ValueError("image data is incomplete")
