"""Screenshots of ``velkor edit`` for the README: before/after split, zone map, loupe.

Runs the editor on the bundled sample in Debian's headless Chromium
(Playwright, no browser download) and writes docs/editor_*.jpg.

    python docs/make_editor_screenshots.py
"""

from __future__ import annotations

import io
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from PIL import Image
from playwright.sync_api import Page, sync_playwright

DOCS = Path(__file__).resolve().parent


def idle(page: Page) -> None:
    page.wait_for_function("window.velkorEditor && velkorEditor.painted > 0 && velkorEditor.idle()")


def save(page: Page, name: str) -> None:
    shot = Image.open(io.BytesIO(page.screenshot())).convert("RGB")
    shot = shot.resize((1024, round(shot.height * 1024 / shot.width)), Image.Resampling.LANCZOS)
    shot.save(DOCS / name, quality=88, optimize=True)
    print(f"wrote {DOCS / name} ({(DOCS / name).stat().st_size // 1024} KB)")


def photograph(folder: Path) -> Path:
    """The bundled sample at three times its size, so that the loupe has something to enlarge."""
    import numpy as np

    import velkor

    sample = Image.open(velkor.sample_path()).convert("RGB")
    large = np.asarray(sample.resize((1152, 1152), Image.Resampling.LANCZOS), dtype=np.float32)
    path = folder / "astronaut_large.png"
    Image.fromarray(np.clip(large, 0, 255).astype(np.uint8)).save(path)
    return path


def main() -> None:
    folder = Path(tempfile.mkdtemp(prefix="velkor-shots-"))
    server = subprocess.Popen([sys.executable, "-m", "velkor", "edit", str(photograph(folder)), "--preset",
                               "red-filter-landscape", "--no-browser"], stdout=subprocess.PIPE, text=True)
    address = server.stdout.readline().strip() if server.stdout else ""
    try:
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path="/usr/bin/chromium", args=["--no-sandbox"])
            page = browser.new_page(viewport={"width": 1280, "height": 1000})
            page.goto(address)
            idle(page)
            page.check("#split")
            page.evaluate("document.querySelector('#view').dispatchEvent(new Event('resize'))")
            save(page, "editor_before_after.jpg")
            page.uncheck("#split")
            page.check("#zone-map")
            box = page.locator("#stage").bounding_box()
            page.mouse.move(box["x"] + box["width"] * 0.45, box["y"] + box["height"] * 0.3)
            page.mouse.click(box["x"] + box["width"] * 0.45, box["y"] + box["height"] * 0.3)
            idle(page)
            save(page, "editor_zone_map.jpg")
            page.uncheck("#zone-map")
            page.click("#place-cancel")
            page.check("#loupe-on")
            page.mouse.move(box["x"] + box["width"] * 0.5, box["y"] + box["height"] * 0.25)
            page.wait_for_function("!document.getElementById('loupe').hidden")
            page.wait_for_timeout(400)
            idle(page)
            save(page, "editor_loupe.jpg")
            browser.close()
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
