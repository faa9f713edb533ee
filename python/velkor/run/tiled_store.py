"""The finished bands of a tiled print, kept beside it until the print is whole, so that a rerun continues.

A hidden folder beside the output holds one file per finished band, each
taking its name only when it is complete, and a key naming what the bands
were made from (the input's identity, the recipe, the file settings, the
band layout).  A rerun with the same key uses them; any other key, and the
folder starts over.  A lock keeps two runs from sharing one folder.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from velkor.errors import OutputExistsError
from velkor.run.tiled_bands import BandPrint

try:
    import fcntl
except ImportError:
    fcntl = None  # type: ignore[assignment]


class BandStore:
    """The folder of one output's finished bands."""

    def __init__(self, folder: Path, key: str, lock: IO[bytes]) -> None:
        self.folder, self.key, self._lock = folder, key, lock

    def done(self) -> set[int]:
        """The bands finished so far."""
        return {int(path.stem.removeprefix("band-")) for path in self.folder.glob("band-*.npy")}

    def save(self, index: int, band: BandPrint, carry: bytes) -> None:
        """Keep a band: what the band below continues from, then its codes, or its tiles' lengths and tiles."""
        path = self._path(index)
        part = path.with_name(f".{path.name}.part")
        with open(part, "wb") as stream:
            np.save(stream, np.frombuffer(carry, np.uint8))
            if isinstance(band, list):
                np.save(stream, np.array([len(tile) for tile in band], np.int64))
                stream.writelines(band)
            else:
                np.save(stream, band)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(part, path)

    def load(self, index: int) -> BandPrint:
        with open(self._path(index), "rb") as stream:
            np.load(stream)  # the carry
            first: npt.NDArray[Any] = np.load(stream)
            if first.ndim != 1:  # codes, grey (h, w) or toned (h, w, 3)
                return first
            return [stream.read(length) for length in first.tolist()]

    def carry(self, index: int) -> bytes:
        """What band ``index`` carried to the band below it."""
        with open(self._path(index), "rb") as stream:
            return bytes(np.load(stream))

    def _path(self, index: int) -> Path:
        return self.folder / f"band-{index:07d}.npy"


def store_folder(target: Path) -> Path:
    return target.with_name(f".{target.name}.velkor-bands")


# The layout of a kept band's file: a folder kept by a run that wrote another
# layout starts over rather than being misread.
_BAND_FILE_LAYOUT = 2  # the carry, then the codes or the tiles


def band_key(*parts: object) -> str:
    return hashlib.sha256(repr((_BAND_FILE_LAYOUT, *parts)).encode()).hexdigest()


@contextlib.contextmanager
def band_store(target: Path, key: str) -> Iterator[BandStore]:
    """The store for ``target``'s bands under ``key``: kept if the body fails, removed once it succeeds."""
    folder = store_folder(target)
    folder.mkdir(exist_ok=True)
    with open(folder / "lock", "ab") as lock:
        if fcntl is not None:
            try:
                fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                raise OutputExistsError(f"another velkor is converting to {target} now") from None
        key_file = folder / "key"
        if not key_file.exists() or key_file.read_text() != key:
            for stale in folder.iterdir():
                if stale.name != "lock":
                    stale.unlink()
            key_file.write_text(key)
        yield BandStore(folder, key, lock)
    shutil.rmtree(folder, ignore_errors=True)
