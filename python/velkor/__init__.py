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

from velkor._version import __version__ as __version__

# Re-exported for type checkers: "X as X" marks each name public under mypy --strict.
if TYPE_CHECKING:
    from velkor.errors import ColourProfileWarning as ColourProfileWarning
    from velkor.errors import ImageTooLargeError as ImageTooLargeError
    from velkor.errors import InputNotFoundError as InputNotFoundError
    from velkor.errors import InputWarning as InputWarning
    from velkor.errors import MissingExtraError as MissingExtraError
    from velkor.errors import OutputExistsError as OutputExistsError
    from velkor.errors import OutputWriteError as OutputWriteError
    from velkor.errors import RecipeError as RecipeError
    from velkor.errors import UnreadableImageError as UnreadableImageError
    from velkor.errors import UnsupportedFormatError as UnsupportedFormatError
    from velkor.errors import VelkorError as VelkorError
    from velkor.io.metadata import PhotoMetadata as PhotoMetadata
    from velkor.io.reading import SourceImage as SourceImage
    from velkor.io.reading import read_image as read_image
    from velkor.io.recipe_files import load_recipe as load_recipe
    from velkor.io.recipe_files import save_recipe as save_recipe
    from velkor.io.resize import fitted_size as fitted_size
    from velkor.io.resize import resize_linear as resize_linear
    from velkor.io.sample import sample_path as sample_path
    from velkor.io.transfer import srgb_to_linear as srgb_to_linear
    from velkor.io.writing import write_image as write_image
    from velkor.model.pipeline import Pipeline as Pipeline
    from velkor.model.presets import PRESETS as PRESETS
    from velkor.model.presets import preset as preset
    from velkor.run.export import ExportOptions as ExportOptions
    from velkor.run.export import export_print as export_print

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
    "MissingExtraError": "velkor.errors",
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

__all__ = sorted([*_HOMES, "__version__"])


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
