"""Filter factors, exposure, filter names, and clarity that keeps the paper's ends."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest
import velkor
from velkor.cli.main import main
from velkor.io.writing import quantise
from velkor.model.pipeline import FILTERS

GREY = np.full((2, 2, 3), 0.18, np.float32)


@pytest.mark.parametrize(
    "look",
    [velkor.Pipeline(filter=f) for f in FILTERS]
    + [velkor.Pipeline(filter="Red25A", standard="Bt601"), velkor.Pipeline(mixer=(1.0, 0.2, -0.4))]
    + list(velkor.PRESETS.values()),
    ids=lambda look: look.mixer and "mixer" or f"{look.name}-{look.filter}-{look.standard}",
)
def test_neutral_grey_prints_where_it_would_without_the_filter(look: velkor.Pipeline) -> None:
    flat = dataclasses.replace(look, zones={}, strength=0.0)
    assert abs(int(quantise(flat.run(GREY), 8).flat[0]) - 118) <= 2
    brighter = dataclasses.replace(flat, exposure=1.0)
    np.testing.assert_allclose(brighter.to_grey(GREY), 2 * flat.to_grey(GREY), rtol=1e-6)


@pytest.mark.parametrize(
    ("given", "meant"),
    [("red", "Red25A"), ("Orange", "Orange21"), ("YELLOW8K2", "Yellow8K2"), ("none", "NoFilter")],
)
def test_filter_names_are_short_or_any_case(given: str, meant: str) -> None:
    look = velkor.Pipeline(filter=given, exposure=-0.5)
    assert look == velkor.Pipeline(filter=meant, exposure=-0.5) == velkor.Pipeline.from_toml(look.to_toml())


def test_filter_factor_is_reported(capsys: pytest.CaptureFixture[str]) -> None:
    assert velkor.preset("red-filter-landscape").filter_factor_stops == pytest.approx(1.808, abs=1e-3)
    assert main(["presets"]) == 0
    assert "filter factor +1.81 stops" in capsys.readouterr().out


def photo() -> np.ndarray:
    """Fine texture on bars from near black to near white, in linear light."""
    texture = np.random.default_rng(3).uniform(0.7, 1.3, (64, 96, 1)).astype(np.float32)
    rgb = np.full((64, 96, 3), 0.18, np.float32)
    rgb[:, 10:20], rgb[:, 40:44], rgb[:, 70:90] = 0.002, 0.95, 0.01
    rgb[20:30, :] = 0.8
    return rgb * texture


@pytest.mark.parametrize("strength", [-0.8, 0.5, 1.2, 5.0])
@pytest.mark.parametrize("bit_depth", [8, 16])
def test_clarity_changes_detail_but_pushes_no_tone_to_black_or_white(strength: float, bit_depth: int) -> None:
    look = velkor.Pipeline(radius=12, eps=0.005, strength=strength, bit_depth=bit_depth)
    flat = quantise(dataclasses.replace(look, strength=0.0).run(photo()), bit_depth).astype(float)
    sharp = quantise(look.run(photo()), bit_depth).astype(float)
    ends = (0, (1 << bit_depth) - 1)
    # At most one pixel in a hundred more at black or white (a tone a code above black may round to it).
    assert np.isin(sharp, ends).mean() <= np.isin(flat, ends).mean() + 0.01
    more_detail = np.diff(sharp, axis=1).std() > np.diff(flat, axis=1).std()
    assert more_detail == (strength > 0)


# The same on any number of threads: test_pool.py.
def test_clarity_covers_every_row_alike() -> None:
    from velkor.model.looks import clarity

    tones = np.random.default_rng(3).random((1031, 1100, 1), dtype=np.float32)  # parts and bands end mid-image
    # No detail added: tones through log-odds and back.
    np.testing.assert_allclose(clarity(tones.copy(), 4, 0.01, 0.0), tones, atol=1e-5)
