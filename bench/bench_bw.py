"""Throughput of the three RGB-to-luminance kernels against their peers.

Peers, timed in the same run on the same image:
  * the NumPy expression (r*wr + g*wg) + b*wb, the reference arithmetic;
  * OpenCV's cvtColor(RGB2GRAY) on float32, with as many threads as ours;
  * a plain memory copy moving as many bytes as a kernel does (it reads the
    RGB image and writes a third of that), split over the same threads: the
    bandwidth ceiling for a kernel that only streams memory.

    python bench/bench_bw.py [--threads N] [--size 4000x6000] [--repeat 7]
"""

import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=int(os.environ.get("RAYON_NUM_THREADS", "0")) or os.cpu_count())
    parser.add_argument("--size", default="4000x6000", help="HxW of the RGB image")
    parser.add_argument("--repeat", type=int, default=7)
    return parser.parse_args()


ARGS = parse_args()
# The worker pool reads its size once, on first use: set it before importing.
os.environ["RAYON_NUM_THREADS"] = str(ARGS.threads)

import numpy as np  # noqa: E402
import velkor_core as vc  # noqa: E402

try:
    import cv2  # noqa: E402
except ImportError:  # the comparison is optional
    cv2 = None


def timed(fn, repeat):
    """Best and median wall time, and the process CPU time (all threads,
    user + system) of the best run: on a shared machine the CPU time shows
    the work done when the wall time shows mostly waiting."""
    fn()  # warm-up: pool start, page cache, lazy imports
    samples = []
    for _ in range(repeat):
        cpu, start = time.process_time(), time.perf_counter()
        fn()
        samples.append((time.perf_counter() - start, time.process_time() - cpu))
    best = min(samples)
    return best[0], statistics.median(s[0] for s in samples), best[1]


def threaded_copy(dst, src, threads):
    """memcpy of src into dst, cut into `threads` contiguous pieces."""
    bounds = np.linspace(0, src.size, threads + 1).astype(np.int64)
    pieces = list(zip(bounds[:-1], bounds[1:]))

    def copy(piece):
        lo, hi = piece
        np.copyto(dst[lo:hi], src[lo:hi])  # releases the GIL

    with ThreadPoolExecutor(threads) as pool:
        def run():
            list(pool.map(copy, pieces))

        yield run


def main():
    h, w = (int(x) for x in ARGS.size.lower().split("x"))
    img = np.random.default_rng(1).random((h, w, 3), dtype=np.float32)
    wr, wg, wb = (np.float32(x) for x in (0.2126, 0.7152, 0.0722))
    traffic = img.nbytes + img.nbytes // 3  # bytes a kernel moves: RGB in, one channel out

    cases = [
        ("velkor luminance_bw", lambda: vc.luminance_bw(img)),
        ("velkor color_filter_bw", lambda: vc.color_filter_bw(img, vc.ColorFilter.Red25A)),
        ("velkor channel_mixer_bw", lambda: vc.channel_mixer_bw(img, 0.5, 0.3, 0.2)),
        ("numpy (r*wr + g*wg) + b*wb", lambda: (img[..., 0] * wr + img[..., 1] * wg) + img[..., 2] * wb),
    ]
    if cv2 is not None:
        cv2.setNumThreads(ARGS.threads)
        cases.append((f"cv2.cvtColor RGB2GRAY ({cv2.getNumThreads()} thr)", lambda: cv2.cvtColor(img, cv2.COLOR_RGB2GRAY)))

    half = np.zeros(traffic // 2, np.uint8)
    src = np.ones(traffic // 2, np.uint8)
    copies = threaded_copy(half, src, ARGS.threads)
    cases.append((f"memcpy {traffic // 2 >> 20} MiB, preallocated", next(copies)))
    cases.append(
        (f"memcpy {traffic // 2 >> 20} MiB, new buffer, 1 thr", lambda: np.copyto(np.empty_like(src), src))
    )

    print(f"image {h}x{w}x3 float32, {ARGS.threads} thread(s), {ARGS.repeat} runs; "
          f"NumPy {np.__version__}, OpenCV {cv2.__version__ if cv2 else 'absent'}, Python {sys.version.split()[0]}")
    print(f"{'case':44} {'best ms':>9} {'median ms':>10} {'cpu ms':>8} {'GB/s':>7}")
    results = {}
    for name, fn in cases:
        best, median, cpu = timed(fn, ARGS.repeat)
        results[name] = best
        print(f"{name:44} {best * 1e3:9.1f} {median * 1e3:10.1f} {cpu * 1e3:8.1f} {traffic / best / 1e9:7.1f}")

    ours = results["velkor luminance_bw"]
    print(f"\nluminance_bw vs NumPy: {results[cases[3][0]] / ours:.1f}x faster")
    if cv2 is not None:
        print(f"luminance_bw vs cvtColor: {results[cases[4][0]] / ours:.2f}x")
    print(f"luminance_bw vs memcpy (preallocated): {ours / results[cases[-2][0]]:.2f}x the copy's time")


if __name__ == "__main__":
    main()
