"""Recipe options shared by the sub-commands: a base recipe plus flag edits."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

from velkor.model.names import (
    BIT_DEPTHS,
    DEFAULT_INTENT,
    FILTERS,
    INTENTS,
    SHORT_FILTER_NAMES,
    STANDARDS,
    TONERS,
    ZONE_SCALES,
)
from velkor.model.output import COMPRESSIONS

# The pipeline, the presets and the writers bring NumPy and the codecs:
# imported by the sub-command that runs, so that --help and --version stay quick.
if TYPE_CHECKING:
    from velkor.model.pipeline import Pipeline
    from velkor.run.export import ExportOptions

_PLAIN_FLAGS = ("standard", "filter", "exposure", "radius", "eps", "strength", "bit_depth", "dither",
                "amount", "zone_scale", "black", "white", "toning", "toning_strength", "split_shadows",
                "split_highlights", "split_balance", "grain", "grain_size", "grain_seed")


def add_recipe_options(parser: argparse.ArgumentParser) -> None:
    """Add the options that choose and adjust a recipe."""
    base = parser.add_argument_group("recipe (a preset or a file, then flags that adjust it)")
    source = base.add_mutually_exclusive_group()
    source.add_argument("--preset", metavar="NAME", help="start from a preset ('velkor presets' lists them)")
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
    base.add_argument("--zone-scale", choices=ZONE_SCALES,
                      help="print: zones are print values, 0 paper black to X paper white (new recipes); "
                      "scene: Zone V is linear 0.18, a stop a zone (recipes written without the key)")
    base.add_argument("--black", type=float, metavar="TONE",
                      help="input tone (0-0.4, display value) that prints paper black (default 0)")
    base.add_argument("--white", type=float, metavar="TONE",
                      help="input tone (0.55-4, display value) that prints paper white (default 1)")
    base.add_argument("--amount", type=float, help="how much of the look: 0 neutral, 1 as given, 2 twice (0-2)")
    base.add_argument("--toning", choices=TONERS, help="tone the print (writes RGB)")
    base.add_argument("--toning-strength", type=float, metavar="S", help="toning strength (0-1, default 1)")
    base.add_argument("--split-shadows", type=float, metavar="DEGREES", help="split toning's shadow hue (0-360)")
    base.add_argument("--split-highlights", type=float, metavar="DEGREES",
                      help="split toning's highlight hue (0-360)")
    base.add_argument("--split-balance", type=float, metavar="B",
                      help="split toning's balance (-1 more shadow hue, 1 more highlight hue)")
    base.add_argument("--grain", type=float, metavar="AMOUNT", help="film grain (0-2; 0 is none)")
    base.add_argument("--grain-size", type=float, metavar="SIZE",
                      help="grain clump size, relative to the print's long edge (0.25-8, default 1)")
    base.add_argument("--grain-seed", type=int, metavar="N", help="which grain (same seed, same grain)")
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
    output.add_argument("--quality", type=_quality, metavar="Q", help="JPEG quality, 1-100 (default: 92)")
    output.add_argument("--compress", choices=COMPRESSIONS, help="TIFF compression (default: deflate)")
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


def export_options(args: argparse.Namespace, file_format: str) -> ExportOptions:
    """The output flags; one that the format ignores (--quality for a PNG) is refused, not dropped in silence."""
    from velkor.run.export import ExportOptions

    for flag, value, applies_to in (("--quality", args.quality, "JPEG"), ("--compress", args.compress, "TIFF")):
        if value is not None and file_format != applies_to:
            raise UsageError(f"{flag} applies to {applies_to} output only, not {file_format}")
    settings: dict[str, Any] = {"quality": args.quality, "compression": args.compress}
    return ExportOptions(long_edge=args.long_edge, width=args.width, height=args.height,
                         strip_metadata=args.strip_metadata, keep_gps=args.keep_gps,
                         intent=args.intent, background=args.background, keep_alpha=args.keep_alpha,
                         **{name: value for name, value in settings.items() if value is not None})


class UsageError(Exception):
    """Arguments that contradict each other."""


def pixels(text: str, unit: str = "pixels") -> int:
    """A positive whole number of pixels (or of another ``unit``)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not 1 <= value <= _MOST:
        raise argparse.ArgumentTypeError(f"expected a positive number of {unit} up to {_MOST}, not {text[:20]}")
    return value


# No image file holds more pixels a side (PNG and TIFF count them in 31
# bits); past it, sizes overflow a float on their way to a scale factor.
_MOST = 2**31 - 1


def _colour(text: str) -> tuple[float, float, float]:
    from velkor.io.alpha import parse_background

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
    import dataclasses

    from velkor.model.pipeline import Pipeline

    # The presets are made when their module loads: only when one is asked for.
    if args.preset is not None:
        from velkor.model.presets import preset

        base = preset(args.preset)
    elif args.recipe is not None:
        from velkor.io.recipe_files import load_recipe

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
    paper_points = "black" in changes or "white" in changes
    if paper_points and args.zone_scale is None and base.zone_scale == "scene" and not changes.get("zones", base.zones):
        changes["zone_scale"] = "print"  # with no offsets to reinterpret, points ask for nothing else
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
