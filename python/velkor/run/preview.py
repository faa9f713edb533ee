"""Before/after previews and the plot of a recipe's zone tone curve."""

from __future__ import annotations

import dataclasses
from pathlib import Path

import numpy as np
import velkor_core as core
from PIL import Image

from velkor._types import FloatImage
from velkor.extras import import_extra
from velkor.io.atomic import open_for_writing
from velkor.io.quantise import quantise
from velkor.io.writing import output_format, write_image
from velkor.model.pipeline import Pipeline
from velkor.model.print_zones import apply_print_curve, srgb_decode, zone_of_reflectance

import_extra("matplotlib", "preview", "the tone-curve plot of 'velkor preview'").use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402

MIDDLE_GREY = 0.18
MIDDLE_ZONE = 5
# Where the print reaches the paper's ends, as output zones: white is linear
# 1.0; black is the tone that an 8-bit file rounds to code 0 (half a code,
# decoded from sRGB's linear segment).
PAPER_WHITE_ZONE = MIDDLE_ZONE + float(np.log2(1.0 / MIDDLE_GREY))
PAPER_BLACK_ZONE = MIDDLE_ZONE + float(np.log2(0.5 / 255 / 12.92 / MIDDLE_GREY))
_GAP = 8  # pixels of white between the two halves


def side_by_side(rgb_linear: FloatImage, pipeline: Pipeline, *, size: int | None = None) -> FloatImage:
    """The colour original next to the recipe's result, display-referred RGB.

    With ``size`` both halves are scaled, keeping their proportions, so that
    their long edge is that many pixels: a preview of a panorama or of a
    thin strip stays as small as that of any photograph.
    """
    rgb = np.ascontiguousarray(rgb_linear, dtype=np.float32)
    before = core.encode_srgb(rgb)
    after = pipeline.run(rgb)
    after = np.repeat(after, 3, axis=2) if after.shape[2] == 1 else after
    if size is not None and size != max(rgb.shape[:2]):
        before, after = _resized(before, size), _resized(after, size)
    gap = np.ones((before.shape[0], _GAP, 3), dtype=np.float32)
    return np.concatenate([before, gap, after], axis=1)


def _resized(display: FloatImage, size: int) -> FloatImage:
    scale = size / max(display.shape[:2])
    height, width = (max(1, round(edge * scale)) for edge in display.shape[:2])
    image = Image.fromarray(quantise(display, 8))
    resized = image.resize((width, height), Image.Resampling.LANCZOS)
    return np.asarray(resized, dtype=np.float32) / np.float32(255)


def zone_curve(pipeline: Pipeline, zones: FloatImage) -> FloatImage:
    """Output zone for each input zone of a neutral tone: exposure, then the Zone System curve.

    The output is a scene zone for a scene-scale recipe, a print zone (0
    paper black, 10 paper white) for a print-scale one.

    Computed by the kernel itself on a ramp of luminance values, so the plot
    shows exactly what the pipeline does. The filter factor keeps a neutral
    tone where it was, so only the recipe's exposure moves it.
    """
    luminance = np.float32(MIDDLE_GREY) * np.exp2(zones - np.float32(MIDDLE_ZONE) + np.float32(pipeline.exposure))
    ramp = np.ascontiguousarray(luminance, dtype=np.float32).reshape(1, -1, 1)
    if pipeline.zone_scale == "print":
        display = apply_print_curve(ramp, pipeline.offsets, pipeline.black, pipeline.white).reshape(-1)
        return zone_of_reflectance(srgb_decode(display)).astype(np.float32)
    toned = core.zone_system(ramp, core.ZoneParams(dict(pipeline.offsets))).reshape(-1)
    curve: FloatImage = (np.log2(toned / np.float32(MIDDLE_GREY)) + np.float32(MIDDLE_ZONE)).astype(np.float32)
    return curve


def plot_zone_curve(pipeline: Pipeline, path: Path, *, overwrite: bool = False) -> Path:
    """Plot input zone against output zone, with the recipe's offsets, to an image file.

    Lines mark where the print reaches paper white and paper black, and the
    title gives the filter factor that the conversion opens up by.
    """
    output_format(path)
    zones = np.linspace(-6.0, 11.0, 681, dtype=np.float32)
    curve = zone_curve(pipeline, zones)
    on_print = pipeline.zone_scale == "print"
    ends = {"white": 10.0, "black": 0.0} if on_print else {"white": PAPER_WHITE_ZONE, "black": PAPER_BLACK_ZONE}
    reference = zone_curve(dataclasses.replace(pipeline, zones={}), zones) if on_print else zones
    if on_print:  # against the print zone each tone starts from, where the offsets are placed
        zones = reference
    figure, (axes, bars) = plt.subplots(
        2, 1, figsize=(6.4, 5.6), dpi=100, sharex=True, gridspec_kw={"height_ratios": [3, 1]}
    )
    try:
        axes.plot(zones, reference, linestyle="--", color="0.6", label="no offsets" if on_print else "unchanged")
        axes.plot(zones, curve, color="black", label=pipeline.name)
        for paper, level in ends.items():
            axes.axhline(level, color="tab:blue", linewidth=0.8, linestyle=":")
            crossing = zones[curve >= level][0] if paper == "white" and (curve >= level).any() else (
                zones[curve <= level][-1] if paper == "black" and (curve <= level).any() else None)
            side = "from" if paper == "white" else "below"
            where = f" {side} {'zone' if on_print else 'input zone'} {crossing:.1f}" if crossing is not None else ""
            axes.annotate(f"paper {paper}{where}", (zones[0], level), xytext=(4, -12 if paper == "white" else 4),
                          textcoords="offset points", color="tab:blue", fontsize=8)
        axes.set_ylim(ends["black"] - 1.0, max(11.0, float(np.nanmax(curve))))
        axes.set_ylabel("print zone (0 paper black, X paper white)" if on_print else "output zone")
        conversion = "channel mix" if pipeline.mixer else f"{pipeline.filter} filter"
        axes.set_title(f"Zone System tone curve; {conversion}: factor {pipeline.filter_factor_stops:+.2f} stops"
                       + (f", exposure {pipeline.exposure:+.2f}" if pipeline.exposure else ""), fontsize=10)
        axes.grid(True, color="0.9")
        axes.legend(loc="lower right" if on_print else "upper left")
        # The offsets as set; neighbouring zones blend and add up in the curve.
        placed = list(pipeline.zones)
        bars.bar(placed, [pipeline.zones[z] for z in placed], width=0.6, color="tab:red")
        bars.axhline(0.0, color="0.6", linewidth=0.8)
        bars.set_ylabel("offset (zones)" if on_print else "offset (stops)")
        roman = ["0", "I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X"]
        first = 0 if on_print else -5
        bars.set_xticks(range(first, 11), [str(z) for z in range(first, 0)] + roman)
        bars.set_xlabel("print zone before the offsets" if on_print else "input zone (V = middle grey)")
        bars.grid(True, axis="y", color="0.9")
        figure.tight_layout()
        with open_for_writing(path, overwrite) as stream:
            figure.savefig(stream, format=output_format(path).lower())
    finally:
        plt.close(figure)
    return path


def write_preview(
    rgb_linear: FloatImage,
    pipeline: Pipeline,
    path: Path,
    *,
    size: int | None = None,
    overwrite: bool = False,
) -> Path:
    """Write the before/after image as 8-bit colour.

    It records no recipe: the recipe would not make this picture again, and
    ``--recipe`` must never take a comparison for a print.
    """
    display = side_by_side(rgb_linear, pipeline, size=size)
    return write_image(path, display, bit_depth=8, overwrite=overwrite)
