"""The file settings of a print, checked in one place for recipes, the writers and export."""

from __future__ import annotations

import numbers

from velkor.errors import RecipeError

BIT_DEPTHS = (8, 16)
COMPRESSIONS = ("deflate", "lzw", "zstd", "none")


def check_output_settings(
    *, bit_depth: object = 8, dither: object = False, quality: object = 92, compression: object = "deflate"
) -> None:
    """Refuse a bit depth, dither, JPEG quality or TIFF compression that a print cannot be written with."""
    if whole_number(bit_depth) not in BIT_DEPTHS:
        raise RecipeError(f"bad recipe value: bit_depth = {bit_depth!r} (expected 8 or 16)")
    if not isinstance(dither, bool):
        raise RecipeError(f"bad recipe value: dither = {dither!r} (expected true or false)")
    if dither and bit_depth != 8:
        raise RecipeError(f"bad recipe value: dither = true applies to 8-bit output only, not bit_depth = {bit_depth}")
    quality_number = whole_number(quality)
    if quality_number is None or not 1 <= quality_number <= 100:
        raise RecipeError(f"bad output setting: quality = {quality!r} (expected a whole number 1 to 100)")
    if compression not in COMPRESSIONS:
        raise RecipeError(
            f"bad output setting: compression = {compression!r} (expected one of {', '.join(COMPRESSIONS)})"
        )


def whole_number(value: object) -> int | None:
    """The value as an int if it is an integer type (NumPy's too), never a bool or float."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        return None
    return int(value)
