"""Prints as files: formats, compression, the camera's metadata, the profile, and resizing."""

from __future__ import annotations

import dataclasses
import io
from pathlib import Path

import numpy as np
import pytest
import tifffile
import velkor
from PIL import Image, ImageCms, IptcImagePlugin, TiffImagePlugin
from velkor.cli.main import main
from velkor.io.metadata import PhotoMetadata, grey_profile, iim_bytes, metadata_of, metadata_of_file
from velkor.io.writing import _photoshop_segment

# Cameras write UTF-8 names; Pillow shows each byte as a character, and they must come back byte for byte.
MAIN = {271: "Canon", 272: "EOS R5", 306: "2024:05:01 10:00:00", 315: "Zoë Ånström".encode().decode("latin-1"),
        33432: "CC BY Zoë".encode().decode("latin-1")}
EXIF = {33434: TiffImagePlugin.IFDRational(1, 250), 34855: 400, 36867: "2024:05:01 09:59:58", 42036: "RF24-105mm F4",
        37510: b"ASCII\0\0\0low tide"}  # UserComment
GPS = {1: "N", 2: (51.0, 30.0, 0.0)}
CAPTION = {270: "Zoë at low tide".encode().decode("latin-1"), 18246: 4}  # ImageDescription (a TIFF's is the recipe's), Rating
XMP = """<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
<rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:exif="http://ns.adobe.com/exif/1.0/"
 xmlns:tiff="http://ns.adobe.com/tiff/1.0/" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="4" tiff:Orientation="6"
 exif:GPSLatitude="51,30.0N"><dc:title><rdf:Alt><rdf:li xml:lang="x-default">Ebbe</rdf:li></rdf:Alt></dc:title>
<dc:subject><rdf:Bag><rdf:li>sea</rdf:li><rdf:li>Watt</rdf:li></rdf:Bag></dc:subject></rdf:Description></rdf:RDF>
</x:xmpmeta>""".encode()
IPTC = {(1, 90): b"\x1b%G", (2, 5): b"Ebbe", (2, 25): [b"sea", b"Watt"], (2, 120): "Zoë".encode()}


def camera_jpeg(path: Path, size: tuple[int, int] = (40, 30)) -> Path:
    exif = Image.Exif()
    exif.update({**{tag: text.encode("latin-1") for tag, text in {**MAIN, **CAPTION}.items() if isinstance(text, str)},
                 18246: 4, 274: 6, 282: 240.0, 283: 240.0, 296: 2})
    exif.get_ifd(0x8769).update({**EXIF, 37500: b"maker note"})
    exif.get_ifd(0x8825).update(GPS)
    ramp = np.linspace(0, 255, size[0] * size[1] * 3).reshape(size[1], size[0], 3)
    Image.fromarray(ramp.astype(np.uint8)).save(path, quality=95, exif=exif, xmp=XMP,
                                                 extra=_photoshop_segment(iim_bytes(IPTC)))
    return path


@pytest.mark.parametrize(("name", "bit_depth", "compression", "keep_gps", "tiff_codes"), [
    ("p.png", 8, "deflate", False, None), ("p.png", 16, "deflate", True, None), ("p.jpg", 16, "deflate", True, None),
    ("p.tif", 16, "deflate", False, (8, 2)), ("p.tif", 8, "lzw", True, (5, 2)),
    ("p.tif", 16, "zstd", False, (50000, 2)), ("p.tiff", 8, "none", True, (1, 1)),
])
def test_prints_keep_camera_metadata_profile_and_recipe(tmp_path: Path, name, bit_depth, compression, keep_gps,
                                                         tiff_codes) -> None:
    source = velkor.read_image(camera_jpeg(tmp_path / "in.jpg"))
    assert source.linear.shape[:2] == (40, 30) and dict(source.metadata.main) == {**MAIN, **CAPTION}  # upright
    look = velkor.Pipeline(name="röd", bit_depth=bit_depth, strength=0.3)
    display = look.run(source.linear)
    path = velkor.write_image(tmp_path / name, display, bit_depth=bit_depth, recipe=look.to_toml(),
                              compression=compression, metadata=source.metadata, keep_gps=keep_gps)
    assert velkor.load_recipe(path) == look
    with Image.open(path) as image:
        written = metadata_of(image)
        assert image.getexif().get(274, 1) == 1 and image.info["icc_profile"] == grey_profile()
        codes, iptc = np.asarray(image), IptcImagePlugin.getiptcinfo(image)
    xmp = tifffile.TiffFile(path).pages.first.tags[700].value if "tif" in name else written.xmp  # a second reader
    assert b">Ebbe<" in xmp and b"Rating" in xmp and b"Orientation" not in xmp and (b"GPSLatitude" in xmp) == keep_gps
    assert iptc == (None if name == "p.png" else IPTC)
    caption = {18246: 4} if "tif" in name else CAPTION
    assert dict(written.main) == {**MAIN, **caption} and written.exif == EXIF and written.dpi == pytest.approx((240, 240))
    assert 37500 not in written.exif and dict(written.gps) == (GPS if keep_gps else {})
    expected = velkor.io.writing.quantise(display, 8 if name.endswith(".jpg") else bit_depth)[:, :, 0]
    np.testing.assert_allclose(codes, expected, atol=3 if name.endswith(".jpg") else 0)
    if tiff_codes:
        with tifffile.TiffFile(path) as tiff:
            assert (tiff.pages.first.compression, tiff.pages.first.predictor) == tiff_codes


@pytest.mark.parametrize("bigtiff", [False, True])
def test_tiled_prints_keep_the_exif_and_gps_directories(tmp_path: Path, bigtiff: bool) -> None:
    pytest.importorskip("dask.array")
    from velkor.io.tiff_exif import append_directories, tiff_exif
    from velkor.run.tiled import convert_tiled

    camera = PhotoMetadata(MAIN, EXIF, GPS, (300.0, 300.0))
    exif = tiff_exif(camera, keep_gps=True)
    rgb = np.random.default_rng(2).integers(0, 65536, (100, 120, 3), dtype=np.uint16)
    with open(tmp_path / "in.tif", "xb+") as source:  # a scanner's BigTIFF, or a classic one
        tifffile.imwrite(source, rgb, tile=(64, 64), photometric="rgb", bigtiff=bigtiff,
                         extratags=exif.extratags, **exif.options)
        append_directories(source, exif.directories)
    assert metadata_of_file(tmp_path / "in.tif") == camera
    for keep_gps in (False, True):
        target = tmp_path / f"gps-{keep_gps}.tif"
        convert_tiled(tmp_path / "in.tif", target, velkor.Pipeline(), overwrite=False, keep_gps=keep_gps)
        assert metadata_of_file(target) == dataclasses.replace(camera, gps=GPS if keep_gps else {})


@pytest.mark.parametrize("name", ["p.jpg", "p.png", "p.tif"])
def test_a_tag_that_cannot_be_written_back_costs_only_itself(tmp_path: Path, name: str) -> None:
    image = Image.new("RGB", (8, 6))
    image.getexif().get_ifd(0x8769).update({**EXIF, 34866: 1 << 40})  # a 64-bit exposure index: no EXIF type holds it
    metadata = metadata_of(image)
    assert metadata.exif == EXIF
    path = velkor.write_image(tmp_path / name, np.zeros((6, 8, 1), np.float32), metadata=metadata)
    with Image.open(path) as written:
        assert metadata_of(written).exif == EXIF


def test_grey_profile_shows_codes_as_srgb_greys() -> None:
    ramp = Image.fromarray(np.arange(256, dtype=np.uint8).reshape(16, 16), "L")
    shown = ImageCms.profileToProfile(ramp, ImageCms.ImageCmsProfile(io.BytesIO(grey_profile())),
                                      ImageCms.createProfile("sRGB"), outputMode="RGB")
    assert np.abs(np.asarray(shown).astype(int) - np.asarray(ramp)[:, :, None]).max() <= 1


@pytest.mark.parametrize(("shape", "bounds", "expected"), [
    ((4000, 6000), {"long_edge": 1500}, (1000, 1500)),
    ((4000, 6000), {"max_width": 600, "max_height": 600}, (400, 600)),
    ((4000, 6000), {"max_height": 1000, "long_edge": 3000}, (1000, 1500)),
    ((300, 200), {"long_edge": 1000}, (300, 200)),  # never enlarged
])
def test_sizes_fit_every_bound_in_proportion(shape, bounds, expected) -> None:
    assert velkor.fitted_size(*shape, **bounds) == expected


def test_resizing_averages_light_not_codes() -> None:
    stripes = np.zeros((8, 64, 3), np.float32)
    stripes[:, ::2] = 1.0  # black and white line pairs
    stripes[:, :, 2] = -0.1  # a colour outside sRGB keeps its negative component
    half = velkor.resize_linear(stripes, 8, 32)
    np.testing.assert_allclose(half[:, 4:-4, :2], 0.5, atol=0.01)
    np.testing.assert_allclose(half[:, :, 2], -0.1, atol=1e-6)
    line = np.zeros((3, 120, 3), np.float32)
    line[:, 60:65] = 1.0  # a 5-pixel white line, reduced 3x: still white, and no ghost beside it
    third = velkor.resize_linear(line, 1, 40)[0, :, 0]
    assert third[20] == 1.0 and third[:19].max() == third[22:].max() == 0.0


def test_command_line_sizes_strips_and_resumes_jpeg_batches(tmp_path: Path, capsys, monkeypatch) -> None:
    monkeypatch.chdir(tmp_path)
    photos = tmp_path / "photos"
    photos.mkdir()
    camera_jpeg(photos / "a.jpg", (400, 300))
    runs = [  # (arguments, summary on standard output)
        (["convert", photos / "a.jpg", "-o", "web.jpg", "--long-edge", "100", "--strip-metadata"], "8-bit"),
        (["batch", photos, "-o", "out", "--format", "jpeg", "--width", "60", "--quality", "70"], "1 converted"),
        (["batch", photos, "-o", "out", "--format", "jpeg", "--quiet"], "1 skipped"),
    ]
    for args, said in runs:
        assert main([str(arg) for arg in args]) == 0
        assert said in capsys.readouterr().out
    with Image.open(tmp_path / "web.jpg") as web, Image.open(tmp_path / "out" / "a.jpg") as batch:
        assert (web.size, batch.size) == ((75, 100), (60, 80))  # upright: portrait after orientation 6
        assert 271 not in web.getexif() and batch.getexif()[271] == "Canon"
        assert "xmp" not in web.info and not IptcImagePlugin.getiptcinfo(web) and b"Ebbe" in batch.info["xmp"]


@pytest.mark.parametrize(("name", "flags", "paper"), [
    ("kept.png", ["--keep-alpha"], None), ("kept.tif", ["--keep-alpha", "--bit-depth", "16"], None),
    ("kept.jpg", ["--keep-alpha"], 1.0), ("black.png", ["--background", "black", "--intent", "perceptual"], 0.0),
])
def test_command_line_keeps_alpha_or_lays_it_over_paper(tmp_path: Path, name: str, flags: list[str], paper) -> None:
    cover = np.resize(np.array([0, 128, 255], np.uint8), (4, 6))
    Image.fromarray(np.dstack([np.full((4, 6, 3), 255, np.uint8), cover])).save(tmp_path / "in.png")  # white, half, none
    # Plain luminance (neutral), so that the print's tones are the composite's own.
    assert main(["convert", str(tmp_path / "in.png"), "-o", str(tmp_path / name), "--preset", "neutral", *flags]) == 0
    written = velkor.read_image(tmp_path / name, background=None)
    if paper is None:
        np.testing.assert_allclose(written.alpha[..., 0], cover / 255, atol=1e-4)
        np.testing.assert_allclose(written.linear[cover > 0], 1.0, atol=1e-4)
    else:  # white laid over the paper in linear light
        assert written.alpha is None
        np.testing.assert_allclose(written.linear[..., 0], cover / 255 + (1 - cover / 255) * paper, atol=3e-3)
