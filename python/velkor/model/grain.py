"""Film grain: noise that depends only on where a pixel is in the print, never on how the print was split.

The grain is value noise: a lattice at the clump size whose values come
from a counter-based hash of (lattice point, seed), blended between lattice
points with a smooth step. Any chunk of the print is
computed from its absolute place alone, so a tiled print gets exactly the
grain of the whole one, and the same recipe always gives the same grain.

The clump size is a fraction of the print's long edge: a web export and a
full-size print show the same grain at the same viewing size. It is
strongest in the middle tones, as film grain is, and fades to nothing at
paper black and paper white, so it never clips a tone.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from velkor._types import FloatImage
from velkor.model.bands import each_band

# The clump size at grain_size 1: one two-thousandth of the long edge (3 pixels at 24 MP).
CLUMP_PER_LONG_EDGE = 1.0 / 2000.0
# Display-tone standard deviation of the grain at middle grey, at amount 1.
MIDDLE_GREY_DEVIATION = 0.02
# The standard deviation of value noise from uniform [-1, 1) lattice values blended by a smooth step (measured).
_NOISE_DEVIATION = 0.428
_BAND_VALUES = 1 << 16


def _hash(rows: npt.NDArray[np.int64], columns: npt.NDArray[np.int64], seed: int) -> FloatImage:
    """Uniform values in [-1, 1) for every (row, column) lattice point: a murmur3 finaliser over the indices."""
    with np.errstate(over="ignore"):
        key = (rows.astype(np.uint32)[:, None] * np.uint32(0x9E3779B1)) ^ (
            columns.astype(np.uint32)[None, :] * np.uint32(0x85EBCA77))
        key ^= np.uint32((seed * 0xC2B2AE3D + 0x27D4EB2F) & 0xFFFFFFFF)
        key ^= key >> np.uint32(16)
        key *= np.uint32(0x85EBCA6B)
        key ^= key >> np.uint32(13)
        key *= np.uint32(0xC2B2AE35)
        key ^= key >> np.uint32(16)
    values: FloatImage = (key >> np.uint32(8)).astype(np.float32) * np.float32(2.0**-23) - np.float32(1.0)
    return values


def _axis(start: int, count: int, spacing: float) -> tuple[npt.NDArray[np.int64], FloatImage, int]:
    """For pixels start .. start + count: their lattice cell (from the first one), its blend weight, the first cell."""
    place = (np.arange(start, start + count, dtype=np.float64) + 0.5) / spacing
    cell = np.floor(place)
    blend = (place - cell).astype(np.float32)
    first = int(cell[0]) if count else 0
    return (cell - first).astype(np.int64), blend * blend * (np.float32(3.0) - np.float32(2.0) * blend), first


def grain_noise(top: int, left: int, shape: tuple[int, int], long_edge: int, size: float, seed: int,
                scale: float = 1.0, *, out: FloatImage | None = None) -> FloatImage:
    """Grain of standard deviation about ``scale`` for the pixels of a chunk at (top, left) of a print."""
    noise = np.empty(shape, np.float32) if out is None else out
    if 0 in shape:
        return noise
    spacing = max(size * CLUMP_PER_LONG_EDGE * long_edge, 0.5)
    row_cell, row_blend, first_row = _axis(top, shape[0], spacing)
    column_cell, column_blend, first_column = _axis(left, shape[1], spacing)
    rows = np.arange(first_row, first_row + int(row_cell[-1]) + 2)
    columns = np.arange(first_column, first_column + int(column_cell[-1]) + 2)
    lattice = _hash(rows, columns, seed)
    lattice *= np.float32(scale / _NOISE_DEVIATION)
    # Blended along each row of the lattice first (few rows), then each pixel row from its two lattice rows.
    across = lattice[:, column_cell]
    across += (lattice[:, column_cell + 1] - across) * column_blend
    downward = np.diff(across, axis=0)
    for row, (cell, blend) in enumerate(zip(row_cell.tolist(), row_blend.tolist())):
        np.multiply(downward[cell], np.float32(blend), out=noise[row])
        noise[row] += across[cell]
    return noise


def add_grain(display: FloatImage, *, top: int, left: int, print_shape: tuple[int, int], amount: float,
              size: float, seed: int) -> FloatImage:
    """Grain on display tones (h, w, 1) of the chunk at (top, left) of a print of ``print_shape``; a new array.

    A tone t moves by ``4 t (1 - t)`` times the grain: fully at the middle,
    not at all at the paper's ends, and never beyond them: the grain stays
    within 2.6 of its deviation, and at the largest amount (grain 2 at
    amount 2) 4 x 0.02 x 4 x 2.6 < 1.
    """
    grained = np.empty_like(display)
    long_edge = max(print_shape)
    scale = 4.0 * MIDDLE_GREY_DEVIATION * amount

    def band(rows: slice) -> None:
        tones = display[rows, :, 0]
        if not _on_paper(tones):
            tones = np.minimum(np.maximum(tones, np.float32(0.0)), np.float32(1.0))  # as the writer would
        moved = np.multiply(tones, tones)
        np.subtract(tones, moved, out=moved)  # t (1 - t)
        moved *= grain_noise(top + rows.start, left, tones.shape, long_edge, size, seed, scale)
        np.add(moved, tones, out=grained[rows, :, 0])

    each_band(display.shape[0], max(1, _BAND_VALUES // max(1, display.shape[1])), band)
    return grained


def _on_paper(tones: FloatImage) -> bool:
    """Whether every tone lies in [0, 1] (NaN does not): a print curve's output always does."""
    return bool(tones.size == 0 or (tones.min() >= 0.0 and tones.max() <= 1.0))
