"""How the prints come out: colour-managed input, filter factors, clarity and clipping.

Three tables, printed and written to bench/results/looks.json:

1. Colour: saturated patches in files tagged Adobe RGB (1998) and ProPhoto
   RGB (the profiles of Debian's colord-data), and an Adobe RGB JPEG marked
   only by its EXIF interoperability index, read and converted with the
   neutral recipe to 16 bits; the error (in 8-bit codes) against the
   luminance Y of the file's own RGB-to-XYZ matrix, encoded to sRGB.
   ProPhoto's white is D50: its Y is compared after Bradford adaptation to
   D65 (what littleCMS does on the way to sRGB) and as stored (D50).
2. Filter factors: an 18 % grey through every filter, 8-bit code with and
   without opening up by the filter factor, against NoFilter.
3. Clipping: per preset and scikit-image photograph (coffee, astronaut,
   chelsea, rocket), the share of output pixels at 0 or full scale beyond
   the same recipe with strength 0, for clarity on log-odds display tones
   (velkor's) and on linear light (a plain ``local_contrast`` after the
   zones, as before); and the halo beside the rocket: the mean change (8-bit
   codes) of the sky at 1 to 40 pixels from the rocket's left edge, against
   strength 0, with the red-filter-landscape preset.

    python bench/bench_looks.py
"""

from __future__ import annotations

import dataclasses
import json
import tempfile
import warnings
from pathlib import Path

import numpy as np
import tifffile
import velkor
import velkor_core as core
from PIL import Image
from skimage import data
from velkor.io.colour import ADOBE_RGB, REC709, _bradford, _rgb_to_xyz
from velkor.io.writing import quantise

PROFILES = Path("/usr/share/color/icc/colord")
PATCHES = np.array(
    [[255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 0], [0, 255, 255], [255, 0, 255],
     [128, 128, 128], [200, 60, 30], [30, 160, 60], [40, 70, 200], [250, 250, 250], [10, 10, 10]],
    np.uint8,
)
PROPHOTO: tuple[tuple[float, float], ...] = ((0.7347, 0.2653), (0.1596, 0.8404), (0.0366, 0.0001), (0.3457, 0.3585))


def encoded_codes(y: np.ndarray) -> np.ndarray:
    return np.asarray(core.encode_srgb(np.float32(y).reshape(1, -1, 1))).reshape(-1) * 255


def colour_table(folder: Path) -> list[dict[str, object]]:
    adobe_y = _rgb_to_xyz(ADOBE_RGB)[1]
    prophoto = _rgb_to_xyz(PROPHOTO)  # type: ignore[arg-type]
    prophoto_d65_y = (_bradford(prophoto @ np.ones(3), _rgb_to_xyz(REC709) @ np.ones(3)) @ prophoto)[1]
    cases = [
        ("Adobe RGB ICC, 16-bit TIFF", "AdobeRGB1998", "tif", lambda v: v ** (563 / 256) @ adobe_y),
        ("Adobe RGB ICC, PNG", "AdobeRGB1998", "png", lambda v: v ** (563 / 256) @ adobe_y),
        ("Adobe RGB by EXIF R03, JPEG q100", None, "jpg", lambda v: v ** (563 / 256) @ adobe_y),
        ("ProPhoto ICC, 16-bit TIFF (Y at D65)", "ProPhotoRGB", "tif", lambda v: v**1.8 @ prophoto_d65_y),
        ("ProPhoto ICC, 16-bit TIFF (Y at D50)", "ProPhotoRGB", "tif", lambda v: v**1.8 @ prophoto[1]),
    ]
    rows = []
    for label, profile, kind, expected_y in cases:
        path = folder / f"{profile}.{kind}"
        if kind == "tif":
            tifffile.imwrite(path, PATCHES[None].astype(np.uint16) * 257, photometric="rgb",
                             iccprofile=(PROFILES / f"{profile}.icc").read_bytes())
        elif kind == "png":
            Image.fromarray(PATCHES[None]).save(path, icc_profile=(PROFILES / f"{profile}.icc").read_bytes())
        else:
            exif = Image.Exif()
            exif[0x8769] = {0xA001: 0xFFFF, 0xA005: {1: "R03"}}
            big = np.repeat(np.repeat(PATCHES[None], 16, 0), 16, 1)
            Image.fromarray(big).save(path, quality=100, subsampling=0, exif=exif)
        linear = velkor.read_image(path).linear
        if kind == "jpg":
            linear = linear[8::16, 8::16]
        codes = quantise(velkor.preset("neutral").run(linear), 16).reshape(-1) / 65535 * 255
        error = codes - encoded_codes(expected_y(PATCHES / 255.0))
        rows.append({"case": label, "max_error_codes": float(np.abs(error).max()),
                     "errors": [round(float(e), 2) for e in error]})
    return rows


def filter_table() -> list[dict[str, object]]:
    grey = np.full((1, 1, 3), 0.18, np.float32)
    rows = []
    for name in velkor.model.pipeline.FILTERS:
        look = velkor.Pipeline(filter=name)
        raw = core.color_filter_bw(grey, getattr(core.ColorFilter, name), core.LuminanceStandard.Bt709)
        rows.append({
            "filter": name,
            "factor_stops": round(look.filter_factor_stops, 3),
            "code_without_factor": int(quantise(core.encode_srgb(raw), 8).flat[0]),
            "code_with_factor": int(quantise(look.run(grey), 8).flat[0]),
        })
    return rows


def linear_clarity(look: velkor.Pipeline, rgb: np.ndarray) -> np.ndarray:
    grey = look.to_grey(rgb)
    if look.zones:
        grey = core.zone_system(grey, core.ZoneParams(dict(look.zones)))
    grey = core.local_contrast(grey, core.GuidedFilterParams(look.radius, look.eps), look.strength)
    return np.asarray(core.encode_srgb(grey))


def clipped(display: np.ndarray, look: velkor.Pipeline) -> float:
    codes = quantise(display, look.bit_depth, dither=look.dither)
    return float(np.mean((codes == 0) | (codes == (1 << look.bit_depth) - 1)) * 100)


def clipping_table() -> list[dict[str, object]]:
    photos = {name: getattr(data, name)() for name in ("coffee", "astronaut", "chelsea", "rocket")}
    rows = []
    for preset_name, look in velkor.PRESETS.items():
        flat = dataclasses.replace(look, strength=0.0)
        for photo, pixels in photos.items():
            rgb = velkor.srgb_to_linear(pixels.astype(np.float32) / 255)
            base = clipped(flat.run(rgb), flat)
            rows.append({
                "preset": preset_name, "photo": photo, "strength_0_pct": round(base, 2),
                "linear_clarity_growth_pp": round(clipped(linear_clarity(look, rgb), look) - base, 2)
                if look.strength else 0.0,
                "velkor_growth_pp": round(clipped(look.run(rgb), look) - base, 2),
            })
    return rows


def halo_table() -> dict[str, list[float]]:
    rgb = velkor.srgb_to_linear(data.rocket().astype(np.float32) / 255)
    look = velkor.preset("red-filter-landscape")
    flat = velkor.Pipeline(**{**dataclasses.asdict(look), "strength": 0.0})
    plain = flat.run(rgb)[..., 0]
    distances = [1, 3, 5, 10, 20, 30, 40]
    table = {}
    for method, display in (("linear", linear_clarity(look, rgb)), ("velkor", look.run(rgb))):
        change = (display[..., 0] - plain) * 255
        rows = []
        for y in range(150, 250):  # the rocket body, against the sky
            edge = 250 + int(np.argmax(plain[y, 250:] > 0.6))
            rows.append([change[y, edge - d] for d in distances])
        table[f"{method} at {distances} px"] = [round(float(v), 2) for v in np.mean(rows, axis=0)]
    return table


def main() -> None:
    warnings.simplefilter("error", velkor.ColourProfileWarning)
    with tempfile.TemporaryDirectory() as folder:
        results = {"colour": colour_table(Path(folder)), "filters": filter_table(), "clipping": clipping_table(),
                   "halo": [halo_table()]}
    for table, rows in results.items():
        print(f"\n{table}")
        for row in rows:
            print("  " + "  ".join(f"{k}={v}" for k, v in row.items() if k != "errors"))
    out = Path(__file__).parent / "results" / "looks.json"
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
