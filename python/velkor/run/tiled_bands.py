"""The bands of a tiled print: full-width runs of tile rows, each finished from its display rows and their context.

A band's print depends only on the display rows from ``reach`` above it to
``reach`` below it, so the same band comes out of the local stream (which
decodes each stored segment once and keeps the rows two bands share) and
out of a Dask worker (which reads just the rows its band needs).
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import tifffile

from velkor._types import FloatImage
from velkor.io.quantise import quantise
from velkor.io.tiff_deflate import deflate_tiles
from velkor.model.looks import clarity
from velkor.model.pipeline import Pipeline
from velkor.run.tiled_read import TiffRows

TILE = 256
# Pixels of a band: its display rows, log-odds and clarity's result stay a
# few hundred megabytes however large the image.
BAND_PIXELS = 8 << 20
# Pixels of the linear RGB (12 bytes each) made at a time on the way to display rows.
_DECODE_PIXELS = 1 << 20
# The guided filter is run again on the context rows of each band; a band at
# least this many times its reach keeps that repeated work to a few per cent.
_REACH_MULTIPLE = 16

# A band's result: its tiles deflated (file order), or its codes for a codec tifffile applies itself.
BandPrint = list[bytes] | npt.NDArray[Any]


@dataclasses.dataclass(frozen=True)
class Layout:
    """How a print of ``shape`` is cut into bands of ``rows`` rows."""

    shape: tuple[int, int]
    rows: int

    @property
    def count(self) -> int:
        return -(-self.shape[0] // self.rows)

    def band(self, index: int) -> tuple[int, int]:
        top = index * self.rows
        return top, min(self.shape[0], top + self.rows)


def layout_for(shape: tuple[int, int], segment_rows: int, reach: int, most_pixels: int) -> Layout:
    """Bands of whole tile rows and whole stored segments: about BAND_PIXELS, long beside the reach, at most ``most_pixels``.

    The least a band can be is one run of tile rows that ends on a segment's end.
    """
    step = math.lcm(segment_rows, TILE)
    width = max(1, shape[1])
    rows = min(max(BAND_PIXELS // width, _REACH_MULTIPLE * reach), most_pixels // width)
    return Layout(shape, min(max(step, rows // step * step), max(step, shape[0])))


def display_of(reader: TiffRows, pipeline: Pipeline, top: int, bottom: int) -> FloatImage:
    """Display tones before clarity of rows ``top`` to ``bottom`` (rows, W, 1), a few rows of linear RGB at a time."""
    plain = dataclasses.replace(pipeline, strength=0.0)
    samples = reader.samples_of(top, bottom)
    display = np.empty((bottom - top, reader.shape[1], 1), np.float32)
    step = max(1, _DECODE_PIXELS // max(1, reader.shape[1]))
    for first in range(0, bottom - top, step):
        piece = samples[first:first + step]
        piece = piece[:, :, :1].repeat(3, axis=2) if reader.samples < 3 else piece[:, :, :3]
        display[first:first + step] = plain.tone(plain.to_grey(reader.decode(piece)))
    return display


def finish(context: FloatImage, offset: int, rows: int, pipeline: Pipeline, top: int,
           shape: tuple[int, int], deflate: bool) -> BandPrint:
    """The print of a band from its display rows with context (the band starts ``offset`` rows in)."""
    if pipeline.strength != 0.0:
        context = clarity(context, pipeline.radius, pipeline.eps, pipeline.strength)
    codes = quantise(context[offset:offset + rows], pipeline.bit_depth, dither=pipeline.dither,
                     origin=(top, 0), print_shape=shape)[:, :, 0]
    return list(deflate_tiles(codes, TILE)) if deflate else codes


def local_bands(reader: TiffRows, pipeline: Pipeline, layout: Layout, wanted: set[int],
                deflate: bool) -> Iterator[tuple[int, BandPrint]]:
    """The ``wanted`` bands in order, from one pass down the file: each segment decoded once.

    The display rows two bands share (the reach either side of a boundary)
    are kept from one band to the next, not made again.
    """
    height, reach = layout.shape[0], pipeline.reach
    held, held_top = np.empty((0, layout.shape[1], 1), np.float32), 0
    for index in sorted(wanted):
        top, bottom = layout.band(index)
        first, last = max(0, top - reach), min(height, bottom + reach)
        start = held_top + len(held)
        if not held_top <= first <= start:  # a gap: bands finished by an earlier run are skipped
            held, held_top = held[:0], _segment_start(first, reader)
            start = held_top
        if start < last:
            end = min(height, -(-last // reader.segment[0]) * reader.segment[0])
            held = np.concatenate([held, display_of(reader, pipeline, start, end)])
        held, held_top = held[first - held_top:], first
        yield index, finish(held[first - held_top:last - held_top], top - first, bottom - top, pipeline,
                            top, layout.shape, deflate)


def _segment_start(row: int, reader: TiffRows) -> int:
    return row // reader.segment[0] * reader.segment[0]


def band_from_file(source: Path, pipeline: Pipeline, layout: Layout, index: int, deflate: bool) -> BandPrint:
    """One band, reading only the rows it needs: a Dask worker's task."""
    top, bottom = layout.band(index)
    first, last = max(0, top - pipeline.reach), min(layout.shape[0], bottom + pipeline.reach)
    with tifffile.TiffFile(source) as tiff:
        reader = TiffRows(tiff, source)
        start = _segment_start(first, reader)
        end = min(layout.shape[0], -(-last // reader.segment[0]) * reader.segment[0])
        display = display_of(reader, pipeline, start, end)
    return finish(display[first - start:last - start], top - first, bottom - top, pipeline, top, layout.shape, deflate)
