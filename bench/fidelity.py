"""What reading loses of the original, in sRGB codes against littleCMS or the exact composite.

    python bench/fidelity.py            # the installed velkor
    PYTHONPATH=<old checkout>/python python bench/fidelity.py   # an older front end, same native module

Each line: transparency (PNG with alpha, premultiplied TIFF), a CMYK JPEG
with its profile, a grey profile on L*, a 16-bit gradient through a
lookup-table profile (levels out of 1024), the intent a CMYK profile is
read with, and files above Pillow's old 179-megapixel cap.
"""

from __future__ import annotations

import inspect
import io
import struct
import sys
import tempfile
import time
import warnings
import zlib
from pathlib import Path

import numpy as np
import tifffile
import velkor
import velkor_core as core
from PIL import Image, ImageCms

# The profiles the tests build (no library ships them), from the tests' support folder.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
from icc_profiles import CMYK, RGB_LUT  # noqa: E402
from icc_profiles import GREY_LSTAR as LSTAR  # noqa: E402


def codes_of(path: Path) -> np.ndarray:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return core.encode_srgb(np.ascontiguousarray(velkor.read_image(path).linear)) * 255


def littlecms(codes: np.ndarray, profile: bytes, mode: str | None = None) -> np.ndarray:
    converted = ImageCms.profileToProfile(
        Image.fromarray(codes, mode), ImageCms.ImageCmsProfile(io.BytesIO(profile)), ImageCms.createProfile("sRGB"),
        renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC, outputMode="RGB",
        flags=ImageCms.Flags.BLACKPOINTCOMPENSATION)
    return np.asarray(converted).astype(np.float64)


def report(name: str, ours: np.ndarray, theirs: np.ndarray) -> None:
    error = np.abs(ours - theirs)
    print(f"{name:44s} mean {error.mean():6.2f}  max {error.max():6.1f} codes")


def main() -> None:
    rng = np.random.default_rng(1)
    folder = Path(tempfile.mkdtemp())
    colour = rng.integers(0, 256, (32, 32, 3), dtype=np.uint8)
    cover = np.resize(np.array([0, 128, 255], np.uint8), (32, 32))
    straight = np.where(colour / 255 <= 0.04045, colour / 255 / 12.92, ((colour / 255 + 0.055) / 1.055) ** 2.4)
    a = cover[..., None] / 255
    white = core.encode_srgb(np.float32(straight * a + (1 - a))) * 255
    black_under = colour.copy()
    black_under[cover == 0] = 0
    Image.fromarray(np.dstack([black_under, cover])).save(folder / "alpha.png")
    report("transparency: RGBA PNG over white", codes_of(folder / "alpha.png"), white)
    premultiplied = np.rint(colour * a).astype(np.uint8)
    tifffile.imwrite(folder / "pre.tif", np.dstack([premultiplied, cover]), photometric="rgb", extrasamples=["assocalpha"])
    report("transparency: premultiplied TIFF over white", codes_of(folder / "pre.tif"), white)

    inks = rng.integers(0, 256, (1, 64, 4), dtype=np.uint8)
    Image.fromarray(np.repeat(np.repeat(inks, 16, 0), 16, 1), "CMYK").save(folder / "cmyk.jpg", quality=100,
                                                                          subsampling=0, icc_profile=CMYK)
    report("CMYK JPEG with its profile vs littleCMS", codes_of(folder / "cmyk.jpg")[8, 8::16], littlecms(inks, CMYK, "CMYK")[0])
    tifffile.imwrite(folder / "cmyk.tif", inks, photometric="separated", iccprofile=CMYK)
    report("CMYK TIFF with its profile vs littleCMS", codes_of(folder / "cmyk.tif")[0], littlecms(inks, CMYK, "CMYK")[0])

    greys = np.arange(256, dtype=np.uint8)[None]
    Image.fromarray(greys).save(folder / "lstar.png", icc_profile=LSTAR)
    report("grey profile on L* vs littleCMS", codes_of(folder / "lstar.png"), littlecms(greys, LSTAR))

    ramp = np.repeat(np.linspace(0, 65535, 1024).astype(np.uint16)[None, :, None], 3, axis=2)
    tifffile.imwrite(folder / "lut16.tif", ramp, photometric="rgb", iccprofile=RGB_LUT)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        image = velkor.read_image(folder / "lut16.tif")
    grey = velkor.preset("neutral").run(image.linear)
    print(f"{'16-bit lookup-table gradient, 1024 levels':44s} {len(np.unique(image.linear[0, :, 1]))} levels linear, "
          f"{len(np.unique(np.rint(np.clip(grey, 0, 1) * 65535)))} in a 16-bit print")

    if "intent" in inspect.signature(velkor.read_image).parameters:
        for intent in ("relative", "perceptual"):
            ours = core.encode_srgb(np.ascontiguousarray(velkor.read_image(folder / "cmyk.tif", intent=intent).linear))
            print(f"{'CMYK TIFF read --intent ' + intent:44s} max {np.abs(ours[0] * 255 - littlecms(inks, CMYK, 'CMYK')[0]).max():6.1f} codes from relative")

    header = b"IHDR" + struct.pack(">IIBBBBB", 15000, 12000, 8, 2, 0, 0, 0)  # 180 megapixels, a panorama
    chunks = [header, b"IDAT", b"IEND"]
    (folder / "pano.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"".join(
        struct.pack(">I", len(c) - 4) + c + struct.pack(">I", zlib.crc32(c)) for c in chunks))
    tifffile.imwrite(folder / "claims.tif", np.zeros((8, 8), np.uint8))
    with tifffile.TiffFile(folder / "claims.tif", mode="r+b") as tiff:
        tiff.pages.first.tags["ImageWidth"].overwrite(16384)
        tiff.pages.first.tags["ImageLength"].overwrite(16384)  # 268 megapixels declared in 400 bytes
    for name, limit in (("pano.png", None), ("pano.png", 1 << 30), ("claims.tif", 1 << 30)):
        start = time.perf_counter()
        keywords = {} if limit is None else {"memory_limit": limit}
        try:
            if limit is not None and "memory_limit" not in inspect.signature(velkor.read_image).parameters:
                raise RuntimeError("no memory limit to give")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                velkor.read_image(folder / name, **keywords)
            said = "read"
        except Exception as error:  # what each version says is the point
            said = f"{type(error).__name__}: {error}"
        print(f"{name} (limit {limit}): {time.perf_counter() - start:.2f} s, {said[:150]}")


if __name__ == "__main__":
    main()
