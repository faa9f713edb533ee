"""Reading and writing photographs: formats, bit depths, orientation, profiles, metadata."""

from __future__ import annotations

import contextlib
import errno
import io
import os
import struct
import warnings
import zlib
from pathlib import Path

import imagecodecs
import numpy as np
import pytest
import tifffile
import velkor
from PIL import Image, ImageFile, ImageOps
from velkor.io.writing import RECIPE_KEY, quantise

# The imagecodecs that NumPy 1.26 gets has no fax decoder.
FAX = "group4" if hasattr(imagecodecs, "CCITTFAX4") else "raw"

RNG = np.random.default_rng(7)
RGB8 = RNG.integers(0, 256, size=(6, 10, 3), dtype=np.uint8)
RGB16 = RNG.integers(0, 65536, size=(6, 10, 3), dtype=np.uint16)


def test_raw_is_developed_linear_without_brightening(tmp_path: Path) -> None:
    # A tiny DNG, a flat RGGB mosaic whose camera colours are sRGB's own:
    # LibRaw reads DNG like any camera format, so this runs the real RAW path.
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
    tifffile.imwrite(tmp_path / "tiny.dng", mosaic, photometric=32803, extratags=dng_tags, metadata=None,
                     subfiletype=0)
    image = velkor.read_image(tmp_path / "tiny.dng")
    assert image.format == "RAW" and image.linear.shape == (32, 48, 3)
    # The mosaic holds 2000, 1000 and 500 of a white level of 4095 in R, G, B.
    centre = image.linear[8:24, 8:40].reshape(-1, 3).mean(axis=0)
    np.testing.assert_allclose(centre, np.array([2000, 1000, 500]) / 4095, rtol=0.01)


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


COVER = np.resize(np.array([0, 128, 255], np.uint8), RGB8.shape[:2])  # none, half, whole
RGBA8 = np.dstack([RGB8, COVER])
PREMULTIPLIED = np.dstack([np.rint(RGB8 * (COVER[..., None] / 255)).astype(np.uint8), COVER])


def tiff_alpha(pixels: np.ndarray, kind: str):
    return lambda p: tifffile.imwrite(p, pixels, photometric="minisblack" if pixels.shape[2] == 2 else "rgb",
                                      extrasamples=[kind])


@pytest.mark.parametrize(("name", "write", "colour", "tolerance"), [  # colour: the straight codes
    ("rgba.png", lambda p: write_pillow(p, RGBA8), RGB8, 1e-6),
    ("la16.png", lambda p: p.write_bytes(imagecodecs.png_encode(np.dstack([RGB8[..., :1], COVER]).astype(np.uint16) * 257)),
     RGB8[..., :1], 1e-6),
    ("rgba.webp", lambda p: write_pillow(p, RGBA8, lossless=True, exact=True), RGB8, 1e-6),
    ("rgba.heic", lambda p: write_pillow(p, RGBA8, quality=-1, chroma=444, matrix_coefficients=0), RGB8, 1e-6),
    ("straight.tif", tiff_alpha(RGBA8, "unassalpha"), RGB8, 1e-6),
    ("premultiplied.tif", tiff_alpha(PREMULTIPLIED, "assocalpha"), RGB8, 5e-3),
    ("la-premultiplied.tif", tiff_alpha(PREMULTIPLIED[..., 2:], "assocalpha"), RGB8[..., 2:3], 5e-3),
])
def test_transparent_pixels_show_white_paper_in_linear_light(tmp_path: Path, name, write, colour, tolerance) -> None:
    write(tmp_path / name)
    linear, cover = srgb_decode(np.repeat(colour, 3 // colour.shape[2], axis=2), 255), COVER[..., None] / 255
    np.testing.assert_allclose(velkor.read_image(tmp_path / name).linear, linear * cover + (1 - cover), atol=tolerance)
    kept = velkor.read_image(tmp_path / name, background=None)
    np.testing.assert_allclose(kept.alpha, cover, atol=1e-6)
    np.testing.assert_allclose(kept.linear[COVER == 255], linear[COVER == 255], atol=tolerance)


@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_and_tiff_orientation_match_pillow(tmp_path: Path, orientation: int) -> None:
    exif = Image.Exif()
    exif[0x0112] = orientation
    path = write_pillow(tmp_path / "o.png", RGB8, exif=exif)
    upright = srgb_decode(np.asarray(ImageOps.exif_transpose(Image.open(path))), 255)
    tifffile.imwrite(tmp_path / "o.tif", RGB8, photometric="rgb", extratags=[(274, "H", 1, orientation, True)])
    for read in (path, tmp_path / "o.tif"):
        np.testing.assert_allclose(velkor.read_image(read).linear, upright, rtol=2e-6)


def huge_png(path: Path) -> None:  # a header, and no pixels to speak of
    chunks = [b"IHDR" + struct.pack(">IIBBBBB", 100000, 100000, 8, 2, 0, 0, 0), b"IDAT", b"IEND"]
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + b"".join(struct.pack(">I", len(c) - 4) + c + struct.pack(">I", zlib.crc32(c))
                                                   for c in chunks))


def huge_tiff(path: Path) -> None:
    tifffile.imwrite(path, RGB8, photometric="rgb")
    with tifffile.TiffFile(path, mode="r+b") as tiff:
        for name in ("ImageWidth", "ImageLength"):
            tiff.pages.first.tags[name].overwrite(100000)


@pytest.mark.parametrize("name", ["p.png", "p.jpg", "p.webp", "p.heic", "p.tif"])
def test_one_size_limit_for_every_format(tmp_path: Path, name: str) -> None:
    edge = RGB8.shape[0] * RGB8.shape[1] * 12  # float32 RGB
    velkor.read_image(write_pillow(tmp_path / name, RGB8), memory_limit=edge)
    with pytest.raises(velkor.ImageTooLargeError, match=f"{name} is 10 x 6 pixels"):
        velkor.read_image(tmp_path / name, memory_limit=edge - 1)


def damaged_tiff(path: Path, compression: str, cut: slice) -> None:
    tifffile.imwrite(path, np.tile(RGB8, (20, 10, 1)), photometric="rgb", compression=compression, tile=(32, 32))
    data = bytearray(path.read_bytes())
    data[cut] = b""  # truncates, or with a step, shifts the compressed bytes
    path.write_bytes(bytes(data))


@pytest.mark.parametrize(
    ("name", "content", "error", "message"),
    [
        ("notes.txt", b"hello", velkor.UnsupportedFormatError, ""),
        ("truncated.png", b"\x89PNG\r\n\x1a\n\x00\x00", velkor.UnreadableImageError, ""),
        ("garbage.jpg", b"\x00" * 64, velkor.UnreadableImageError, ""),
        ("garbage.tif", b"II*\x00" + b"\xff" * 16, velkor.UnreadableImageError, ""),
        ("garbage.nef", b"\x00" * 64, velkor.UnreadableImageError, ": [A-Z][^'\"]+$"),  # no b'...' text
        ("lzw.tif", lambda p: damaged_tiff(p, "lzw", slice(-6000, None)), velkor.UnreadableImageError, "damaged|corrupted"),
        ("zlib.tif", lambda p: damaged_tiff(p, "zlib", slice(400, 420)), velkor.UnreadableImageError, ""),
        ("lab.tif", lambda p: tifffile.imwrite(p, RGB8, photometric="cielab"), velkor.UnsupportedFormatError, "CIELAB"),
        ("gif.png", lambda p: Image.fromarray(RGB8).save(p, format="GIF"), velkor.UnsupportedFormatError, "GIF"),
        ("bomb.png", huge_png, velkor.ImageTooLargeError, "100000 x 100000 pixels, 111.8 GB decoded, more than"),
        ("bomb.tif", huge_tiff, velkor.ImageTooLargeError, "100000 x 100000 pixels"),
    ],
)
def test_bad_inputs_raise_named_errors(tmp_path: Path, name: str, content, error: type, message: str) -> None:
    path = tmp_path / name
    path.write_bytes(content) if isinstance(content, bytes) else content(path)
    with pytest.raises(error, match=name) as raised, warnings.catch_warnings():
        warnings.simplefilter("error")  # and no raw decoder output beside the error
        velkor.read_image(path)
    assert raised.match(message)


@pytest.mark.parametrize(
    ("write", "reference"),
    [
        (lambda p: Image.fromarray(RGB8).quantize(16).save(p), lambda: Image.fromarray(RGB8).quantize(16)),
        (lambda p: tifffile.imwrite(p, 255 - RGB8[:, :, 0], photometric="miniswhite"), lambda: RGB8[:, :, 0]),
        (lambda p: Image.fromarray(RGB8[:, :, 0] > 99).save(p, compression=FAX), lambda: RGB8[:, :, 0] > 99),
        (lambda p: Image.fromarray(RGB8).convert("CMYK").save(p), lambda: RGB8),
    ],
    ids=["palette", "white-is-zero", "bilevel", "cmyk"],
)
def test_tiff_colour_models_read_as_they_look(tmp_path: Path, write, reference) -> None:
    write(tmp_path / "in.tif")
    expected = Image.fromarray(reference()) if isinstance(reference(), np.ndarray) else reference()
    expected.convert("RGB").save(tmp_path / "expected.png")
    linear = velkor.read_image(tmp_path / "in.tif").linear
    np.testing.assert_array_equal(linear, velkor.read_image(tmp_path / "expected.png").linear)


def test_float_tiff_is_linear_made_finite_with_a_warning(tmp_path: Path) -> None:
    linear = RNG.random((40, 50, 3), dtype=np.float32) * 4  # scene values above 1 survive
    damaged = linear.copy()
    damaged[3, 4, 0], damaged[5, 6, 1], damaged[7, 8, 2], damaged[9, 9, 0] = np.nan, np.inf, -np.inf, 1e30
    tifffile.imwrite(tmp_path / "hdr.tif", damaged, photometric="rgb")
    with pytest.warns(velkor.InputWarning, match="hdr.tif: 3 samples NaN or infinite, 1 above 1000"):
        read = velkor.read_image(tmp_path / "hdr.tif").linear
    linear[3, 4, 0], linear[5, 6, 1], linear[7, 8, 2], linear[9, 9, 0] = 0, 1000, 0, 1000
    np.testing.assert_array_equal(read, linear)
    assert np.isfinite(velkor.preset("red-filter-landscape").run(read)).all()


@pytest.mark.parametrize("overwrite", [True, False])
def test_failed_write_keeps_the_old_file(tmp_path: Path, monkeypatch, overwrite: bool) -> None:
    def disk_full(stream, *args) -> None:
        stream.write(b"half a print")
        raise OSError(errno.ENOSPC, "No space left on device")

    (tmp_path / "old.png").write_bytes(b"old print")
    monkeypatch.setattr(velkor.io.writing, "_write_png", disk_full)
    with pytest.raises(velkor.OutputWriteError if overwrite else velkor.OutputExistsError) as raised:
        velkor.write_image(tmp_path / "old.png", np.zeros((2, 2, 1), np.float32), overwrite=overwrite)
    assert "--" not in str(raised.value)  # the API does not speak in command-line flags
    assert [p.name for p in tmp_path.iterdir()] == ["old.png"] and (tmp_path / "old.png").read_bytes() == b"old print"


@pytest.mark.parametrize(("name", "error", "replaced"), [
    ("a" * 251 + ".png", None, ""),  # the longest name allowed: the temporary name must fit too
    ("link.png", None, "target.png"),  # written through the link, which stays
    ("null.png", velkor.OutputWriteError, ""),  # a link to a device is never replaced
])
def test_overwriting_odd_output_names(tmp_path: Path, name: str, error: type | None, replaced: str) -> None:
    (tmp_path / "target.png").write_bytes(b"old print")
    (tmp_path / "link.png").symlink_to("target.png")
    (tmp_path / "null.png").symlink_to(os.devnull)
    with pytest.raises(error) if error else contextlib.nullcontext():
        velkor.write_image(tmp_path / name, np.zeros((2, 2, 1), np.float32), overwrite=True)
    assert (tmp_path / "link.png").is_symlink() and (tmp_path / "null.png").is_symlink()
    assert ((tmp_path / "target.png").read_bytes() == b"old print") == (replaced != "target.png")
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".velkor-part")]


@pytest.mark.parametrize("suffix", [".png", ".tif", ".jpg"])
def test_recipe_of_a_print_is_read_from_its_header_unless_cut_short(tmp_path: Path, monkeypatch, suffix: str) -> None:
    look = velkor.Pipeline(name="from the header")
    path = velkor.write_image(tmp_path / f"p{suffix}", np.zeros((64, 64, 1), np.float32), recipe=look.to_toml())
    with monkeypatch.context() as patch:  # a decoder called fails: its pixels are not what is asked for
        patch.setattr(ImageFile.ImageFile, "load", None)
        patch.setattr(tifffile.TiffPage, "asarray", None)
        assert velkor.load_recipe(path) == look
    path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])  # a killed writer's part
    with pytest.raises(velkor.RecipeError, match="cannot read"):
        velkor.load_recipe(path)


@pytest.mark.parametrize(("options", "error"), [
    ({"bit_depth": 12}, ValueError), ({"bit_depth": 16.0}, ValueError), ({"bit_depth": 16, "dither": True}, ValueError),
    ({"quality": 0}, ValueError), ({"quality": 90.0}, ValueError), ({"compression": "jpeg"}, ValueError),
    ({"metadata": {}}, TypeError),
    # A file must be what the recipe it records makes.
    ({"recipe": velkor.Pipeline(bit_depth=16), "bit_depth": 8}, ValueError),
    ({"recipe": velkor.Pipeline(dither=True).to_toml(), "dither": False}, ValueError)])
def test_write_image_refuses_options_it_cannot_honour(tmp_path: Path, options, error) -> None:
    with pytest.raises(error):
        velkor.write_image(tmp_path / "x.png", np.zeros((2, 2, 1), np.float32), **options)
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize(("suffix", "bit_depth"), [(".png", 8), (".png", 16), (".tif", 8), (".tiff", 16)])
def test_written_files_round_trip_with_metadata(tmp_path: Path, suffix: str, bit_depth: int) -> None:
    display = np.linspace(-0.25, 1.25, 60, dtype=np.float32).reshape(6, 10, 1)
    look = velkor.Pipeline(name="porträt ε 🎞", description="für Anna", bit_depth=bit_depth)  # TIFF text: ASCII
    path = velkor.write_image(tmp_path / f"out{suffix}", display, recipe=look.to_toml())  # its bit depth
    assert velkor.load_recipe(path) == look
    if suffix == ".png":
        with Image.open(path) as image:
            codes, software = np.asarray(image), image.info["Software"]
            assert RECIPE_KEY in image.info
    else:
        with tifffile.TiffFile(path) as tiff:
            codes, software = tiff.asarray(), tiff.pages.first.tags["Software"].value
    assert software.startswith("velkor") and codes.dtype == (np.uint8 if bit_depth == 8 else np.uint16)
    np.testing.assert_array_equal(codes, np.rint(np.clip(display[:, :, 0], 0, 1) * ((1 << bit_depth) - 1)))


def test_dither_keeps_the_mean_and_breaks_up_bands() -> None:
    ramp = np.full((64, 64, 1), 100.4 / 255, dtype=np.float32)
    plain, dithered = quantise(ramp, 8), quantise(ramp, 8, dither=True)
    assert np.unique(plain).tolist() == [100]
    assert len(np.unique(dithered)) > 1
    assert abs(dithered.mean() - 100.4) < 0.05
    # Drawn a band at a time, the noise is the whole image's two draws: the same grain in every version.
    display = np.random.default_rng(1).random((1001, 333, 1), dtype=np.float32)  # an odd count, two bands
    rng = np.random.default_rng(0x5EED)
    noise = rng.random(display.shape, dtype=np.float32) - rng.random(display.shape, dtype=np.float32)
    whole = np.rint(np.clip(display * np.float32(255) + noise, 0, 255))
    np.testing.assert_array_equal(quantise(display, 8, dither=True), whole)


@pytest.mark.parametrize(("dtype", "shape", "scaled"), [
    (np.uint8, (37, 29), True), (np.uint16, (50, 41, 3), True), (np.uint16, (1, 7), True),
    (np.uint8, (3000, 3000), False),  # 9 MP, as the command writes it
])
def test_png_pixels_compressed_in_pieces_decode_as_one_stream(monkeypatch, dtype, shape, scaled: bool) -> None:
    if scaled:
        monkeypatch.setattr(velkor.io.png, "_PIECE_BYTES", 512)
        monkeypatch.setattr(velkor.io.png, "_MAX_PIECE_BYTES", 2048)  # a chunk's limit, scaled down
    codes = np.random.default_rng(3).integers(0, np.iinfo(dtype).max, shape, endpoint=True).astype(dtype)
    codes[: shape[0] // 2] //= 7  # some runs for the compressor to find
    written = set()
    for threads in ("1", "3"):
        monkeypatch.setenv("RAYON_NUM_THREADS", threads)
        stream = io.BytesIO()
        velkor.io.png.write_png(stream, codes, [])
        written.add(stream.getvalue())
    assert len(written) == 1  # the same bytes whatever the processors
    data = written.pop()
    np.testing.assert_array_equal(imagecodecs.png_decode(data).reshape(shape), codes)
    # Decoders stop at the last row; zlib itself checks the stream's checksum.
    idat, at = b"", 8
    while at < len(data):
        (size,), kind = struct.unpack(">I", data[at:at + 4]), data[at + 4:at + 8]
        body, crc = data[at + 8:at + 8 + size], data[at + 8 + size:at + 12 + size]
        assert struct.unpack(">I", crc)[0] == zlib.crc32(kind + body)
        idat += body if kind == b"IDAT" else b""
        at += 12 + size
    assert len(zlib.decompress(idat)) == codes.nbytes + shape[0]


@pytest.mark.parametrize(("dtype", "shape"), [(np.uint8, (37, 29)), (np.uint16, (50, 41, 3)), (np.uint16, (1, 7))])
def test_tiff_strips_compressed_side_by_side_read_back(monkeypatch, tmp_path: Path, dtype, shape) -> None:
    monkeypatch.setattr(velkor.io.tiff_deflate, "_STRIP_BYTES", 300)  # many strips, the last one short
    monkeypatch.setenv("RAYON_NUM_THREADS", "3")
    codes = np.random.default_rng(4).integers(0, np.iinfo(dtype).max, shape, endpoint=True).astype(dtype)
    path = velkor.write_image(tmp_path / "p.tif", codes.astype(np.float32) / np.iinfo(dtype).max,
                              bit_depth=8 * codes.itemsize)
    with tifffile.TiffFile(path) as tiff:
        page = tiff.pages.first
        assert (page.compression, page.predictor, len(page.dataoffsets)) == (8, 2, -(-shape[0] // page.rowsperstrip))
        np.testing.assert_array_equal(page.asarray().reshape(shape), codes)


@pytest.mark.parametrize("bits", [10, 12])
def test_high_bit_heif_keeps_its_bits(tmp_path: Path, bits: int) -> None:
    import pillow_heif

    top = (1 << bits) - 1
    codes = np.linspace(0, top, 48 * 64 * 3).round().astype(np.uint16).reshape(48, 64, 3)
    heif = pillow_heif.from_bytes(mode="RGB;16", size=(64, 48), data=(codes << (16 - bits)).tobytes())
    heif.save(tmp_path / "p.heic", quality=-1, bit_depth=bits)
    linear = velkor.read_image(tmp_path / "p.heic").linear
    assert len(np.unique(linear)) > 3 * 256 and linear.max() == 1.0  # finer than 8 bits, white at white
    np.testing.assert_allclose(linear, srgb_decode(codes, top), atol=4e-3)  # through YCbCr and back
