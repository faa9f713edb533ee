"""What the print stages cost at 24 megapixels, and what toning does to luminance.

1. Time: a 24 MP (6000 x 4000) photograph-like image through a recipe with
   zone offsets and clarity, whole (``Pipeline.run``) and as a convert
   (run, then an 8-bit PNG written), in scene zones (the kernels as before)
   and in print zones (the tabulated print curve); then with grain, and
   with toning, on top of the print-zone recipe. Best of ``ROUNDS`` each in
   processor time, the recipes taking turns within a round, as the machine
   is shared.
2. Toning: the largest luminance change (8-bit codes) of every toner over a
   ramp of all 256 grey codes.

    python bench/bench_print_zones.py
"""

from __future__ import annotations

import dataclasses
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import velkor
from velkor import Pipeline
from velkor.io.quantise import quantise

ROUNDS = 5
SHAPE = (4000, 6000)
ZONES = {2: -0.4, 3: -0.2, 7: 0.3, 8: 0.2}


def photograph_like() -> np.ndarray:
    """Smooth gradients with texture, over the whole range from deep shadow to white."""
    rows, columns = np.mgrid[0:SHAPE[0], 0:SHAPE[1]].astype(np.float32)
    base = (rows / SHAPE[0]) ** 2 * 0.9 + 0.002
    texture = np.random.default_rng(1).uniform(0.85, 1.15, SHAPE).astype(np.float32)
    grey = (base * texture)[:, :, None]
    return np.ascontiguousarray(grey * np.float32([1.1, 1.0, 0.8]))


def best_of_rounds(steps: dict[str, Callable[[], object]]) -> dict[str, float]:
    """The least processor time (all threads) of each step over ``ROUNDS`` rounds, every step once a round.

    Processor time, not wall time: on a machine shared with other work the
    wall clock measures the others as much as this.
    """
    times: dict[str, list[float]] = {name: [] for name in steps}
    for _ in range(ROUNDS):
        for name, step in steps.items():
            start = time.process_time()
            step()
            times[name].append(time.process_time() - start)
    return {name: min(spent) for name, spent in times.items()}


def convert(look: Pipeline, rgb: np.ndarray, folder: Path) -> None:
    velkor.write_image(folder / "print.png", look.run(rgb), bit_depth=8, overwrite=True)


def toning_luminance() -> dict[str, float]:
    ramp = np.repeat(velkor.srgb_to_linear(np.arange(256, dtype=np.float32) / 255).reshape(1, -1, 1), 3, axis=2)
    grey = quantise(Pipeline(zone_scale="scene").run(ramp), 8)[0, :, 0].astype(float)
    changes = {}
    for toner in ("sepia", "selenium", "gold", "split"):
        toned = quantise(Pipeline(zone_scale="scene", toning=toner).run(ramp), 8)[0].astype(np.float32)
        luminance = velkor.srgb_to_linear(toned / 255) @ np.array([0.2126, 0.7152, 0.0722])
        encoded = np.where(luminance <= 0.0031308, 12.92 * luminance, 1.055 * luminance ** (1 / 2.4) - 0.055)
        changes[toner] = float(np.abs(encoded * 255 - grey).max())
    return changes


def main() -> None:
    rgb = photograph_like()
    scene = Pipeline(zone_scale="scene", zones=ZONES, radius=8, strength=0.5)
    looks = {
        "scene zones + clarity (before)": scene,
        "print zones + clarity": dataclasses.replace(scene, zone_scale="print"),
        "print zones + clarity + grain": dataclasses.replace(scene, zone_scale="print", grain=0.5),
        "print zones + clarity + toning": dataclasses.replace(scene, zone_scale="print", toning="sepia"),
    }
    print(f"24 MP ({SHAPE[1]} x {SHAPE[0]}), best of {ROUNDS}, processor seconds (all threads)")
    print("| recipe | run | convert to 8-bit PNG | run vs before | convert vs before |")
    print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        runs = best_of_rounds({name: lambda look=look: look.run(rgb) for name, look in looks.items()})
        converts = best_of_rounds({name: lambda look=look: convert(look, rgb, Path(folder))
                                   for name, look in looks.items()})
    first = next(iter(looks))
    for name in looks:
        print(f"| {name} | {runs[name]:.2f} | {converts[name]:.2f} | {100 * (runs[name] / runs[first] - 1):+.0f} % "
              f"| {100 * (converts[name] / converts[first] - 1):+.0f} % |")
    print("\nToning: largest luminance change over the 256 grey codes (8-bit codes)")
    for toner, change in toning_luminance().items():
        print(f"  {toner:9} {change:.2f}")


if __name__ == "__main__":
    main()
