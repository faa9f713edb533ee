"""Display values to 8- or 16-bit codes, with dither drawn by the pixel's place in the whole print."""

from __future__ import annotations

import math
import threading
from typing import Any

import numpy as np
import numpy.typing as npt

from velkor._types import FloatImage
from velkor.model.bands import each_band

# Dither noise is seeded so that the same image and recipe always give the
# same file: reproducible output matters more than noise that differs per run.
_DITHER_SEED = 0x5EED


def quantise(
    display: FloatImage, bit_depth: int, *, dither: bool = False,
    origin: tuple[int, int] = (0, 0), print_shape: tuple[int, int] | None = None,
) -> npt.NDArray[Any]:
    """Clamp display values to [0, 1] and round them to 8- or 16-bit codes.

    With ``dither`` (8-bit only) triangular noise of one code step is added
    before rounding, which turns banding in smooth gradients into fine grain.
    NaN becomes 0. A piece of a larger print gives its top-left corner in
    the print (``origin``) and the print's rows and columns
    (``print_shape``): every pixel gets the noise of its place in the whole
    print, so a print made in pieces has the grain of one made whole.
    """
    max_code = (1 << bit_depth) - 1
    dtype = np.uint8 if bit_depth == 8 else np.uint16
    codes: npt.NDArray[Any] = np.empty(display.shape, dtype=dtype)
    noise_at = _NoisePlace(display.shape, origin, print_shape) if dither and bit_depth == 8 else None
    row_size = max(1, display[0].size) if display.shape[0] else 1
    # A band of rows at a time stays in the cache through every step, and
    # the bands go to every processor.  A band starts on an even element,
    # where a new output of the noise's generator begins.
    step = max(1, (1 << 18) // row_size)
    step += step % 2 * (row_size % 2)

    def quantise_band(rows: slice) -> None:
        band = display[rows]
        scaled, noise, more_noise = _band_buffers(band.shape)
        np.fmax(band, np.float32(0.0), out=scaled)  # fmax also turns NaN into 0
        np.fmin(scaled, np.float32(1.0), out=scaled)
        scaled *= np.float32(max_code)
        if noise_at is not None:
            scaled += noise_at.draw(rows, noise, more_noise)
            np.maximum(scaled, np.float32(0.0), out=scaled)
            np.minimum(scaled, np.float32(max_code), out=scaled)
        codes[rows] = np.rint(scaled, out=scaled)

    each_band(display.shape[0], step, quantise_band)
    return codes


class _NoisePlace:
    """Where a piece's values lie in the whole print's sequence of noise values."""

    def __init__(self, shape: tuple[int, ...], origin: tuple[int, int], print_shape: tuple[int, int] | None) -> None:
        rows, columns = print_shape or (shape[0], shape[1])
        self.channels = math.prod(shape[2:])
        self.count = rows * columns * self.channels
        self.origin = origin
        self.row_values = columns * self.channels
        self.whole_rows = origin[1] == 0 and shape[1] == columns

    def draw(self, rows: slice, noise: FloatImage, more_noise: FloatImage) -> FloatImage:
        start = (self.origin[0] + rows.start) * self.row_values + self.origin[1] * self.channels
        if self.whole_rows:  # the band is one run of the sequence
            return _triangular_noise(self.count, start, noise, more_noise)
        for row in range(noise.shape[0]):
            _triangular_noise(self.count, start + row * self.row_values, noise[row], more_noise[row])
        return noise


# Each thread reuses its own buffers from band to band: fresh ones would be
# new mappings wherever malloc's mmap threshold is held low (Dask's nannies
# do), and page-faulting them in costs as much as the work.
_held = threading.local()


def _band_buffers(shape: tuple[int, ...]) -> tuple[FloatImage, FloatImage, FloatImage]:
    size = math.prod(shape)
    if getattr(_held, "size", 0) < size:
        _held.buffers, _held.size = [np.empty(size, np.float32) for _ in range(3)], size
    scaled, noise, more_noise = (buffer[:size].reshape(shape) for buffer in _held.buffers)
    return scaled, noise, more_noise


def _triangular_noise(count: int, start: int, noise: FloatImage, more_noise: FloatImage) -> FloatImage:
    """Values ``start`` onwards of ``rng.random(count) - rng.random(count)``, drawn into ``noise``.

    Drawn a band at a time, the noise is that of the whole image's two
    draws, so the grain of a print does not depend on how it was split.
    """
    _floats_from(start).random(out=noise, dtype=np.float32)
    _floats_from(count + start).random(out=more_noise, dtype=np.float32)
    return np.subtract(noise, more_noise, out=noise)


def _floats_from(index: int) -> np.random.Generator:
    """The dither generator placed at float32 number ``index`` of its sequence.

    A PCG64 gives two float32 values per 64-bit output, low half first.
    """
    generator = np.random.Generator(np.random.PCG64(_DITHER_SEED).advance(index // 2))
    if index % 2:
        generator.random(1, dtype=np.float32)
    return generator
