"""The bundled sample photograph, so the command works on a fresh machine."""

from __future__ import annotations

from importlib import resources
from pathlib import Path

SAMPLE_NAME = "astronaut.png"


def sample_path() -> Path:
    """Path of the sample photograph (public domain, NASA; see its licence file)."""
    return Path(str(resources.files("velkor") / "data" / SAMPLE_NAME))
