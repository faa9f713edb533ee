"""The `velkor` command, run as a separate process the way scripts run it."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import tifffile
from PIL import Image, ImageCms

import velkor
from velkor.batch import output_paths

TIMEOUT = 120


def velkor_cmd(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "velkor", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=TIMEOUT)


def write_photo(path: Path, seed: int = 0) -> Path:
    rng = np.random.default_rng(seed)
    Image.fromarray(rng.integers(0, 256, (20, 30, 3), dtype=np.uint8)).save(path)
    return path


def test_main_job_converts_the_bundled_sample(tmp_path: Path) -> None:
    result = velkor_cmd("convert", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "astronaut_bw.png" in result.stdout
    with Image.open(tmp_path / "astronaut_bw.png") as image:
        assert image.mode == "L" and image.size == (384, 384)
        grey = np.asarray(image)
    # A portrait against a light backdrop: mid-grey on average, using most of
    # the tonal range, with real blacks (the helmet) and near-whites.
    assert 90 < grey.mean() < 170
    histogram = np.bincount(grey.ravel(), minlength=256) / grey.size
    assert histogram[:32].sum() > 0.03 and histogram[224:].sum() > 0.01
    assert (histogram > 0).sum() > 200
    assert histogram.max() < 0.2  # no posterising; the backdrop at the right is black


def test_sample_ships_with_its_licence() -> None:
    licence = velkor.sample_path().with_name("astronaut.LICENSE.txt").read_text()
    assert "public domain" in licence


def test_batch_output_names_keep_same_stem_sources_apart() -> None:
    sources = [Path("in/a.jpg"), Path("in/a.png"), Path("in/b.tif")]
    assert output_paths(sources, Path("out"), ".png") == [
        Path("out/a_jpg.png"), Path("out/a_png.png"), Path("out/b.png")]


def test_console_script_is_installed(tmp_path: Path) -> None:
    script = Path(sys.executable).with_name("velkor")
    result = subprocess.run([script, "presets"], capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0
    assert set(velkor.PRESETS) <= {line.split()[0] for line in result.stdout.splitlines()}


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (["convert", "missing.jpg"], 4, "input not found: missing.jpg"),
        (["convert", "notes.txt"], 5, "unsupported input format '.txt'"),
        (["convert", "broken.png"], 5, "cannot read broken.png"),
        (["convert", "photo.png", "-o", "out.jpg"], 5, "unsupported output format '.jpg'"),
        (["convert", "photo.png", "--filter", "Purple"], 3, "bad recipe value: filter = 'Purple'"),
        (["convert", "photo.png", "--zone", "5=9"], 3, "bad recipe value: zones.5 = 9.0"),
        (["convert", "photo.png", "--zone", "five"], 3, "--zone 'five'"),
        (["convert", "photo.png", "--preset", "sepia"], 3, "unknown preset 'sepia'"),
        (["convert", "photo.png", "--recipe", "bad.toml"], 3, "unknown recipe key: colour"),
        (["convert", "photo.png", "--recipe", "none.toml"], 4, "recipe not found"),
        (["convert", "photo.png", "--eps", "small"], 2, "invalid float value: 'small'"),
        (["convert", "photo.png", "--preset", "neutral", "--recipe", "bad.toml"], 2, "not allowed with"),
        (["convert", "photo.png", "-o", "nodir/out.png"], 7, "cannot write nodir/out.png"),
        (["convert", "."], 5, "input is not a file"),
        (["frobnicate"], 2, "invalid choice"),
        (["batch", "nowhere", "-o", "out"], 4, "input folder not found"),
    ],
)
def test_errors_are_one_line_with_exit_codes(tmp_path: Path, args: list[str], code: int, message: str) -> None:
    write_photo(tmp_path / "photo.png")
    (tmp_path / "notes.txt").write_text("not a picture")
    (tmp_path / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\nbroken")
    (tmp_path / "bad.toml").write_text("colour = 1\n")
    result = velkor_cmd(*args, cwd=tmp_path)
    assert result.returncode == code, result.stderr
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("velkor: error: ")
    assert message in result.stderr
    assert "Traceback" not in result.stderr


def test_foreign_colour_profile_is_a_one_line_warning(tmp_path: Path) -> None:
    lab = ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()
    Image.open(write_photo(tmp_path / "photo.png")).save(tmp_path / "lab.jpg", icc_profile=lab)
    result = velkor_cmd("convert", "lab.jpg", "-o", tmp_path, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr.startswith("velkor: warning: lab.jpg: embedded ICC profile")
    assert result.stderr.count("\n") == 1
    assert (tmp_path / "lab_bw.png").exists()


def test_convert_never_overwrites_unless_asked(tmp_path: Path) -> None:
    write_photo(tmp_path / "photo.png")
    (tmp_path / "photo_bw.png").write_bytes(b"keep me")
    refused = velkor_cmd("convert", "photo.png", cwd=tmp_path)
    assert refused.returncode == 6 and "output exists" in refused.stderr
    assert (tmp_path / "photo_bw.png").read_bytes() == b"keep me"
    assert velkor_cmd("convert", "photo.png", "--overwrite", cwd=tmp_path).returncode == 0
    assert Image.open(tmp_path / "photo_bw.png").size == (30, 20)


def test_convert_with_flags_writes_16_bit_tiff_and_its_recipe(tmp_path: Path) -> None:
    write_photo(tmp_path / "photo.png")
    result = velkor_cmd("convert", "photo.png", "-o", "out.tif", "--preset", "soft-portrait",
                        "--bit-depth", "16", "--zone", "6=0.5", "--save-recipe", "used.toml", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    used = velkor.load_recipe(tmp_path / "used.toml")
    assert used.bit_depth == 16 and used.zones[6] == 0.5 and used.zones[3] == 0.3
    assert used.name == "soft-portrait, edited"
    with tifffile.TiffFile(tmp_path / "out.tif") as tiff:
        assert tiff.asarray().dtype == np.uint16
        assert velkor.Pipeline.from_toml(tiff.pages.first.description) == used


def test_batch_continues_past_broken_files_and_skips_existing(tmp_path: Path) -> None:
    photos = tmp_path / "photos"
    photos.mkdir()
    for index, name in enumerate(["a.png", "b.jpg", "c.png"]):
        write_photo(photos / name, seed=index)
    (photos / "broken.jpg").write_bytes(b"\xff\xd8\xff\xe0 not really a jpeg")
    (photos / "notes.txt").write_text("ignored")
    out = tmp_path / "out"
    out.mkdir()
    (out / "c.png").write_bytes(b"already there")

    result = velkor_cmd("batch", photos, "-o", out, "--preset", "high-contrast-street", cwd=tmp_path)
    assert result.returncode == 1
    assert "cannot read" in result.stderr and "broken.jpg" in result.stderr
    assert "2 converted, 1 skipped (output exists), 1 failed, 1 ignored" in result.stdout
    assert sorted(p.name for p in out.iterdir()) == ["a.png", "b.png", "c.png"]
    assert (out / "c.png").read_bytes() == b"already there"

    (photos / "broken.jpg").unlink()
    again = velkor_cmd("batch", photos, "-o", out, "--overwrite", "--format", "tiff", cwd=tmp_path)
    assert again.returncode == 0 and "3 converted" in again.stdout


def test_preview_writes_side_by_side_and_curve(tmp_path: Path) -> None:
    write_photo(tmp_path / "photo.png")
    result = velkor_cmd("preview", "photo.png", "--preset", "red-filter-landscape", "--height", "40",
                        cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / "photo_preview.png") as side_by_side:
        assert side_by_side.mode == "RGB" and side_by_side.height == 40
        pixels = np.asarray(side_by_side).astype(int)
    right = pixels[:, -60:]
    assert np.array_equal(right[..., 0], right[..., 1])  # the "after" half is grey
    assert np.abs(pixels[:, :60, 0] - pixels[:, :60, 1]).max() > 20  # the "before" half is not
    with Image.open(tmp_path / "photo_curve.png") as plot:
        assert plot.width > 300
    assert velkor_cmd("preview", "photo.png", cwd=tmp_path).returncode == 6
