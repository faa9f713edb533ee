"""Recipes as the page holds them: the parsed TOML document of a recipe file."""

from __future__ import annotations

import tomllib
from typing import Any

from velkor.model import recipe
from velkor.errors import RecipeError
from velkor.model.pipeline import Pipeline


def pipeline_of(document: object) -> Pipeline:
    """The recipe a document describes, validated by the recipe itself; raises :class:`RecipeError`."""
    if not isinstance(document, dict):
        raise RecipeError("bad recipe: expected a table of recipe values")
    try:
        return Pipeline(**recipe.from_mapping(document))
    except TypeError as error:  # a value of a kind no field takes (a list where a number goes...)
        raise RecipeError(f"bad recipe value: {error}") from error


def document_of(pipeline: Pipeline) -> dict[str, Any]:
    """The document of a recipe, exactly as its saved file reads back."""
    return tomllib.loads(pipeline.to_toml())
