"""The command's file rules, for what the page saves, exports and opens by path."""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path

from velkor.errors import OutputExistsError


def chosen_path(text: object) -> Path:
    """A path typed in the page, relative to the folder the editor was started in."""
    if not isinstance(text, str) or not text.strip():
        raise ValueError("no file name given")
    return Path(text.strip()).expanduser()


def check_output(target: Path, inputs: Iterable[Path | None], overwrite: bool) -> None:
    """Refuse an output that is an input (whatever ``overwrite`` says), or an existing file unless confirmed."""
    for source in inputs:
        if source is not None and _same_file(target, source):
            raise OutputExistsError(f"output is an input of this run: {target} (choose another output)")
    if target.exists() and not overwrite:
        raise OutputExistsError(f"output exists: {target}")


def _same_file(a: Path, b: Path) -> bool:
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False
