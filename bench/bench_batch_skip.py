"""What a rerun of a finished batch costs per file, against converting it.

A rerun asks of each output whether it is still the print of its source
with this recipe. Three ways of answering are timed against one conversion
(read, convert, write, in this process, one file at a time):

- manifest: the batch's record of each print (two stat calls a file);
- fingerprint: what a conversion adds to record its source (a SHA-256 of
  the file), and what a rerun pays for a file whose time stamp changed;
- contents: reading the recipe back out of the print, the check a print
  that the manifest does not vouch for still gets.

Usage: python bench/bench_batch_skip.py [FILES] [MEGAPIXELS]
"""

from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

import velkor
from velkor.run.batch import BatchReport, Schedule, output_paths, photographs_in, run_batch
from velkor.run.job import Job, _existing_output
from velkor.run.manifest import Fingerprint


def photographs(folder: Path, count: int, megapixels: float) -> None:
    width = int((megapixels * 1e6 * 4 / 3) ** 0.5)
    height = int(width * 3 / 4)
    sample = Image.open(velkor.sample_path()).convert("RGB").resize((width, height), Image.Resampling.BICUBIC)
    base = np.asarray(sample, np.int16)
    for seed in range(count):  # the sample with a little grain: photographic, and each file its own
        grain = np.random.default_rng(seed).integers(-6, 7, base.shape, dtype=np.int16)
        Image.fromarray(np.clip(base + grain, 0, 255).astype(np.uint8)).save(folder / f"p{seed}.jpg", quality=92)


def per_file(seconds: float, count: int) -> str:
    return f"{seconds / count * 1e3:9.2f} ms a file"


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 6
    megapixels = float(sys.argv[2]) if len(sys.argv) > 2 else 12
    with tempfile.TemporaryDirectory() as scratch:
        photos, out = Path(scratch, "in"), Path(scratch, "out")
        photos.mkdir()
        photographs(photos, count, megapixels)
        sources, _ = photographs_in(photos)
        targets = output_paths(sources, out, ".png")
        job = Job(velkor.preset("red-filter-landscape"))

        def batch() -> tuple[float, BatchReport]:
            start = time.perf_counter()
            report = run_batch(sources, targets, job, schedule=Schedule(jobs=1), progress=False,
                               say=lambda line: None, root=out)
            return time.perf_counter() - start, report

        convert, first = batch()
        manifest, again = batch()
        start = time.perf_counter()
        for source in sources:
            Fingerprint.of(source)
        fingerprint = time.perf_counter() - start
        start = time.perf_counter()
        for target in targets:
            assert _existing_output(target, job.pipeline) == "done"
        contents = time.perf_counter() - start

    print(f"{count} JPEGs of {megapixels:g} MP, red-filter-landscape to PNG, one at a time")
    print(f"  convert:                {per_file(convert, count)}   ({first.summary()})")
    print(f"  rerun, manifest:        {per_file(manifest, count)}   {manifest / convert:8.3%} of a conversion "
          f"({again.summary()})")
    print(f"  fingerprint (SHA-256):  {per_file(fingerprint, count)}   {fingerprint / convert:8.3%}")
    print(f"  contents (read recipe): {per_file(contents, count)}   {contents / convert:8.3%}")


if __name__ == "__main__":
    main()
