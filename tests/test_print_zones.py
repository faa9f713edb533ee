"""Prints in zones: no recipe reverses tones, zones as print values, old recipes unchanged, toning and grain."""

from __future__ import annotations

import dataclasses
import hashlib
from pathlib import Path

import numpy as np
import pytest
import tifffile
from PIL import Image

import velkor
from velkor import Pipeline, RecipeError
from velkor.cli.main import main
from velkor.run.export import ExportOptions, export_print
from velkor.model.grain import grain_noise
from velkor.model.print_zones import srgb_decode
from velkor.run.tiled import convert_tiled
from velkor.io.quantise import quantise

# Every input a 16-bit file holds, and far beyond: exposure and filters reach there.
RAMP = np.concatenate([np.linspace(0.0, 1.0, 1 << 16), np.geomspace(1.0, 64.0, 4096)]).astype(np.float32)
GREY_RAMP = np.repeat(RAMP.reshape(1, -1, 1), 3, axis=2)
LUMINANCE = np.array([0.2126, 0.7152, 0.0722])


def printed(pipeline: Pipeline, rgb: np.ndarray = GREY_RAMP, bits: int = 16) -> np.ndarray:
    return quantise(pipeline.run(rgb), bits).astype(np.int64)


# The reversals found in the field, with the largest offset each scale accepts instead.
REVERSING = [
    ({5: 2.0}, "zones.5 from 2 to 1.31"),
    ({5: 3.0}, "zones.5 from 3 to 1.31"),
    ({2: 2.0}, "zones.2 from 2 to 1.31"),
    ({5: -1.5}, "zones.5 from -1.5 to -1.31"),
    ({3: 1.0, 4: 1.0, 5: 1.0}, "zones.4 from 1 to 0.8"),
    ({10: 3.0, 9: -3.0}, "zones."),
]


@pytest.mark.parametrize("scale", ["print", "scene"])
@pytest.mark.parametrize(("zones", "remedy"), REVERSING)
def test_a_reversing_recipe_is_refused_with_the_offset_to_reduce(scale: str, zones: dict, remedy: str) -> None:
    with pytest.raises(RecipeError, match="reverses tones") as raised:
        Pipeline(zones=zones, zone_scale=scale)
    message = str(raised.value)
    assert remedy in message and "codes of 8 bits" in message
    # The remedy, taken, gives a recipe that is accepted.
    if remedy.count(" ") == 3:
        zone, value = int(remedy.split()[0][6:]), float(remedy.split()[-1])
        Pipeline(zones={**zones, zone: value}, zone_scale=scale)


ACCEPTED = [
    {}, {5: 1.3}, {5: -1.3}, {2: 1.3}, {10: 1.3}, {0: -1.3}, {3: 0.8, 4: 0.8, 5: 0.8},
    {1: -0.6, 2: -0.6, 3: -0.35, 6: 0.2, 7: 0.45, 8: 0.5, 9: 0.3}, {0: 1.3, 10: -1.3},
]


@pytest.mark.parametrize("zones", ACCEPTED)
@pytest.mark.parametrize(("scale", "extra"), [
    ("scene", {}), ("scene", {"exposure": 2.0}), ("print", {}), ("print", {"black": 0.1, "white": 0.7}),
    ("print", {"exposure": -3.0, "white": 3.0}), ("print", {"amount": 2.0, "filter": "red"}),
])
def test_every_accepted_recipe_prints_a_monotonic_ramp(zones: dict, scale: str, extra: dict) -> None:
    try:
        pipeline = Pipeline(zones=zones, zone_scale=scale, **extra)
    except RecipeError:
        assert extra.get("amount", 1.0) != 1.0  # doubled, some of these reverse; never as given
        return
    assert (np.diff(printed(pipeline)) >= 0).all()


def test_amount_scales_offsets_and_strength() -> None:
    look = velkor.preset("high-contrast-street")
    rgb = velkor.read_image(velkor.sample_path()).linear
    neutral = dataclasses.replace(look, zones={}, strength=0.0)
    assert np.array_equal(dataclasses.replace(look, amount=0.0).run(rgb), neutral.run(rgb))
    half = dataclasses.replace(look, zones={z: s / 2 for z, s in look.zones.items()}, strength=look.strength / 2)
    assert np.array_equal(dataclasses.replace(half, amount=2.0).run(rgb), look.run(rgb))


def grey_of_tones(tones: list[float]) -> np.ndarray:
    """Grey RGB pixels of these display tones (above 1 too)."""
    return np.repeat(srgb_decode(np.array(tones)).astype(np.float32).reshape(1, -1, 1), 3, axis=2)


@pytest.mark.parametrize(("black", "white"), [(0.0, 1.0), (0.05, 0.8), (0.2, 2.0)])
def test_print_zones_reach_paper_black_middle_grey_and_paper_white_smoothly(black: float, white: float) -> None:
    pipeline = Pipeline(black=black, white=white)
    assert list(printed(pipeline, grey_of_tones([black, 0.4614, white, white + 0.5]), 8)[0, :, 0]) == [0, 118, 255, 255]
    # A shoulder, not a corner: the last percent below white moves the print far less than a percent at middle grey.
    linear_white = float(srgb_decode(np.float64(white)))
    ends = printed(pipeline, np.full((1, 2, 3), [[0.99 * linear_white], [linear_white]], np.float32))[0, :, 0]
    middle = printed(pipeline, np.full((1, 2, 3), [[0.18], [0.18 * 1.01]], np.float32))[0, :, 0]
    assert np.diff(ends)[0] * 4 < np.diff(middle)[0]


def test_zone_ten_and_the_ends_of_the_presets_now_reach_the_paper() -> None:
    white = np.ones((1, 1, 3), np.float32)
    assert printed(Pipeline(zones={10: -0.5}), white, 8).item() < 255 == printed(Pipeline(), white, 8).item()
    assert printed(velkor.preset("soft-portrait"), white, 8).item() == 255


OLD_RECIPE = """name = "old-landscape"
description = "A recipe written before print zones."

[conversion]
standard = "Bt709"
filter = "Red25A"
exposure = 0.25

[zones]
0 = -0.35
2 = -0.1
7 = 0.4
10 = -0.1

[local_contrast]
radius = 12
eps = 0.02
strength = 0.5

[output]
bit_depth = 8
dither = true
"""


@pytest.mark.parametrize(("suffix", "extra", "digest"), [
    (".png", [], "28376c17dc6d7100b27f6fc4c3641eb6a5e76cc45023e392e9b540b182c688c1"),
    (".tif", ["--bit-depth", "16"], "6e576464e009e09edb8b2b233a020d95e48dfa75d447e2865d8d42618ad0f71d"),
])
def test_an_old_recipe_prints_the_very_codes_it_printed_before(tmp_path: Path, suffix: str, extra: list,
                                                                digest: str) -> None:
    (tmp_path / "old.toml").write_text(OLD_RECIPE)
    target = tmp_path / f"out{suffix}"
    assert main(["convert", "--recipe", str(tmp_path / "old.toml"), "-o", str(target), *extra]) == 0
    codes = tifffile.imread(target) if suffix == ".tif" else np.asarray(Image.open(target))
    assert hashlib.sha256(codes.tobytes()).hexdigest() == digest
    if not extra:
        assert Image.open(target).info["velkor:recipe"] == OLD_RECIPE  # the recorded text too


@pytest.mark.parametrize("toning", ["sepia", "selenium", "gold", "split"])
def test_toning_keeps_every_tone_within_a_code_of_its_grey(toning: str) -> None:
    ramp = np.linspace(0, 1, 1 << 12, dtype=np.float32).reshape(1, -1, 1)
    ramp = np.repeat(ramp ** 2.2, 3, axis=2)
    grey = printed(Pipeline(), ramp, 8)[0, :, 0]
    toned = printed(Pipeline(toning=toning, split_balance=0.5), ramp, 8)[0]
    linear = velkor.srgb_to_linear(toned.astype(np.float32) / 255) @ LUMINANCE
    encoded = np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * np.maximum(linear, 1e-9) ** (1 / 2.4) - 0.055)
    assert np.abs(encoded * 255 - grey).max() <= 1.0
    assert np.ptp(toned[len(grey) // 3], axis=-1) >= 4  # and it is a colour


@pytest.mark.parametrize("suffix", [".png", ".tif", ".jpg"])
def test_toned_prints_are_rgb_and_untoned_grey_and_the_recipe_reproduces_them(tmp_path: Path, suffix: str) -> None:
    image = velkor.read_image(velkor.sample_path())
    look = Pipeline(toning="split", split_shadows=220.0, split_highlights=40.0, grain=0.5, grain_seed=7)
    for pipeline, mode in ((look, "RGB"), (dataclasses.replace(look, toning="none"), "L")):
        target = tmp_path / f"{mode}{suffix}"
        export_print(image, target, pipeline, ExportOptions())
        with Image.open(target) as written:
            assert written.mode == mode
        assert velkor.load_recipe(target) == pipeline
    untoned = np.asarray(Image.open(tmp_path / f"L{suffix}"))
    assert untoned.ndim == 2  # one grey channel: R = G = B by construction


def test_grain_is_reproducible_and_follows_the_print_size() -> None:
    first = grain_noise(0, 0, (256, 256), 4000, 1.0, seed=3)
    assert np.array_equal(first, grain_noise(0, 0, (256, 256), 4000, 1.0, seed=3))
    assert not np.array_equal(first, grain_noise(0, 0, (256, 256), 4000, 1.0, seed=4))
    assert np.array_equal(first[100:150, 30:90], grain_noise(100, 30, (50, 60), 4000, 1.0, seed=3))
    # The spectrum's mean frequency halves when the print's long edge doubles.
    means = []
    for long_edge in (4000, 8000):
        power = np.abs(np.fft.rfft(grain_noise(0, 0, (64, 4096), long_edge, 1.0, seed=1), axis=1)) ** 2
        spectrum = power.mean(axis=0)[1:]
        frequencies = np.arange(1, spectrum.size + 1)
        means.append(float((spectrum * frequencies).sum() / spectrum.sum()))
    assert 1.7 < means[0] / means[1] < 2.3
    assert 0.8 < first.std() < 1.2


def test_grain_is_strongest_in_the_middle_tones() -> None:
    rgb = np.stack([np.full((128, 128, 3), level, np.float32) for level in (0.002, 0.18, 0.9)])
    look = Pipeline(grain=1.0)
    spread = [float(look.run(flat).std()) for flat in rgb]
    assert spread[1] > 2 * spread[0] and spread[1] > 2 * spread[2]


def test_a_tiled_print_has_the_grain_and_toning_of_the_whole_print(tmp_path: Path) -> None:
    rng = np.random.default_rng(5)
    tifffile.imwrite(tmp_path / "in.tif", rng.integers(0, 256, (700, 600, 3), dtype=np.uint8), tile=(128, 128))
    look = Pipeline(zones={3: -0.5, 7: 0.5}, toning="sepia", grain=1.0, grain_seed=9, grain_size=4.0)
    convert_tiled(tmp_path / "in.tif", tmp_path / "tiled.tif", look, overwrite=False)
    export_print(velkor.read_image(tmp_path / "in.tif"), tmp_path / "whole.tif", look, ExportOptions())
    tiled, whole = tifffile.imread(tmp_path / "tiled.tif"), tifffile.imread(tmp_path / "whole.tif")
    assert tiled.shape == (700, 600, 3)
    assert np.abs(tiled.astype(int) - whole).max() <= 1  # float rounding of the conversions' band sums


@pytest.mark.parametrize(("flags", "field", "value"), [
    (["--black", "0.04"], "black", 0.04), (["--white", "0.9"], "white", 0.9), (["--amount", "1.5"], "amount", 1.5),
    (["--toning", "gold"], "toning", "gold"), (["--grain", "0.3"], "grain", 0.3),
    (["--preset", "neutral", "--white", "0.9"], "zone_scale", "print"),  # no offsets whose meaning would change
])
def test_command_line_sets_the_new_recipe_keys(tmp_path: Path, flags: list, field: str, value: object) -> None:
    recipe = tmp_path / "used.toml"
    base = [] if "--preset" in flags else ["--preset", "soft-portrait"]
    args = ["convert", "-o", str(tmp_path / "out.png"), *base, *flags, "--save-recipe", str(recipe)]
    assert main(args) == 0
    assert getattr(velkor.load_recipe(recipe), field) == value


def test_command_line_refuses_a_reversing_zone(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["convert", "-o", str(tmp_path / "out.png"), "--zone", "5=2"]) == 3
    assert "reduce zones.5 from 2 to 1.31" in capsys.readouterr().err
    assert not (tmp_path / "out.png").exists()
