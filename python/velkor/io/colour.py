"""Colour-managed input: every photograph to linear light on Rec. 709 primaries.

A file says what its numbers mean through an ICC profile, a PNG ``cICP``,
``sRGB`` or ``gAMA``/``cHRM`` chunk, a HEIF ``nclx`` box, or the EXIF
interoperability index that cameras write for Adobe RGB. Each of these
becomes an :class:`InputSpace`: one decoding curve per channel and a 3 x 3
matrix to linear Rec. 709 (sRGB) primaries. The conversion is unbounded, in
floating point: a colour outside sRGB's gamut keeps its luminance and comes
out with a negative component, which the grey conversion carries through.

Matrix/TRC RGB profiles, which nearly every photograph carries (sRGB, Adobe
RGB, Display P3, ProPhoto, Rec. 2020), are evaluated here at full precision;
their colorants are read through littleCMS (Pillow's ``ImageCms``). Every
other profile (lookup tables, grey on gamma or on L*, CMYK) goes through
littleCMS itself (imagecodecs' binding, which takes 16-bit and float
samples), at 16 bits to sRGB, or in floating point for float samples and
grey, so a 16-bit scan keeps its 16 bits; those colours are held to sRGB's
gamut, as littleCMS's integer transforms hold them.

Rendering intent: matrix profiles have only the colorimetric one, so the
intent matters only for lookup-table profiles, and one default serves them
all: relative colorimetric with black-point compensation, the conversion
Photoshop and Lightroom make by default. Paper white becomes white, the
profile's darkest black becomes black, and the tones in between keep their
measured lightness, which is what a black-and-white print is made of; a
perceptual table is each vendor's own gamut mapping and differs between
profiles of the same paper.
"""

from __future__ import annotations

import dataclasses
import functools
import io
import struct
import warnings
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import velkor_core as core
from PIL import Image, ImageCms

from velkor._types import FloatImage
from velkor.errors import ColourProfileWarning
from velkor.io.transfer import decode_integer_srgb, srgb_to_linear
from velkor.model.names import DEFAULT_INTENT, INTENTS

Curve = Callable[[npt.NDArray[np.float64]], npt.NDArray[np.float64]]
Matrix = npt.NDArray[np.float64]
Chromaticities = tuple[tuple[float, float], tuple[float, float], tuple[float, float], tuple[float, float]]

D65 = (0.3127, 0.3290)
D50_XYZ = np.array([0.9642, 1.0, 0.8249])  # the ICC connection space's white
REC709: Chromaticities = ((0.64, 0.33), (0.30, 0.60), (0.15, 0.06), D65)
ADOBE_RGB: Chromaticities = ((0.64, 0.33), (0.21, 0.71), (0.15, 0.06), D65)
ADOBE_RGB_GAMMA = 563 / 256


_EXIF_IFD, _INTEROP_IFD, _COLOUR_SPACE, _INTEROP_INDEX = 0x8769, 0xA005, 0xA001, 0x0001


@dataclasses.dataclass(frozen=True)
class InputSpace:
    """How to turn a file's samples into linear Rec. 709 RGB."""

    name: str
    curves: tuple[Curve, Curve, Curve]
    matrix: Matrix | None = None
    """To linear Rec. 709 primaries; None when the primaries are Rec. 709's (or grey)."""
    icc: bytes | None = None
    """A profile that littleCMS applies (lookup tables, grey, CMYK)."""
    intent: str = DEFAULT_INTENT


def _srgb_curve(v: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return np.sign(v) * srgb_to_linear(np.abs(v)).astype(np.float64)


SRGB = InputSpace("sRGB", (_srgb_curve,) * 3)
LINEAR_SRGB = InputSpace("linear sRGB", (lambda v: v,) * 3)


def to_linear(samples: npt.NDArray[Any], space: InputSpace, max_code: int | None) -> FloatImage:
    """Decode (H, W, 3) samples (4 for CMYK): integer codes 0..max_code, or floats (max_code None)."""
    if space.icc is not None:
        return _through_littlecms(samples, space, max_code)
    if space is LINEAR_SRGB and max_code is None:
        return np.ascontiguousarray(samples, dtype=np.float32)
    if max_code is not None and space is SRGB:
        linear = decode_integer_srgb(samples, max_code)  # the common case, by table
    elif max_code is not None:
        codes = np.arange(max_code + 1, dtype=np.float64) / max_code
        tables = np.stack([curve(codes) for curve in space.curves]).astype(np.float32)
        same = np.array_equal(tables[0], tables[1]) and np.array_equal(tables[0], tables[2])
        linear = tables[0][samples] if same else tables[np.arange(3), samples]
    else:
        values = samples.astype(np.float64)
        linear = np.stack([c(values[..., i]) for i, c in enumerate(space.curves)], axis=2).astype(np.float32)
    if space.matrix is None:
        return np.ascontiguousarray(linear, dtype=np.float32)
    # The mixer kernel is a bit-reproducible, threaded row of a 3 x 3 product.
    return np.concatenate([core.channel_mixer_bw(linear, *row) for row in space.matrix], axis=2)


def pillow_space(image: Image.Image, path: Path, intent: str = DEFAULT_INTENT) -> InputSpace:
    """The space of an image opened by Pillow (JPEG, PNG, WebP, HEIF)."""
    info = image.info
    grey = image.mode in ("1", "L", "LA", "La", "I", "I;16", "I;16B", "I;16L")
    if image.format == "PNG" and (cicp := _png_cicp(path)) is not None:
        return _coded_space(*cicp, path)
    if isinstance(nclx := info.get("nclx_profile"), Mapping):
        return _coded_space(nclx["color_primaries"], nclx["transfer_characteristics"], path)
    if info.get("icc_profile"):
        return icc_space(info["icc_profile"], path, grey=grey, cmyk=image.mode == "CMYK", intent=intent)
    if "srgb" in info:
        return SRGB
    if "gamma" in info or "chromaticity" in info:
        gamma = info.get("gamma")
        curve = _power(1.0 / gamma) if gamma else _srgb_curve
        chroma = info.get("chromaticity")
        pairs = REC709 if grey or not chroma else (chroma[2:4], chroma[4:6], chroma[6:8], chroma[0:2])
        return InputSpace("PNG gAMA/cHRM", (curve,) * 3, None if grey else primaries_matrix(pairs))
    exif = image.getexif()
    # Cameras set to Adobe RGB mark JPEGs "R03" and colour space "uncalibrated".
    if str(exif.get_ifd(_INTEROP_IFD).get(_INTEROP_INDEX, "")).startswith("R03") and (
        exif.get_ifd(_EXIF_IFD).get(_COLOUR_SPACE) != 1
    ):
        return InputSpace("Adobe RGB (1998)", (_power(ADOBE_RGB_GAMMA),) * 3, primaries_matrix(ADOBE_RGB))
    return SRGB


def icc_space(
    icc: bytes | None, path: Path, *, grey: bool = False, cmyk: bool = False, otherwise: InputSpace = SRGB,
    intent: str = DEFAULT_INTENT,
) -> InputSpace:
    """The space an ICC profile describes; ``otherwise`` when there is none."""
    if not icc:
        return otherwise
    expected = "CMYK" if cmyk else "GRAY" if grey else "RGB"
    try:
        profile = ImageCms.ImageCmsProfile(io.BytesIO(icc)).profile
        description = (profile.profile_description or "").strip()
        kind = profile.xcolor_space.strip()
        tags = _icc_tags(icc)
        # A grey profile's curve leads to L* rather than luminance when its
        # connection space is Lab: littleCMS knows both, and a grey table costs nothing.
        if kind == expected and kind in ("GRAY", "CMYK"):
            return InputSpace(description, SRGB.curves, icc=icc, intent=intent)
        if kind == "RGB" and expected == "RGB" and profile.is_matrix_shaper:
            curves = tuple(_icc_curve(tags[t]) for t in (b"rTRC", b"gTRC", b"bTRC"))
            columns = (profile.red_colorant, profile.green_colorant, profile.blue_colorant)
            colorants = np.array([(c or ((0.0,) * 3,))[0] for c in columns])
            return InputSpace(description, (curves[0], curves[1], curves[2]), xyz_d50_matrix(colorants.T))
        if kind == "RGB" and expected == "RGB":
            return InputSpace(description, SRGB.curves, icc=icc, intent=intent)
    except (OSError, ValueError, TypeError, KeyError, struct.error) as error:  # PyCMSError is an OSError
        _warn(f"{path}: embedded ICC profile (unreadable: {error}); colours are read as sRGB")
        return SRGB
    _warn(f"{path}: embedded ICC profile '{description}' is for {kind or 'unknown'} data, "
          f"not {expected.replace('GRAY', 'grey')}; colours are read as sRGB")
    return SRGB


def primaries_matrix(chromaticities: Chromaticities) -> Matrix | None:
    """Linear RGB on these primaries and white to linear Rec. 709, white to white (Bradford)."""
    to_xyz = _rgb_to_xyz(chromaticities)
    white = to_xyz @ np.ones(3)
    return _white_preserving(_xyz_to_rec709() @ _bradford(white, _rgb_to_xyz(REC709) @ np.ones(3)) @ to_xyz)


def xyz_d50_matrix(colorants: Matrix) -> Matrix | None:
    """An ICC profile's colorant columns (connection space, D50) to linear Rec. 709."""
    return _white_preserving(_xyz_to_rec709() @ _bradford(D50_XYZ, _rgb_to_xyz(REC709) @ np.ones(3)) @ colorants)


def _white_preserving(matrix: Matrix) -> Matrix | None:
    # Colorants are stored to 1/65536; scaling the columns so that (1, 1, 1)
    # lands exactly on (1, 1, 1) keeps a neutral grey neutral. A matrix that
    # close to the identity (an sRGB profile) is no conversion at all.
    balanced: Matrix = matrix * np.linalg.solve(matrix, np.ones(3))
    return None if np.abs(balanced - np.eye(3)).max() < 5e-4 else balanced


def _rgb_to_xyz(chromaticities: Chromaticities) -> Matrix:
    xyz = np.array([[x / y, 1.0, (1.0 - x - y) / y] for x, y in chromaticities]).T
    scale = np.linalg.solve(xyz[:, :3], xyz[:, 3])
    return xyz[:, :3] * scale


@functools.cache
def _xyz_to_rec709() -> Matrix:
    return np.linalg.inv(_rgb_to_xyz(REC709))


def _bradford(source_white: Matrix, target_white: Matrix) -> Matrix:
    cone = np.array([[0.8951, 0.2664, -0.1614], [-0.7502, 1.7135, 0.0367], [0.0389, -0.0685, 1.0296]])
    gain = (cone @ target_white) / (cone @ source_white)
    result: Matrix = np.linalg.inv(cone) @ np.diag(gain) @ cone
    return result


def _power(gamma: float) -> Curve:
    return lambda v: np.sign(v) * np.abs(v) ** gamma


def _bt709_curve(v: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    a = np.abs(v)
    return np.sign(v) * np.where(a < 0.081, a / 4.5, ((a + 0.099) / 1.099) ** (1 / 0.45))


# Code points of ITU-T H.273, shared by PNG cICP and HEIF nclx.
_CODED_PRIMARIES: dict[int, Chromaticities] = {
    1: REC709,
    5: ((0.64, 0.33), (0.29, 0.60), (0.15, 0.06), D65),
    6: ((0.630, 0.340), (0.310, 0.595), (0.155, 0.070), D65),
    7: ((0.630, 0.340), (0.310, 0.595), (0.155, 0.070), D65),
    9: ((0.708, 0.292), (0.170, 0.797), (0.131, 0.046), D65),
    11: ((0.680, 0.320), (0.265, 0.690), (0.150, 0.060), (0.314, 0.351)),
    12: ((0.680, 0.320), (0.265, 0.690), (0.150, 0.060), D65),
}
_CODED_CURVES: dict[int, Curve] = {
    1: _bt709_curve, 6: _bt709_curve, 14: _bt709_curve, 15: _bt709_curve,
    4: _power(2.2), 5: _power(2.8), 8: lambda v: v, 13: _srgb_curve,
}


def _coded_space(primaries: int, transfer: int, path: Path) -> InputSpace:
    if primaries == 2 and transfer == 2:  # both "unspecified"
        return SRGB
    if primaries not in _CODED_PRIMARIES | {2: REC709} or transfer not in _CODED_CURVES | {2: _srgb_curve}:
        _warn(f"{path}: colour code points (primaries {primaries}, transfer {transfer}) "
              "are not supported; colours are read as sRGB")
        return SRGB
    matrix = primaries_matrix(_CODED_PRIMARIES.get(primaries, REC709))
    return InputSpace(f"H.273 {primaries}/{transfer}", (_CODED_CURVES.get(transfer, _srgb_curve),) * 3, matrix)


def _png_cicp(path: Path) -> tuple[int, int] | None:
    """(primaries, transfer) from a PNG's cICP chunk, which sits before the pixel data."""
    with path.open("rb") as stream:
        stream.seek(8)
        while header := stream.read(8):
            length, kind = struct.unpack(">I4s", header)
            if kind == b"cICP" and length >= 2:
                primaries, transfer = stream.read(2)
                return primaries, transfer
            if kind in (b"IDAT", b"IEND") or len(header) < 8:
                return None
            stream.seek(length + 4, io.SEEK_CUR)
    return None


def _icc_tags(icc: bytes) -> dict[bytes, bytes]:
    (count,) = struct.unpack_from(">I", icc, 128)
    tags = {}
    for index in range(count):
        signature, offset, size = struct.unpack_from(">4sII", icc, 132 + 12 * index)
        tags[signature] = icc[offset : offset + size]
    return tags


_PARAMETRIC_COUNTS = {0: 1, 1: 3, 2: 4, 3: 5, 4: 7}


def _icc_curve(tag: bytes) -> Curve:
    """An ICC tone curve (``curv`` or ``para``), odd-symmetric below 0 for float data."""
    if tag[:4] == b"curv":
        (count,) = struct.unpack_from(">I", tag, 8)
        if count == 0:
            return lambda v: v
        if count == 1:
            return _power(struct.unpack_from(">H", tag, 12)[0] / 256)
        table = np.frombuffer(tag, ">u2", count, 12) / 65535.0
        grid = np.linspace(0.0, 1.0, count)
        slope = (table[-1] - table[-2]) * (count - 1)
        return lambda v: np.sign(v) * np.where(
            np.abs(v) > 1.0, table[-1] + (np.abs(v) - 1.0) * slope, np.interp(np.abs(v), grid, table)
        )
    if tag[:4] == b"para":
        (kind,) = struct.unpack_from(">H", tag, 8)
        count = _PARAMETRIC_COUNTS[kind]
        p = [n / 65536 for n in struct.unpack_from(f">{count}i", tag, 12)]
        g, a, b, c, d, e, f = p[0], 1.0, 0.0, 0.0, 0.0, 0.0, 0.0
        if kind in (1, 2):
            a, b = p[1], p[2]
            d = -b / a
            e = f = p[3] if kind == 2 else 0.0
        elif kind >= 3:
            a, b, c, d = p[1:5]
            e, f = (p[5], p[6]) if kind == 4 else (0.0, 0.0)

        def parametric(v: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
            x = np.abs(v)
            power = np.maximum(a * x + b, 0.0) ** g + e
            return np.sign(v) * np.where(x >= d, power, c * x + f)

        return parametric
    raise ValueError(f"unknown tone curve type {tag[:4]!r}")


@functools.cache
def _littlecms() -> Any:
    # imagecodecs takes a sixth of a second to import: only when a profile needs littleCMS.
    import imagecodecs

    return imagecodecs


@functools.cache
def _linear_rec709() -> bytes:
    return bytes(_littlecms().cms_profile("linearrgb"))


@functools.cache
def _srgb() -> bytes:
    return bytes(_littlecms().cms_profile("srgb"))


def _through_littlecms(samples: npt.NDArray[Any], space: InputSpace, max_code: int | None) -> FloatImage:
    """Samples through littleCMS to linear Rec. 709, from their own 8 or 16 bits, or float.

    Integer samples come out as 16-bit sRGB codes, decoded by table: a
    16-bit gradient keeps its steps, and littleCMS's optimised integer
    transforms are four times as fast as its float ones, which evaluate
    every stage for every pixel (28 s for a 24-megapixel CMYK photograph).
    Grey needs only a table of every code, computed in float.
    """
    assert space.icc is not None
    if max_code is not None and max_code not in (255, 65535):  # 10- and 12-bit HEIF
        samples = ((samples.astype(np.uint32) * 65535 + max_code // 2) // max_code).astype(np.uint16)
    elif max_code is None:
        samples = samples.astype(np.float32)
    if space.icc[16:20] == b"GRAY":
        if max_code is None:
            return _cms_transform(np.ascontiguousarray(samples[..., 0]), space, _linear_rec709(), np.float32)
        ramp = np.arange(np.iinfo(samples.dtype).max + 1, dtype=samples.dtype)[np.newaxis]
        table = _cms_transform(ramp, space, _linear_rec709(), np.float32)[0]
        return np.ascontiguousarray(table[samples[..., 0]])
    if max_code is None:
        return _cms_transform(np.ascontiguousarray(samples), space, _linear_rec709(), np.float32)
    codes = _cms_transform(np.ascontiguousarray(samples), space, _srgb(), np.uint16)
    return decode_integer_srgb(codes, 65535)


def _cms_transform(samples: npt.NDArray[Any], space: InputSpace, target: bytes, dtype: type) -> npt.NDArray[Any]:
    intent = INTENTS[space.intent]
    imagecodecs = _littlecms()
    flags = imagecodecs.CMS.FLAGS.BLACKPOINTCOMPENSATION if intent in (0, 1) else 0
    try:
        converted: npt.NDArray[Any] = imagecodecs.cms_transform(
            samples, space.icc, target, outcolorspace="rgb", outdtype=dtype, intent=intent, flags=flags,
        )
    except imagecodecs.CmsError:
        # The imagecodecs that pip chooses beside NumPy 1.26 cannot build a
        # transform from a lookup-table profile; Pillow's littleCMS can, at 8 bits.
        return _through_pillow(samples, space, target, dtype)
    return converted


def _through_pillow(samples: npt.NDArray[Any], space: InputSpace, target: bytes, dtype: type) -> npt.NDArray[Any]:
    assert space.icc is not None
    if samples.dtype.kind == "f":
        codes = np.rint(np.clip(samples, 0.0, 1.0) * 255).astype(np.uint8)
    else:
        codes = np.rint(samples / 257.0).astype(np.uint8) if samples.dtype == np.uint16 else samples.astype(np.uint8)
    mode = {1: "L", 3: "RGB", 4: "CMYK"}[1 if codes.ndim == 2 else codes.shape[2]]
    flags = ImageCms.Flags.BLACKPOINTCOMPENSATION if INTENTS[space.intent] in (0, 1) else ImageCms.Flags.NONE
    transform = ImageCms.buildTransform(
        ImageCms.ImageCmsProfile(io.BytesIO(space.icc)), ImageCms.ImageCmsProfile(io.BytesIO(target)), mode, "RGB",
        renderingIntent=ImageCms.Intent(INTENTS[space.intent]), flags=flags)
    rgb = np.asarray(ImageCms.applyTransform(Image.fromarray(codes, mode), transform))
    if dtype is np.uint16:
        return rgb.astype(np.uint16) * np.uint16(257)
    return rgb.astype(np.float32) / np.float32(255)


def _warn(message: str) -> None:
    warnings.warn(message, ColourProfileWarning, stacklevel=4)
