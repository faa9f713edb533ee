"""Tone reversal: a brighter input that prints darker, and what offset would stop it.

Each zone offset is a smooth bump, and a bump steeper than the tone scale
itself (about 1.3 stops for a single offset) turns the curve back on
itself: false contours on skies and backgrounds. Rather than bend the
user's offsets into something else, a recipe whose composed curve reverses
is refused, and the message names the offset to reduce and the largest
value of it that prints monotonic.

The curve is checked where it is made: the scene scale through the Zone
System kernel itself on a dense ramp of every input the files can hold, the
print scale on the very table that prints it.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Callable, Mapping

import numpy as np
import numpy.typing as npt
import velkor_core as core

from velkor.model.print_zones import print_curve, table_inputs

# A drop smaller than this (display tone) is float rounding, not a reversal:
# a tenth of a 16-bit code.
TOLERANCE = 1.5e-6
# The scene-scale ramp: every zone from far below black to far above white.
_SCENE_RAMP = np.geomspace(2.0**-24, 2.0**8, 1 << 16).astype(np.float32).reshape(1, -1, 1)

Curve = Callable[[Mapping[int, float]], npt.NDArray[np.float64]]


@dataclasses.dataclass(frozen=True)
class Reversal:
    """Where a curve turns back: the linear input tones and the drop in 8-bit codes."""

    low: float
    high: float
    codes: float

    def describe(self) -> str:
        return (f"a brighter input prints darker, by up to {self.codes:.2g} codes of 8 bits, "
                f"over linear input {self.low:.3g} to {self.high:.3g}")


def scene_curve(offsets: Mapping[int, float]) -> npt.NDArray[np.float64]:
    """The scene-scale curve on the ramp, as the kernels print it."""
    toned = core.zone_system(_SCENE_RAMP, core.ZoneParams(dict(offsets))) if offsets else _SCENE_RAMP
    return core.encode_srgb(np.ascontiguousarray(toned)).reshape(-1).astype(np.float64)


def print_scale_curve(black: float, white: float) -> Curve:
    def curve(offsets: Mapping[int, float]) -> npt.NDArray[np.float64]:
        return print_curve(table_inputs(), offsets, black, white).astype(np.float32).astype(np.float64)
    return curve


def ramp_inputs(scale: str) -> npt.NDArray[np.float64]:
    return _SCENE_RAMP.reshape(-1).astype(np.float64) if scale == "scene" else table_inputs()


def find_reversal(curve: Curve, inputs: npt.NDArray[np.float64], offsets: Mapping[int, float]) -> Reversal | None:
    """The worst stretch where the curve falls by more than float rounding, or None."""
    values = np.clip(curve(offsets), 0.0, 1.0)  # the print holds no tone beyond its paper
    peak = np.maximum.accumulate(values)
    drop = peak - values
    falling = drop > TOLERANCE
    if not falling.any():
        return None
    worst = int(np.argmax(drop))
    # The stretch: from where the peak it falls from was reached to where the curve climbs back.
    start = int(np.flatnonzero(values[:worst + 1] >= peak[worst])[0])
    recovered = np.flatnonzero(values[worst:] >= peak[worst])
    end = worst + int(recovered[0]) if recovered.size else values.size - 1
    low, high = (float(inputs[i]) for i in (start, end))
    return Reversal(low, high, float(drop[worst]) * 255)


def remedy(curve: Curve, offsets: Mapping[int, float], amount: float = 1.0) -> str:
    """What to reduce: the offset whose reduction alone cures it, the largest first; else all of them in step.

    ``offsets`` are the recipe's, printed at ``amount`` times their value.
    """
    offsets = {zone: stops for zone, stops in offsets.items() if stops}
    printed = {zone: stops * amount for zone, stops in offsets.items()}
    for zone in sorted(offsets, key=lambda z: -abs(offsets[z])):
        fits = _largest_fitting(functools.partial(_one_scaled, printed, zone), curve)
        if fits is not None:
            return f"reduce zones.{zone} from {offsets[zone]:g} to {_toward_zero(offsets[zone] * fits):g} or nearer 0"
    fits = _largest_fitting(lambda k: {z: stops * k for z, stops in printed.items()}, curve)
    scale = fits if fits is not None else 0.0
    return f"scale every zone offset down to {math.floor(scale * 100) / 100:.2f} of its value or less"


def _one_scaled(offsets: Mapping[int, float], zone: int, factor: float) -> dict[int, float]:
    return {**offsets, zone: offsets[zone] * factor}


def _largest_fitting(scaled: Callable[[float], dict[int, float]], curve: Curve) -> float | None:
    """The largest k in [0, 1] for which ``scaled(k)`` prints monotonic, to 1e-4; None if not even 0."""
    if _reverses(curve, scaled(0.0)):
        return None
    low, high = 0.0, 1.0
    while high - low > 1e-4:
        middle = (low + high) / 2
        low, high = (low, middle) if _reverses(curve, scaled(middle)) else (middle, high)
    return low


def _reverses(curve: Curve, offsets: Mapping[int, float]) -> bool:
    values = np.clip(curve(offsets), 0.0, 1.0)
    return bool((np.maximum.accumulate(values) - values > TOLERANCE).any())


def _toward_zero(value: float) -> float:
    return math.trunc(value * 100) / 100
