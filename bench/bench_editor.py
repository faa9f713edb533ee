"""Latency of ``velkor edit`` in headless Chromium on a 24-megapixel JPEG.

From a slider's input event to the new print painted (the animation frame
after putImageData), for zone, exposure, filter and clarity changes, one
change at a time; and the time to the first print, from the command's start
(decode included) and from opening the page. Needs Debian's chromium and
Playwright for Python (``pip install playwright``; no browser download).

    python bench/bench_editor.py [--changes N] [--scale DEVICE_PIXEL_RATIO]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from PIL import Image
from playwright.sync_api import Page, sync_playwright

PHOTO = Path("/tmp/velkor-bench-24mp.jpg")
CHANGES = {
    "zone": ("zones.5", [(-1) ** i * (0.1 + 0.02 * (i % 10)) for i in range(200)]),
    "exposure": ("conversion.exposure", [(-1) ** i * 0.05 * (1 + i % 7) for i in range(200)]),
    "filter": ("conversion.filter", ["Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5", "NoFilter"] * 40),
    "clarity": ("local_contrast.strength", [0.3 + 0.05 * (i % 12) for i in range(200)]),
}


def photograph() -> Path:
    """A 6000 x 4000 JPEG made from the bundled sample, with fine grain so it compresses like a photograph."""
    if PHOTO.exists():
        return PHOTO
    import velkor

    sample = Image.open(velkor.sample_path()).convert("RGB").resize((6000, 6000), Image.Resampling.LANCZOS)
    pixels = np.asarray(sample.crop((0, 1000, 6000, 5000)), dtype=np.float32)
    pixels += np.random.default_rng(7).normal(0.0, 4.0, pixels.shape)
    Image.fromarray(np.clip(pixels, 0, 255).astype(np.uint8)).save(PHOTO, quality=92)
    return PHOTO


def change(page: Page, key: str, value: object) -> None:
    page.evaluate("""([key, value]) => {
        const row = document.querySelector(`.control[data-key="${key}"]`);
        const input = row.querySelector('select, input[type=range]');
        input.value = String(value);
        input.dispatchEvent(new Event(input.tagName === 'SELECT' ? 'change' : 'input', { bubbles: true }));
    }""", [key, value])
    page.wait_for_function("velkorEditor.idle()", polling=5)


def summary(samples: list[float]) -> str:
    ordered = sorted(samples)
    p95 = ordered[min(len(ordered) - 1, round(0.95 * (len(ordered) - 1)))]
    return (f"median {statistics.median(ordered):6.1f} ms   95th {p95:6.1f} ms   "
            f"min {ordered[0]:6.1f}   max {ordered[-1]:6.1f}   (n={len(ordered)})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--changes", type=int, default=60)
    parser.add_argument("--scale", type=float, default=1.0, help="device pixel ratio (the proxy follows it)")
    args = parser.parse_args()
    photo = photograph()
    started = time.perf_counter()
    server = subprocess.Popen([sys.executable, "-m", "velkor", "edit", str(photo), "--no-browser"],
                              stdout=subprocess.PIPE, text=True)
    address = server.stdout.readline().strip() if server.stdout else ""
    listening = time.perf_counter()
    try:
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path="/usr/bin/chromium", args=["--no-sandbox"])
            page = browser.new_page(viewport={"width": 1920, "height": 1080}, device_scale_factor=args.scale)
            opened = time.perf_counter()
            page.goto(address)
            page.wait_for_function("velkorEditor.firstPaint !== null", polling=5)
            painted = time.perf_counter()
            size = page.evaluate("[velkorEditor.session.width, velkorEditor.session.height]")
            print(f"photo {photo} (6000 x 4000), proxy {size[0]} x {size[1]}, "
                  f"load average at start {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")
            print(f"first print: {1000 * (painted - started):.0f} ms from the command's start, of which "
                  f"{1000 * (listening - started):.0f} ms to its address (start-up and decode) and "
                  f"{1000 * (opened - listening):.0f} ms launching Chromium; "
                  f"{1000 * (painted - opened):.0f} ms from opening the page")
            change(page, "local_contrast.radius", 8)
            for name, (key, values) in CHANGES.items():
                page.evaluate("velkorEditor.latencies.length = 0")
                for value in values[:args.changes]:
                    change(page, key, value)
                samples = [entry["ms"] for entry in page.evaluate("velkorEditor.latencies") if entry["key"] == key]
                print(f"{name:9} {summary(samples)}")
                if name == "clarity":
                    change(page, key, 0.0)
            page.click("summary:has-text('Open another photo')")
            page.fill("#open-path", str(photo))
            page.evaluate("velkorEditor.firstPaint = null; velkorEditor.painted = 0")
            reopened = time.perf_counter()
            page.click("#open")
            page.wait_for_function("velkorEditor.painted > 0 && velkorEditor.idle()", polling=5)
            print(f"open another 24 MP photo by path: first print after {1000 * (time.perf_counter() - reopened):.0f} ms")
            print(f"load average at the end {os.getloadavg()[0]:.1f}")
            browser.close()
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
