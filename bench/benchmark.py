"""One run that measures velkor_core against its peers and the hardware limit.

For each thread count and image size a fresh interpreter is started (the
worker pool reads RAYON_NUM_THREADS once), and it times, on the same image:
our kernels, the same kernels with the vector maths knocked out
(VELKOR_SIMD=scalar, platform libm only), the NumPy expressions of the same
maths, OpenCV, scikit-image, colour-science, and a memory copy of the same
bytes.  Prints a table and writes the same figures as JSON.

    python bench/benchmark.py                      # 12 and 24 MP, 1 and 2 threads
    python bench/benchmark.py --megapixels 4 --threads 1 --json out.json

Needs: numpy, velkor installed; optional peers: opencv-contrib-python-headless,
scikit-image, colour-science (missing ones are left out of the table).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

WEIGHTS_601 = (0.299, 0.587, 0.114)
ZONES = {k: 0.25 * ((-1) ** k) for k in range(11)}
EPS = 0.01
STRENGTH = 0.8
RADII = (2, 8, 64, 256)


def best_ms(fn, budget_s=1.5, most=7):
    """Best wall time of a few runs (at least one, stopping once the budget is spent)."""
    times = []
    spent = 0.0
    while len(times) < most and (not times or spent < budget_s):
        start = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - start
        times.append(elapsed)
        spent += elapsed
    return min(times) * 1e3


def copy_ms(floats_per_pixel, pixels):
    """Reading and writing the same number of bytes as the kernel: the bandwidth limit."""
    src = np.ones(pixels * floats_per_pixel // 2 or 1, np.float32)
    dst = np.empty_like(src)
    return best_ms(lambda: np.copyto(dst, src))


def image(megapixels):
    width = int(round((megapixels * 1e6 * 1.5) ** 0.5))
    height = int(round(megapixels * 1e6 / width))
    rng = np.random.default_rng(0)
    rgb = rng.random((height, width, 3), dtype=np.float32)
    luminance = np.ascontiguousarray(rgb[..., :1] * 0.8 + 0.05)
    return rgb, luminance


def numpy_zone_curve(x, zones):
    f = np.float32
    m = np.maximum(x, f(1e-10))
    z = np.log(m) / f(0.6931472) + f(5.0) + f(2.4739311)
    s = np.zeros_like(x)
    for a, b in zones.items():
        d = z - f(a)
        s += f(b) * np.exp((d * d) / f(-1.2800001))
    return x * np.exp2(s)


def numpy_srgb(x):
    with np.errstate(invalid="ignore"):
        return np.where(x <= np.float32(0.0031308), x * np.float32(12.92),
                        np.float32(1.055) * np.power(x, np.float32(1 / 2.4)) - np.float32(0.055))


def measure_velkor(megapixels, threads):
    import velkor_core as vc

    rgb, lum = image(megapixels)
    rows = {}
    for name, call in [
        ("luminance_bw", lambda: vc.luminance_bw(rgb, vc.LuminanceStandard.Bt601)),
        ("color_filter_bw", lambda: vc.color_filter_bw(rgb, vc.ColorFilter.Red25A)),
        ("channel_mixer_bw", lambda: vc.channel_mixer_bw(rgb, *WEIGHTS_601)),
        ("encode_srgb", lambda: vc.encode_srgb(lum)),
        ("zone_system (11 zones)", lambda p=vc.ZoneParams(ZONES): vc.zone_system(lum, p)),
    ]:
        rows[name] = {"velkor": best_ms(call)}
    for radius in RADII:
        gf = vc.GuidedFilterParams(radius, EPS)
        rows[f"local_contrast r={radius}"] = {"velkor": best_ms(lambda: vc.local_contrast(lum, gf, STRENGTH), budget_s=2)}
    tiny = np.ones((1, 1, 1), np.float32)
    calls = 10000
    per_call_us = best_ms(lambda: [vc.encode_srgb(tiny) for _ in range(calls)]) / calls * 1e3
    rows["call overhead in us (1x1 encode_srgb)"] = {"velkor": per_call_us}
    return rows


def measure_peers(megapixels, threads):
    """The other libraries, in a process of their own: OpenCV's idle threads
    keep spinning after a call and would slow whatever runs next."""
    rgb, lum = image(megapixels)
    pixels = lum.size
    rows = {}

    def row(kernel, peer, ms):
        rows.setdefault(kernel, {})[peer] = round(ms, 3)

    try:
        import cv2
        cv2.setNumThreads(threads)
    except ImportError:
        cv2 = None

    # Monochrome: read 12 bytes, write 4 per pixel.
    limit = copy_ms(4, pixels)
    for name in ("luminance_bw", "color_filter_bw", "channel_mixer_bw"):
        row(name, "memcpy", limit)
    wr, wg, wb = (np.float32(w) for w in WEIGHTS_601)
    numpy_mix = best_ms(lambda: (rgb[..., 0] * wr + rgb[..., 1] * wg) + rgb[..., 2] * wb)
    for name in ("luminance_bw", "channel_mixer_bw"):
        row(name, "numpy", numpy_mix)
    if cv2 is not None:
        row("luminance_bw", "cv2.cvtColor", best_ms(lambda: cv2.cvtColor(rgb, cv2.COLOR_RGB2GRAY)))
        matrix = np.array([WEIGHTS_601], np.float32)
        row("channel_mixer_bw", "cv2.transform", best_ms(lambda: cv2.transform(rgb, matrix)))
    try:
        from skimage.color import rgb2gray
        row("luminance_bw", "skimage.rgb2gray", best_ms(lambda: rgb2gray(rgb)))
    except ImportError:
        pass

    # Element-wise curves: read 4 bytes, write 4 per pixel.
    limit = copy_ms(2, pixels)
    row("encode_srgb", "numpy", best_ms(lambda: numpy_srgb(lum)))
    row("encode_srgb", "memcpy", limit)
    try:
        import colour
        row("encode_srgb", "colour.cctf_encoding", best_ms(lambda: colour.cctf_encoding(lum, "sRGB")))
    except ImportError:
        pass
    row("zone_system (11 zones)", "numpy", best_ms(lambda: numpy_zone_curve(lum, ZONES), budget_s=0))
    row("zone_system (11 zones)", "memcpy", limit)

    if cv2 is not None and hasattr(cv2, "ximgproc"):
        plane = lum[..., 0]
        for radius in RADII:
            def opencv(radius=radius):
                q = cv2.ximgproc.guidedFilter(plane, plane, radius, EPS)
                return cv2.addWeighted(plane, 1 + STRENGTH, q, -STRENGTH, 0)
            row(f"local_contrast r={radius}", "cv2 guidedFilter+addWeighted", best_ms(opencv, budget_s=2))
    return rows


MEASURES = {"velkor": measure_velkor, "peers": measure_peers}


def run_worker(side, megapixels, threads, scalar=False):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    if scalar:
        env["VELKOR_SIMD"] = "scalar"
    out = subprocess.run([sys.executable, __file__, "--worker", side, str(megapixels), str(threads)],
                         env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def table(results):
    lines = []
    for key, rows in results.items():
        lines.append(f"\n## {key}")
        lines.append(f"{'kernel':34} {'peer':30} {'ms':>10} {'peer / velkor':>14}")
        for kernel, peers in rows.items():
            ours = peers.get("velkor")
            for peer, ms in peers.items():
                ratio = f"{ms / ours:14.2f}" if ours else ""
                lines.append(f"{kernel:34} {peer:30} {ms:10.3f} {ratio}")
    return "\n".join(lines)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        print(json.dumps(MEASURES[sys.argv[2]](float(sys.argv[3]), int(sys.argv[4]))))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megapixels", type=float, nargs="+", default=[12, 24])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--json", default=str(pathlib.Path(__file__).parent / "results" / "benchmark.json"))
    args = parser.parse_args()
    results = {}
    for megapixels in args.megapixels:
        for threads in args.threads:
            key = f"{megapixels:g} MP, {threads} thread{'s' if threads > 1 else ''}"
            rows = run_worker("velkor", megapixels, threads)
            scalar = run_worker("velkor", megapixels, threads, scalar=True)
            for kernel in ("encode_srgb", "zone_system (11 zones)"):
                rows[kernel]["velkor, scalar libm"] = scalar[kernel]["velkor"]
            for kernel, peers in run_worker("peers", megapixels, threads).items():
                rows.setdefault(kernel, {}).update(peers)
            results[key] = rows
            print(table({key: rows}), flush=True)
    path = pathlib.Path(args.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=2))
    print(f"\nwrote {path}")


if __name__ == "__main__":
    main()
