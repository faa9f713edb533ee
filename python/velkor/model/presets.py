"""Named looks that photographers will recognise, each made of kernel parameters only."""

from __future__ import annotations

from velkor.errors import RecipeError
from velkor.model.pipeline import Pipeline

# The pipeline opens up by each filter's factor, so a neutral grey stays
# where it was and the zone offsets below are the look alone. The Zone
# System weights are not normalised: neighbouring offsets add up, and an
# equal offset on all zones moves a mid-tone by about twice that many stops.

PRESETS: dict[str, Pipeline] = {
    preset.name: preset
    for preset in (
        Pipeline(
            name="neutral",
            description="Plain Rec. 709 luminance, no tone or contrast changes.",
        ),
        Pipeline(
            name="red-filter-landscape",
            description=(
                "Red 25A filter: dark, dramatic skies with bright clouds, glowing reds and "
                "skin, darker foliage; deep blacks, open highlights and extra clarity; "
                "16-bit output for print."
            ),
            filter="Red25A",
            zones={0: -0.35, 1: -0.2, 2: -0.1, 3: -0.05, 6: 0.05, 7: 0.1, 8: 0.1, 10: -0.1},
            radius=24,
            eps=0.02,
            strength=0.5,
            bit_depth=16,
        ),
        Pipeline(
            name="soft-portrait",
            description=(
                "Yellow 8 (K2) filter for lighter skin, opened shadows, gentle highlights "
                "and a touch of softening."
            ),
            filter="Yellow8K2",
            zones={2: 0.25, 3: 0.3, 4: 0.15, 8: -0.15, 9: -0.25},
            radius=6,
            eps=0.02,
            strength=-0.3,
            dither=True,
        ),
        Pipeline(
            name="high-contrast-street",
            description=(
                "Red-leaning channel mix, crushed shadows, bright highlights and gritty "
                "local contrast."
            ),
            mixer=(0.5, 0.4, 0.1),
            zones={1: -0.6, 2: -0.6, 3: -0.35, 6: 0.2, 7: 0.45, 8: 0.5, 9: 0.3},
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
