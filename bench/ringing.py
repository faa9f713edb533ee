"""Ringing and sharpness of downsizing: a thin white line's ghost, and an edge's 10-90 % width.

    python bench/ringing.py

A 5-pixel white line on black, reduced 3x in linear light: the brightest
sRGB code two or more pixels from the line (its ghost). A black-to-white
step (at a sub-pixel offset each row, averaged) reduced 3x: the width in
output pixels over which it rises from 10 % to 90 % of its light, and the
overshoot above white.
"""

from __future__ import annotations

import numpy as np
import velkor
import velkor_core as core


def ghost_code(factor: int = 3, width: int = 5) -> tuple[float, float]:
    line = np.zeros((8 * factor, 40 * factor, 3), np.float32)
    start = 20 * factor
    line[:, start:start + width] = 1.0
    small = velkor.resize_linear(line, 8, 40)
    codes = core.encode_srgb(np.ascontiguousarray(small)) * 255
    centre = (start + width / 2) / factor
    distance = np.abs(np.arange(40) + 0.5 - centre)
    far = codes[:, distance >= 2.0]
    return float(far.max()), float(codes.max())


def edge_width(factor: int = 3) -> tuple[float, float]:
    size = 60 * factor
    rows = []
    for phase in range(factor):
        step = np.zeros((4 * factor, size, 3), np.float32)
        step[:, size // 2 + phase:] = 1.0
        rows.append(velkor.resize_linear(step, 4, 60)[2, :, 1])
    profile = np.mean(rows, axis=0)
    return _crossing(profile, 0.9) - _crossing(profile, 0.1), float(profile.max() - 1.0)


def _crossing(profile: np.ndarray, level: float) -> float:
    """Where the rising profile first reaches ``level``, between samples by straight lines."""
    after = int(np.argmax(profile >= level))
    below, above = profile[after - 1], profile[after]
    return after - 1 + float((level - below) / (above - below))


if __name__ == "__main__":
    ghost, peak = ghost_code()
    width, overshoot = edge_width()
    print(f"ghost of a 5-px line reduced 3x: code {ghost:.1f} (line peak {peak:.1f})")
    print(f"edge reduced 3x: 10-90 % width {width:.3f} px, overshoot {overshoot * 100:.2f} % of white")
