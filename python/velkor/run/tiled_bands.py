"""The bands of a tiled print: full-width runs of tile rows, each finished from its display rows and their context.

A band's print depends only on the display rows from ``reach`` above it to
``reach`` below it and, where the recipe has clarity, on a few rows of
running sums carried from the band above, so the same band comes out of
the local stream (which decodes each stored segment once and keeps the rows
two bands share) and out of Dask workers (which read just the rows a band
needs), and every band is the whole print's.  Within a band, clarity and
the codes are made a strip of columns at a time, each strip continuing the
running sums of the one to its left, so that the widest print takes no
more memory for them than a narrow one.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
from collections.abc import Iterable, Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import tifffile

from velkor._types import FloatImage
from velkor.io.quantise import quantise
from velkor.io.tiff_deflate import deflate_tiles
from velkor.model.looks import clarity_piece
from velkor.model.pipeline import Pipeline
from velkor.run.tiled_read import TiffRows

TILE = 256
# Pixels of a band (at least one row of tiles): its display rows, log-odds
# and clarity's result stay about a hundred megabytes however large the
# image. Twice as many saved no time at 25 megapixels and took 70 MB more.
BAND_PIXELS = 4 << 20
# Pixels of the linear RGB (12 bytes each) made at a time on the way to display
# rows: a quarter megapixel took 50 MB less than one at 25 megapixels, in the same time.
_DECODE_PIXELS = 1 << 18
# Pixels of a strip of a band with clarity: its log-odds, clarity's result
# and its codes (about 12 bytes a pixel) are made a strip at a time.
STRIP_PIXELS = 1 << 20
# The guided filter is run again on the context rows of each band and the
# context columns of each strip; a band or strip at least this many times
# its reach bounds that repeated work.
_REACH_MULTIPLE = 4

# A band's result: its tiles deflated (file order), or its codes for a codec tifffile applies itself.
BandPrint = list[bytes] | npt.NDArray[Any]


@dataclasses.dataclass(frozen=True)
class Layout:
    """How a print of ``shape`` is cut into bands of ``rows`` rows."""

    shape: tuple[int, int]
    rows: int
    columns: int
    """Columns printed at a time: a strip of a band (whole tiles, but for the last)."""

    @property
    def count(self) -> int:
        return -(-self.shape[0] // self.rows)

    def band(self, index: int) -> tuple[int, int]:
        top = index * self.rows
        return top, min(self.shape[0], top + self.rows)


def layout_for(shape: tuple[int, int], segment: tuple[int, int], reach: int, most_pixels: int) -> Layout:
    """Bands of whole tile rows and segments: about BAND_PIXELS, long beside the reach, at most ``most_pixels``.

    The least a band can be is one run of tile rows that ends on a segment's
    end. A band is printed a few tiles' columns at a time (a tile row tall
    without reach, the band's height with it), so that the widest image
    takes no more memory than a narrow one.
    """
    step = math.lcm(segment[0], TILE)
    width = max(1, shape[1])
    rows = min(max(BAND_PIXELS // width, _REACH_MULTIPLE * reach), most_pixels // width)
    rows = min(max(step, rows // step * step), max(step, shape[0]))
    across = math.lcm(segment[1], TILE) if segment[1] < shape[1] else width
    if reach:
        least = -(-_REACH_MULTIPLE * reach // TILE) * TILE
        columns = max(least, min(STRIP_PIXELS, most_pixels) // rows // TILE * TILE)
    else:
        columns = max(across, min(BAND_PIXELS, most_pixels) // step // across * across)
    return Layout(shape, rows, min(columns, width))


def display_of(reader: TiffRows, pipeline: Pipeline, top: int, bottom: int, out: FloatImage | None = None,
               left: int = 0, right: int | None = None) -> FloatImage:
    """Display tones before clarity of rows ``top`` to ``bottom``, columns ``left`` to ``right``, into ``out`` if given.

    A few segments' columns at a time: the stored samples and their linear
    RGB (6 and 12 bytes a pixel) never exist for a whole band.
    """
    plain = dataclasses.replace(pipeline, strength=0.0)
    right = reader.shape[1] if right is None else right
    display = np.empty((bottom - top, right - left, 1), np.float32) if out is None else out
    width = reader.segment[1]
    step = max(width, _DECODE_PIXELS // max(1, bottom - top) // width * width)
    for x in range(left, right, step):
        end = min(right, x + step)
        samples = reader.samples_of(top, bottom, x, end)
        display[:, x - left:end - left] = plain.tone(plain.to_grey(reader.linear(samples)))
    return display


def pointwise_band(reader: TiffRows, pipeline: Pipeline, layout: Layout, index: int, deflate: bool) -> BandPrint:
    """A band of a recipe that looks at no neighbour, a row of tiles and a few columns at a time."""
    top, bottom = layout.band(index)
    tiles: list[bytes] = []
    dtype = np.uint8 if pipeline.bit_depth == 8 else np.uint16
    grey = pipeline.channels == 1
    codes = np.empty((0, 0) if deflate else (bottom - top, layout.shape[1]) + (() if grey else (3,)), dtype)
    for y in range(top, bottom, TILE):
        end = min(bottom, y + TILE)
        for x in range(0, layout.shape[1], layout.columns):
            right = min(layout.shape[1], x + layout.columns)
            piece = _codes(pipeline, display_of(reader, pipeline, y, end, left=x, right=right), y, x, layout.shape)
            if deflate:
                tiles.extend(deflate_tiles(piece, TILE))
            else:
                codes[y - top:end - top, x:right] = piece
    return tiles if deflate else codes


class ClarityBand:
    """A band's display tones after clarity, a strip of columns at a time, and what the band below continues from.

    Clarity's running sums go on from ``carried`` (the band above's) and
    from strip to strip, so the band is the very pixels of the whole print,
    not a print with seams.
    """

    def __init__(self, context: FloatImage, pipeline: Pipeline, layout: Layout, index: int, carried: bytes) -> None:
        self.context, self.pipeline, self.layout, self.index, self.carried = context, pipeline, layout, index, carried
        self.carry = b""

    def __iter__(self) -> Iterator[tuple[int, FloatImage]]:
        """(first column, display tones) of each strip, left to right; ``carry`` is set once the last is made."""
        pipeline, (height, width) = self.pipeline, self.layout.shape
        top, bottom = self.layout.band(self.index)
        strength, reach = pipeline.strength * pipeline.amount, pipeline.reach
        above = top - max(0, top - reach)
        if strength == 0.0:
            yield 0, self.context[above:above + bottom - top]
            return
        below, left = np.zeros((4, width)), b""
        for first in range(0, width, self.layout.columns):
            end = min(width, first + self.layout.columns)
            context = self.context[:, max(0, first - reach):end + reach]
            detailed, carry, left = clarity_piece(
                context, pipeline.radius, pipeline.eps, strength, rows=(height, top, bottom),
                columns=(width, first, end), carried=self.carried, carried_left=left)
            below[:, first:end] = np.frombuffer(carry).reshape(4, end - first)
            yield first, detailed
        self.carry = below.tobytes()


def clarity_of_band(context: FloatImage, pipeline: Pipeline, layout: Layout, index: int,
                    carried: bytes) -> tuple[FloatImage, bytes]:
    """A band's display tones after clarity, whole, and what the band below continues from: a Dask worker's task."""
    band = ClarityBand(context, pipeline, layout, index, carried)
    strips = [detailed for _, detailed in band]
    return (strips[0] if len(strips) == 1 else np.concatenate(strips, axis=1)), band.carry


def print_of(strips: Iterable[tuple[int, FloatImage]], pipeline: Pipeline, layout: Layout, index: int,
             deflate: bool) -> BandPrint:
    """The print of a band from its display tones after clarity, given a strip of columns at a time.

    Tiles come out in the file's order, a row of tiles across every strip
    before the next row.
    """
    top, bottom = layout.band(index)
    tile_rows: list[list[bytes]] = [[] for _ in range(-(-(bottom - top) // TILE))] if deflate else []
    codes: npt.NDArray[Any] | None = None
    for first, detailed in strips:
        piece = _codes(pipeline, detailed, top, first, layout.shape)
        if deflate:
            tiles = list(deflate_tiles(piece, TILE))
            across = len(tiles) // len(tile_rows)
            for row, tile_row in enumerate(tile_rows):
                tile_row.extend(tiles[row * across:(row + 1) * across])
            continue
        if codes is None:
            codes = np.empty((bottom - top, layout.shape[1]) + piece.shape[2:], piece.dtype)
        codes[:, first:first + piece.shape[1]] = piece
    if deflate:
        return [tile for tile_row in tile_rows for tile in tile_row]
    assert codes is not None  # a band has at least one strip
    return codes


def _codes(pipeline: Pipeline, display: FloatImage, top: int, left: int, shape: tuple[int, int]) -> npt.NDArray[Any]:
    """The codes of the piece of display tones at (top, left): grain and toning, then quantised; (h, w) when grey."""
    printed = pipeline.finish(display, top, left, shape)
    codes = quantise(printed, pipeline.bit_depth, dither=pipeline.dither, origin=(top, left), print_shape=shape)
    return codes if pipeline.channels == 3 else codes[:, :, 0]


def local_bands(reader: TiffRows, pipeline: Pipeline, layout: Layout, wanted: set[int], deflate: bool,
                carried: Mapping[int, bytes]) -> Iterator[tuple[int, BandPrint, bytes]]:
    """The ``wanted`` bands in order, from one pass down the file: each segment decoded once.

    The display rows two bands share (the reach either side of a boundary)
    are kept from one band to the next, not made again, in one buffer that
    lives through the whole pass. ``carried`` holds what a band continues
    from where the band above it was printed by an earlier run.
    """
    height, reach, segment = layout.shape[0], pipeline.reach, reader.segment[0]
    if not reach:
        for index in sorted(wanted):
            yield index, pointwise_band(reader, pipeline, layout, index, deflate), b""
        return
    # A band, its reach either side, and the rest of the segment its reach ends in.
    held = np.empty((min(height, layout.rows + 2 * reach + (segment - 1 if reach else 0)), layout.shape[1], 1),
                    np.float32)
    held_top, held_rows, carry = 0, 0, b""
    for index in sorted(wanted):
        top, bottom = layout.band(index)
        first, last = max(0, top - reach), min(height, bottom + reach)
        kept = held_top + held_rows - first if held_top <= first <= held_top + held_rows else 0
        # (A gap, where an earlier run finished the bands before this one, keeps nothing.)
        held[:kept] = held[first - held_top:first - held_top + kept].copy()
        held_top, held_rows = first, kept
        if held_top + held_rows < last:
            start, end = held_top + held_rows, min(height, -(-last // segment) * segment)
            display_of(reader, pipeline, start, end, out=held[held_rows:held_rows + end - start])
            held_rows += end - start
        detailed = ClarityBand(held[:last - first], pipeline, layout, index, carried.get(index, carry))
        band = print_of(detailed, pipeline, layout, index, deflate)
        carry = detailed.carry
        yield index, band, carry
        del band, detailed


# How a worker reads the source as the local reader does: its path, rendering intent and paper.
Source = tuple[Path, str, tuple[float, float, float]]


def source_of(reader: TiffRows) -> Source:
    return reader.path, reader.intent, reader.background


def context_from_file(source: Source, pipeline: Pipeline, layout: Layout, index: int) -> FloatImage:
    """A band's display rows and their reach either side, reading only those: a Dask worker's task."""
    top, bottom = layout.band(index)
    first, last = max(0, top - pipeline.reach), min(layout.shape[0], bottom + pipeline.reach)
    with _rows_of(source) as rows:
        return display_of(rows, pipeline, first, last)


def pointwise_from_file(source: Source, pipeline: Pipeline, layout: Layout, index: int, deflate: bool) -> BandPrint:
    """A band of a recipe that looks at no neighbour, reading only its rows: a Dask worker's task."""
    with _rows_of(source) as rows:
        return pointwise_band(rows, pipeline, layout, index, deflate)


@contextlib.contextmanager
def _rows_of(source: Source) -> Iterator[TiffRows]:
    path, intent, background = source
    with tifffile.TiffFile(path) as tiff:
        yield TiffRows(tiff, path, intent=intent, background=background)
