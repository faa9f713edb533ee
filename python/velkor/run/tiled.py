"""Images larger than memory: read a TIFF tile by tile, convert in chunks, stream a tiled TIFF out.

The input is read lazily, a rectangle at a time, decoding only the tiles or
strips a chunk needs (through tifffile's own segment decoder);
:meth:`Pipeline.run_dask` converts it chunk by chunk; the result is computed one band of chunks at a time and
handed to tifffile as tiles, compressed as they go, into a file that takes
its name only when it is whole.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import re
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

# tifffile is imported where a TIFF is handled: a JPEG's convert does without its import time.
if TYPE_CHECKING:
    import tifffile

from velkor._types import FloatImage
from velkor.errors import InputNotFoundError, UnreadableImageError, UnsupportedFormatError, VelkorError
from velkor.extras import import_extra
from velkor.io.atomic import open_for_writing
from velkor.io.colour import icc_space, to_linear
from velkor.io.metadata import NO_METADATA, grey_profile, metadata_of_file, srgb_profile
from velkor.io.pillow_open import open_image
from velkor.io.quantise import quantise
from velkor.io.reading import TIFF_SUFFIXES
from velkor.io.tiff_deflate import deflate_tiles
from velkor.io.tiff_exif import append_directories, tiff_exif
from velkor.io.writing import TIFF_CODECS, ascii_toml, software_name
from velkor.model.output import check_output_settings
from velkor.model.pipeline import Pipeline

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
            import tifffile

            with tifffile.TiffFile(path) as tiff:
                page = tiff.pages.first
                return int(page.imagelength) * int(page.imagewidth) * BYTES_PER_PIXEL
        with open_image(path) as image:  # reads the header only
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
            f"{path} needs {_readable_size(size)} decoded, more than the memory limit of {_readable_size(memory_limit)} "
            "(--memory-limit), and only TIFF can be read in pieces: convert it to a tiled TIFF first"
        )
    return True


def _readable_size(size: int) -> str:
    for unit, scale in (("GB", 2**30), ("MB", 2**20), ("KB", 2**10)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size} bytes"


class TiffRegions:
    """Any rectangle of a TIFF's first page as (rows, columns, samples), decoding only the segments it touches.

    Dask reads through this from several threads at once: a lock keeps each
    segment's seek and read together (the file handle's own lock is a no-op
    unless asked for).
    """

    def __init__(self, page: Any) -> None:
        import tifffile
        self.page = page
        self.samples = int(page.samplesperpixel)
        self.shape = (int(page.imagelength), int(page.imagewidth), self.samples)
        self.dtype = np.dtype(page.dtype)
        self.ndim = 3
        self.planes = self.samples if page.planarconfig == tifffile.PLANARCONFIG.SEPARATE else 1
        self.segment = (
            (int(page.tilelength), int(page.tilewidth)) if page.is_tiled else (int(page.rowsperstrip), self.shape[1])
        )
        self.lock = threading.Lock()
        self.decode_options: dict[str, Any] = {"_fullsize": page.is_tiled}
        if page.compression in (6, 7):  # JPEG
            self.decode_options |= {"jpegtables": page.jpegtables, "jpegheader": page.jpegheader}
        page.decode  # noqa: B018 - built once, before threads share it

    def __getitem__(self, key: tuple[slice, ...]) -> npt.NDArray[Any]:
        (top, bottom, _), (left, right, _) = (k.indices(n) for k, n in zip(key[:2], self.shape))
        region = np.zeros((max(0, bottom - top), max(0, right - left), self.samples), self.dtype)
        height, width = self.segment
        across, down = -(-self.shape[1] // width), -(-self.shape[0] // height)
        handle = self.page.parent.filehandle
        for plane in range(self.planes):
            for row in range(top // height, -(-bottom // height)):
                for column in range(left // width, -(-right // width)):
                    index = (plane * down + row) * across + column
                    with self.lock:
                        handle.seek(self.page.dataoffsets[index])
                        data = handle.read(self.page.databytecounts[index])
                    segment = self.page.decode(data, index, **self.decode_options)[0]
                    if segment is None:
                        raise ValueError(f"image data is missing (segment {index})")
                    y, x = row * height, column * width
                    rows = slice(max(top, y), min(bottom, y + segment.shape[1]))
                    columns = slice(max(left, x), min(right, x + segment.shape[2]))
                    channels = slice(plane, plane + 1) if self.planes > 1 else slice(None)
                    region[rows.start - top:rows.stop - top, columns.start - left:columns.stop - left, channels] = (
                        segment[0, rows.start - y:rows.stop - y, columns.start - x:columns.stop - x]
                    )
        return region[:, :, key[2]] if len(key) > 2 else region


@dataclasses.dataclass(frozen=True)
class LazyTiff:
    """A TIFF opened for reading in pieces: any band of rows decodes to linear light lazily."""

    samples: Any
    """The stored samples (H, W, samples) as a Dask array of full-height column strips, only ever read sliced."""
    decode: Callable[[npt.NDArray[Any]], FloatImage]
    shape: tuple[int, int]
    chunks: tuple[int, int]
    """Rows and columns of the chunks the pipeline runs on."""

    def linear(self, top: int, bottom: int) -> Any:
        """Rows ``top`` to ``bottom`` as linear-light RGB (rows, W, 3), chunked in columns."""
        samples = self.samples[top:bottom]
        samples = samples[:, :, :1].repeat(3, axis=2) if samples.shape[2] < 3 else samples[:, :, :3]
        return samples.rechunk({2: 3}).map_blocks(self.decode, dtype=np.float32)


def read_lazily(tiff: tifffile.TiffFile, path: Path) -> LazyTiff:
    """Open a grey or RGB TIFF of 8 or 16 bits for reading in pieces (while ``tiff`` stays open)."""
    import tifffile
    da = import_extra("dask.array", "distributed", "converting in pieces (--tiled)")
    page = tiff.pages.first
    photometric = tifffile.PHOTOMETRIC(page.photometric).name
    if photometric not in ("RGB", "MINISBLACK") or page.dtype not in (np.uint8, np.uint16):
        raise UnsupportedFormatError(
            f"cannot read {path} in pieces: only 8- and 16-bit grey and RGB TIFF can be "
            f"(this one is {photometric}, {page.dtype})"
        )
    if int(page.tags.valueof(_ORIENTATION_TAG, 1)) != 1:
        raise UnsupportedFormatError(f"cannot read {path} in pieces: it is stored turned or mirrored")
    stored = TiffRegions(page)
    if stored.segment[0] * stored.segment[1] > BAND_PIXELS:
        raise UnsupportedFormatError(f"cannot read {path} in pieces: it is stored in one piece")
    space = icc_space(page.tags.valueof(_ICC_TAG), path, grey=photometric == "MINISBLACK")
    shape = stored.shape[:2]
    chunks = _chunks(shape, stored.segment)
    # Column strips of the full height are never read whole: a band's slice
    # of one reaches TiffRegions as that slice, and only its segments are decoded.
    samples = da.from_array(stored, chunks=(shape[0], chunks[1], stored.samples))
    max_code = int(np.iinfo(page.dtype).max)
    return LazyTiff(samples, functools.partial(to_linear, space=space, max_code=max_code), shape, chunks)


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
    source: Path, target: Path, pipeline: Pipeline, *, overwrite: bool, compression: str = "deflate",
    strip_metadata: bool = False, keep_gps: bool = False,
) -> Path:
    """Convert ``source`` to a tiled, compressed TIFF at ``target``, a band of chunks at a time.

    The print is grey, or RGB for a toned recipe.

    Each band is read with the ``2 * radius`` rows above and below that its
    chunks borrow, so every chunk sees the window it would see in one
    :meth:`Pipeline.run_dask` over the whole image, and no band is computed twice.
    The print carries the grey profile, and unless ``strip_metadata`` the
    source's EXIF (make, model, lens, dates, exposure, artist, copyright;
    GPS only with ``keep_gps``) and resolution.
    """
    import tifffile
    check_output_settings(bit_depth=pipeline.bit_depth, dither=pipeline.dither, compression=compression)
    if target.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(
            f"a conversion in pieces writes TIFF: choose a .tif output instead of {target}"
        )
    if source.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(f"cannot read {source} in pieces: only TIFF can be read in pieces")
    if not source.exists():
        raise InputNotFoundError(f"input not found: {source}")
    import_extra("dask.array", "distributed", "converting in pieces (--tiled)")  # before any output is begun
    try:
        with tifffile.TiffFile(source) as tiff, open_for_writing(target, overwrite) as stream:
            image = read_lazily(tiff, source)
            height, width = image.shape
            dtype = np.uint8 if pipeline.bit_depth == 8 else np.uint16
            codec, codec_args = TIFF_CODECS[compression]
            tiles: Iterator[bytes] | Iterator[npt.NDArray[Any]] = (
                _deflated_tiles(image, pipeline) if compression == "deflate" else _tiles(image, pipeline))
            exif = tiff_exif(NO_METADATA if strip_metadata else metadata_of_file(source), keep_gps=keep_gps)
            toned = pipeline.channels == 3
            tifffile.imwrite(
                stream, tiles, shape=(height, width, 3) if toned else (height, width), dtype=dtype,
                tile=(TILE, TILE), photometric="rgb" if toned else "minisblack", planarconfig="contig" if toned else None,
                compression=codec, compressionargs=codec_args,
                predictor=codec is not None,
                bigtiff=height * width * np.dtype(dtype).itemsize > 2**31,
                software=software_name(), description=ascii_toml(pipeline.to_toml()), metadata=None,
                buffersize=BAND_PIXELS, iccprofile=srgb_profile() if toned else grey_profile(),
                extratags=exif.extratags, byteorder="<",
                **exif.options,
            )
            append_directories(stream, exif.directories)
    except (VelkorError, OSError):
        raise
    except Exception as error:  # any decoder's failure on any tile: a damaged file
        raise UnreadableImageError(f"cannot read {source}: {error}") from error
    return target


def _band(image: LazyTiff, pipeline: Pipeline, top: int) -> npt.NDArray[Any]:
    """The output codes of rows ``top`` to ``top`` + the chunk height."""
    reach = pipeline.reach
    bottom = min(top + image.chunks[0], image.shape[0])
    first, last = max(0, top - reach), min(image.shape[0], bottom + reach)
    display = pipeline.run_dask(image.linear(first, last), origin=(first, 0), print_shape=image.shape)
    codes = display[top - first:bottom - first].map_blocks(
        _codes, pipeline.bit_depth, pipeline.dither, top, image.shape,
        dtype=np.uint8 if pipeline.bit_depth == 8 else np.uint16)
    band = np.asarray(codes.compute(scheduler="threads"))
    return band if pipeline.channels == 3 else band[:, :, 0]


def _codes(display: npt.NDArray[np.float32], bit_depth: int, dither: bool, top: int, print_shape: tuple[int, int],
           block_info: dict[Any, Any] | None = None) -> npt.NDArray[Any]:
    corner = [start for start, _ in block_info[0]["array-location"]] if block_info else [0, 0, 0]
    return quantise(display, bit_depth, dither=dither, origin=(top + corner[0], corner[1]), print_shape=print_shape)


def _bands(image: LazyTiff, pipeline: Pipeline) -> Iterator[npt.NDArray[Any]]:
    for top in range(0, image.shape[0], image.chunks[0]):
        yield _band(image, pipeline, top)


def _tiles(image: LazyTiff, pipeline: Pipeline) -> Iterator[npt.NDArray[Any]]:
    """The output's tiles in file order, one band at a time."""
    for band in _bands(image, pipeline):
        for y in range(0, band.shape[0], TILE):
            for x in range(0, band.shape[1], TILE):
                yield band[y:y + TILE, x:x + TILE]


def _deflated_tiles(image: LazyTiff, pipeline: Pipeline) -> Iterator[bytes]:
    """The output's tiles in file order, encoded here: ISA-L on every processor, faster than tifffile's zlib."""
    for band in _bands(image, pipeline):
        yield from deflate_tiles(band, TILE)
