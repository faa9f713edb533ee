"""One photograph to one print: size, recipe, file format and metadata together."""

from __future__ import annotations

import dataclasses
from pathlib import Path
from typing import Any

import numpy as np

from velkor.io.alpha import WHITE, composite
from velkor.io.reading import SourceImage, read_image
from velkor.io.resize import fitted_size, resize_linear
from velkor.io.writing import output_format, write_image
from velkor.model.names import DEFAULT_INTENT, INTENTS
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
    intent: str = DEFAULT_INTENT
    """Rendering intent for lookup-table profiles (see :mod:`velkor.io.colour`)."""
    background: tuple[float, float, float] = WHITE
    """The paper that transparent areas show, linear RGB."""
    keep_alpha: bool = False
    """Write a transparent original's alpha channel into a PNG or TIFF print rather than lay it over the paper."""

    def read(self, source: Path, memory_limit: int | None = None) -> SourceImage:
        """``source`` decoded with these options' intent, and laid over their paper unless alpha is kept."""
        background = None if self.keep_alpha else self.background
        return read_image(source, intent=self.intent, background=background, memory_limit=memory_limit)

    def in_pieces(self) -> dict[str, Any]:
        """These options as a conversion in pieces takes them (:func:`velkor.run.tiled.convert_tiled`)."""
        return {"compression": self.compression, "strip_metadata": self.strip_metadata, "keep_gps": self.keep_gps,
                "intent": self.intent, "background": self.background, "keep_alpha": self.keep_alpha}

    def __post_init__(self) -> None:
        fitted_size(1, 1, long_edge=self.long_edge, max_width=self.width, max_height=self.height)
        check_output_settings(quality=self.quality, compression=self.compression)
        if self.intent not in INTENTS:
            raise ValueError(f"intent must be one of {', '.join(INTENTS)}, not {self.intent!r}")

    def size_of(self, height: int, width: int) -> tuple[int, int]:
        return fitted_size(height, width, long_edge=self.long_edge, max_width=self.width, max_height=self.height)


def export_print(
    image: SourceImage, target: str | Path, pipeline: Pipeline, options: ExportOptions, *,
    overwrite: bool = False, recipe: str | None = None,
) -> int:
    """Make and write the print of ``image``; returns the bit depth written.

    An alpha channel the image kept goes into the print, or, in a JPEG,
    which has none, is laid over the options' paper.
    """
    size = options.size_of(*image.linear.shape[:2])
    linear = resize_linear(image.linear, *size)
    alpha = None if image.alpha is None else resize_linear(image.alpha, *size)
    if alpha is not None and output_format(Path(target)) == "JPEG":
        linear, alpha = composite(np.array(linear), alpha, options.background), None  # never the source's own
    display = pipeline.run(linear)
    write_image(
        target, display, recipe=pipeline if recipe is None else recipe, overwrite=overwrite,
        quality=options.quality, compression=options.compression,
        metadata=None if options.strip_metadata else image.metadata, keep_gps=options.keep_gps, alpha=alpha,
    )
    return 8 if output_format(Path(target)) == "JPEG" else pipeline.bit_depth
