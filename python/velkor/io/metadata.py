"""What a photograph says about itself, kept from input to print.

A print carries on the camera's account of the picture (make, model, lens,
dates, exposure, the photographer's name and copyright), what the
photographer wrote about it (title, caption, keywords, rating, creator and
rights, in XMP, IPTC and the EXIF description, comment and rating) and its
resolution, but nothing that describes the pixels as they were: their
orientation (a print is upright), colour space, size, thumbnails and maker
notes (whose internal offsets do not survive a copy). GPS position travels
only when asked for, since a print is often shared where the original was
not.

Every output also carries a profile that says how to show its codes: a grey
ICC profile with the sRGB tone curve, or littleCMS's sRGB for colour.
Pillow's littleCMS binding builds only sRGB, Lab and XYZ profiles, so the
grey one is assembled here: it is a header and four small tags.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import struct
import warnings
from collections.abc import Mapping
from pathlib import Path
from types import MappingProxyType
from typing import Any

from PIL import Image, ImageCms, ImageFile, IptcImagePlugin, TiffImagePlugin

# tifffile is imported where a TIFF is handled: a JPEG's convert does without its import time.
from velkor.io.orientation import ORIENTATION_TAG
from velkor.io.pillow_open import open_image

_EXIF_IFD, _GPS_IFD = 0x8769, 0x8825
_X_RESOLUTION, _Y_RESOLUTION, _RESOLUTION_UNIT = 282, 283, 296
XMP_TAG, IPTC_TAG = 700, 33723

# Main-directory tags: ImageDescription, Make, Model, DateTime, Artist,
# Copyright, Rating, RatingPercent, and Windows' title, comment, author,
# keywords and subject.
_MAIN_TAGS = frozenset({270, 271, 272, 306, 315, 33432, 18246, 18249, 40091, 40092, 40093, 40094, 40095})
# Exif-directory tags: exposure, dates and time zones, lens and body, UserComment.
_EXIF_TAGS = frozenset(
    {
        37510,
        33434, 33437, 34850, 34855, 34864, 34866, 36867, 36868, 36880, 36881, 36882,
        37377, 37378, 37379, 37380, 37381, 37383, 37384, 37385, 37386, 37520, 37521,
        37522, 41985, 41986, 41987, 41988, 41989, 41990, 42032, 42033, 42034, 42035,
        42036, 42037,
    }
)
# A TIFF's ImageDescription is where software keeps its own data (tifffile's
# shape, ImageJ's and OME's settings, velkor's recipe): a caption only in EXIF.
_TIFF_DESCRIPTION = 270
_EMPTY: Mapping[int, Any] = MappingProxyType({})


@dataclasses.dataclass(frozen=True)
class PhotoMetadata:
    """The parts of a photograph's EXIF that a print keeps, and its resolution."""

    main: Mapping[int, Any] = _EMPTY
    """Main-directory EXIF tags (make, model, date, artist, copyright), by tag number."""
    exif: Mapping[int, Any] = _EMPTY
    """Exif-directory tags (exposure, original dates, lens), by tag number."""
    gps: Mapping[int, Any] = _EMPTY
    """The GPS directory, written only when asked for."""
    dpi: tuple[float, float] | None = None
    """Pixels per inch, across and down."""
    xmp: bytes | None = None
    """The XMP packet as read; GPS and the original's pixel properties are left out when written."""
    iptc: bytes | None = None
    """IPTC-IIM datasets (caption, keywords, by-line, copyright...), as they stand in the file."""

    def __bool__(self) -> bool:
        return bool(self.main or self.exif or self.gps or self.dpi or self.xmp or self.iptc)


NO_METADATA = PhotoMetadata()


def metadata_of(image: Image.Image) -> PhotoMetadata:
    """The metadata of an image that Pillow has opened (pixels need not be loaded)."""
    try:
        exif = image.getexif()
        kept = _MAIN_TAGS - {_TIFF_DESCRIPTION} if image.format == "TIFF" else _MAIN_TAGS
        main = _writable({tag: value for tag, value in exif.items() if tag in kept})
        inner = _writable({tag: value for tag, value in exif.get_ifd(_EXIF_IFD).items() if tag in _EXIF_TAGS})
        gps = _writable(dict(exif.get_ifd(_GPS_IFD)))
    except Exception:  # metadata is a courtesy: damaged EXIF never costs the photograph
        return NO_METADATA
    dpi = _dpi(exif) or _checked_dpi(image.info.get("dpi"), 1.0)
    return PhotoMetadata(MappingProxyType(main), MappingProxyType(inner), MappingProxyType(gps), dpi,
                         _xmp_of(image), _iptc_of(image))


def _xmp_of(image: Image.Image) -> bytes | None:
    # JPEG, WebP and HEIF readers say "xmp"; PNG's names its iTXt chunk; TIFF has its tag.
    packet = image.info.get("xmp") or image.info.get("XML:com.adobe.xmp")
    if packet is None and isinstance(image, TiffImagePlugin.TiffImageFile):
        packet = image.tag_v2.get(XMP_TAG)
    if isinstance(packet, str):
        packet = packet.encode("utf-8")
    return bytes(packet) if isinstance(packet, (bytes, bytearray)) and packet.strip(b"\0 \r\n\t") else None


def _iptc_of(image: Image.Image) -> bytes | None:
    """IPTC-IIM of a JPEG (Photoshop's APP13) or TIFF, datasets in record order."""
    if not isinstance(image, ImageFile.ImageFile):
        return None
    try:
        datasets = IptcImagePlugin.getiptcinfo(image)
    except Exception:  # damaged IPTC, like damaged EXIF, costs only itself
        return None
    return iim_bytes(datasets) if datasets else None


def iim_bytes(datasets: Mapping[tuple[int, int], bytes | list[bytes]]) -> bytes:
    """IIM datasets, each a 0x1C marker, record, number and 2-byte length, repeated ones in turn."""
    data = b""
    for (record, number), values in sorted(datasets.items()):
        for value in values if isinstance(values, list) else [values or b""]:
            if len(value or b"") < 0x8000:
                value = value or b""
                data += struct.pack(">BBBH", 0x1C, record, number, len(value)) + value
    return data


def metadata_of_file(path: Path) -> PhotoMetadata:
    """Metadata of a file read by another decoder (TIFF, RAW), or none.

    Only the EXIF directories are parsed, never the pixels. Pillow reads
    those of most TIFFs, tifffile those of TIFF-based RAW files (DNG, NEF,
    CR2, ARW, ...), which Pillow will not open; other files have none.
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            with open_image(path) as image:
                return metadata_of(image)
        except Exception:  # not a file Pillow opens
            pass
        try:
            return _tifffile_metadata(path)
        except Exception:  # not a TIFF-based file either
            return NO_METADATA


def _tifffile_metadata(path: Path) -> PhotoMetadata:
    import tifffile
    with tifffile.TiffFile(path) as tiff:
        tags = tiff.pages.first.tags
        main = {tag: tags[tag].value for tag in _MAIN_TAGS - {_TIFF_DESCRIPTION} if tag in tags}
        named = tags.valueof(_EXIF_IFD, {})
        inner = {tifffile.TIFF.TAGS[name]: _rational(value) for name, value in named.items()
                 if name in tifffile.TIFF.TAGS and tifffile.TIFF.TAGS[name] in _EXIF_TAGS}
        named_gps = tags.valueof(_GPS_IFD, {})
        gps = {number: _rational(named_gps[name]) for number, name in tifffile.TIFF.GPS_TAGS.items()
               if name in named_gps}
        resolution = [tags.valueof(tag) for tag in (_X_RESOLUTION, _Y_RESOLUTION)]
        per_inch = {2: 1.0, 3: 2.54}.get(int(tags.valueof(_RESOLUTION_UNIT, 2)))
        dpi = _checked_dpi([_rational(v) for v in resolution], per_inch) if per_inch else None
        xmp = tags.valueof(XMP_TAG)
    return PhotoMetadata(MappingProxyType(_writable(main)), MappingProxyType(_writable(inner)),
                         MappingProxyType(_writable(gps)), dpi, bytes(xmp) if xmp else None)


def _writable(directory: dict[int, Any]) -> dict[int, Any]:
    """The entries that Pillow can write back into a print.

    A value read from a file may not fit any type Pillow would write it as
    (a 64-bit count, say); that one entry is left behind, not the print.
    """
    kept = {}
    for tag, value in directory.items():
        try:
            exif_directory({tag: value}).tobytes()
        except Exception:  # any failure of Pillow's encoder on any value
            continue
        kept[tag] = value
    return kept


def exif_directory(entries: Mapping[int, Any]) -> TiffImagePlugin.ImageFileDirectory_v2:
    """A little-endian TIFF directory of ``entries``, texts as the bytes they were read from."""
    directory = TiffImagePlugin.ImageFileDirectory_v2(prefix=b"II")
    for tag, value in entries.items():
        directory[tag] = text_bytes(value)
    return directory


def _rational(value: Any) -> Any:
    # tifffile gives a rational as (numerator, denominator), several of them flat.
    if isinstance(value, tuple) and value and len(value) % 2 == 0 and all(isinstance(v, int) for v in value):
        pairs = [TiffImagePlugin.IFDRational(*value[i:i + 2]) for i in range(0, len(value), 2)]
        return pairs[0] if len(pairs) == 1 else tuple(pairs)
    return value


def _dpi(exif: Image.Exif) -> tuple[float, float] | None:
    unit = exif.get(_RESOLUTION_UNIT, 2)
    per_inch = {2: 1.0, 3: 2.54}.get(unit)  # 1 means "no absolute unit"
    if per_inch is None or _X_RESOLUTION not in exif:
        return None
    return _checked_dpi((exif[_X_RESOLUTION], exif.get(_Y_RESOLUTION, exif[_X_RESOLUTION])), per_inch)


def _checked_dpi(pair: Any, per_inch: float) -> tuple[float, float] | None:
    try:
        x, y = (float(value) * per_inch for value in pair)
    except (TypeError, ValueError, ZeroDivisionError):
        return None
    return (x, y) if all(math.isfinite(v) and 0 < v < 1e6 for v in (x, y)) else None


def exif_for_print(metadata: PhotoMetadata, *, keep_gps: bool) -> Image.Exif:
    """An EXIF block for a print: the kept tags, orientation 1 and the resolution."""
    exif = Image.Exif()
    exif.update({tag: text_bytes(value) for tag, value in metadata.main.items()})
    exif[ORIENTATION_TAG] = 1  # the pixels are upright now
    if metadata.dpi is not None:
        exif[_X_RESOLUTION], exif[_Y_RESOLUTION] = metadata.dpi
        exif[_RESOLUTION_UNIT] = 2
    for tag, directory in sub_directories(metadata, keep_gps=keep_gps).items():
        exif.get_ifd(tag).update({key: text_bytes(value) for key, value in directory.items()})
    return exif


def text_bytes(value: Any) -> Any:
    """A text value as the bytes it was read from; other values unchanged.

    Pillow reads EXIF text one byte to a character, and would write back
    only ASCII: the bytes themselves keep a name like "Zoë" as the camera
    wrote it. ASCII text stays text, which tells Pillow the tag's type.
    """
    if not isinstance(value, str) or value.isascii():
        return value
    try:
        return value.encode("latin-1")
    except UnicodeEncodeError:
        return value.encode("utf-8")


def sub_directories(metadata: PhotoMetadata, *, keep_gps: bool) -> dict[int, Mapping[int, Any]]:
    """The Exif and GPS directories a print gets, by the tag that points to each."""
    directories: dict[int, Mapping[int, Any]] = {}
    if metadata.exif:
        directories[_EXIF_IFD] = metadata.exif
    if keep_gps and metadata.gps:
        directories[_GPS_IFD] = metadata.gps
    return directories


@functools.cache
def grey_profile() -> bytes:
    """An ICC v2 grey display profile: the sRGB tone curve, D50 white."""
    codes = [x / 1023 for x in range(1024)]
    linear = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in codes]
    tags = [
        (b"desc", _description("velkor grey, sRGB tone curve")),
        (b"cprt", b"text\0\0\0\0No copyright, use freely\0"),
        (b"wtpt", b"XYZ \0\0\0\0" + struct.pack(">3i", *(_fixed(v) for v in (0.9642, 1.0, 0.8249)))),
        (b"kTRC", b"curv\0\0\0\0" + struct.pack(f">I{len(linear)}H", len(linear),
                                                  *(round(v * 65535) for v in linear))),
    ]
    offset = 128 + 4 + 12 * len(tags)
    table, data = b"", b""
    for signature, body in tags:
        table += struct.pack(">4sII", signature, offset + len(data), len(body))
        data += body + b"\0" * (-len(body) % 4)
    size = offset + len(data)
    header = struct.pack(
        ">I4sI4s4s4s6H4sI4sII8sI3i4s44x",
        size, b"lcms", 0x02400000, b"mntr", b"GRAY", b"XYZ ", 2024, 1, 1, 0, 0, 0,
        b"acsp", 0, b"\0\0\0\0", 0, 0, b"\0" * 8, 0,
        *(_fixed(v) for v in (0.9642, 1.0, 0.8249)), b"\0\0\0\0",
    )
    return header + struct.pack(">I", len(tags)) + table + data


@functools.cache
def srgb_profile() -> bytes:
    """littleCMS's sRGB profile, for colour output (the preview)."""
    return bytes(ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes())


def _fixed(value: float) -> int:
    return round(value * 65536)


def _description(text: str) -> bytes:
    ascii_text = text.encode("ascii") + b"\0"
    # ASCII part, then empty Unicode and ScriptCode parts (67 bytes of the latter, always).
    return b"desc\0\0\0\0" + struct.pack(">I", len(ascii_text)) + ascii_text + b"\0" * 8 + b"\0" * 3 + b"\0" * 67
