"""A photograph's XMP packet, made fit for its print.

XMP carries what a photographer wrote about the picture (title, caption,
keywords, rating, creator, rights) and is copied whole, except what
describes the original's pixels or would change the print when read: its
orientation (a print is upright), size and colour mode, the raw
converter's develop settings (a reader would apply them again to a print
that already has them), thumbnails, and the GPS position unless asked
for, as in the EXIF block.
"""

from __future__ import annotations

import io
import re
import xml.etree.ElementTree as ET
from collections.abc import Iterator

_RDF = "http://www.w3.org/1999/02/22-rdf-syntax-ns#"
_EXIF = "http://ns.adobe.com/exif/1.0/"
_TIFF = "http://ns.adobe.com/tiff/1.0/"
_CAMERA_RAW = "http://ns.adobe.com/camera-raw-settings/1.0/"
_PHOTOSHOP = "http://ns.adobe.com/photoshop/1.0/"
_XMP = "http://ns.adobe.com/xap/1.0/"
# Properties of the original's pixels, by namespace.
_PIXEL_PROPERTIES = {
    _TIFF: {"Orientation", "ImageWidth", "ImageLength", "BitsPerSample", "PhotometricInterpretation",
            "SamplesPerPixel", "Compression", "NativeDigest"},
    _EXIF: {"PixelXDimension", "PixelYDimension", "ColorSpace", "NativeDigest"},
    _PHOTOSHOP: {"ICCProfile", "ColorMode"},
    _XMP: {"Thumbnails"},
}
_PACKET_START = '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
_PACKET_END = '\n<?xpacket end="w"?>'


def xmp_for_print(packet: bytes | None, *, keep_gps: bool) -> bytes | None:
    """The packet without the original's pixel properties (and GPS unless ``keep_gps``), as UTF-8.

    A packet that does not parse is left behind: metadata never costs the print.
    """
    if not packet:
        return None
    try:
        text = packet.decode("utf-8-sig", errors="strict").strip("\0 \r\n\t")
        namespaces = dict(_namespaces(text))
        root = ET.fromstring(text)
    except (UnicodeDecodeError, ET.ParseError, ValueError):
        return None
    for element in list(root.iter()):
        for name in [name for name in element.attrib if _dropped(name, keep_gps)]:
            del element.attrib[name]
        for child in [child for child in element if _dropped(child.tag, keep_gps)]:
            element.remove(child)
    for prefix, uri in namespaces.items():
        if prefix and not re.fullmatch(r"ns\d+", prefix):  # ElementTree's own names for the unnamed
            ET.register_namespace(prefix, uri)
    return (_PACKET_START + ET.tostring(root, encoding="unicode") + _PACKET_END).encode("utf-8")


def _dropped(name: str, keep_gps: bool) -> bool:
    namespace, _, local = name[1:].partition("}") if name.startswith("{") else ("", "", name)
    if namespace == _CAMERA_RAW:
        return True
    if namespace == _EXIF and local.startswith("GPS"):
        return not keep_gps
    return local in _PIXEL_PROPERTIES.get(namespace, ())


def _namespaces(text: str) -> Iterator[tuple[str, str]]:
    """The prefixes the packet itself uses, so that the copy reads as the original does."""
    for _, (prefix, uri) in ET.iterparse(io.StringIO(text), events=("start-ns",)):
        yield prefix, uri
