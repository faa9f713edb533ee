"""local_contrast on a 24-megapixel (H, W, 1) image at a small and a large radius.

Compares velkor_core.local_contrast with OpenCV's guided filter
(cv2.ximgproc.guidedFilter, self-guided, then cv2.addWeighted for
L + s * (L - q)), at 1 and 2 threads, and reports each call's peak memory
beyond the input: the process's resident high-water mark is reset just
before the call (Linux /proc/self/clear_refs) and read just after, so the
figure includes the result array.  Each configuration runs in its own
process, since the worker pool reads RAYON_NUM_THREADS once.

    python bench/bench_local_contrast.py [--repeat N] [--height H --width W]

OpenCV comes from the opencv-contrib-python-headless wheel; without it only
velkor is measured.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

EPS, STRENGTH = 0.01, 1.0


def make_image(height, width):
    rng = np.random.default_rng(2024)
    x = np.linspace(0.0, 1.0, width, dtype=np.float32)[None, :]
    y = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    scene = 0.2 + 0.6 * (x > 0.5) + 0.1 * y
    return (scene * rng.uniform(0.9, 1.1, (height, width))).astype(np.float32)[:, :, None]


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def peak_extra_mib(call):
    """Resident memory a call adds at its peak (result included), in MiB."""
    before = rss_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # reset VmHWM to the current RSS
    result = call()
    peak = rss_kib("VmHWM")
    del result
    return (peak - before) / 1024


def best_of(repeat, call):
    """Best wall time and best process CPU time (all threads) of `repeat` runs."""
    walls, cpus = [], []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        call()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus)


def opencv_local_contrast(cv2, img, radius):
    luminance = img[:, :, 0]
    q = cv2.ximgproc.guidedFilter(luminance, luminance, radius, EPS)
    return cv2.addWeighted(luminance, 1.0 + STRENGTH, q, -STRENGTH, 0.0)[:, :, None]


def measure(height, width, radius, repeat, threads):
    import velkor_core

    img = make_image(height, width)
    params = velkor_core.GuidedFilterParams(radius, EPS)
    ours = lambda: velkor_core.local_contrast(img, params, STRENGTH)  # noqa: E731
    result = {"memory": peak_extra_mib(ours)}
    result["wall"], result["cpu"] = best_of(repeat, ours)
    try:
        import cv2
    except ImportError:
        return result
    cv2.setNumThreads(threads)
    theirs = lambda: opencv_local_contrast(cv2, img, radius)  # noqa: E731
    result["cv_memory"] = peak_extra_mib(theirs)
    result["cv_wall"], result["cv_cpu"] = best_of(repeat, theirs)
    # Away from the borders (where OpenCV mirrors the image and velkor clips
    # the window) the two filters agree up to rounding.
    inner = (slice(radius + 1, -radius - 1), slice(radius + 1, -radius - 1))
    difference = np.abs(ours()[inner] - theirs()[inner])
    result["max_inner_diff"] = float(difference.max()) if difference.size else 0.0
    return result


def run_child(threads, radius, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    command = [sys.executable, __file__, "--child", "--threads", str(threads), "--radius", str(radius),
               "--height", str(args.height), "--width", str(args.width), "--repeat", str(args.repeat)]
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--height", type=int, default=4000)
    parser.add_argument("--width", type=int, default=6000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--radii", type=int, nargs="+", default=[2, 256])
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--radius", type=int, default=0)
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.height, args.width, args.radius, args.repeat, args.threads)))
        return
    pixels = args.height * args.width
    mib_per_mp = 1e6 / (1 << 20)
    print(f"local_contrast, {args.height}x{args.width}x1 ({pixels / 1e6:.1f} MP), eps={EPS}, "
          f"strength={STRENGTH}, best of {args.repeat}")
    for radius in args.radii:
        for threads in (1, 2):
            r = run_child(threads, radius, args)
            line = (f"  r={radius:<4} threads={threads}: velkor {r['wall'] * 1e3:7.1f} ms wall "
                    f"{r['cpu'] * 1e3:7.1f} ms cpu, peak +{r['memory']:6.0f} MiB "
                    f"({r['memory'] / (pixels / 1e6) / mib_per_mp:4.1f} B/px)")
            if "cv_wall" in r:
                line += (f" | opencv {r['cv_wall'] * 1e3:7.1f} ms wall {r['cv_cpu'] * 1e3:7.1f} ms cpu, "
                         f"peak +{r['cv_memory']:6.0f} MiB | x{r['cv_wall'] / r['wall']:.2f}, "
                         f"inner max diff {r['max_inner_diff']:.1e}")
            print(line, flush=True)


if __name__ == "__main__":
    main()
