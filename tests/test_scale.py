"""Batches across processes and Dask workers, and images converted tile by tile."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import tifffile
import velkor
from icc_profiles import SRGB_D50, icc, lut16
from PIL import Image

distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
TIMEOUT = 180


def velkor_cmd(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "velkor", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=TIMEOUT)


def photos(folder: Path, count: int, shape: tuple[int, int]) -> Path:
    folder.mkdir()
    for seed in range(count):  # noise: slow to compress, so a batch takes a while
        pixels = np.random.default_rng(seed).integers(0, 256, (*shape, 3), dtype=np.uint8)
        Image.fromarray(pixels).save(folder / f"p{seed}.png")
    return folder


def contents(folder: Path) -> dict[str, bytes]:
    # The prints, without the hidden manifest (its times differ from run to run).
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir()) if not path.name.startswith(".")}


@pytest.fixture(scope="module")
def cluster():
    # A task whose worker dies is not tried again, as when each try costs a worker its memory.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40) as local:
        yield local


def test_every_schedule_writes_the_serial_batch_bytes(tmp_path: Path, cluster) -> None:
    source = photos(tmp_path / "in", 4, (40, 60))
    (source / "broken.jpg").write_bytes(b"\xff\xd8 not a jpeg")
    runs = {}
    for name, extra in [("serial", ["--jobs", "1"]), ("jobs", ["--jobs", "2"]), ("workers", ["--workers", "2"]),
                        ("scheduler", ["--scheduler", cluster.scheduler_address])]:
        result = velkor_cmd("batch", source, "-o", name, "--preset", "red-filter-landscape", "--quiet",
                            *extra, cwd=tmp_path)
        assert result.returncode == 1 and "4 converted, 0 skipped (output exists), 1 failed" in result.stdout
        assert "velkor: failed: cannot read" in result.stderr, result.stderr
        runs[name] = contents(tmp_path / name)
    assert len(runs["serial"]) == 4 and all(run == runs["serial"] for run in runs.values())


@pytest.mark.parametrize("where", ["--jobs", "--scheduler"])
def test_a_worker_killed_mid_batch_fails_only_its_files(tmp_path: Path, cluster, where: str) -> None:
    source, out = photos(tmp_path / "in", 10, (600, 900)), tmp_path / "out"
    serial = velkor_cmd("batch", source, "-o", "serial", "--jobs", "1", "--quiet", cwd=tmp_path)
    assert serial.returncode == 0
    options = ["--jobs", "2"] if where == "--jobs" else ["--scheduler", cluster.scheduler_address]
    batch = subprocess.Popen([sys.executable, "-m", "velkor", "batch", source, "-o", out, "--quiet", *options],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    with distributed.Client(cluster.scheduler_address, timeout=30) as client:
        deadline = time.monotonic() + TIMEOUT
        while not any(out.glob("*.png")) and time.monotonic() < deadline:
            time.sleep(0.01)
        children = Path(f"/proc/{batch.pid}/task/{batch.pid}/children").read_text().split()
        pool = [int(pid) for pid in children if b"spawn_main" in Path(f"/proc/{pid}/cmdline").read_bytes()]
        os.kill(pool[0] if where == "--jobs" else next(iter(client.run(os.getpid).values())), signal.SIGKILL)
        said, errors = batch.communicate(timeout=TIMEOUT)
        client.wait_for_workers(2, timeout=TIMEOUT)  # the nanny brings it back for the next test
    converted, skipped, failed = (int(count) for count, _ in re.findall(r"(\d+) (converted|skipped|failed)", said))
    # Only what was on the dead process fails (Dask may have sent a worker a second task ahead); a
    # finished task whose result died with its worker runs again, and finds its whole print.
    assert converted + skipped + failed == 10 and failed <= 2
    assert errors.count("died (killed, or out of memory)") == 2 * failed
    rerun = velkor_cmd("batch", source, "-o", out, "--quiet", *options, cwd=tmp_path)
    assert rerun.returncode == 0 and contents(out) == contents(tmp_path / "serial")  # same bytes, none missing


def scheduler_address(scheduler_file: Path) -> str:
    # Dask writes the file in place, so it can exist and still be empty or half written.
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            return str(json.loads(scheduler_file.read_text())["address"])
        except (FileNotFoundError, json.JSONDecodeError, KeyError):
            assert time.monotonic() < deadline, "the Dask scheduler never wrote its address"
            time.sleep(0.05)


@pytest.mark.parametrize(("case", "code", "message"), [
    ("unreachable", 9, "cannot reach the Dask scheduler tcp://127.0.0.1:9"),
    ("without workers", 10, "has had no workers for 2 s (see --cluster-wait)"),
    ("lost midway", 11, "lost the Dask scheduler at tcp://"),
])
def test_a_scheduler_unreachable_empty_or_lost_has_a_status_of_its_own(
        tmp_path: Path, case: str, code: int, message: str) -> None:
    source, out, address = photos(tmp_path / "in", 8, (600, 900)), tmp_path / "out", "tcp://127.0.0.1:9"
    dask_cli, started = Path(sys.executable).with_name("dask"), []
    try:
        if case != "unreachable":
            started.append(subprocess.Popen([dask_cli, "scheduler", "--port", "0", "--no-dashboard",
                                             "--scheduler-file", tmp_path / "s.json"], stderr=subprocess.DEVNULL))
            address = scheduler_address(tmp_path / "s.json")
        if case == "lost midway":
            started.append(subprocess.Popen([dask_cli, "worker", address, "--nthreads", "1", "--no-dashboard"],
                                            stderr=subprocess.DEVNULL))
        batch = subprocess.Popen([sys.executable, "-m", "velkor", "batch", source, "-o", out, "--quiet",
                                  "--scheduler", address, "--cluster-wait", "2" if code < 11 else "60"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if case == "lost midway":
            while not any(out.glob("*.png")) and batch.poll() is None:
                time.sleep(0.01)
            started[0].kill()
        said, errors = batch.communicate(timeout=TIMEOUT)
    finally:
        for process in started:
            process.kill()
            process.wait(TIMEOUT)
    assert batch.returncode == code and errors.count("\n") == 1 and message in errors, errors
    if case == "lost midway":
        assert "not done (run again to finish)" in said
        rerun = velkor_cmd("batch", source, "-o", out, "--quiet", cwd=tmp_path)
        assert rerun.returncode == 0 and len(contents(out)) == 8


@pytest.mark.parametrize(("pipeline", "chunks"), [
    (velkor.preset("red-filter-landscape"), (128, 160, 3)),
    (velkor.preset("soft-portrait"), (128, 160, 3)),
    (velkor.preset("high-contrast-street"), (128, 160, 3)),
    (velkor.Pipeline(radius=4096, strength=0.5), (100, 30, 3)),  # a reach past the image and past every chunk
])
def test_chunks_match_the_whole_image(pipeline: velkor.Pipeline, chunks: tuple[int, int, int]) -> None:
    rng = np.random.default_rng(1)
    smooth = np.asarray(Image.open(velkor.sample_path()).convert("RGB").resize((700, 500)), np.float32) / 255
    linear = (smooth**2.2 + rng.normal(0, 0.01, smooth.shape)).astype(np.float32)
    lazy = pipeline.run_dask(da.from_array(linear, chunks=chunks))
    assert lazy.shape == (500, 700, 1) and isinstance(lazy, da.Array)
    whole = np.rint(np.clip(pipeline.run(linear), 0, 1) * 65535)
    tiled = np.rint(np.clip(lazy.compute(), 0, 1) * 65535)
    assert np.abs(tiled - whole).max() <= 1 and np.mean(tiled == whole) >= 0.9999


def test_tiled_prints_equal_whole_ones_resume_and_spread_over_a_cluster(tmp_path: Path, cluster) -> None:
    from velkor.run import tiled
    from velkor.run.tiled_bands import local_bands

    rgb = np.random.default_rng(2).integers(0, 65536, (600, 700, 3), dtype=np.uint16)
    tifffile.imwrite(tmp_path / "big.tif", rgb, tile=(64, 64), compression="zlib", photometric="rgb",
                     extratags=[(271, "s", 0, "Hasselblad", True)], resolution=(300, 300), resolutionunit="INCH")
    recipes = {"street": ["--preset", "high-contrast-street"], "wide": ["--radius", "150", "--strength", "0.8"],
               "grain": ["--filter", "red", "--zone", "3=-0.5", "--bit-depth", "8", "--dither"]}
    for name, recipe in recipes.items():  # 65M: bands of one tile row, three across the image
        assert velkor_cmd("convert", "big.tif", "-o", f"{name}.tif", *recipe, cwd=tmp_path).returncode == 0
        result = velkor_cmd("convert", "big.tif", "-o", f"{name}_tiled.tif", *recipe, "--memory-limit", "65M",
                            cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        whole, pieces = (tifffile.imread(tmp_path / f"{name}{run}.tif") for run in ("", "_tiled"))
        assert np.array_equal(pieces, whole)
    alpha = np.random.default_rng(3).integers(0, 65536, (600, 700, 1), dtype=np.uint16)
    # A cut-out with a profile whose perceptual and colorimetric tables differ: pieces read it as a whole read does.
    ramp, colorants = np.linspace(0, 1, 4096), np.stack(np.meshgrid(*[[0, 1]] * 3, indexing="ij"), -1) @ SRGB_D50.T
    profile = icc(b"RGB ", b"XYZ ", [(b"A2B0", lut16([ramp**1.6] * 3, colorants)),
                                     (b"A2B1", lut16([ramp**2.4] * 3, colorants))])
    tifffile.imwrite(tmp_path / "cut.tif", np.dstack([rgb, alpha]), tile=(64, 64), photometric="rgb",
                     extrasamples=["unassalpha"], iccprofile=profile)
    paper = ["--background", "black", "--intent", "perceptual"]
    for run, flags in (("cut_plain.tif", []), ("cut_whole.tif", paper), ("cut_tiled.tif", [*paper, "--tiled"])):
        assert velkor_cmd("convert", "cut.tif", "-o", run, *flags, cwd=tmp_path).returncode == 0
    plain, whole, pieces = (tifffile.imread(tmp_path / f"cut_{run}.tif") for run in ("plain", "whole", "tiled"))
    assert np.array_equal(pieces, whole) and not np.array_equal(whole, plain)
    kept = velkor_cmd("convert", "cut.tif", "-o", "kept.tif", "--tiled", "--keep-alpha", cwd=tmp_path)
    assert kept.returncode == 5 and "cannot keep the transparency" in kept.stderr and not (tmp_path / "kept.tif").exists()
    with tifffile.TiffFile(tmp_path / "street_tiled.tif") as tiff:
        assert tiff.pages.first.is_tiled
        assert velkor.load_recipe(tmp_path / "street_tiled.tif").name == "high-contrast-street"
        tags = tiff.pages.first.tags
        assert tags["Make"].value == "Hasselblad" and tags["XResolution"].value == (300, 1)
        assert b"GRAY" in tags["InterColorProfile"].value
    spread = velkor_cmd("convert", "big.tif", "-o", "spread.tif", *recipes["street"], "--memory-limit", "65M",
                        "--scheduler", cluster.scheduler_address, cwd=tmp_path)
    assert spread.returncode == 0, spread.stderr
    assert (tmp_path / "spread.tif").read_bytes() == (tmp_path / "street_tiled.tif").read_bytes()

    # Killed after its first band, with a part file left by an earlier killed run: the rerun makes only the rest.
    stale = tmp_path / ".resumed.tif.0123.velkor-part"
    stale.write_bytes(b"half a print")
    os.utime(stale, (0, 0))
    asked: list[list[int]] = []

    def first_band_then_killed(*args):
        for count, band in enumerate(local_bands(*args)):
            if count == 1:
                raise KeyboardInterrupt
            yield band

    toned = dataclasses.replace(velkor.preset("high-contrast-street"), toning="selenium")
    for target, bands in (("resumed.tif", first_band_then_killed), ("resumed.tif", local_bands),
                          ("straight.tif", local_bands)):
        def recorded(reader, pipeline, layout, wanted, deflate, carried, bands=bands):
            asked.append(sorted(wanted))
            return bands(reader, pipeline, layout, wanted, deflate, carried)

        with contextlib.suppress(KeyboardInterrupt):  # uncompressed: the bands kept are codes, not tiles
            tiled.convert_tiled(tmp_path / "big.tif", tmp_path / target, toned, overwrite=False, memory_limit=1,
                                compression="none", bands=recorded)
    assert asked == [[0, 1, 2], [1, 2], [0, 1, 2]]
    assert (tmp_path / "resumed.tif").read_bytes() == (tmp_path / "straight.tif").read_bytes()
    assert not list(tmp_path.glob(".*"))  # no part file, no kept bands


def test_a_batch_converts_what_exceeds_its_memory_limit_in_pieces(tmp_path: Path) -> None:
    photos(tmp_path / "in", 1, (40, 60))
    rgb = np.random.default_rng(3).integers(0, 65536, (300, 520, 3), dtype=np.uint16)
    tifffile.imwrite(tmp_path / "in" / "pano.tif", rgb, tile=(64, 64), photometric="rgb")
    Image.fromarray((rgb >> 8).astype(np.uint8)).save(tmp_path / "in" / "wide.png")
    result = velkor_cmd("batch", "in", "-o", "out", "--format", "tiff", "--memory-limit", "66M", "--jobs", "1",
                        "--quiet", cwd=tmp_path)
    assert result.returncode == 1 and "2 converted, 0 skipped (output exists), 1 failed" in result.stdout
    assert "only TIFF can be read in pieces" in result.stderr  # the PNG of the same size
    with tifffile.TiffFile(tmp_path / "out" / "pano.tif") as tiff:
        assert tiff.pages.first.is_tiled
    assert velkor_cmd("convert", "in/pano.tif", "-o", "whole.tif", cwd=tmp_path).returncode == 0
    assert np.array_equal(tifffile.imread(tmp_path / "out" / "pano.tif"), tifffile.imread(tmp_path / "whole.tif"))
