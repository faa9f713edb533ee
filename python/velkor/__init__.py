"""velkor: black-and-white conversion of photographs.

A small front end over the `velkor_core` kernels::

    import velkor

    image = velkor.read_image("photo.jpg")           # linear-light RGB, float32
    look = velkor.PRESETS["red-filter-landscape"]    # or velkor.Pipeline(...)
    grey = look.run(image.linear)                    # display-referred (H, W, 1)
    velkor.write_image("photo_bw.tif", grey, bit_depth=16, recipe=look.to_toml())
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velkor.errors import (
        ColourProfileWarning,
        ImageTooLargeError,
        InputNotFoundError,
        InputWarning,
        OutputExistsError,
        OutputWriteError,
        RecipeError,
        UnreadableImageError,
        UnsupportedFormatError,
        VelkorError,
    )
    from velkor.io.metadata import PhotoMetadata
    from velkor.io.reading import SourceImage, read_image
    from velkor.io.recipe_files import load_recipe, save_recipe
    from velkor.io.resize import fitted_size, resize_linear
    from velkor.io.sample import sample_path
    from velkor.io.transfer import srgb_to_linear
    from velkor.io.writing import write_image
    from velkor.model.pipeline import Pipeline
    from velkor.model.presets import PRESETS, preset
    from velkor.run.export import ExportOptions, export_print

# Each public name and the module that defines it: imported when first used,
# so that `velkor --help` or a recipe check does not load every codec.
_HOMES = {
    "ColourProfileWarning": "velkor.errors",
    "ImageTooLargeError": "velkor.errors",
    "InputNotFoundError": "velkor.errors",
    "InputWarning": "velkor.errors",
    "OutputExistsError": "velkor.errors",
    "OutputWriteError": "velkor.errors",
    "RecipeError": "velkor.errors",
    "UnreadableImageError": "velkor.errors",
    "UnsupportedFormatError": "velkor.errors",
    "VelkorError": "velkor.errors",
    "ExportOptions": "velkor.run.export",
    "export_print": "velkor.run.export",
    "PhotoMetadata": "velkor.io.metadata",
    "Pipeline": "velkor.model.pipeline",
    "load_recipe": "velkor.io.recipe_files",
    "save_recipe": "velkor.io.recipe_files",
    "PRESETS": "velkor.model.presets",
    "preset": "velkor.model.presets",
    "SourceImage": "velkor.io.reading",
    "read_image": "velkor.io.reading",
    "fitted_size": "velkor.io.resize",
    "resize_linear": "velkor.io.resize",
    "sample_path": "velkor.io.sample",
    "srgb_to_linear": "velkor.io.transfer",
    "write_image": "velkor.io.writing",
}

__all__ = sorted(_HOMES)


def __getattr__(name: str) -> Any:
    try:
        home = _HOMES[name]
    except KeyError:
        raise AttributeError(f"module 'velkor' has no attribute {name!r}") from None
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_HOMES))
