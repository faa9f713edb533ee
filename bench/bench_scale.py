"""Scale: batch throughput across processes and Dask (large TIFFs a band at a time: bench_tiled.py).

COUNT JPEGs of MP megapixels (made here from the bundled sample, scaled
up, with a little noise) through ``velkor batch`` with the
red-filter-landscape preset to 16-bit TIFF, serial (``--jobs 1``),
``--jobs 2``, ``--workers 2`` (a local Dask cluster, its start-up included)
and ``--scheduler`` on a local cluster of 2 already running, in images per
second and processor seconds per image (a shared machine's load shows in
the first, hardly in the second), and one file's cost split into reading,
kernels and writing.

    python bench/bench_scale.py [--count 50] [--mp 12]

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
import velkor
from PIL import Image

PRESET = "red-filter-landscape"
RESULTS = Path(__file__).with_name("results")


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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=50)
    parser.add_argument("--mp", type=float, default=12)
    args = parser.parse_args()
    results: dict[str, object] = {"cores": len(os.sched_getaffinity(0))}
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        results["batch"] = bench_batch(folder, args.count, args.mp)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "scale.json").write_text(json.dumps(results, indent=2))
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
