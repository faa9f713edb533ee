"""The stub package matches the extension module, and velkor passes mypy --strict."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

TIMEOUT = 600


def run_module(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=TIMEOUT)


def test_stubs_match_the_extension_module() -> None:
    result = run_module("mypy.stubtest", "velkor_core")
    assert result.returncode == 0, result.stdout + result.stderr


def test_velkor_is_clean_under_mypy_strict(tmp_path: Path) -> None:
    result = run_module("mypy", "--strict", "--cache-dir", str(tmp_path), "-p", "velkor")
    assert result.returncode == 0, result.stdout + result.stderr
