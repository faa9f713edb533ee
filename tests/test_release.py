"""What a user meets first: the README's examples, the version, the licence and the optional extras."""

from __future__ import annotations

import importlib.metadata
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import velkor
from PIL import Image

README = Path(__file__).parents[1] / "README.md"
PAGES = [README, *sorted((README.parent / "docs").glob("*.md"))]
EXAMPLES = [example for page in PAGES for example in re.findall(r"```python\n(.*?)```", page.read_text(), re.DOTALL)]
TIMEOUT = 600


def run(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=TIMEOUT)


@pytest.mark.skipif(np.__version__ < "2", reason="typed against NumPy 2's stubs")
def test_documented_python_examples_pass_mypy_strict(tmp_path: Path) -> None:
    for index, example in enumerate(EXAMPLES):
        (tmp_path / f"example_{index}.py").write_text(example)
    result = run("-m", "mypy", "--strict", *sorted(tmp_path.glob("example_*.py")), cwd=tmp_path)
    assert len(EXAMPLES) >= 2 and result.returncode == 0, result.stdout


def test_readme_api_example_writes_the_bytes_the_command_writes(tmp_path: Path) -> None:
    rng = np.random.default_rng(5)
    Image.fromarray(rng.integers(0, 256, (48, 64, 3), dtype=np.uint8)).save(tmp_path / "photo.jpg", quality=90)
    (tmp_path / "api").mkdir()
    (tmp_path / "api" / "photo.jpg").write_bytes((tmp_path / "photo.jpg").read_bytes())
    example = EXAMPLES[0].split("mine = ")[0]  # reading, the preset and both writes
    assert run("-c", example, cwd=tmp_path / "api").returncode == 0
    for output, flags in [("photo_bw.tif", ["--preset", "red-filter-landscape", "--compress", "zstd"]),
                          ("photo_web.jpg", ["--preset", "red-filter-landscape", "--long-edge", "2048",
                                             "--quality", "85"])]:
        result = run("-m", "velkor", "convert", "photo.jpg", "-o", output, *flags, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert (tmp_path / output).read_bytes() == (tmp_path / "api" / output).read_bytes(), output


@pytest.mark.parametrize(("missing", "args", "extra"), [
    ("matplotlib", ["preview", "photo.png"], "preview"),
    ("distributed", ["batch", ".", "-o", "out", "--workers", "1"], "distributed"),
    ("distributed", ["convert", "photo.tif", "-o", "out.tif", "--tiled", "--workers", "1"], "distributed"),
    ("rawpy", ["convert", "photo.dng"], "raw"),
    ("pillow_heif", ["convert", "photo.heic"], "heif"),
    ("uvicorn", ["edit"], "editor"),
])
def test_a_missing_extra_is_named_with_its_own_exit_status(tmp_path: Path, missing, args, extra) -> None:
    Image.new("RGB", (8, 6)).save(tmp_path / "photo.png")
    Image.new("RGB", (8, 6)).save(tmp_path / "photo.tif")
    for name in ("photo.dng", "photo.heic"):
        (tmp_path / name).write_bytes(b"not decoded: the extra is asked for first")
    blocked = f"import sys; sys.modules[{missing!r}] = None; from velkor.cli.main import main; sys.exit(main(sys.argv[1:]))"
    result = run("-c", blocked, *args, cwd=tmp_path)
    assert result.returncode == 8 and result.stderr.count("\n") == 1, result.stderr
    assert f"pip install 'velkor[{extra}]'" in result.stderr


def test_version_and_licence_come_with_the_package() -> None:
    assert velkor.__version__ == importlib.metadata.version("velkor")
    files = importlib.metadata.files("velkor") or []
    licence = next(f for f in files if f.name == "LICENSE")
    assert "MIT License" in licence.read_text() and "the velkor developers" in licence.read_text()
