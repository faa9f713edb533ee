"""Recipes as TOML files, so that a look can be kept and reused.

The schema is flat, one table per stage::

    name = "red-filter-landscape"
    description = "..."

    [conversion]
    standard = "Bt709"
    filter = "Red25A"        # or: mixer = [0.5, 0.4, 0.1]
    exposure = 0.0           # stops, on top of the filter factor

    [zones]                  # zone = offset in stops
    2 = -0.3
    7 = 0.4

    [local_contrast]
    radius = 24
    eps = 0.01
    strength = 0.5

    [output]
    bit_depth = 16
    dither = false

Every key is optional; a missing one keeps the default of :class:`Pipeline`.
This module translates between that text and the pipeline's fields as a
plain mapping; :class:`velkor.Pipeline` builds and validates the look.
"""

from __future__ import annotations

import tomllib
from collections.abc import Mapping
from typing import Any

import tomli_w

from velkor.errors import RecipeError

# Where each Pipeline field lives in the file: (table or "" for the top level, key).
_LAYOUT: dict[str, tuple[str, str]] = {
    "name": ("", "name"),
    "description": ("", "description"),
    "standard": ("conversion", "standard"),
    "filter": ("conversion", "filter"),
    "mixer": ("conversion", "mixer"),
    "exposure": ("conversion", "exposure"),
    "radius": ("local_contrast", "radius"),
    "eps": ("local_contrast", "eps"),
    "strength": ("local_contrast", "strength"),
    "bit_depth": ("output", "bit_depth"),
    "dither": ("output", "dither"),
}
_TABLES = ("conversion", "zones", "local_contrast", "output")


def to_toml(fields: Mapping[str, Any]) -> str:
    """Render a pipeline's fields as TOML text."""
    document: dict[str, Any] = {"name": fields["name"]}
    if fields["description"]:
        document["description"] = fields["description"]
    for table in _TABLES:
        document[table] = {}
    for field, (table, key) in _LAYOUT.items():
        value = fields[field]
        if table and value is not None:
            document[table][key] = list(value) if isinstance(value, tuple) else value
    document["zones"] = {str(zone): stops for zone, stops in fields["zones"].items()}
    return tomli_w.dumps(document)


def from_toml(text: str) -> dict[str, Any]:
    """Parse TOML text into pipeline fields, not yet validated."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise RecipeError(f"recipe is not valid TOML: {error}") from error
    return from_mapping(document)


def from_mapping(document: Mapping[str, Any]) -> dict[str, Any]:
    """Pipeline fields from a parsed recipe document, refusing unknown keys."""
    fields: dict[str, Any] = {}
    known = {table: {key for t, key in _LAYOUT.values() if t == table} for table in _TABLES}
    for key, value in document.items():
        if key in _TABLES:
            if not isinstance(value, Mapping):
                raise RecipeError(f"bad recipe value: [{key}] must be a table")
            if key == "zones":
                fields["zones"] = dict(value)
                continue
            for inner, inner_value in value.items():
                if inner not in known[key]:
                    raise RecipeError(f"unknown recipe key: {key}.{inner}")
                fields[_field_for(key, inner)] = inner_value
        elif key in ("name", "description"):
            fields[key] = value
        else:
            raise RecipeError(f"unknown recipe key: {key}")
    if isinstance(fields.get("mixer"), list):
        fields["mixer"] = tuple(fields["mixer"])
    return fields


def _field_for(table: str, key: str) -> str:
    return next(field for field, place in _LAYOUT.items() if place == (table, key))
