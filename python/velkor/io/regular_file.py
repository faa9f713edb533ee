"""Refusing, before anything opens it, a path that is not a regular file."""

from __future__ import annotations

import os
import stat
from pathlib import Path

from velkor.errors import InputNotFoundError, VelkorError


def require_regular_file(path: Path, role: str, refusal: type[VelkorError]) -> None:
    """Raise ``refusal`` unless ``path`` is a regular file (after links); :class:`InputNotFoundError` if it is missing.

    Only the file's status is asked: opening a FIFO waits for a writer that
    may never come, and a device such as /dev/zero never ends.
    """
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        raise InputNotFoundError(f"{role} not found: {path}") from None
    except (OSError, ValueError) as error:  # no permission, a name too long, a NUL in it
        raise refusal(f"cannot read {role} {path}: {getattr(error, 'strerror', None) or error}") from None
    if not stat.S_ISREG(mode):
        raise refusal(f"{role} is not a file: {path}")
