"""How many threads the front end's own parallel steps may use."""

from __future__ import annotations

import os


def available_threads() -> int:
    """The kernels' own setting, which a batch shares out between its processes."""
    setting = os.environ.get("RAYON_NUM_THREADS", "")
    return int(setting) if setting.isdigit() and int(setting) > 0 else os.cpu_count() or 1
