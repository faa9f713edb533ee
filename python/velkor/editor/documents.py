"""Recipes as the page holds them: the parsed TOML document of a recipe file."""

from __future__ import annotations

import tomllib
from typing import Any

from velkor.errors import RecipeError
from velkor.model import recipe
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
    """The document of a recipe, as its saved file reads back, with its zone scale spelt out.

    A saved recipe leaves the scene scale unsaid (that is what a recipe
    without it means); the page's control shows it either way.
    """
    document = tomllib.loads(pipeline.to_toml())
    document.setdefault("tone", {}).setdefault("zone_scale", pipeline.zone_scale)
    return document
