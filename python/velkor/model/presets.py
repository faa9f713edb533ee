"""Named looks that photographers will recognise, each made of kernel parameters only."""

from __future__ import annotations

from velkor.errors import RecipeError
from velkor.model.pipeline import Pipeline

# The pipeline opens up by each filter's factor, so a neutral grey stays
# where it was and the zone offsets below are the look alone. They are in
# print zones (0 paper black, X paper white), where a zone in the middle
# tones is about two thirds of a stop. The offsets are not normalised:
# neighbouring ones add up, and an equal offset on all zones moves a
# mid-tone by about twice as many zones.

PRESETS: dict[str, Pipeline] = {
    preset.name: preset
    for preset in (
        Pipeline(
            name="neutral",
            description="Plain Rec. 709 luminance, no tone or contrast changes (no toe or shoulder either).",
            # The measuring instrument among the looks: luminance, sRGB-encoded, nothing else.
            zone_scale="scene",
        ),
        Pipeline(
            name="red-filter-landscape",
            description=(
                "Red 25A filter: blue skies darken towards black so clouds and light "
                "structures stand out, reds and skin glow, foliage darkens; deep shadows, "
                "highlights that roll into paper white with their detail, extra clarity; "
                "16-bit output for print."
            ),
            filter="Red25A",
            zones={1: -0.5, 2: -0.35, 3: -0.15, 7: 0.2, 8: 0.2, 9: 0.1},
            radius=24,
            eps=0.02,
            strength=0.5,
            bit_depth=16,
        ),
        Pipeline(
            name="soft-portrait",
            description=(
                "Yellow 8 (K2) filter for lighter skin, opened shadows, gentle highlights "
                "that still reach a clean paper white, and a touch of softening."
            ),
            filter="Yellow8K2",
            zones={2: 0.4, 3: 0.45, 4: 0.2, 8: -0.1},
            radius=6,
            eps=0.02,
            strength=-0.3,
            dither=True,
        ),
        Pipeline(
            name="high-contrast-street",
            description=(
                "Red-leaning channel mix, shadows crushed towards black, bright highlights "
                "rolled off just short of paper white, and gritty local contrast."
            ),
            mixer=(0.5, 0.4, 0.1),
            zones={1: -0.5, 2: -0.6, 3: -0.45, 6: 0.3, 7: 0.5, 8: 0.4},
            radius=16,
            eps=0.005,
            strength=1.2,
            dither=True,
        ),
    )
}


def preset(name: str) -> Pipeline:
    """The preset of that name; raises :class:`RecipeError` for an unknown one."""
    try:
        return PRESETS[name]
    except KeyError:
        raise RecipeError(
            f"unknown preset {name!r} (choose from {', '.join(PRESETS)})"
        ) from None
