"""A photograph's EXIF in a TIFF print, whole or tiled, classic or BigTIFF.

tifffile writes the main directory's texts and the resolution, but not the
Exif and GPS sub-directories, nor the tags that point to them. So each
pointer goes in as a placeholder, a 0 under the tag number just below its
own (which keeps the directory sorted); once the image is written, each
sub-directory is appended after it and its placeholder becomes the pointer.
Appending leaves the pixels where tifffile put them, so a print streamed
tile by tile gets its sub-directories as a whole one does.
"""

from __future__ import annotations

import dataclasses
import os
import struct
from collections.abc import Mapping
from typing import IO, Any


# tifffile is imported where a TIFF is handled: a JPEG's convert does without its import time.
from velkor.io.metadata import IPTC_TAG, XMP_TAG, PhotoMetadata, exif_directory, sub_directories, text_bytes
from velkor.io.xmp import xmp_for_print

# A BigTIFF pointer is written as LONG8, which libtiff, tifffile and Pillow
# all read; Pillow drops one typed IFD8.
_LONG, _LONG8 = 4, 16
# Bytes per value of each TIFF field type Pillow writes.
_TYPE_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8, 13: 4, 16: 8}
# Main-directory tags that are not text: Rating and RatingPercent (SHORT),
# Windows' XP texts (BYTE, UTF-16).
_NUMBER_TAGS = {18246: "H", 18249: "H", 40091: "B", 40092: "B", 40093: "B", 40094: "B", 40095: "B"}
_IMAGE_DESCRIPTION = 270


@dataclasses.dataclass(frozen=True)
class TiffExif:
    """What tifffile is given for a print's metadata, and what is appended after it."""

    extratags: list[tuple[Any, ...]]
    options: dict[str, Any]
    directories: dict[int, Mapping[int, Any]]


def tiff_exif(metadata: PhotoMetadata, *, keep_gps: bool, described: bool = True) -> TiffExif:
    """The main directory's EXIF, XMP (tag 700) and IPTC (33723), the resolution, and the sub-directories'
    placeholders. ``described``: the print's ImageDescription is taken (by the recipe), so the
    photograph's own stays in its XMP and IPTC captions."""
    directories = sub_directories(metadata, keep_gps=keep_gps)
    extratags: list[tuple[Any, ...]] = []
    for tag, value in metadata.main.items():
        if tag in _NUMBER_TAGS and not isinstance(value, str):
            values = tuple(value) if isinstance(value, (bytes, tuple)) else (value,)
            extratags.append((tag, _NUMBER_TAGS[tag], len(values), values, True))
        elif isinstance(value, (str, bytes)) and not (described and tag == _IMAGE_DESCRIPTION):
            extratags.append((tag, "s", 0, text_bytes(value), True))
    if xmp := xmp_for_print(metadata.xmp, keep_gps=keep_gps):
        extratags.append((XMP_TAG, "B", len(xmp), xmp, True))
    if metadata.iptc:  # UNDEFINED: Pillow warns of Photoshop's LONGs; exiftool reads both
        extratags.append((IPTC_TAG, 7, len(metadata.iptc), metadata.iptc, True))
    extratags += [(tag - 1, "I", 1, 0, True) for tag in directories]
    options: dict[str, Any] = {}
    if metadata.dpi is not None:
        options.update(resolution=metadata.dpi, resolutionunit="INCH")
    return TiffExif(extratags, options, directories)


def append_directories(stream: IO[bytes], directories: Mapping[int, Mapping[int, Any]]) -> None:
    """Append each sub-directory to the little-endian TIFF that ``stream`` holds from its start,
    and turn its placeholder in the first directory into the pointer to it."""
    import tifffile
    if not directories:
        return
    stream.seek(0)
    with tifffile.TiffFile(stream) as parsed:
        bigtiff = parsed.is_bigtiff
        tags = parsed.pages.first.tags
        pointers = {tag: tags[tag - 1].valueoffset for tag in directories}
    end = stream.seek(0, os.SEEK_END)
    for tag, entries in directories.items():
        end += _write_at(stream, end, b"\0" * (end % 2))  # a directory starts on a word boundary
        classic = exif_directory(entries).tobytes(0 if bigtiff else end)
        entry = pointers[tag] - (12 if bigtiff else 8)  # tag number (2 bytes), type (2), count (8 or 4), value
        _write_at(stream, entry, struct.pack("<HH", tag, _LONG8 if bigtiff else _LONG))
        _write_at(stream, pointers[tag], end.to_bytes(8 if bigtiff else 4, "little"))
        end += _write_at(stream, end, _bigtiff_directory(classic, end) if bigtiff else classic)
    stream.seek(end)


def _write_at(stream: IO[bytes], offset: int, data: bytes) -> int:
    stream.seek(offset)
    stream.write(data)
    return len(data)


def _bigtiff_directory(classic: bytes, offset: int) -> bytes:
    """A classic little-endian directory laid out at 0, laid out again as BigTIFF's at ``offset``.

    BigTIFF widens the count to 8 bytes, each entry to 20 and every offset
    to 8; values of up to 8 bytes now sit in the entry itself.
    """
    count = int.from_bytes(classic[:2], "little")
    entries, data = b"", b""
    data_start = offset + 8 + 20 * count + 8
    for index in range(count):
        tag, kind, number, field = struct.unpack_from("<HHI4s", classic, 2 + 12 * index)
        size = number * _TYPE_SIZES[kind]
        start = 0 if size <= 4 else int.from_bytes(field, "little")
        value = field[:size] if size <= 4 else classic[start:start + size]
        if size <= 8:
            entries += struct.pack("<HHQ8s", tag, kind, number, value)
        else:
            entries += struct.pack("<HHQQ", tag, kind, number, data_start + len(data))
            data += value + b"\0" * (size % 2)
    return struct.pack("<Q", count) + entries + struct.pack("<Q", 0) + data
