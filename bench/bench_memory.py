"""The blocks the kernels keep between calls: the speed they buy, the memory they hold.

1. Batch speed: a batch of same-sized photographs through the usual
   pipeline (luminance_bw, zone_system, local_contrast, encode_srgb), per
   image, once as it runs (each call reuses the blocks the previous image
   freed) and once without keeping: a 1x1 call before every kernel call is a
   call on another size, which gives the kept blocks back, so every large
   block comes fresh from the system.  Wall time, the process's CPU time
   (less disturbed by other work on the machine) and minor page faults.
2. Memory held: resident memory above a warmed-up baseline after one run of
   local_contrast, encode_srgb and zone_system on one image with every array
   deleted, then after 2,000 further small calls.

Each part runs in a fresh interpreter.
Usage: python bench/bench_memory.py [--megapixels 24] [--images 6] [--threads N]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import textwrap

COMMON = """
import json, os, resource, time
import numpy as np
import velkor_core as vc

def resident_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

h, w = {h}, {w}
params = vc.GuidedFilterParams(8, 0.01)
zones = vc.ZoneParams({{3: -0.3, 7: 0.4}})
tiny = np.ones((1, 1, 1), np.float32)
"""

BATCH = """
rgb = np.random.default_rng(0).random((h, w, 3), dtype=np.float32)

def run(kernel, *args):
    if not keep:
        vc.encode_srgb(tiny)
    return kernel(*args)

def one_image():
    grey = run(vc.luminance_bw, rgb)
    grey = run(vc.zone_system, grey, zones)
    grey = run(vc.local_contrast, grey, params, 0.6)
    return run(vc.encode_srgb, grey)

def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt

for keep in (True, False):
    runs = []
    for _ in range({images} + 1):  # the first image warms up
        wall, cpu, faulted = time.perf_counter(), time.process_time(), faults()
        one_image()
        runs.append(((time.perf_counter() - wall) * 1e3, (time.process_time() - cpu) * 1e3, faults() - faulted))
    print(json.dumps({{"keep": keep, "runs": runs[1:]}}))
"""

HELD = """
vc.local_contrast(tiny, params, 0.6), vc.encode_srgb(tiny), vc.zone_system(tiny, zones)
baseline = resident_mib()
grey = np.random.default_rng(0).random((h, w, 1), dtype=np.float32)
results = [vc.local_contrast(grey, params, 0.6), vc.encode_srgb(grey), vc.zone_system(grey, zones)]
peak = resident_mib() - baseline
del grey, results
after_work = resident_mib() - baseline
small = np.ones((8, 8, 1), np.float32)
for _ in range(2000):
    vc.encode_srgb(small)
after_small = resident_mib() - baseline
print(json.dumps({{"peak": peak, "after_work": after_work, "after_small_calls": after_small}}))
"""


def run(code, args, **fields):
    env = dict(os.environ)
    if args.threads is not None:
        env["RAYON_NUM_THREADS"] = str(args.threads)
    source = textwrap.dedent(COMMON + code).format(**fields)
    done = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True, check=True)
    return [json.loads(line) for line in done.stdout.splitlines()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megapixels", type=float, default=24.0)
    parser.add_argument("--images", type=int, default=6)
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args()
    w = int(round((args.megapixels * 1e6 * 1.5) ** 0.5))
    h = int(round(args.megapixels * 1e6 / w))
    print(f"{h} x {w} images, {args.threads or 'default'} threads, load average {os.getloadavg()[0]:.2f}")

    print(f"\nbatch of {args.images} images, pipeline per image: median and fastest of each")
    print(f"  {'':<13} {'wall ms':>17} {'cpu ms':>17} {'page faults':>10}")
    for row in run(BATCH, args, h=h, w=w, images=args.images):
        label = "blocks kept" if row["keep"] else "nothing kept"
        columns = [sorted(column) for column in zip(*row["runs"])]
        cells = "".join(f" {c[len(c) // 2]:8.1f} {c[0]:8.1f}" for c in columns[:2])
        print(f"  {label:<13}{cells} {columns[2][len(columns[2]) // 2]:10d}")

    held = run(HELD, args, h=h, w=w)[0]
    print("\nresident memory above the baseline (MiB)")
    print(f"  with local_contrast, encode_srgb, zone_system results alive  {held['peak']:8.1f}")
    print(f"  every array deleted                                          {held['after_work']:8.1f}")
    print(f"  after 2,000 calls on an 8 x 8 image                          {held['after_small_calls']:8.1f}")


if __name__ == "__main__":
    main()
