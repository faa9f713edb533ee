"""Zone System tone curve on a 24-megapixel (H, W, 1) image, offsets on Zones 0..10.

Compares velkor_core.zone_system with the same curve written in NumPy
(float32 throughout, so NumPy's own vectorised log/exp stand in for the
platform libm), at 1 and 2 worker threads.  Each thread count runs in its own
process, since the worker pool reads RAYON_NUM_THREADS once.

    python bench/bench_zone.py [--repeat N] [--height H --width W]
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

FLOOR, LN2, MIDDLE_ZONE, GREY_LOG2, WIDTH = np.array(
    [0x2EDBE6FF, 0x3F317218, 0x40A00000, 0x401E54E3, 0x3FA3D70B], np.uint32
).view(np.float32)
OFFSETS = {zone: 0.25 * (zone - 5) / 5 for zone in range(11)}


def make_image(height, width):
    rng = np.random.default_rng(2024)
    stops = rng.uniform(-8.0, 6.0, (height, width, 1))
    return (0.18 * np.exp2(stops)).astype(np.float32)


def numpy_zone_system(img, offsets):
    """The curve in float32 NumPy steps, zones in ascending order."""
    m = np.fmax(img, FLOOR)
    z = ((np.log(m) / LN2) + MIDDLE_ZONE) + GREY_LOG2
    s = np.zeros_like(z)
    for zone, offset in sorted(offsets.items()):
        d = z - np.float32(zone)
        s += np.float32(offset) * np.exp((d * d) / -WIDTH)
    return img * np.exp2(s)


def best_of(repeat, call):
    """Best wall time and best process CPU time (all threads) of `repeat` runs.

    On a shared machine the CPU time of a one-thread run is the steadier
    figure: waiting for a core does not count against it.
    """
    walls, cpus = [], []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        call()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus)


def measure(height, width, repeat):
    import velkor_core

    img = make_image(height, width)
    params = velkor_core.ZoneParams(OFFSETS)
    ours, ours_cpu = best_of(repeat, lambda: velkor_core.zone_system(img, params))
    numpy, numpy_cpu = best_of(max(1, repeat // 2), lambda: numpy_zone_system(img, OFFSETS))
    agree = np.abs(velkor_core.zone_system(img, params) - numpy_zone_system(img, OFFSETS))
    rel = float(np.max(agree / np.abs(img)))
    return {"ours": ours, "ours_cpu": ours_cpu, "numpy": numpy, "numpy_cpu": numpy_cpu,
            "max_rel_diff_vs_numpy": rel}


def run_child(threads, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    command = [sys.executable, __file__, "--child", "--height", str(args.height), "--width", str(args.width),
               "--repeat", str(args.repeat)]
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--height", type=int, default=4000)
    parser.add_argument("--width", type=int, default=6000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.height, args.width, args.repeat)))
        return
    pixels = args.height * args.width
    print(f"zone_system, {args.height}x{args.width}x1 ({pixels / 1e6:.1f} MP), zones 0..10, best of {args.repeat}")
    for threads in (1, 2):
        result = run_child(threads, args)
        print(f"  threads={threads}: velkor {result['ours'] * 1e3:8.1f} ms wall, {result['ours_cpu'] * 1e3:8.1f} ms cpu"
              f" | numpy {result['numpy'] * 1e3:8.1f} ms wall, {result['numpy_cpu'] * 1e3:8.1f} ms cpu"
              f" | wall speed-up x{result['numpy'] / result['ours']:.2f}")
        if threads == 1:
            print(f"             ns/pixel (cpu): velkor {result['ours_cpu'] * 1e9 / pixels:.1f},"
                  f" numpy {result['numpy_cpu'] * 1e9 / pixels:.1f}")
    print(f"  max |velkor - numpy| / |x|: {result['max_rel_diff_vs_numpy']:.2e}")


if __name__ == "__main__":
    main()
