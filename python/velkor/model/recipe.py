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

    [tone]                   # print zones: 0 paper black, X paper white
    zone_scale = "print"
    black = 0.0              # input tone that prints paper black
    white = 1.0              # input tone that prints paper white

    [toning]
    kind = "split"           # sepia, selenium, gold or split
    strength = 0.6
    shadows = 30.0           # split toning's hues, in degrees
    highlights = 210.0
    balance = 0.0

    [grain]
    amount = 0.5
    size = 1.0               # clump size, relative to the print's long edge
    seed = 0

with an optional top-level ``amount`` (how much of the look: 0 to 2).

Every key is optional; a missing one keeps the default of :class:`Pipeline`,
except ``tone.zone_scale``: a recipe without it was written before zones
were print values, and keeps meaning scene zones ("scene"), so that it
prints exactly as it always did. Tables at their defaults (no toning, no
grain, amount 1) are not written, so such a recipe's text is unchanged too.
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
    "amount": ("", "amount"),
    "zone_scale": ("tone", "zone_scale"),
    "black": ("tone", "black"),
    "white": ("tone", "white"),
    "toning": ("toning", "kind"),
    "toning_strength": ("toning", "strength"),
    "split_shadows": ("toning", "shadows"),
    "split_highlights": ("toning", "highlights"),
    "split_balance": ("toning", "balance"),
    "grain": ("grain", "amount"),
    "grain_size": ("grain", "size"),
    "grain_seed": ("grain", "seed"),
}
_TABLES = ("conversion", "zones", "local_contrast", "output", "tone", "toning", "grain")
# Tables that recipes written before them lack: left out while all their fields are at the defaults.
_OPTIONAL_TABLES = ("tone", "toning", "grain")
# What a recipe without [tone] zone_scale means: the scale of the recipes written before it.
LEGACY_ZONE_SCALE = "scene"


def to_toml(fields: Mapping[str, Any], defaults: Mapping[str, Any]) -> str:
    """Render a pipeline's fields as TOML text; ``defaults`` are the fields' default values."""
    document: dict[str, Any] = {"name": fields["name"]}
    if fields["description"]:
        document["description"] = fields["description"]
    if fields["amount"] != defaults["amount"]:
        document["amount"] = fields["amount"]
    for table in _TABLES:
        document[table] = {}
    for field, (table, key) in _LAYOUT.items():
        value = fields[field]
        if table and value is not None:
            document[table][key] = list(value) if isinstance(value, tuple) else value
    document["zones"] = {str(zone): stops for zone, stops in fields["zones"].items()}
    # Without [tone], a recipe means the scene scale; that is what leaving it out must keep.
    unchanged = {**defaults, "zone_scale": LEGACY_ZONE_SCALE}
    for table in _OPTIONAL_TABLES:
        if all(fields[field] == unchanged[field] for field, (t, _) in _LAYOUT.items() if t == table):
            del document[table]
    return tomli_w.dumps(document)


def from_toml(text: str) -> dict[str, Any]:
    """Parse TOML text into pipeline fields, not yet validated."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise RecipeError(f"recipe is not valid TOML: {error}") from error
    except ValueError as error:  # an integer past Python's limit on digits
        raise RecipeError(f"recipe is not usable TOML: {error}") from None
    except RecursionError:
        raise RecipeError("recipe is not usable TOML: arrays or tables nested too deeply") from None
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
                fields[_field_for(key, inner)] = _not_a_table(f"{key}.{inner}", inner_value)
        elif key in ("name", "description", "amount"):
            fields[key] = _not_a_table(key, value)
        else:
            raise RecipeError(f"unknown recipe key: {key}")
    fields.setdefault("zone_scale", LEGACY_ZONE_SCALE)
    if isinstance(fields.get("mixer"), list):
        fields["mixer"] = tuple(fields["mixer"])
    return fields


def _not_a_table(key: str, value: Any) -> Any:
    # Every value but [zones] is a number, a text or a list; a table there,
    # nested perhaps thousands deep, has nothing to say in a message.
    if isinstance(value, Mapping):
        raise RecipeError(f"bad recipe value: {key} must be a value, not a table")
    return value


def _field_for(table: str, key: str) -> str:
    return next(field for field, place in _LAYOUT.items() if place == (table, key))
