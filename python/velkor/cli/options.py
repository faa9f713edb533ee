"""Recipe options shared by the sub-commands: a base recipe plus flag edits."""

from __future__ import annotations

import argparse
import dataclasses
from typing import Any

from velkor.io.alpha import parse_background
from velkor.io.colour import DEFAULT_INTENT, INTENTS
from velkor.io.recipe_files import load_recipe
from velkor.model.looks import SHORT_FILTER_NAMES
from velkor.model.output import COMPRESSIONS
from velkor.model.pipeline import BIT_DEPTHS, FILTERS, STANDARDS, Pipeline
from velkor.model.presets import PRESETS, preset
from velkor.run.export import ExportOptions

_PLAIN_FLAGS = ("standard", "filter", "exposure", "radius", "eps", "strength", "bit_depth", "dither")


def add_recipe_options(parser: argparse.ArgumentParser) -> None:
    """Add the options that choose and adjust a recipe."""
    base = parser.add_argument_group("recipe (a preset or a file, then flags that adjust it)")
    source = base.add_mutually_exclusive_group()
    source.add_argument("--preset", metavar="NAME", help=f"start from a preset: {', '.join(PRESETS)}")
    source.add_argument("--recipe", metavar="FILE", help="start from a recipe file (TOML)")
    base.add_argument("--standard", metavar="STD", help=f"luminance standard: {', '.join(STANDARDS)}")
    base.add_argument("--filter", metavar="FILTER",
                      help=f"coloured filter: {', '.join(FILTERS)} (or {', '.join(SHORT_FILTER_NAMES)})")
    base.add_argument("--mixer", metavar=("R", "G", "B"), nargs=3, type=float,
                      help="channel mixer weights, instead of a filter")
    base.add_argument("--exposure", type=float, metavar="STOPS",
                      help="exposure in stops (-6 to 6), on top of the filter factor")
    base.add_argument("--zone", metavar="Z=STOPS", action="append", default=[], type=zone_flag,
                      help="move zone Z (0-10) by STOPS (-3 to 3); repeat for more zones")
    base.add_argument("--radius", type=int, help="local-contrast window radius in pixels")
    base.add_argument("--eps", type=float, help="local-contrast edge smoothing (> 0)")
    base.add_argument("--strength", type=float,
                      help="local-contrast strength (-1 to 5; negative softens, 0 is off)")
    base.add_argument("--bit-depth", type=int, choices=BIT_DEPTHS,
                      help="bits per sample of a PNG or TIFF (a JPEG holds 8)")
    base.add_argument("--dither", action=argparse.BooleanOptionalAction, default=None,
                      help="dither 8-bit output")


def add_output_options(parser: argparse.ArgumentParser) -> None:
    """Add the options that size and write the print (not part of the recipe)."""
    output = parser.add_argument_group("output file (not part of the recipe)")
    output.add_argument("--long-edge", type=pixels, metavar="N", help="fit the long edge in N pixels")
    output.add_argument("--width", type=pixels, metavar="N", help="fit the width in N pixels")
    output.add_argument("--height", type=pixels, metavar="N", help="fit the height in N pixels")
    output.add_argument("--quality", type=_quality, default=92, metavar="Q", help="JPEG quality, 1-100 (default: 92)")
    output.add_argument("--compress", choices=COMPRESSIONS, default="deflate",
                        help="TIFF compression (default: deflate)")
    output.add_argument("--intent", choices=tuple(INTENTS), default=DEFAULT_INTENT,
                        help="rendering intent for lookup-table and CMYK profiles (default: relative, "
                             "colorimetric with black-point compensation)")
    output.add_argument("--background", type=_colour, default="white", metavar="COLOUR",
                        help="paper that transparent areas show: white, black, grey or #RRGGBB (default: white)")
    output.add_argument("--keep-alpha", action="store_true",
                        help="keep transparency as an alpha channel in a PNG or TIFF print instead")
    privacy = output.add_mutually_exclusive_group()
    privacy.add_argument("--strip-metadata", action="store_true",
                         help="copy no EXIF, XMP, IPTC or resolution from the input")
    privacy.add_argument("--keep-gps", action="store_true", help="copy the GPS position too")


def export_options(args: argparse.Namespace) -> ExportOptions:
    return ExportOptions(long_edge=args.long_edge, width=args.width, height=args.height, quality=args.quality,
                         compression=args.compress, strip_metadata=args.strip_metadata, keep_gps=args.keep_gps,
                         intent=args.intent, background=args.background, keep_alpha=args.keep_alpha)


def pixels(text: str, unit: str = "pixels") -> int:
    """A positive whole number of pixels (or of another ``unit``)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of {unit}, not {value}")
    return value


def _colour(text: str) -> tuple[float, float, float]:
    try:
        return parse_background(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _quality(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 100:
        raise argparse.ArgumentTypeError(f"expected a JPEG quality 1 to 100, not {text!r}")
    return value


def pipeline_from_options(args: argparse.Namespace) -> Pipeline:
    """The recipe that the options describe; raises :class:`RecipeError`."""
    if args.preset is not None:
        base = preset(args.preset)
    elif args.recipe is not None:
        base = load_recipe(args.recipe)
    else:
        base = Pipeline()
    changes = _flag_changes(args, base)
    if not changes:
        return base
    edited = base.name == "custom" or base.name.endswith(", edited")
    changes.setdefault("name", base.name if edited else f"{base.name}, edited")
    return dataclasses.replace(base, **changes)


def _flag_changes(args: argparse.Namespace, base: Pipeline) -> dict[str, Any]:
    changes: dict[str, Any] = {
        flag: getattr(args, flag) for flag in _PLAIN_FLAGS if getattr(args, flag) is not None
    }
    if args.mixer is not None:
        changes["mixer"] = tuple(args.mixer)
        changes.setdefault("filter", "NoFilter")
    elif "filter" in changes or "standard" in changes:
        changes["mixer"] = None  # a chosen filter or standard replaces the base's mixer
    if args.zone:
        changes["zones"] = {**base.zones, **dict(args.zone)}
    if changes.get("bit_depth", 8) != 8 and args.dither is None:
        changes["dither"] = False  # the base's dither has no meaning for 16-bit output
    return changes


def zone_flag(flag: str) -> tuple[int, float]:
    """Turn "3=-0.5" into (3, -0.5); the pipeline checks the ranges."""
    zone, separator, stops = flag.partition("=")
    try:
        if not separator:
            raise ValueError
        return int(zone), float(stops)
    except ValueError:
        raise argparse.ArgumentTypeError(f"malformed --zone {flag!r} (expected ZONE=STOPS, e.g. 3=-0.5)") from None
