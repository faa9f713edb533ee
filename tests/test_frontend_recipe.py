"""Pipeline recipes: validation, TOML round trips, presets and the kernel order of run()."""

from __future__ import annotations

import dataclasses
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
import velkor
import velkor_core as core
from velkor import Pipeline, RecipeError

RGB = np.random.default_rng(3).random((24, 32, 3), dtype=np.float32)


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        ({"standard": "Bt710"}, "standard = 'Bt710'"),
        ({"filter": "Red25A", "mixer": (1.0, 0.0, 0.0)}, "mixer replaces filter"),
        ({"mixer": (1.0, 0.0)}, "three weights"),
        ({"mixer": (0.0, 0.0, 0.0)}, "more than 0"),
        ({"mixer": (1.0, float("nan"), 0.0)}, "finite"),
        ({"mixer": (1e-320, 0.0, 0.0)}, "no usable filter factor"),  # all NaN, printed black
        ({"mixer": (1.0, -1.0, 1e-300)}, "no usable filter factor"),
        ({"exposure": 10**400}, "exposure = 10000000000"),  # past any float
        ({"zones": {10**5000: 0.5}}, "zone <int too large to show>"),
        ({"zones": {11: 0.5}}, "zone 11"),
        ({"zones": {5: 3.5}}, "zones.5 = 3.5"),
        ({"radius": -1}, "radius = -1"),
        ({"eps": 0.0}, "eps = 0.0"),
        ({"strength": float("inf")}, "strength = inf"),
        ({"bit_depth": 12}, "bit_depth = 12"),
        ({"bit_depth": True}, "bit_depth = True"),
        ({"bit_depth": 16.0}, "bit_depth = 16.0"),
        ({"bit_depth": 16, "dither": True}, "8-bit output only"),
        ({"dither": "yes"}, "dither = 'yes'"),
        ({"name": 7}, "name = 7"),
    ],
)
def test_bad_values_are_refused_with_the_field_named(fields: dict, message: str) -> None:
    with pytest.raises(RecipeError, match="bad recipe value") as raised:
        Pipeline(**fields)
    assert message in str(raised.value)
    assert "\n" not in str(raised.value) and len(str(raised.value)) < 200


def test_zones_are_normalised_and_immutable() -> None:
    given = {"7": 1, "3": -0.5}
    pipeline = Pipeline(zones=given)
    given["5"] = 2.0
    assert pipeline.zones == {3: -0.5, 7: 1.0} and list(pipeline.zones) == [3, 7]
    with pytest.raises(TypeError):
        velkor.preset("neutral").zones[5] = 2.0  # type: ignore[index]
    assert velkor.preset("neutral").zones == {}
    assert len({pipeline, Pipeline(zones={3: -0.5, 7: 1.0})}) == 1  # hashable, by value
    with pytest.raises(RecipeError):
        dataclasses.replace(pipeline, bit_depth=7)


@pytest.mark.parametrize("name", list(velkor.PRESETS))
def test_presets_round_trip_through_toml(tmp_path: Path, name: str) -> None:
    preset = velkor.preset(name)
    velkor.save_recipe(preset, tmp_path / "look.toml")
    assert velkor.load_recipe(tmp_path / "look.toml") == preset


def test_toml_schema_is_flat_tables() -> None:
    text = Pipeline(filter="Orange21", zones={2: -0.25}, strength=0.5, bit_depth=16).to_toml()
    assert '[conversion]\nstandard = "Bt709"\nfilter = "Orange21"' in text
    assert "[zones]\n2 = -0.25" in text
    assert "[output]\nbit_depth = 16" in text
    # Defaults kept; without [tone] zone_scale a recipe is of the scene scale it was written for.
    assert Pipeline.from_toml("[local_contrast]\nstrength = 0.75\n") == Pipeline(strength=0.75, zone_scale="scene")


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("[conversion]\nfiltre = 'Red25A'\n", "unknown recipe key: conversion.filtre"),
        ("colour = 1\n", "unknown recipe key: colour"),
        ("zones = 3\n", "[zones] must be a table"),
        ("[output]\nbit_depth = 'sixteen'\n", "bit_depth = 'sixteen'"),
        ("[local_contrast\n", "not valid TOML"),
        # Hostile files: each once escaped as a traceback.
        ('[zones]\n"²" = 0.1\n', "zone '²'"),  # int() takes it; a zone number is ASCII digits
        ('[zones]\n"' + "1" * 5001 + '" = 0.1\n', "(5003 characters)"),  # past int()'s limit on digits
        ("x = " + "1" * 5001, "not usable TOML"),
        ("[conversion]\nexposure = " + "9" * 400, "exposure = 999"),
        ("[conversion]\nmixer = [1e308, 1e308, 1]\n", "no usable filter factor"),
        ("name = " + "[" * 50000 + "]" * 50000, "nested too deeply"),
        ("name = " + "{a=" * 20000 + "1" + "}" * 20000, "nested too deeply"),
        ("[output.bit_depth" + ".a" * 20000 + "]", "output.bit_depth must be a value"),
        ('[zones."3"' + ".a" * 20000 + "]", "zones.3 = <dict too large to show>"),
    ],
)
def test_bad_recipe_files(text: str, message: str) -> None:
    with pytest.raises(RecipeError) as raised:
        Pipeline.from_toml(text)
    assert message in str(raised.value)
    assert "\n" not in str(raised.value) and len(str(raised.value)) < 300


def test_run_calls_the_kernels_in_order() -> None:
    # The filter opened up by its factor, zones, sRGB, then clarity on the tones' log-odds.
    pipeline = Pipeline(filter="Red25A", zones={3: 0.5, 7: -0.25}, radius=3, eps=0.02, strength=0.8,
                        zone_scale="scene")
    weights = core.color_filter_bw(np.eye(3, dtype=np.float32)[None], core.ColorFilter.Red25A).ravel()
    grey = core.channel_mixer_bw(RGB, *(weights / weights.astype(np.float64).sum()))
    grey = core.zone_system(grey, core.ZoneParams({3: 0.5, 7: -0.25}))
    tone = np.clip(core.encode_srgb(grey), 2**-16, 1 - 2**-16)
    detail = core.local_contrast(np.log(tone / (1 - tone)) / 4, core.GuidedFilterParams(3, 0.02), 0.8)
    np.testing.assert_allclose(pipeline.run(RGB), 1 / (1 + np.exp(-4 * detail)), rtol=1e-6)


@pytest.mark.parametrize(
    ("pipeline", "convert"),
    [
        (Pipeline(zone_scale="scene"), lambda a: core.luminance_bw(a, core.LuminanceStandard.Bt709)),
        (Pipeline(standard="Bt2020", zone_scale="scene"), lambda a: core.luminance_bw(a, core.LuminanceStandard.Bt2020)),
        (Pipeline(mixer=(0.5, 0.25, 0.25), zone_scale="scene"), lambda a: core.channel_mixer_bw(a, 0.5, 0.25, 0.25)),
    ],
)
def test_conversion_choice_and_skipped_stages(pipeline: Pipeline, convert) -> None:
    # No zones and no strength: the tone and contrast kernels do not run.
    np.testing.assert_array_equal(pipeline.run(RGB), core.encode_srgb(convert(RGB)))


def test_run_accepts_any_float_layout() -> None:
    pipeline = velkor.preset("high-contrast-street")
    as_float64 = RGB.astype(np.float64)[::-1]
    np.testing.assert_array_equal(pipeline.run(as_float64), pipeline.run(np.ascontiguousarray(RGB[::-1])))


CODES = (RGB * 255).astype(np.uint8)


# Each of these printed paper white or failed deep inside before: now one line that says what to do.
@pytest.mark.parametrize(("call", "pixels", "error", "message"), [
    ("run", CODES, TypeError, "got uint8 codes (use velkor.read_image, or divide by the maximum code"),
    ("run", (RGB * 65535).astype(np.uint16), TypeError, "got uint16 codes"),
    ("run", CODES.astype(np.float32), ValueError, "most pixels past white"),
    ("run", RGB[:, :, :1], ValueError, "shape (H, W, 3), got shape (24, 32, 1)"),
    ("run", np.where(RGB > 0.5, np.nan, RGB), ValueError, "got NaN or infinity"),
    ("run", RGB * 2000, ValueError, "from -1000 to 1000"),
    ("run", "photo.jpg", TypeError, "got str of <U9"),
    ("run", SimpleNamespace(linear=RGB), TypeError, "got SimpleNamespace (pass its .linear)"),  # a SourceImage
    ("write", CODES[:, :, :1], TypeError, "got uint8 codes (divide 8-bit codes by 255"),
    ("write", CODES[:, :, :1].astype(np.float32), ValueError, "most pixels past white"),
    ("write", RGB[:, :, :2], ValueError, "got shape (24, 32, 2)"),
    ("write", RGB.astype(bool), TypeError, "got bool"),
])
def test_wrong_pixels_are_refused_in_one_line(tmp_path: Path, call, pixels, error, message) -> None:
    with pytest.raises(error) as raised:
        if call == "run":
            Pipeline().run(pixels)
        else:
            velkor.write_image(tmp_path / "x.png", pixels)
    assert message in str(raised.value) and "\n" not in str(raised.value)
    assert not list(tmp_path.iterdir())
