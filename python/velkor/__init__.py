"""velkor: black-and-white conversion of photographs.

A small front end over the `velkor_core` kernels::

    import velkor

    image = velkor.read_image("photo.jpg")           # linear-light RGB, float32
    look = velkor.PRESETS["red-filter-landscape"]    # or velkor.Pipeline(...)
    grey = look.run(image.linear)                    # display-referred (H, W, 1)
    velkor.write_image("photo_bw.tif", grey, bit_depth=16, recipe=look.to_toml())
"""

from velkor.errors import (
    ColourProfileWarning,
    InputNotFoundError,
    InputWarning,
    OutputExistsError,
    OutputWriteError,
    RecipeError,
    UnreadableImageError,
    UnsupportedFormatError,
    VelkorError,
)
from velkor.export import ExportOptions, export_print
from velkor.metadata import PhotoMetadata
from velkor.pipeline import Pipeline, load_recipe
from velkor.presets import PRESETS, preset
from velkor.reading import SourceImage, read_image
from velkor.resize import fitted_size, resize_linear
from velkor.sample import sample_path
from velkor.transfer import srgb_to_linear
from velkor.writing import write_image

__all__ = [
    "PRESETS",
    "ColourProfileWarning",
    "ExportOptions",
    "InputNotFoundError",
    "InputWarning",
    "OutputExistsError",
    "OutputWriteError",
    "PhotoMetadata",
    "Pipeline",
    "RecipeError",
    "SourceImage",
    "UnreadableImageError",
    "UnsupportedFormatError",
    "VelkorError",
    "export_print",
    "fitted_size",
    "load_recipe",
    "preset",
    "read_image",
    "resize_linear",
    "sample_path",
    "srgb_to_linear",
    "write_image",
]
