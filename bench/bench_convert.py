"""Seconds per 24-megapixel JPEG through `velkor convert`, by stage, for each preset.

The photograph is made here: the bundled sample scaled to 6000 x 4000,
with a little sensor-like noise (which is what makes compression work
hard), saved as a quality-92 JPEG with camera EXIF. For each preset the
stages of a convert are timed on their own, best of ``--repeat`` runs:

- read: decoding the JPEG and its metadata (`read_image` less colour);
- colour: the file's codes to linear Rec. 709 light (`to_linear`);
- kernels: the recipe (grey conversion, zones, sRGB encoding, clarity);
- write: the print to PNG (the default), JPEG and TIFF (deflate), and as
  a peer Pillow's own PNG encoder (level 6, adaptive filters: velkor's
  writer before) on the same codes, with both PNG sizes in MB.

and the whole command end to end (`velkor convert`, in this process, to
PNG). The target is the non-kernel part (read + colour + PNG write) at
most 1.5 times the kernels. Prints a table and writes
bench/results/convert.json.

    python bench/bench_convert.py [--repeat 3] [--presets neutral ...]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import velkor
from PIL import Image
from velkor.cli.main import main as velkor_main
from velkor.io.colour import pillow_space, to_linear
from velkor.io.reading import read_image

SIZE = (6000, 4000)


def make_photograph(path: Path) -> None:
    with Image.open(velkor.sample_path()) as sample:
        big = np.asarray(sample.convert("RGB").resize(SIZE, Image.Resampling.BICUBIC), dtype=np.float32)
    noise = np.random.default_rng(7).normal(0.0, 2.0, big.shape).astype(np.float32)
    photo = Image.fromarray(np.clip(np.rint(big + noise), 0, 255).astype(np.uint8))
    exif = Image.Exif()
    exif.update({271: "Velkor", 272: "Bench 24", 33432: "CC0"})
    photo.save(path, quality=92, exif=exif)


def best(repeat: int, run: Callable[[], Any]) -> tuple[float, Any]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return min(times), result


def decode(path: Path) -> tuple[np.ndarray, Any]:
    with Image.open(path) as image:
        return np.asarray(image.convert("RGB")), pillow_space(image, path)


def pillow_png(codes: np.ndarray) -> float:
    stream = io.BytesIO()
    Image.fromarray(codes).save(stream, format="PNG")
    return len(stream.getvalue()) / 1e6


def stages(path: Path, out: Path, preset: str, repeat: int) -> dict[str, float]:
    pipeline = velkor.preset(preset)
    row: dict[str, float] = {}
    codes, space = decode(path)
    row["colour"], linear = best(repeat, lambda: to_linear(codes, space, 255))
    whole_read, _ = best(repeat, lambda: read_image(path))
    row["read"] = whole_read - row["colour"]
    row["kernels"], display = best(repeat, lambda: pipeline.run(linear))
    metadata = read_image(path).metadata
    for suffix in ("png", "jpg", "tif"):
        target = out / f"print.{suffix}"
        row[f"write {suffix}"], _ = best(repeat, lambda: velkor.write_image(
            target, display, bit_depth=pipeline.bit_depth, dither=pipeline.dither, recipe=pipeline.to_toml(),
            metadata=metadata, overwrite=True))
    codes = velkor.io.writing.quantise(display, pipeline.bit_depth, dither=pipeline.dither)[:, :, 0]
    row["pillow png"], row["pillow png MB"] = best(repeat, lambda: pillow_png(codes))
    row["png MB"] = (out / "print.png").stat().st_size / 1e6
    command = ["convert", str(path), "-o", str(out / "cli.png"), "--preset", preset, "--overwrite"]
    row["convert"], status = best(repeat, lambda: velkor_main(command))
    assert status == 0
    row["non-kernel / kernels"] = (row["read"] + row["colour"] + row["write png"]) / row["kernels"]
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--presets", nargs="*", default=list(velkor.PRESETS))
    args = parser.parse_args()
    results: dict[str, Any] = {"cpus": os.cpu_count(), "load before": os.getloadavg()[0], "presets": {}}
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "photo24.jpg"
        make_photograph(path)
        print(f"{SIZE[0]} x {SIZE[1]} JPEG, best of {args.repeat}, {os.cpu_count()} processors, "
              f"load {os.getloadavg()[0]:.1f}")
        columns = ["read", "colour", "kernels", "write png", "write jpg", "write tif", "convert",
                   "non-kernel / kernels", "pillow png", "png MB", "pillow png MB"]
        widths = [max(9, len(c)) for c in columns]
        print(f"{'preset':22}" + "".join(f"  {c:>{w}}" for c, w in zip(columns, widths)))
        for preset in args.presets:
            row = stages(path, Path(folder), preset, args.repeat)
            results["presets"][preset] = row
            print(f"{preset:22}" + "".join(f"  {row[c]:{w}.3f}" for c, w in zip(columns, widths)))
    results["load after"] = os.getloadavg()[0]
    target = Path(__file__).parent / "results" / "convert.json"
    target.parent.mkdir(exist_ok=True)
    target.write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
