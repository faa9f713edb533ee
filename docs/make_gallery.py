"""The preset gallery: every preset on the same photographs, the colour original first.

The photographs: velkor's astronaut (a portrait), and from scikit-image
the rocket (a landscape with sky, at dusk), coffee (a cafe table) and the
motorcycle (hard light on metal, a busy background).

    pip install scikit-image && python docs/make_gallery.py    # writes docs/gallery.jpg
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw
from skimage import data

import velkor

HERE = Path(__file__).parent
HEIGHT = 220  # of each picture
GAP = 6
LABEL = 16


def photographs() -> dict[str, np.ndarray]:
    """sRGB codes of each photograph."""
    return {
        "astronaut": np.asarray(Image.open(velkor.sample_path()).convert("RGB")),
        "rocket": data.rocket(),
        "coffee": data.coffee(),
        "motorcycle": data.stereo_motorcycle()[0],
    }


def print_of(name: str, codes: np.ndarray) -> Image.Image:
    linear = velkor.srgb_to_linear(codes.astype(np.float32) / 255)
    display = np.clip(np.nan_to_num(velkor.preset(name).run(linear)), 0.0, 1.0)
    grey = np.rint(display * 255).astype(np.uint8)
    return Image.fromarray(np.repeat(grey, 3, axis=2) if grey.shape[2] == 1 else grey)


def gallery() -> Image.Image:
    columns = ["colour original", *velkor.PRESETS]
    rows = []
    for codes in photographs().values():
        width = round(codes.shape[1] * HEIGHT / codes.shape[0])
        pictures = [Image.fromarray(codes), *(print_of(name, codes) for name in velkor.PRESETS)]
        rows.append([picture.resize((width, HEIGHT), Image.Resampling.LANCZOS) for picture in pictures])
    column_widths = [max(row[i].width for row in rows) for i in range(len(columns))]
    sheet = Image.new("RGB", (sum(column_widths) + GAP * (len(columns) - 1),
                              LABEL + len(rows) * (HEIGHT + GAP)), "white")
    draw = ImageDraw.Draw(sheet)
    left = 0
    for index, title in enumerate(columns):
        draw.text((left + 2, 2), title, fill="black")
        for number, row in enumerate(rows):
            sheet.paste(row[index], (left, LABEL + number * (HEIGHT + GAP)))
        left += column_widths[index] + GAP
    return sheet


def main() -> int:
    gallery().save(HERE / "gallery.jpg", quality=82)
    return 0


if __name__ == "__main__":
    sys.exit(main())
