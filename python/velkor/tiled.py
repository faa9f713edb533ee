"""Images larger than memory: read a TIFF tile by tile, convert in chunks, stream a tiled TIFF out.

The input is opened lazily through tifffile's Zarr store, so only the tiles
or strips a chunk needs are decoded; :meth:`Pipeline.run_dask` converts it
chunk by chunk; the result is computed one band of chunks at a time and
handed to tifffile as tiles, compressed as they go, into a file that takes
its name only when it is whole.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import re
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import tifffile

from velkor._types import FloatImage
from velkor.colour import icc_space, to_linear
from velkor.errors import InputNotFoundError, UnreadableImageError, UnsupportedFormatError, VelkorError
from velkor.pipeline import Pipeline
from velkor.reading import TIFF_SUFFIXES
from velkor.writing import ascii_toml, check_bit_depth, open_for_writing, quantise, software_name

# A whole-image run holds the decoded image as float32 RGB, 12 bytes a pixel.
BYTES_PER_PIXEL = 12
# One band of chunks (the full width) is computed at a time, a chunk per
# thread: a band's pixels and a chunk's bound the memory, whatever the
# image's size. (Computing the next band while this one is compressed saved
# little time and doubled the memory.)
BAND_PIXELS = 8 << 20
CHUNK_PIXELS = 2 << 20
TILE = 256
_ICC_TAG, _ORIENTATION_TAG = 34675, 274
_DITHER_SEED = 0x5EED


def physical_memory() -> int:
    """The machine's memory in bytes."""
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def parse_size(text: str) -> int:
    """Bytes from "4G", "512M", "1.5T" or a plain number of bytes."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([KMGT]?)i?B?\s*", text, re.IGNORECASE)
    if match is None or float(match[1]) <= 0:
        raise ValueError(f"invalid size {text!r} (expected e.g. 4G, 512M or bytes)")
    return int(float(match[1]) * 1024 ** " KMGT".index(match[2].upper() or " "))


def decoded_bytes(path: Path) -> int | None:
    """What the whole-image run would hold of ``path`` decoded, from its header; None if unknown."""
    try:
        if path.suffix.lower() in TIFF_SUFFIXES:
            with tifffile.TiffFile(path) as tiff:
                page = tiff.pages.first
                return int(page.imagelength) * int(page.imagewidth) * BYTES_PER_PIXEL
        from PIL import Image

        with Image.open(path) as image:  # reads the header only
            return image.width * image.height * BYTES_PER_PIXEL
    except Exception:  # the reader proper reports what is wrong with the file
        return None


def needs_tiles(path: Path, memory_limit: int) -> bool:
    """Whether ``path`` must be converted in pieces; refuses what cannot be read in pieces."""
    size = decoded_bytes(path)
    if size is None or size <= memory_limit:
        return False
    if path.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(
            f"{path} needs {_gigabytes(size)} decoded, more than the memory limit of {_gigabytes(memory_limit)} "
            "(--memory-limit), and only TIFF can be read in pieces: convert it to a tiled TIFF first"
        )
    return True


def _gigabytes(size: int) -> str:
    return f"{size / 2**30:.1f} GB"


@dataclasses.dataclass(frozen=True)
class LazyTiff:
    """A TIFF opened for reading in pieces: any band of rows decodes to linear light lazily."""

    samples: Any
    """The stored samples as a Dask array of full-height column strips, only ever read sliced."""
    decode: Callable[[npt.NDArray[Any]], FloatImage]
    separate: bool
    shape: tuple[int, int]
    chunks: tuple[int, int]
    """Rows and columns of the chunks the pipeline runs on."""

    def linear(self, top: int, bottom: int) -> Any:
        """Rows ``top`` to ``bottom`` as linear-light RGB (rows, W, 3), chunked in columns."""
        samples = self.samples[:, top:bottom] if self.separate else self.samples[top:bottom]
        if self.separate:
            samples = samples.transpose(1, 2, 0)
        if samples.ndim == 2:
            samples = samples[:, :, np.newaxis]
        samples = samples[:, :, :1].repeat(3, axis=2) if samples.shape[2] < 3 else samples[:, :, :3]
        return samples.rechunk({2: 3}).map_blocks(self.decode, dtype=np.float32)


def read_lazily(path: Path) -> LazyTiff:
    """Open a grey or RGB TIFF of 8 or 16 bits for reading in pieces."""
    import dask.array as da
    import zarr

    if not path.exists():
        raise InputNotFoundError(f"input not found: {path}")
    with tifffile.TiffFile(path) as tiff:
        page = tiff.pages.first
        photometric = tifffile.PHOTOMETRIC(page.photometric).name
        grey = photometric == "MINISBLACK"
        if photometric not in ("RGB", "MINISBLACK") or page.dtype not in (np.uint8, np.uint16):
            raise UnsupportedFormatError(
                f"cannot read {path} in pieces: only 8- and 16-bit grey and RGB TIFF can be "
                f"(this one is {photometric}, {page.dtype})"
            )
        if int(page.tags.valueof(_ORIENTATION_TAG, 1)) != 1:
            raise UnsupportedFormatError(f"cannot read {path} in pieces: it is stored turned or mirrored")
        space = icc_space(page.tags.valueof(_ICC_TAG), path, grey=grey)
        max_code = int(np.iinfo(page.dtype).max)
        separate = page.planarconfig == tifffile.PLANARCONFIG.SEPARATE and page.samplesperpixel > 1
        segment = (page.tilelength, page.tilewidth) if page.is_tiled else (page.rowsperstrip, page.imagewidth)
        shape = (int(page.imagelength), int(page.imagewidth))
    if segment[0] * segment[1] > BAND_PIXELS:
        raise UnsupportedFormatError(f"cannot read {path} in pieces: it is stored in one piece")
    stored = zarr.open_array(tifffile.imread(path, aszarr=True, level=0), mode="r")
    chunks = _chunks(shape, segment)
    # Column strips of the full height are never read whole: a band's slice
    # of one reaches the store as that slice, and only its tiles are decoded.
    strips = (*stored.shape[:-2], shape[0], chunks[1]) if separate else (shape[0], chunks[1], *stored.shape[2:])
    samples = da.from_array(stored, chunks=strips)  # type: ignore[no-untyped-call]
    return LazyTiff(samples, functools.partial(to_linear, space=space, max_code=max_code), separate, shape, chunks)


def _chunks(shape: tuple[int, int], segment: tuple[int, int]) -> tuple[int, int]:
    """Rows and columns of the chunks: bands of about BAND_PIXELS, chunks of about CHUNK_PIXELS.

    Bands are whole tile rows of the output and whole segments of the file;
    a striped file's chunks span its width, since every strip does.
    """
    rows, columns = (int(s) for s in segment)
    step = math.lcm(rows, TILE)
    height = min(max(step, (BAND_PIXELS // shape[1] // step) * step), shape[0])
    if columns >= shape[1]:
        return height, shape[1]
    width = max(columns, (CHUNK_PIXELS // height // columns) * columns)
    return height, min(width, shape[1])


def convert_tiled(
    source: Path, target: Path, pipeline: Pipeline, *, overwrite: bool, compression: str = "zlib"
) -> Path:
    """Convert ``source`` to a tiled, compressed grey TIFF at ``target``, a band of chunks at a time.

    Each band is read with the ``2 * radius`` rows above and below that its
    chunks borrow, so every chunk sees the window it would see in one
    :meth:`Pipeline.run_dask` over the whole image, and no band is computed twice.
    """
    check_bit_depth(pipeline.bit_depth, pipeline.dither)
    if target.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(
            f"a conversion in pieces writes TIFF: choose a .tif output instead of {target}"
        )
    if source.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(f"cannot read {source} in pieces: only TIFF can be read in pieces")
    try:
        image = read_lazily(source)
        height, width = image.shape
        dtype = np.uint8 if pipeline.bit_depth == 8 else np.uint16
        with open_for_writing(target, overwrite) as stream:
            tifffile.imwrite(
                stream, _tiles(image, pipeline), shape=(height, width), dtype=dtype, tile=(TILE, TILE),
                photometric="minisblack", compression=compression, predictor=True,
                bigtiff=height * width * np.dtype(dtype).itemsize > 2**31,
                software=software_name(), description=ascii_toml(pipeline.to_toml()), metadata=None,
                buffersize=BAND_PIXELS,
            )
    except ImportError:
        raise UnsupportedFormatError(
            f"converting {source} in pieces needs Dask and Zarr: pip install 'velkor[distributed]'"
        ) from None
    except (VelkorError, OSError):
        raise
    except Exception as error:  # any decoder's failure on any tile: a damaged file
        raise UnreadableImageError(f"cannot read {source}: {error}") from error
    return target


def _band(image: LazyTiff, pipeline: Pipeline, top: int) -> npt.NDArray[Any]:
    """The output codes of rows ``top`` to ``top`` + the chunk height."""
    reach = 2 * pipeline.radius if pipeline.strength != 0.0 else 0
    bottom = min(top + image.chunks[0], image.shape[0])
    first, last = max(0, top - reach), min(image.shape[0], bottom + reach)
    display = pipeline.run_dask(image.linear(first, last))[top - first:bottom - first]
    codes = display.map_blocks(_codes, pipeline.bit_depth, pipeline.dither, top,
                               dtype=np.uint8 if pipeline.bit_depth == 8 else np.uint16)
    return np.asarray(codes[:, :, 0].compute(scheduler="threads"))


def _codes(display: npt.NDArray[np.float32], bit_depth: int, dither: bool, top: int,
           block_info: dict[Any, Any] | None = None) -> npt.NDArray[Any]:
    if not dither:
        return quantise(display, bit_depth)
    # Noise seeded by the chunk's place: reproducible, though not the whole-image run's grain.
    corner = [start for start, _ in block_info[0]["array-location"]] if block_info else [0, 0, 0]
    rng = np.random.default_rng([_DITHER_SEED, top + corner[0], corner[1]])
    noise = rng.random(display.shape, dtype=np.float32) - rng.random(display.shape, dtype=np.float32)
    scaled = np.clip(np.nan_to_num(display, nan=0.0), 0.0, 1.0) * np.float32(255)
    codes: npt.NDArray[Any] = np.rint(np.clip(scaled + noise, 0.0, 255.0)).astype(np.uint8)
    return codes


def _tiles(image: LazyTiff, pipeline: Pipeline) -> Iterator[npt.NDArray[Any]]:
    """The output's tiles in file order, one band at a time."""
    for top in range(0, image.shape[0], image.chunks[0]):
        band = _band(image, pipeline, top)
        for y in range(0, band.shape[0], TILE):
            for x in range(0, band.shape[1], TILE):
                yield band[y:y + TILE, x:x + TILE]
