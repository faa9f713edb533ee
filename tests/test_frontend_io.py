"""Reading and writing photographs: formats, bit depths, orientation, profiles, metadata."""

from __future__ import annotations

from pathlib import Path

import imagecodecs
import numpy as np
import pytest
import tifffile
from PIL import Image, ImageOps

import velkor
from velkor.writing import RECIPE_KEY, quantise

RNG = np.random.default_rng(7)
RGB8 = RNG.integers(0, 256, size=(6, 10, 3), dtype=np.uint8)
RGB16 = RNG.integers(0, 65536, size=(6, 10, 3), dtype=np.uint16)


@pytest.fixture
def raw_file(tmp_path: Path) -> Path:
    """A tiny DNG: a flat RGGB mosaic whose camera colours are sRGB's own.

    LibRaw reads DNG like any camera format, so this runs the real RAW path.
    """
    mosaic = np.zeros((32, 48), np.uint16)
    mosaic[0::2, 0::2], mosaic[1::2, 1::2] = 2000, 500
    mosaic[0::2, 1::2] = mosaic[1::2, 0::2] = 1000
    xyz_to_srgb = [3.2404542, -1.5371385, -0.4985314, -0.969266, 1.8760108, 0.041556,
                   0.0556434, -0.2040259, 1.0572252]
    rationals = [part for value in xyz_to_srgb for part in (round(value * 10000), 10000)]
    dng_tags = [
        (33421, "H", 2, (2, 2), True),  # CFARepeatPatternDim
        (33422, "B", 4, (0, 1, 1, 2), True),  # CFAPattern: RGGB
        (50706, "B", 4, (1, 4, 0, 0), True),  # DNGVersion
        (50708, "s", 0, "velkor test camera", True),  # UniqueCameraModel
        (50717, "H", 1, 4095, True),  # WhiteLevel
        (50721, "2i", 9, rationals, True),  # ColorMatrix1
        (50778, "H", 1, 21, True),  # CalibrationIlluminant1: D65
        (50728, "2I", 3, (1, 1, 1, 1, 1, 1), True),  # AsShotNeutral
    ]
    path = tmp_path / "tiny.dng"
    tifffile.imwrite(path, mosaic, photometric=32803, extratags=dng_tags, metadata=None, subfiletype=0)
    return path


def srgb_decode(codes: np.ndarray, max_code: int) -> np.ndarray:
    v = codes.astype(np.float64) / max_code
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def write_pillow(path: Path, pixels: np.ndarray, **params: object) -> Path:
    Image.fromarray(pixels).save(path, **params)
    return path


@pytest.mark.parametrize(
    ("name", "pixels", "writer", "max_code"),
    [
        ("rgb8.png", RGB8, lambda p, a: write_pillow(p, a), 255),
        ("grey8.png", RGB8[:, :, 1], lambda p, a: write_pillow(p, a), 255),
        ("rgb16.png", RGB16, lambda p, a: p.write_bytes(imagecodecs.png_encode(np.ascontiguousarray(a))), 65535),
        ("grey16.png", RGB16[:, :, 0], lambda p, a: p.write_bytes(imagecodecs.png_encode(np.ascontiguousarray(a))), 65535),
        ("rgb8.tif", RGB8, lambda p, a: tifffile.imwrite(p, a, photometric="rgb"), 255),
        ("rgb16.tiff", RGB16, lambda p, a: tifffile.imwrite(p, a, photometric="rgb"), 65535),
        ("grey16.tif", RGB16[:, :, 2], lambda p, a: tifffile.imwrite(p, a), 65535),
    ],
)
def test_integer_files_decode_to_linear_rgb(tmp_path: Path, name, pixels, writer, max_code) -> None:
    path = tmp_path / name
    writer(path, pixels)
    image = velkor.read_image(path)
    expected = srgb_decode(pixels if pixels.ndim == 3 else np.stack([pixels] * 3, axis=2), max_code)
    assert image.linear.dtype == np.float32 and image.linear.flags.c_contiguous
    np.testing.assert_allclose(image.linear, expected, rtol=2e-6, atol=1e-7)


def test_float_tiff_is_taken_as_linear(tmp_path: Path) -> None:
    linear = RNG.random((5, 4, 3), dtype=np.float32) * 4  # scene values above 1 survive
    tifffile.imwrite(tmp_path / "hdr.tif", linear, photometric="rgb")
    np.testing.assert_array_equal(velkor.read_image(tmp_path / "hdr.tif").linear, linear)


def test_jpeg_reads_close_to_its_pixels(tmp_path: Path) -> None:
    flat = np.full((16, 16, 3), (200, 120, 40), dtype=np.uint8)
    image = velkor.read_image(write_pillow(tmp_path / "flat.jpg", flat, quality=95))
    assert image.format == "JPEG"
    np.testing.assert_allclose(image.linear[8, 8], srgb_decode(flat[8, 8], 255), atol=0.01)


@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_orientation_matches_pillow(tmp_path: Path, orientation: int) -> None:
    exif = Image.Exif()
    exif[0x0112] = orientation
    path = write_pillow(tmp_path / "o.png", RGB8, exif=exif)
    upright = np.asarray(ImageOps.exif_transpose(Image.open(path)))
    np.testing.assert_allclose(velkor.read_image(path).linear, srgb_decode(upright, 255), rtol=2e-6)


def test_tiff_orientation_tag_is_honoured(tmp_path: Path) -> None:
    tifffile.imwrite(tmp_path / "o.tif", RGB8, photometric="rgb", extratags=[(274, "H", 1, 6, True)])
    linear = velkor.read_image(tmp_path / "o.tif").linear
    np.testing.assert_allclose(linear, srgb_decode(np.rot90(RGB8, k=-1), 255), rtol=2e-6)


def test_raw_is_developed_linear_without_brightening(raw_file: Path) -> None:
    image = velkor.read_image(raw_file)
    assert image.format == "RAW" and image.linear.shape == (32, 48, 3)
    # The mosaic holds 2000, 1000 and 500 of a white level of 4095 in R, G, B.
    centre = image.linear[8:24, 8:40].reshape(-1, 3).mean(axis=0)
    np.testing.assert_allclose(centre, np.array([2000, 1000, 500]) / 4095, rtol=0.01)


@pytest.mark.parametrize(
    ("name", "content", "error"),
    [
        ("notes.txt", b"hello", velkor.UnsupportedFormatError),
        ("truncated.png", b"\x89PNG\r\n\x1a\n\x00\x00", velkor.UnreadableImageError),
        ("garbage.jpg", b"\x00" * 64, velkor.UnreadableImageError),
        ("garbage.tif", b"II*\x00" + b"\xff" * 16, velkor.UnreadableImageError),
        ("garbage.nef", b"\x00" * 64, velkor.UnreadableImageError),
    ],
)
def test_bad_inputs_raise_named_errors(tmp_path: Path, name: str, content: bytes, error: type) -> None:
    (tmp_path / name).write_bytes(content)
    with pytest.raises(error, match=name):
        velkor.read_image(tmp_path / name)


def test_gif_data_in_a_png_name_is_unsupported(tmp_path: Path) -> None:
    Image.fromarray(RGB8).save(tmp_path / "fake.png", format="GIF")
    with pytest.raises(velkor.UnsupportedFormatError, match="GIF"):
        velkor.read_image(tmp_path / "fake.png")


@pytest.mark.parametrize(("suffix", "bit_depth"), [(".png", 8), (".png", 16), (".tif", 8), (".tiff", 16)])
def test_written_files_round_trip_with_metadata(tmp_path: Path, suffix: str, bit_depth: int) -> None:
    display = np.linspace(-0.25, 1.25, 60, dtype=np.float32).reshape(6, 10, 1)
    path = velkor.write_image(tmp_path / f"out{suffix}", display, bit_depth=bit_depth, recipe="name = \"x\"\n")
    max_code = (1 << bit_depth) - 1
    expected = np.rint(np.clip(display[:, :, 0], 0, 1) * max_code)
    if suffix == ".png":
        with Image.open(path) as image:
            codes = np.asarray(image)
            assert image.info["Software"].startswith("velkor")
            assert image.info[RECIPE_KEY] == 'name = "x"\n'
    else:
        with tifffile.TiffFile(path) as tiff:
            codes = tiff.asarray()
            assert tiff.pages.first.tags["Software"].value.startswith("velkor")
            assert tiff.pages.first.description == 'name = "x"'
    assert codes.dtype == (np.uint8 if bit_depth == 8 else np.uint16)
    np.testing.assert_array_equal(codes, expected)


def test_recipe_with_non_ascii_name_survives_a_tiff(tmp_path: Path) -> None:
    look = velkor.Pipeline(name="porträt ε 🎞", description="für Anna")
    path = velkor.write_image(tmp_path / "p.tif", np.zeros((2, 2, 1), np.float32), recipe=look.to_toml())
    with tifffile.TiffFile(path) as tiff:
        assert velkor.Pipeline.from_toml(tiff.pages.first.description) == look


def test_dither_keeps_the_mean_and_breaks_up_bands() -> None:
    ramp = np.full((64, 64, 1), 100.4 / 255, dtype=np.float32)
    plain, dithered = quantise(ramp, 8), quantise(ramp, 8, dither=True)
    assert np.unique(plain).tolist() == [100]
    assert len(np.unique(dithered)) > 1
    assert abs(dithered.mean() - 100.4) < 0.05
    np.testing.assert_array_equal(dithered, quantise(ramp, 8, dither=True))  # reproducible
