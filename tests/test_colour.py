"""Colour-managed input: every tagged file lands on linear Rec. 709 with its own luminance."""

from __future__ import annotations

import io
import struct
from pathlib import Path

import numpy as np
import pillow_heif
import pytest
import tifffile
import velkor
import velkor_core as core
from icc_profiles import CMYK, GREY_LSTAR, RGB_LUT, icc
from PIL import Image, ImageCms, PngImagePlugin
from velkor.io.writing import quantise

pillow_heif.register_heif_opener()  # the HEIF cases are written through Pillow

COLORD = Path("/usr/share/color/icc/colord")  # Debian's colord-data
PATCHES = np.array([[255, 0, 0], [0, 255, 0], [0, 0, 255], [200, 60, 30], [30, 160, 60],
                    [40, 70, 200], [128, 128, 128], [250, 250, 250], [12, 12, 12]], np.uint8)
IMAGE = np.repeat(np.repeat(PATCHES[None], 16, axis=0), 16, axis=1)  # 16 x 16 blocks survive lossy codecs
ADOBE_Y = np.array([0.2973769, 0.6273491, 0.0752741])  # Y row of Adobe RGB (1998) to XYZ
ADOBE_GAMMA = 563 / 256


def colord(name: str) -> bytes:
    if not (COLORD / name).exists():
        pytest.skip("colord-data is not installed")
    return (COLORD / name).read_bytes()


def adobe_exif() -> Image.Exif:
    exif = Image.Exif()
    exif[0x8769] = {0xA001: 0xFFFF, 0xA005: {1: "R03"}}  # colour space uncalibrated, interop R03
    return exif


def png_chunk(kind: bytes, data: bytes) -> PngImagePlugin.PngInfo:
    info = PngImagePlugin.PngInfo()
    info.add(kind, data)
    return info


GREY_GAMMA_1 = icc(b"GRAY", b"XYZ ", [(b"kTRC", b"curv\0\0\0\0" + struct.pack(">IH", 1, 256))])


def chrm_gama() -> PngImagePlugin.PngInfo:
    """PNG chunks naming Adobe RGB's primaries, D65 white and gamma."""
    xy = (0.3127, 0.329, 0.64, 0.33, 0.21, 0.71, 0.15, 0.06)
    info = png_chunk(b"cHRM", struct.pack(">8I", *(round(v * 100000) for v in xy)))
    info.add(b"gAMA", struct.pack(">I", round(100000 / ADOBE_GAMMA)))
    return info


def adobe(v: np.ndarray) -> np.ndarray:
    return (v**ADOBE_GAMMA) @ ADOBE_Y


def display_p3(v: np.ndarray) -> np.ndarray:
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4) @ [0.2289746, 0.6917385, 0.0792869]


# (file name, writer, luminance the file's own colour space gives the patches)
CASES = [
    ("icc.png", lambda p: Image.fromarray(IMAGE).save(p, icc_profile=colord("AdobeRGB1998.icc")), adobe),
    ("icc16.tif", lambda p: tifffile.imwrite(p, IMAGE.astype(np.uint16) * 257, photometric="rgb",
                                             iccprofile=colord("AdobeRGB1998.icc")), adobe),
    ("r03.jpg", lambda p: Image.fromarray(IMAGE).save(p, quality=100, subsampling=0, exif=adobe_exif()), adobe),
    ("icc.webp", lambda p: Image.fromarray(IMAGE).save(p, lossless=True, icc_profile=colord("AdobeRGB1998.icc")),
     adobe),
    ("icc.heic", lambda p: Image.fromarray(IMAGE).save(p, quality=-1, icc_profile=colord("AdobeRGB1998.icc")),
     adobe),
    ("nclx.heic", lambda p: Image.fromarray(IMAGE).save(p, quality=-1, color_primaries=12, matrix_coefficients=0,
                                                         transfer_characteristics=13), display_p3),
    ("chrm.png", lambda p: Image.fromarray(IMAGE).save(p, pnginfo=chrm_gama()), adobe),
    ("cicp.png", lambda p: Image.fromarray(IMAGE).save(p, pnginfo=png_chunk(b"cICP", bytes([1, 8, 0, 1]))),
     lambda v: v @ [0.2126, 0.7152, 0.0722]),
]


@pytest.mark.parametrize(("name", "write", "luminance"), CASES, ids=[c[0] for c in CASES])
def test_patches_keep_the_luminance_of_their_colour_space(tmp_path: Path, name: str, write, luminance) -> None:
    write(tmp_path / name)
    linear = velkor.read_image(tmp_path / name).linear[8::16, 8::16]
    codes = quantise(velkor.preset("neutral").run(linear), 16).ravel() / 257.0
    expected = core.encode_srgb(np.float32(luminance(PATCHES / 255.0)).reshape(1, -1, 1)).ravel() * 255
    np.testing.assert_allclose(codes, expected, atol=2.0)
    if luminance is adobe:  # Adobe RGB's green lies outside sRGB: a negative red, not a clipped one
        assert linear[0, 1, 0] < -0.3


@pytest.mark.parametrize("profile", ["AdobeRGB1998.icc", "ProPhotoRGB.icc", "Rec709.icc"])
def test_colours_agree_with_littlecms_where_it_does_not_clip(tmp_path: Path, profile: str) -> None:
    muted = (PATCHES // 3 + 70)[None]
    Image.fromarray(muted).save(tmp_path / "in.png", icc_profile=colord(profile))
    ours = core.encode_srgb(velkor.read_image(tmp_path / "in.png").linear) * 255
    source = ImageCms.ImageCmsProfile(str(COLORD / profile))
    theirs = ImageCms.profileToProfile(Image.fromarray(muted), source, ImageCms.createProfile("sRGB"),
                                       renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC)
    np.testing.assert_allclose(np.clip(ours, 0, 255), np.asarray(theirs), atol=1.5)  # theirs clips to sRGB


GREYS = np.arange(0, 256, 15, dtype=np.uint8)[None]
RAMP16 = np.repeat(np.linspace(0, 65535, 1024).astype(np.uint16)[None, :, None], 3, axis=2)  # 1024 levels
INKS = np.random.default_rng(3).integers(0, 256, (1, 64, 4), dtype=np.uint8)
BLOCKS = (slice(8, 9), slice(8, None, 16))  # the middle of each 16 x 16 block of a JPEG


def cmyk_jpeg(path: Path) -> None:
    Image.fromarray(np.repeat(np.repeat(INKS, 16, axis=0), 16, axis=1), "CMYK").save(
        path, quality=100, subsampling=0, icc_profile=CMYK)  # Pillow writes Adobe's inverted CMYK


# (file, writer, its profile, 8-bit codes for littleCMS, where they are in the file, intent)
LITTLECMS_CASES = [
    ("gamma.png", lambda p: Image.fromarray(GREYS).save(p, icc_profile=GREY_GAMMA_1), GREY_GAMMA_1, GREYS, ..., "relative"),
    ("lstar.png", lambda p: Image.fromarray(GREYS).save(p, icc_profile=GREY_LSTAR), GREY_LSTAR, GREYS, ..., "relative"),
    ("lut16.tif", lambda p: tifffile.imwrite(p, RAMP16, photometric="rgb", iccprofile=RGB_LUT), RGB_LUT,
     np.rint(RAMP16 / 257).astype(np.uint8), ..., "relative"),
    ("cmyk.jpg", cmyk_jpeg, CMYK, INKS, BLOCKS, "relative"),
    ("cmyk.jpg", cmyk_jpeg, CMYK, INKS, BLOCKS, "perceptual"),
    ("cmyk16.tif", lambda p: tifffile.imwrite(p, INKS.astype(np.uint16) * 257, photometric="separated",
                                              iccprofile=CMYK), CMYK, INKS, ..., "absolute"),
]


@pytest.mark.parametrize(("name", "write", "profile", "codes", "where", "intent"), LITTLECMS_CASES)
def test_other_profiles_read_as_littlecms_reads_them(tmp_path: Path, name, write, profile, codes, where, intent) -> None:
    write(tmp_path / name)
    linear = velkor.read_image(tmp_path / name, intent=intent).linear
    lcms_intent = ImageCms.Intent.PERCEPTUAL if intent == "perceptual" else ImageCms.Intent[f"{intent.upper()}_COLORIMETRIC"]
    theirs = ImageCms.profileToProfile(
        Image.fromarray(codes, "CMYK" if codes.shape[-1] == 4 else None), ImageCms.ImageCmsProfile(io.BytesIO(profile)),
        ImageCms.createProfile("sRGB"), renderingIntent=lcms_intent, outputMode="RGB",
        flags=ImageCms.Flags.NONE if intent == "absolute" else ImageCms.Flags.BLACKPOINTCOMPENSATION)
    ours = core.encode_srgb(np.ascontiguousarray(linear[where])) * 255
    np.testing.assert_allclose(ours, np.asarray(theirs), atol=1.5)  # theirs from 8 bits, ours from 16 in lut16.tif
    # 16 bits in, 16 bits' worth out; beside NumPy 1.26, pip's imagecodecs cannot, and Pillow converts at 8 bits
    if name == "lut16.tif" and np.__version__ >= "2":
        assert len(np.unique(linear[0, :, 1])) > 1000


# Band by band on any number of threads alike: test_pool.py.
def test_large_images_decode_band_by_band_to_the_same_values() -> None:
    from velkor.io.transfer import _decode_table, decode_integer_srgb

    codes = np.random.default_rng(5).integers(0, 65536, (2101, 1001, 2), dtype=np.uint16)  # bands end mid-image
    assert np.array_equal(decode_integer_srgb(codes, 65535), _decode_table(65535)[codes])
