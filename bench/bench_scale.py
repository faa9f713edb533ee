"""Scale: batch throughput across processes and Dask, and tile-by-tile conversion of large TIFFs.

1. Batch: COUNT JPEGs of MP megapixels (made here from the bundled sample,
   scaled up, with a little noise) through ``velkor batch`` with the
   red-filter-landscape preset to 16-bit TIFF, serial (``--jobs 1``),
   ``--jobs 2``, ``--workers 2`` (a local Dask cluster, its start-up
   included) and ``--scheduler`` on a local cluster of 2 already running,
   in images per second and processor seconds per image (a shared
   machine's load shows in the first, hardly in the second), and one
   file's cost split into reading, kernels and writing.
2. Tiled: 16-bit RGB tiled TIFFs of each size in TILED_MP through
   ``velkor convert`` with the same preset, whole-image and ``--tiled``:
   seconds, megapixels per second, the peak resident memory of the process,
   and the difference of the two 16-bit outputs. Sizes above WHOLE_MAX_MP
   are run tiled only.

    python bench/bench_scale.py [--count 50] [--mp 12] [--tiled-mp 84 1000]

Writes bench/results/scale.json.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import hashlib
import json
import multiprocessing
import os
import subprocess
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

import distributed
import numpy as np
import tifffile
import velkor
from PIL import Image

PRESET = "red-filter-landscape"
WHOLE_MAX_MP = 200
RESULTS = Path(__file__).with_name("results")


def scene(height: int, width: int, *, full: int, top: int = 0, seed: int = 0) -> np.ndarray:
    """Rows ``top`` to ``top + height`` of the sample photograph stretched to (full, width), 16-bit, noisy."""
    sample = np.asarray(Image.open(velkor.sample_path()).convert("RGB"), np.float32)
    rows = ((np.arange(top, top + height) * sample.shape[0]) // full).clip(0, sample.shape[0] - 1)
    columns = (np.arange(width) * sample.shape[1]) // width
    picture = sample[rows][:, columns] * 257
    noise = np.random.default_rng(seed + top).normal(0, 200, picture.shape)
    return np.clip(picture + noise, 0, 65535).astype(np.uint16)


def timed(command: list[str]) -> tuple[float, int, float]:
    """Seconds, peak resident memory (MB) and processor seconds (its worker processes too) of a command.

    GNU time runs it: a child forked from this process would report this
    process's own peak if it were higher (the kernel keeps it across fork).
    """
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", *command], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{command} failed: {done.stderr}")
    peak_kb, user, system = done.stderr.split()[-3:]
    return seconds, int(peak_kb) // 1024, float(user) + float(system)


def velkor_command(*args: str | Path) -> list[str]:
    return [sys.executable, "-m", "velkor", *map(str, args)]


def bench_batch(folder: Path, count: int, megapixels: float) -> dict[str, object]:
    width = int((megapixels * 1e6 * 4 / 3) ** 0.5)
    height = int(width * 3 / 4)
    photos = folder / "photos"
    photos.mkdir()
    picture = Image.open(velkor.sample_path()).convert("RGB").resize((width, height), Image.Resampling.BICUBIC)
    codes = np.asarray(picture).astype(np.int16)
    for index in range(count):  # a little noise of its own in each, as a camera's
        noise = np.random.default_rng(index).integers(-4, 5, codes.shape, dtype=np.int16)
        Image.fromarray(np.clip(codes + noise, 0, 255).astype(np.uint8)).save(photos / f"p{index:03}.jpg", quality=92)
    results: dict[str, object] = {"count": count, "megapixels": round(width * height / 1e6, 1)}
    os.sync()  # the photographs' writeback would otherwise run during the first timings
    # In a fresh process, as a batch's worker is: this one's heap, after making
    # the photographs, slows the next large allocations.
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as one:
        results["per file"] = one.submit(split_costs, sorted(photos.iterdir())[0], folder / "one.tif").result()
    outputs = {}
    runs = [("serial", ["--jobs", "1"]), ("jobs 2", ["--jobs", "2"]), ("workers 2", ["--workers", "2"]),
            ("running cluster of 2", [])]
    for name, flags in runs:
        out = folder / name.replace(" ", "_")
        with ExitStack() as stack:
            if not flags:  # a cluster that is up already, as a studio's would be: no start-up in the time
                cluster = stack.enter_context(distributed.LocalCluster(
                    n_workers=2, threads_per_worker=1, dashboard_address=None, env={"RAYON_NUM_THREADS": "1"},
                    silence_logs=40))
                flags = ["--scheduler", cluster.scheduler_address]
            results[name] = run_batch(photos, out, count, flags)
        outputs[name] = {p.name: hashlib.sha256(p.read_bytes()).digest() for p in out.iterdir()}
    results["byte-identical"] = all(o == outputs["serial"] for o in outputs.values())
    return results


def run_batch(photos: Path, out: Path, count: int, flags: list[str]) -> dict[str, float]:
    load = os.getloadavg()[0]
    seconds, _, cpu = timed(velkor_command("batch", photos, "-o", out, "--preset", PRESET, "--format", "tiff",
                                           "--quiet", *flags))
    print(f"batch {' '.join(flags)}: {seconds:.1f} s, {count / seconds:.2f} images/s, "
          f"{cpu / count:.2f} processor s/image, load {load:.1f}", flush=True)
    return {"seconds": round(seconds, 2), "images per second": round(count / seconds, 3),
            "processor seconds per image": round(cpu / count, 3), "load before": load}


def split_costs(photo: Path, target: Path) -> dict[str, float]:
    """Seconds to read, run the kernels and write one file, in this process."""
    pipeline = velkor.preset(PRESET)
    costs = {}
    for _ in range(2):  # the second round is timed: imports and first-call costs are behind us
        start = time.perf_counter()
        image = velkor.read_image(photo)
        read = time.perf_counter()
        display = pipeline.run(image.linear)
        run = time.perf_counter()
        velkor.write_image(target, display, bit_depth=16, recipe=pipeline.to_toml(), overwrite=True)
        costs = {"read": read - start, "kernels": run - read, "write": time.perf_counter() - run}
    return {name: round(seconds, 3) for name, seconds in costs.items()}


def bench_tiled(folder: Path, megapixels: float) -> dict[str, object]:
    width = round((megapixels * 1e6 * 3 / 2) ** 0.5 / 256) * 256
    height = round(megapixels * 1e6 / width / 256) * 256
    source = folder / f"big_{megapixels:g}.tif"
    band = 1024

    def tiles():
        for top in range(0, height, band):
            strip = scene(min(band, height - top), width, full=height, top=top)
            for y in range(0, strip.shape[0], 256):
                for x in range(0, width, 256):
                    yield strip[y:y + 256, x:x + 256]

    tifffile.imwrite(source, tiles(), shape=(height, width, 3), dtype=np.uint16, tile=(256, 256),
                     photometric="rgb", compression="zlib", predictor=True, bigtiff=True)
    pixels = width * height / 1e6
    result: dict[str, object] = {"size": f"{width} x {height}", "megapixels": round(pixels, 1)}
    runs = ["tiled"] if megapixels > WHOLE_MAX_MP else ["whole", "tiled"]
    for run in runs:
        flags = ["--tiled"] if run == "tiled" else ["--memory-limit", "1T"]
        seconds, peak, _ = timed(velkor_command("convert", source, "-o", folder / f"{run}.tif", "--preset", PRESET,
                                             "--overwrite", *flags))
        result[run] = {"seconds": round(seconds, 1), "megapixels per second": round(pixels / seconds, 2),
                       "peak MB": peak}
        print(f"{pixels:.0f} MP {run}: {seconds:.1f} s, {pixels / seconds:.2f} MP/s, peak {peak} MB", flush=True)
    if "whole" in runs:
        whole = tifffile.imread(folder / "whole.tif").astype(np.int32)
        tiled = tifffile.imread(folder / "tiled.tif").astype(np.int32)
        difference = np.abs(whole - tiled)
        result["identical %"] = round(100 * float(np.mean(difference == 0)), 5)
        result["max difference (16-bit codes)"] = int(difference.max())
        result["peak ratio tiled / whole"] = round(result["tiled"]["peak MB"] / result["whole"]["peak MB"], 3)
        print(f"  identical {result['identical %']} %, max {result['max difference (16-bit codes)']}, "
              f"peak ratio {result['peak ratio tiled / whole']}", flush=True)
    source.unlink()
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=50)
    parser.add_argument("--mp", type=float, default=12)
    parser.add_argument("--tiled-mp", type=float, nargs="*", default=[84, 1000])
    args = parser.parse_args()
    results: dict[str, object] = {"cores": len(os.sched_getaffinity(0))}
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        if args.count:
            results["batch"] = bench_batch(folder, args.count, args.mp)
        if args.tiled_mp:
            results["tiled"] = [bench_tiled(folder, mp) for mp in args.tiled_mp]
    RESULTS.mkdir(exist_ok=True)
    if (RESULTS / "scale.json").exists():  # a run of one part keeps the other's figures, and other sizes'
        earlier = json.loads((RESULTS / "scale.json").read_text())
        if "tiled" in results:
            sizes = {run["size"] for run in results["tiled"]}
            results["tiled"] = [run for run in earlier.get("tiled", []) if run["size"] not in sizes] + results["tiled"]
        results = {**earlier, **results}
    (RESULTS / "scale.json").write_text(json.dumps(results, indent=2))
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
