"""Before/after sheets of the presets, and the share of each print clipped at paper black and white.

Before: each preset as it was, in scene zones. After: the preset re-tuned
in print zones. The photographs: velkor's astronaut (a portrait),
scikit-image's rocket (a landscape with sky) and coffee (a cafe table, as
a street photographer finds one), and scikit-image's motorcycle (hard
light on metal and a busy background).

    python docs/make_preset_sheets.py          # writes docs/sheet_<preset>.jpg, prints the clipping table
"""

from __future__ import annotations

import dataclasses
import sys
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw
from skimage import data

import velkor
from velkor import Pipeline

HERE = Path(__file__).parent
HEIGHT = 300  # of each picture on a sheet

BEFORE = {
    "red-filter-landscape": Pipeline(
        name="red-filter-landscape", filter="Red25A", zone_scale="scene",
        zones={0: -0.35, 1: -0.2, 2: -0.1, 3: -0.05, 6: 0.05, 7: 0.1, 8: 0.1, 10: -0.1},
        radius=24, eps=0.02, strength=0.5, bit_depth=16),
    "soft-portrait": Pipeline(
        name="soft-portrait", filter="Yellow8K2", zone_scale="scene",
        zones={2: 0.25, 3: 0.3, 4: 0.15, 8: -0.15, 9: -0.25}, radius=6, eps=0.02, strength=-0.3, dither=True),
    "high-contrast-street": Pipeline(
        name="high-contrast-street", mixer=(0.5, 0.4, 0.1), zone_scale="scene",
        zones={1: -0.6, 2: -0.6, 3: -0.35, 6: 0.2, 7: 0.45, 8: 0.5, 9: 0.3},
        radius=16, eps=0.005, strength=1.2, dither=True),
}


def photographs() -> dict[str, np.ndarray]:
    """Linear-light RGB of each photograph."""
    rgb = {
        "astronaut (portrait)": np.asarray(Image.open(velkor.sample_path()).convert("RGB")),
        "rocket (landscape, sky)": data.rocket(),
        "coffee (cafe table)": data.coffee(),
        "motorcycle (street-like)": data.stereo_motorcycle()[0],
    }
    return {name: velkor.srgb_to_linear(image.astype(np.float32) / 255) for name, image in rgb.items()}


def codes(pipeline: Pipeline, linear: np.ndarray) -> np.ndarray:
    display = np.clip(np.nan_to_num(pipeline.run(linear)), 0.0, 1.0)
    grey = np.rint(display * 255).astype(np.uint8)
    return np.repeat(grey, 3, axis=2) if grey.shape[2] == 1 else grey


def clipped(pipeline: Pipeline, linear: np.ndarray) -> tuple[float, float]:
    """Percent of pixels at code 0 and at 255 (of 8 bits; grey, or every channel when toned)."""
    print_codes = codes(pipeline, linear)
    return 100 * float((print_codes == 0).all(axis=2).mean()), 100 * float((print_codes == 255).all(axis=2).mean())


def sheet(name: str, photos: dict[str, np.ndarray]) -> Image.Image:
    looks = {"before (scene zones)": BEFORE[name], "after (print zones)": velkor.preset(name)}
    rows = []
    for title, linear in photos.items():
        width = round(linear.shape[1] * HEIGHT / linear.shape[0])
        tiles = [Image.fromarray(codes(look, linear)).resize((width, HEIGHT), Image.Resampling.LANCZOS)
                 for look in looks.values()]
        row = Image.new("RGB", (2 * width + 8, HEIGHT + 16), "white")
        for index, tile in enumerate(tiles):
            row.paste(tile, (index * (width + 8), 16))
        ImageDraw.Draw(row).text((2, 2), f"{title}: {' | '.join(looks)}", fill="black")
        rows.append(row)
    full = Image.new("RGB", (max(r.width for r in rows), sum(r.height for r in rows)), "white")
    top = 0
    for row in rows:
        full.paste(row, (0, top))
        top += row.height
    return full


def main() -> int:
    photos = photographs()
    print("| preset | photograph | before: % black / % white | after | after --black 0.03 | after --white 0.9 |")
    print("|---|---|---|---|---|---|")
    for name in BEFORE:
        for title, linear in photos.items():
            after = velkor.preset(name)
            figures = [clipped(BEFORE[name], linear), clipped(after, linear),
                       clipped(dataclasses.replace(after, black=0.03), linear),
                       clipped(dataclasses.replace(after, white=0.9), linear)]
            print(f"| {name} | {title} | " + " | ".join(f"{b:.2f} / {w:.2f}" for b, w in figures) + " |")
        sheet(name, photos).save(HERE / f"sheet_{name}.jpg", quality=80)
    return 0


if __name__ == "__main__":
    sys.exit(main())
