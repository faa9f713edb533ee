"""Images larger than memory: read a TIFF a band of rows at a time, print each band, stream a tiled TIFF out.

Bands are full-width runs of tile rows (:mod:`velkor.run.tiled_bands`):
printed here from one pass down the file, or on a Dask cluster's workers.
Each finished band is kept beside the output (:mod:`velkor.run.tiled_store`)
until the print is whole, so an interrupted run continues where it stopped;
the print takes its name only when it is whole.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import tifffile

from velkor.errors import (
    InputNotFoundError,
    OutputExistsError,
    UnreadableImageError,
    UnsupportedFormatError,
    VelkorError,
)
from velkor.io.alpha import WHITE
from velkor.io.atomic import open_for_writing, remove_leftovers
from velkor.io.metadata import NO_METADATA, grey_profile, metadata_of_file, srgb_profile
from velkor.io.reading import TIFF_SUFFIXES
from velkor.io.tiff_exif import append_directories, tiff_exif
from velkor.io.writing import TIFF_CODECS, ascii_toml, software_name
from velkor.model.names import DEFAULT_INTENT
from velkor.model.output import check_output_settings
from velkor.model.pipeline import Pipeline
from velkor.run.memory import band_pixels_within, share_heaps
from velkor.run.tiled_bands import BAND_PIXELS, TILE, BandPrint, Layout, layout_for, local_bands
from velkor.run.tiled_read import TiffRows
from velkor.run.tiled_store import BandStore, band_key, band_store

# Bands: the wanted band numbers and what an earlier run carried into some of
# them in; (number, print, carried to the band below) out in order of number.
BandSource = Callable[[TiffRows, Pipeline, Layout, set[int], bool, Mapping[int, bytes]],
                      Iterator[tuple[int, BandPrint, bytes]]]


def convert_tiled(
    source: Path, target: Path, pipeline: Pipeline, *, overwrite: bool, compression: str = "deflate",
    strip_metadata: bool = False, keep_gps: bool = False, memory_limit: int | None = None,
    intent: str = DEFAULT_INTENT, background: tuple[float, float, float] = WHITE, keep_alpha: bool = False,
    bands: BandSource = local_bands,
) -> Path:
    """Convert ``source`` to a tiled, compressed TIFF at ``target`` (grey, or RGB when toned), a band of rows at a time.

    The print is the whole-image print of the same recipe; ``memory_limit``
    bounds the bands' size, ``bands`` says where they are printed (here, or
    :func:`velkor.run.tiled_cluster.cluster_bands`). The print carries the grey
    profile, and unless ``strip_metadata`` the source's EXIF (make, model,
    lens, dates, exposure, artist, copyright; GPS only with ``keep_gps``) and
    resolution. ``intent`` and ``background`` (the paper under transparent
    pixels) mean what they mean for a whole read; a print in pieces cannot
    keep transparency, so ``keep_alpha`` refuses a source that has it.
    """
    check_output_settings(bit_depth=pipeline.bit_depth, dither=pipeline.dither, compression=compression)
    if target.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(
            f"a conversion in pieces writes TIFF: choose a .tif output instead of {target}"
        )
    if source.suffix.lower() not in TIFF_SUFFIXES:
        raise UnsupportedFormatError(f"cannot read {source} in pieces: only TIFF can be read in pieces")
    if not source.exists():
        raise InputNotFoundError(f"input not found: {source}")
    if not overwrite and target.exists():
        raise OutputExistsError(f"output exists: {target}")
    remove_leftovers(target.parent)  # each as large as the print; a folder listing is nothing beside it
    share_heaps()
    try:
        with tifffile.TiffFile(source) as tiff:
            reader = TiffRows(tiff, source, intent=intent, background=background)
            if keep_alpha and reader.has_alpha:
                raise UnsupportedFormatError(
                    f"cannot keep the transparency of {source} in pieces: convert it whole, or leave out keep-alpha"
                )
            layout = layout_for(reader.shape, reader.segment, pipeline.reach, band_pixels_within(memory_limit))
            deflate = compression == "deflate"
            stat = os.stat(source)
            key = band_key(str(source.resolve()), stat.st_size, stat.st_mtime_ns, pipeline.to_toml(), compression,
                           layout, software_name(), intent, background)
            with band_store(target, key) as store:
                done = store.done()
                wanted = set(range(layout.count)) - done
                carried = {index: store.carry(index - 1) for index in wanted if index - 1 in done}
                prints = _all_bands(store, bands(reader, pipeline, layout, wanted, deflate, carried), layout.count)
                exif = tiff_exif(NO_METADATA if strip_metadata else metadata_of_file(source), keep_gps=keep_gps)
                with open_for_writing(target, overwrite) as stream:
                    _write(stream, _tiles(prints), layout.shape, pipeline, compression, exif)
    except (VelkorError, OSError):
        raise
    except Exception as error:  # any decoder's failure on any tile: a damaged file
        raise UnreadableImageError(f"cannot read {source}: {error}") from error
    return target


def _all_bands(store: BandStore, fresh: Iterator[tuple[int, BandPrint, bytes]], count: int) -> Iterator[BandPrint]:
    """Every band in order: those kept by an earlier run from the store, the others as they are printed (and kept)."""
    kept = store.done()
    for index in range(count):
        if index in kept:
            yield store.load(index)
            continue
        number, band, carry = next(fresh)
        if number != index:
            raise RuntimeError(f"band {number} arrived in place of band {index}")
        store.save(index, band, carry)
        yield band
        del band  # not held while the next band is made


def _tiles(prints: Iterator[BandPrint]) -> Iterator[Any]:
    """The output's tiles in file order: deflated bytes, or arrays that tifffile compresses."""
    for band in prints:
        if isinstance(band, list):
            yield from band
        else:
            for y in range(0, band.shape[0], TILE):
                for x in range(0, band.shape[1], TILE):
                    yield band[y:y + TILE, x:x + TILE]
        del band  # a band's tiles span the width: one band at a time is held, not two


def _write(stream: Any, tiles: Iterator[Any], shape: tuple[int, int], pipeline: Pipeline, compression: str,
           exif: Any) -> None:
    dtype = np.uint8 if pipeline.bit_depth == 8 else np.uint16
    codec, codec_args = TIFF_CODECS[compression]
    height, width = shape
    toned = pipeline.channels == 3  # a toned print is RGB
    tifffile.imwrite(
        stream, tiles, shape=(height, width, 3) if toned else shape, dtype=dtype, tile=(TILE, TILE),
        photometric="rgb" if toned else "minisblack", planarconfig="contig" if toned else None,
        compression=codec, compressionargs=codec_args, predictor=codec is not None,
        bigtiff=height * width * pipeline.channels * np.dtype(dtype).itemsize > 2**31,
        software=software_name(), description=ascii_toml(pipeline.to_toml()), metadata=None,
        buffersize=BAND_PIXELS, iccprofile=srgb_profile() if toned else grey_profile(), extratags=exif.extratags,
        byteorder="<", **exif.options,
    )
    append_directories(stream, exif.directories)
