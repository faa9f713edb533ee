"""Prints of the proxy and of the loupe's crop, by the same Pipeline code as ``velkor convert``."""

from __future__ import annotations

import dataclasses
import threading

import numpy as np
import numpy.typing as npt

from velkor._types import FloatImage
from velkor.editor.photo import Photo
from velkor.io.quantise import quantise
from velkor.model.pipeline import Pipeline
from velkor.model.print_zones import zone_of_display

MIDDLE_GREY = 0.18
CURVE_ZONES = np.linspace(0.0, 10.0, 101)


class Renderer:
    """Renders one state at a time, the newest first, and keeps the grey image between renders.

    While only the tone curve or clarity changes, the grey conversion (the
    one pass over the three colour channels) is kept: a zone slider costs
    the tone stages alone.
    """

    def __init__(self) -> None:
        self._busy = threading.Lock()
        self._guard = threading.Lock()
        self._newest: dict[str, int] = {}
        self._grey_key: tuple[object, ...] | None = None
        self._grey_photo: Photo | None = None
        self._grey: FloatImage | None = None

    def print_of(self, photo: Photo, pipeline: Pipeline, page: str, seq: int) -> Print | None:
        """The proxy's print, or None when a newer state of that page is waiting."""
        with self._guard:
            self._newest[page] = max(self._newest.get(page, seq), seq)
        with self._busy:
            if seq < self._newest[page]:
                return None  # its result would only be painted over
            display = pipeline.tone(self._grey_of(photo, pipeline))
        return Print.of(pipeline, display, 0, 0, display.shape[:2])

    def _grey_of(self, photo: Photo, pipeline: Pipeline) -> FloatImage:
        # Exactly what to_grey reads: any other change keeps the grey image.
        key = (pipeline.standard, pipeline.filter, pipeline.mixer, pipeline.exposure)
        if photo is not self._grey_photo or key != self._grey_key or self._grey is None:
            self._grey, self._grey_key, self._grey_photo = pipeline.to_grey(photo.proxy), key, photo
        return self._grey

    def forget(self) -> None:
        with self._busy:
            self._grey, self._grey_key, self._grey_photo = None, None, None


@dataclasses.dataclass(frozen=True)
class Print:
    """A print as the page shows it: its grey codes (H, W), which the zone map and histogram read, and
    the RGB codes (H, W, 3) of a toned print."""

    grey: npt.NDArray[np.uint8]
    toned: npt.NDArray[np.uint8] | None = None

    @classmethod
    def of(cls, pipeline: Pipeline, display: FloatImage, top: int, left: int, shape: tuple[int, int]) -> Print:
        """The print of display tones at (top, left) of a print of ``shape``: its grain, then its toning."""
        grained = np.ascontiguousarray(pipeline.grain_of(display, top, left, shape))
        toned = quantise(pipeline.toning_of(grained), 8) if pipeline.toned else None
        return cls(quantise(grained, 8)[:, :, 0], toned)

    def tobytes(self) -> bytes:
        return self.grey.tobytes() + (b"" if self.toned is None else self.toned.tobytes())


def loupe_of(photo: Photo, pipeline: Pipeline, centre: tuple[float, float], size: int) -> Print:
    """A full-resolution crop of the print (at most size x size) around a point given as fractions.

    The crop is made with a margin of the guided filter's reach, so clarity
    sees the neighbours it sees on export.
    """
    height, width = photo.full_size
    top, bottom = _window(centre[0] * height, height, size)
    left, right = _window(centre[1] * width, width, size)
    reach = 2 * pipeline.radius + 1 if pipeline.strength != 0.0 else 0
    outer = (max(0, top - reach), max(0, left - reach), min(height, bottom + reach), min(width, right + reach))
    crop = photo.source.linear[outer[0]:outer[2], outer[1]:outer[3]]
    display = pipeline.tone(pipeline.to_grey(np.ascontiguousarray(crop)))
    inner = np.ascontiguousarray(display[top - outer[0]:bottom - outer[0], left - outer[1]:right - outer[1]])
    return Print.of(pipeline, inner, top, left, (height, width))  # the export's grain at these pixels


def _window(middle: float, extent: int, size: int) -> tuple[int, int]:
    size = min(size, extent)
    start = min(max(0, round(middle - size / 2)), extent - size)
    return start, start + size


def tone_curve(pipeline: Pipeline) -> list[float]:
    """Print zone (L* / 10) of a neutral tone at each input zone of ``CURVE_ZONES``.

    The input zones are the scene's: Zone V is 18 % grey and each zone a stop.
    """
    flat = dataclasses.replace(pipeline, strength=0.0)  # local contrast has no meaning on a ramp
    scene = MIDDLE_GREY * np.exp2(CURVE_ZONES - 5.0 + pipeline.exposure)
    display = flat.tone(np.ascontiguousarray(scene, dtype=np.float32).reshape(1, -1, 1)).reshape(-1)
    print_zone = zone_of_display(np.clip(display, 0.0, 1.0))
    return [round(float(value), 3) for value in print_zone]
