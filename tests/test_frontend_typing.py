"""The stub package matches the extension module, and velkor passes mypy --strict."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

TIMEOUT = 600


def run_module(*args: str, cache: Path) -> subprocess.CompletedProcess[str]:
    # Run in a temporary folder so that mypy's cache stays out of the working tree
    # (stubtest has no option for it and ignores MYPY_CACHE_DIR).
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          timeout=TIMEOUT, cwd=cache)


def test_stubs_match_the_extension_module(tmp_path: Path) -> None:
    result = run_module("mypy.stubtest", "velkor_core", cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# NumPy 1.26's stubs type many array expressions more loosely (Any, bool_):
# the annotations are written against the NumPy that new installs get.
@pytest.mark.skipif(np.__version__ < "2", reason="typed against NumPy 2's stubs")
def test_velkor_is_clean_under_mypy_strict(tmp_path: Path) -> None:
    result = run_module("mypy", "--strict", "-p", "velkor", cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_front_ends_imports_point_down_and_close_no_circle() -> None:
    import velkor

    script = Path(__file__).parents[1] / "scripts" / "import_graph.py"
    result = subprocess.run([sys.executable, script, Path(velkor.__file__).parent], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout
