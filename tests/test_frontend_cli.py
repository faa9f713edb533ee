"""The `velkor` command, run as a separate process the way scripts run it."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import tifffile
import velkor
from PIL import Image, ImageCms, PngImagePlugin
from velkor.run.batch import BatchReport

TIMEOUT = 120


def velkor_cmd(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "velkor", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=TIMEOUT)


def write_photo(path: Path, seed: int = 0, shape: tuple[int, int] = (20, 30)) -> Path:
    rng = np.random.default_rng(seed)
    Image.fromarray(rng.integers(0, 256, (*shape, 3), dtype=np.uint8)).save(path)
    return path


def decodes(path: Path) -> bool:  # or raises: a damaged file fails the test with Pillow's reason
    with Image.open(path) as image:
        image.load()
    return True


def test_main_job_converts_the_bundled_sample(tmp_path: Path) -> None:
    script = Path(sys.executable).with_name("velkor")  # the installed console script
    result = subprocess.run([script, "convert"], cwd=tmp_path, capture_output=True, text=True, timeout=TIMEOUT)
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


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (["convert", "missing.jpg"], 4, "input not found: missing.jpg"),
        (["convert", "photo.png"], 6, "output exists: photo_bw.png (use --overwrite to replace it)"),
        (["convert", "notes.txt"], 5, "unsupported input format '.txt'"),
        (["convert", "broken.png"], 5, "cannot read broken.png"),
        (["convert", "photo.png", "-o", "out.webp"], 5, "unsupported output format '.webp'"),
        (["convert", "photo.png", "-o", "o.jpg", "--quality", "101"], 2, "JPEG quality 1 to 100, not '101'"),
        (["batch", ".", "-o", "o", "--strip-metadata", "--keep-gps"], 2, "not allowed with"),
        (["convert", "photo.png", "--filter", "Purple"], 3, "bad recipe value: filter = 'Purple'"),
        (["convert", "photo.png", "--zone", "3"], 2, "malformed --zone '3'"),
        (["convert", "photo.png", "--bit-depth", "16", "--dither"], 3, "8-bit output only"),
        (["convert", "photo.png", "-o", "photo.png", "--overwrite"], 6, "output is an input of this run: photo.png"),
        (["convert", "photo.png", "-o", "p.png", "--save-recipe", "p.png"], 2, "two outputs name the same file"),
        (["preview", "photo.png", "-o", "x.png", "--curve", "x.png"], 2, "two outputs name the same file"),
        (["preview", "photo.png", "--size", "9" * 400], 2, "positive number of pixels up to"),  # not a traceback
        (["batch", ".", "-o", ".", "--overwrite"], 6, "output is an input of this run"),
        (["convert", "photo.png", "--preset", "sepia"], 3, "unknown preset 'sepia'"),
        (["convert", "photo.png", "--recipe", "bad.toml"], 3, "unknown recipe key: colour"),
        (["convert", "photo.png", "--recipe", "none.toml"], 4, "recipe not found"),
        (["convert", "photo.png", "--eps", "small"], 2, "invalid float value: 'small'"),
        (["convert", "photo.png", "--preset", "neutral", "--recipe", "bad.toml"], 2, "not allowed with"),
        (["convert", "photo.png", "-o", "notes.txt/out.png"], 7, "cannot write notes.txt/out.png"),
        (["convert", "photo.png", "-o", "o.png", "--quality", "80"], 2, "--quality applies to JPEG output only, not PNG"),
        (["batch", ".", "-o", "o", "--compress", "zstd"], 2, "--compress applies to TIFF output only, not PNG"),
        (["convert", "."], 5, "input is not a file"),
        (["convert", "pipe.png"], 5, "input is not a file: pipe.png"),  # refused before it is opened, not a hang
        (["convert", "photo.png", "--recipe", "pipe.png"], 3, "recipe is not a file: pipe.png"),
        (["convert", "photo.png", "--recipe", "/dev/zero"], 3, "recipe is not a file: /dev/zero"),
        (["convert", "photo.png", "--recipe", "deep.toml"], 3, "nested too deeply"),
        (["convert", "photo.png", "--memory-limit", "9" * 400], 2, "invalid size"),
        (["convert", "gone\x1b[2J.png"], 4, "input not found: gone\\x1b[2J.png"),  # escaped, not run
        (["batch", "nowhere", "-o", "out"], 4, "input folder not found"),
    ],
)
def test_errors_are_one_line_with_exit_codes(tmp_path: Path, args: list[str], code: int, message: str) -> None:
    write_photo(tmp_path / "photo.png")
    (tmp_path / "notes.txt").write_text("not a picture")
    (tmp_path / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\nbroken")
    (tmp_path / "bad.toml").write_text("colour = 1\n")
    (tmp_path / "photo_bw.png").write_bytes(b"keep me")
    (tmp_path / "deep.toml").write_text("name = " + "[" * 50000 + "]" * 50000)
    os.mkfifo(tmp_path / "pipe.png")
    before = {path: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()}
    result = velkor_cmd(*args, cwd=tmp_path)
    assert {path: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()} == before  # nothing written
    assert result.returncode == code and result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith("velkor: error: ")
    assert message in result.stderr and "Traceback" not in result.stderr


def test_convert_with_flags_writes_16_bit_tiff_and_its_recipe(tmp_path: Path) -> None:
    lab = ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()
    Image.open(write_photo(tmp_path / "photo.png")).save(tmp_path / "lab.jpg", icc_profile=lab)
    result = velkor_cmd("convert", "lab.jpg", "-o", "out.tif", "--preset", "soft-portrait",
                        "--bit-depth", "16", "--zone", "6=0.5", "--save-recipe", "used.toml", cwd=tmp_path)
    assert result.stderr.startswith("velkor: warning: lab.jpg: embedded ICC profile")  # a foreign profile:
    assert result.stderr.count("\n") == 1  # one line, and the conversion goes on
    used = velkor.load_recipe(tmp_path / "used.toml")
    assert result.returncode == 0 and used.bit_depth == 16 and not used.dither  # 16-bit drops the preset's dither
    assert used.zones[6] == 0.5 and used.zones[3] == 0.45 and used.name == "soft-portrait, edited"
    with tifffile.TiffFile(tmp_path / "out.tif") as tiff:
        assert tiff.asarray().dtype == np.uint16
        assert velkor.Pipeline.from_toml(tiff.pages.first.description) == used
    assert velkor_cmd("convert", "photo.png", "-o", tmp_path, "--recipe", "out.tif", cwd=tmp_path).returncode == 0
    assert velkor_cmd("convert", "photo.png", "-o", "new/folder/x.png", cwd=tmp_path).returncode == 0  # made
    assert velkor.load_recipe(tmp_path / "photo_bw.png") == used  # a look reused straight from a print, into a folder


def test_batch_continues_past_broken_files_and_resumes_by_recipe(tmp_path: Path) -> None:
    photos, out = tmp_path / "photos", tmp_path / "out"
    for folder in (photos, out):
        folder.mkdir()
    for index, name in enumerate(["a.png", "a.jpg", "c.png"]):  # same stems: kept apart
        write_photo(photos / name, seed=index)
    (photos / "broken.jpg").write_bytes(b"\xff\xd8\xff\xe0 not really a jpeg")
    (photos / "notes.txt").write_text("ignored")
    (out / "c.png").write_bytes(b"\x89PNG\r\n\x1a\n left by a killed run")
    planted = "d\x1b[2J.png"  # a name that would clear the screen, and a print whose recipe is hostile
    write_photo(photos / planted, seed=3)
    hostile = PngImagePlugin.PngInfo()  # written by hand: write_image refuses a recipe it cannot follow
    hostile.add_text("velkor:recipe", '[zones]\n"' + "1" * 5001 + '" = 1\n')
    Image.new("L", (2, 2)).save(out / planted, pnginfo=hostile)

    runs = [  # (extra arguments, exit status, summary, on standard error)
        ([], 1, "3 converted, 0 skipped (output exists), 1 in conflict", "velkor: failed: cannot read"),
        ([], 1, "0 converted, 3 skipped (output exists), 1 in conflict", "d\\x1b[2J.png exists"),
        (["--preset", "soft-portrait"], 1, "4 in conflict (exists, made by another recipe)", "c.png exists"),
        (["--preset", "soft-portrait", "--overwrite"], 0, "4 converted", ""),
    ]
    for extra, code, summary, said in runs:
        result = velkor_cmd("batch", photos, "-o", out, "--quiet", *extra, cwd=tmp_path)
        assert result.returncode == code and summary in result.stdout and said in result.stderr, result.stderr
        assert "\x1b" not in result.stdout + result.stderr
        (photos / "broken.jpg").unlink(missing_ok=True)
    assert sorted(p.name for p in out.iterdir()) == ["a_jpg.png", "a_png.png", "c.png", planted]
    assert velkor.load_recipe(out / "c.png").name == "soft-portrait"


def test_a_cluster_starts_no_more_workers_than_files(tmp_path: Path, monkeypatch) -> None:
    from velkor.cli import main as cli
    from velkor.run import batch  # where the command finds run_batch when it runs

    write_photo(tmp_path / "photo.png")
    schedules = []
    monkeypatch.setattr(batch, "run_batch", lambda *args, schedule, **kwargs: schedules.append(schedule) or BatchReport())
    assert cli.main(["batch", str(tmp_path), "-o", str(tmp_path / "out"), "--workers", "100000"]) == 0
    assert schedules[0].workers == 1


@pytest.mark.parametrize("moment", [0.0, 0.3, 0.6])  # seconds into a batch of about 1
def test_killed_batch_leaves_only_whole_files(tmp_path: Path, moment: float) -> None:
    photos, out = tmp_path / "photos", tmp_path / "out"
    photos.mkdir()
    for index in range(8):
        write_photo(photos / f"p{index}.png", seed=index, shape=(800, 1200))  # noise: slow to compress
    command = [sys.executable, "-m", "velkor", "batch", photos, "-o", out, "--quiet"]
    for stop, status in ((signal.SIGTERM, 128 + signal.SIGTERM), (signal.SIGKILL, -signal.SIGKILL)):
        run = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not out.exists() and run.poll() is None:  # the batch starts by making its folder
            time.sleep(0.01)
        time.sleep(moment)
        run.send_signal(stop)
        code = run.wait(TIMEOUT)
        # A batch that finished first may meet the signal as its interpreter exits.
        assert code in (0, status) or (code == -stop and len(list(out.glob("*.png"))) == 8)
        assert all(decodes(path) for path in out.glob("*.png"))
        assert stop == signal.SIGKILL or not list(out.glob(".*.velkor-part"))  # SIGTERM cleans up like Ctrl-C
    resumed = velkor_cmd(*command[3:], cwd=tmp_path)
    assert resumed.returncode == 0 and len([p for p in out.glob("*.png") if decodes(p)]) == 8


def test_a_signal_while_the_worker_pool_starts_arrives_once_it_has_started() -> None:
    # Arriving in the middle of starting a worker, it would leave a process the pool never stops.
    from velkor.run.pool import _signals_held

    received: list[int] = []
    previous = signal.signal(signal.SIGTERM, lambda number, frame: received.append(number))
    try:
        with _signals_held():
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(0.05)
            assert received == []
        assert received == [signal.SIGTERM]
    finally:
        signal.signal(signal.SIGTERM, previous)


@pytest.fixture
def full_disk(tmp_path: Path):
    folder = tmp_path / "small"
    folder.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=200k", "tmpfs", folder],
                                           capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    yield folder
    subprocess.run(["umount", folder], check=True)


def test_full_disk_keeps_the_previous_print(tmp_path: Path, full_disk: Path) -> None:
    write_photo(tmp_path / "photo.png", shape=(400, 600))
    kept = write_photo(previous := full_disk / "photo_bw.png", shape=(30, 30)).read_bytes()
    result = velkor_cmd("convert", "photo.png", "-o", previous, "--overwrite", "--bit-depth", "16", cwd=tmp_path)
    assert result.returncode == 7 and "No space left" in result.stderr, result.stderr
    assert previous.read_bytes() == kept and [p.name for p in full_disk.iterdir()] == ["photo_bw.png"]


def test_preview_writes_side_by_side_and_curve(tmp_path: Path) -> None:
    write_photo(tmp_path / "photo.png")
    result = velkor_cmd("preview", "photo.png", "--preset", "red-filter-landscape", "--size", "60",
                        cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / "photo_preview.png") as side_by_side:
        assert side_by_side.mode == "RGB" and side_by_side.height == 40
        pixels = np.asarray(side_by_side).astype(int)
    right = pixels[:, -60:]
    assert np.array_equal(right[..., 0], right[..., 1])  # the "after" half is grey
    assert np.abs(pixels[:, :60, 0] - pixels[:, :60, 1]).max() > 20  # the "before" half is not
    assert Image.open(tmp_path / "photo_curve.png").width > 300
    assert velkor_cmd("preview", "photo.png", cwd=tmp_path).returncode == 6
    write_photo(tmp_path / "strip.png", shape=(2, 2000))  # sized by its long edge, not its height
    assert velkor_cmd("preview", "strip.png", cwd=tmp_path).returncode == 0
    assert Image.open(tmp_path / "strip_preview.png").size == (480 + 8 + 480, 1)
