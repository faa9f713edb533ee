"""Tiled prints against whole ones and against libvips, at sizes from 25 megapixels to 10 gigapixels.

For each size a photographic RGB TIFF (the bundled sample stretched, with
a camera's noise; 256 x 256 deflate tiles, made tile by tile) is converted by

- ``velkor convert --tiled`` with the neutral recipe at 16 bits, and with a
  clarity recipe (red-filter-landscape);
- ``velkor convert`` whole (``--memory-limit 1T``), the same two recipes,
  up to WHOLE_MAX_MP, and the pixels of the two prints compared;
- ``vips colourspace b-w`` (against neutral) and ``vips sharpen`` (an
  unsharp mask, libvips' nearest to clarity) into tiled deflate TIFFs;
- ``velkor convert --memory-limit LIMIT`` (whichever path the guard chooses),
  with ``--limit``;

reporting processor seconds (user + system), processor nanoseconds per
pixel, peak resident memory, and the load average before each run.

    python bench/bench_tiled.py [--mp 25 84 249 1000] [--limit 1100M] [--bits 16] [--no-vips]

Writes bench/results/tiled.json (figures of other sizes kept). Big files go
to --folder (default: a temporary folder) and are deleted as soon as they
are used.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import tifffile
import velkor
from isal import isal_zlib
from PIL import Image
from velkor.model.bands import each_in_threads

WHOLE_MAX_MP = 100
RESULTS = Path(__file__).with_name("results")
CLARITY = "red-filter-landscape"


def make_tiff(path: Path, megapixels: float, bits: int, repeat: int = 1) -> tuple[int, int]:
    """A photographic RGB TIFF of about ``megapixels``, 3:2, made a row of tiles at a time.

    The bundled sample stretched (bilinear, so the scene stays smooth) with a
    camera's noise: a fixed block shifted from one row of tiles to the next,
    as drawing it afresh would take longer than the conversion. With
    ``repeat`` each row of tiles is stored that many times over (the same
    compressed bytes), for sizes that would take an hour to make otherwise.
    """
    width = round((megapixels * 1e6 * 3 / 2) ** 0.5 / 256) * 256
    height = round(megapixels * 1e6 / width / 256) * 256
    sample = np.asarray(Image.open(velkor.sample_path()).convert("RGB"), np.float32)
    dtype, top_code = (np.uint8, 255) if bits == 8 else (np.uint16, 65535)
    columns = np.arange(width) * (sample.shape[1] - 1) / width
    left = columns.astype(int)
    across = (columns - left)[None, :, None].astype(np.float32)
    # Each row of the sample stretched to the full width, in codes, as needed.
    stretched = functools.lru_cache(maxsize=4)(
        lambda row: (sample[row, left] * (1 - across[0]) + sample[row, left + 1] * across[0]) * (top_code / 255))
    noise = np.random.default_rng(0).normal(0, 0.004 * top_code, (256, width + 256, 3)).astype(np.float32)

    def band(top: int) -> np.ndarray:
        rows = np.arange(top, top + 256) * (sample.shape[0] - 1) / height
        upper = rows.astype(int)
        picture = np.empty((256, width, 3), np.float32)
        for row in np.unique(upper):  # a few of the sample's rows span the band: blend each pair
            inside = slice(*np.searchsorted(upper, [row, row + 1]))  # rows only go down
            down = (rows[inside] - row)[:, None, None].astype(np.float32)
            np.multiply(stretched(int(row)), 1 - down, out=picture[inside])
            picture[inside] += stretched(int(row) + 1) * down
        shift = (top // 256 * 97) % 256
        picture += noise[:, shift:shift + width]
        np.clip(picture, 0, top_code, out=picture)
        return np.rint(picture, out=picture).astype(dtype)

    def tiles():
        for top in range(0, height, 256 * repeat):
            codes = band(top)

            def encode(x: int, codes: np.ndarray = codes) -> bytes:
                tile = np.ascontiguousarray(codes[:, x:x + 256])
                tile[:, 1:] -= codes[:, x:x + 255]  # the horizontal predictor, sample by sample
                return isal_zlib.compress(tile, 1)

            row = list(each_in_threads(encode, range(0, width, 256)))
            for _ in range(min(repeat, (height - top) // 256)):
                yield from row

    tifffile.imwrite(path, tiles(), shape=(height, width, 3), dtype=dtype, tile=(256, 256), photometric="rgb",
                     compression="zlib", predictor=True, bigtiff=True)
    return height, width


def timed(command: list[str]) -> dict[str, float]:
    """Wall and processor seconds and peak resident memory (MB) of a command, by GNU time."""
    load = os.getloadavg()[0]
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", *command], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{command} failed: {done.stderr[-2000:]}")
    peak_kb, user, system = done.stderr.split()[-3:]
    return {"seconds": round(seconds, 2), "cpu seconds": round(float(user) + float(system), 2),
            "peak MB": int(peak_kb) // 1024, "load before": round(load, 1)}


def velkor_run(source: Path, target: Path, recipe: list[str], *flags: str) -> list[str]:
    return [sys.executable, "-m", "velkor", "convert", str(source), "-o", str(target), *recipe, "--overwrite", *flags]


def recipes(bits: int) -> dict[str, list[str]]:
    return {"neutral": ["--preset", "neutral", "--bit-depth", str(bits)], "clarity": ["--preset", CLARITY]}


def vips_runs(source: Path, folder: Path) -> dict[str, list[str]]:
    options = "[tile,tile-width=256,tile-height=256,compression=deflate,predictor=horizontal,bigtiff]"
    return {"neutral": ["vips", "colourspace", str(source), f"{folder / 'vips.tif'}{options}", "b-w"],
            "clarity": ["vips", "sharpen", str(source), f"{folder / 'vips.tif'}{options}", "--sigma", "12"]}


def bench_size(folder: Path, megapixels: float, bits: int, limit: str | None, vips: bool,
               recipe_names: list[str], repeat: int) -> dict[str, object]:
    source = folder / "source.tif"
    start = time.perf_counter()
    height, width = make_tiff(source, megapixels, bits, repeat)
    pixels = height * width
    result: dict[str, object] = {"size": f"{width} x {height}", "megapixels": round(pixels / 1e6, 1),
                                 "input GB": round(source.stat().st_size / 1e9, 2),
                                 "made in s": round(time.perf_counter() - start, 1)}
    print(f"{pixels / 1e6:.0f} MP ({width} x {height}), input {result['input GB']} GB", flush=True)
    for name in recipe_names:
        recipe = recipes(bits)[name]
        runs = {"tiled": velkor_run(source, folder / "tiled.tif", recipe, "--tiled")}
        if pixels <= WHOLE_MAX_MP * 1e6:
            runs["whole"] = velkor_run(source, folder / "whole.tif", recipe, "--memory-limit", "1T")
        if vips:
            runs["vips"] = vips_runs(source, folder)[name]
        if limit is not None:
            runs[f"limit {limit}"] = velkor_run(source, folder / "limited.tif", recipe, "--memory-limit", limit)
        figures: dict[str, object] = {}
        for run, command in runs.items():
            figures[run] = timed(command)
            figures[run]["cpu ns per pixel"] = round(figures[run]["cpu seconds"] * 1e9 / pixels, 1)
            print(f"  {name} {run}: {figures[run]}", flush=True)
        if "whole" in runs:
            whole, tiled = (tifffile.imread(folder / f"{run}.tif") for run in ("whole", "tiled"))
            figures["pixels differing tiled / whole"] = int(np.count_nonzero(whole != tiled))
            figures["cpu tiled / whole"] = round(figures["tiled"]["cpu seconds"] / figures["whole"]["cpu seconds"], 3)
            print(f"  {name}: {figures['pixels differing tiled / whole']} pixels differ, "
                  f"cpu tiled / whole {figures['cpu tiled / whole']}", flush=True)
        if "vips" in runs:
            figures["cpu tiled / vips"] = round(figures["tiled"]["cpu seconds"] / figures["vips"]["cpu seconds"], 3)
            figures["peak tiled / vips"] = round(figures["tiled"]["peak MB"] / figures["vips"]["peak MB"], 3)
            print(f"  {name}: cpu tiled / vips {figures['cpu tiled / vips']}, "
                  f"peak tiled / vips {figures['peak tiled / vips']}", flush=True)
        result[name] = figures
        for leftover in folder.glob("*.tif"):
            if leftover != source:
                leftover.unlink()
    source.unlink()
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mp", type=float, nargs="+", default=[25, 84, 249, 1000])
    parser.add_argument("--bits", type=int, choices=(8, 16), default=16, help="bits of the input TIFFs")
    parser.add_argument("--repeat", type=int, default=1, help="store each row of tiles this many times over")
    parser.add_argument("--limit", help="also convert under this --memory-limit (e.g. 1100M)")
    parser.add_argument("--recipes", nargs="+", choices=("neutral", "clarity"), default=["neutral", "clarity"])
    parser.add_argument("--no-vips", dest="vips", action="store_false")
    parser.add_argument("--folder", type=Path, help="where the big files go (default: a temporary folder)")
    args = parser.parse_args()
    if args.vips and shutil.which("vips") is None:
        parser.error("vips not found: apt-get install libvips-tools, or --no-vips")
    results = {}
    with tempfile.TemporaryDirectory(dir=args.folder) as temporary:
        for megapixels in args.mp:
            results[f"{megapixels:g} MP"] = bench_size(Path(temporary), megapixels, args.bits, args.limit, args.vips,
                                                       args.recipes, args.repeat)
    RESULTS.mkdir(exist_ok=True)
    path = RESULTS / "tiled.json"
    earlier = json.loads(path.read_text()) if path.exists() else {}
    path.write_text(json.dumps({**earlier, **results, "cores": len(os.sched_getaffinity(0))}, indent=2))


if __name__ == "__main__":
    main()
