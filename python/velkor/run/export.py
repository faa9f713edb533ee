"""One photograph to one print: size, recipe, file format and metadata together."""

from __future__ import annotations

import dataclasses
from pathlib import Path

from velkor.io.reading import SourceImage
from velkor.io.resize import fitted_size, resize_linear
from velkor.io.writing import output_format, write_image
from velkor.model.output import check_output_settings
from velkor.model.pipeline import Pipeline


@dataclasses.dataclass(frozen=True, kw_only=True)
class ExportOptions:
    """How a print is sized and written; none of it is part of the look.

    Like darktable's export settings, these stay out of the recipe: the same
    look makes a full-size TIFF and a web JPEG.
    """

    long_edge: int | None = None
    width: int | None = None
    height: int | None = None
    quality: int = 92
    compression: str = "deflate"
    strip_metadata: bool = False
    keep_gps: bool = False

    def __post_init__(self) -> None:
        fitted_size(1, 1, long_edge=self.long_edge, max_width=self.width, max_height=self.height)
        check_output_settings(quality=self.quality, compression=self.compression)

    def size_of(self, height: int, width: int) -> tuple[int, int]:
        return fitted_size(height, width, long_edge=self.long_edge, max_width=self.width, max_height=self.height)


def export_print(
    image: SourceImage, target: str | Path, pipeline: Pipeline, options: ExportOptions, *,
    overwrite: bool = False, recipe: str | None = None,
) -> int:
    """Make and write the print of ``image``; returns the bit depth written."""
    linear = resize_linear(image.linear, *options.size_of(*image.linear.shape[:2]))
    display = pipeline.run(linear)
    write_image(
        target, display, recipe=pipeline if recipe is None else recipe, overwrite=overwrite,
        quality=options.quality, compression=options.compression,
        metadata=None if options.strip_metadata else image.metadata, keep_gps=options.keep_gps,
    )
    return 8 if output_format(Path(target)) == "JPEG" else pipeline.bit_depth
