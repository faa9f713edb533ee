"""The stub package matches the extension module, and velkor passes mypy --strict."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

TIMEOUT = 600


def mypy(*args: str, cache: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args, "--cache-dir", str(cache)],
                          capture_output=True, text=True, timeout=TIMEOUT)


def test_stubs_match_the_extension_module(tmp_path: Path) -> None:
    result = mypy("mypy.stubtest", "velkor_core", cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_velkor_is_clean_under_mypy_strict(tmp_path: Path) -> None:
    result = mypy("mypy", "--strict", "-p", "velkor", cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
