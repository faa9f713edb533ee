"""Files that appear whole or not at all, never over what a user did not ask to replace."""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
import time
from collections.abc import Iterator
from glob import escape as glob_escape
from pathlib import Path
from typing import IO

from velkor.errors import OutputExistsError, OutputWriteError, VelkorError

try:
    import fcntl
except ImportError:  # no advisory locks here: part files are left for the user
    fcntl = None  # type: ignore[assignment]


@contextlib.contextmanager
def open_for_writing(path: Path, overwrite: bool) -> Iterator[IO[bytes]]:
    """A stream whose bytes appear at ``path`` all at once, or not at all.

    The bytes go to a hidden temporary file in the same folder, reach the
    disk (fsync), and only then take the name: a full disk, a crash or a
    signal leaves any earlier file at ``path`` exactly as it was. Without
    ``overwrite`` the name is taken by a hard link, which fails if the file
    appeared meanwhile, so two runs never both decide that a name is free.
    """
    if not overwrite and path.exists():
        raise OutputExistsError(f"output exists: {path}")
    target = _file_to_replace(path)
    # The name is chosen before the file exists, so that a signal arriving
    # anywhere after its creation still finds it to clean up.
    temporary = target
    try:
        while True:
            temporary = _temporary_name(target)
            try:
                # Not tempfile.mkstemp: its files are private (0600), and the
                # finished file should get the permissions any new file gets here.
                stream = open(temporary, "xb+")  # noqa: SIM115 - closed below; read back by TIFF writers
                break
            except FileExistsError:
                continue
        with stream:
            _hold(stream)
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        _take_name(temporary, target, overwrite)
        _sync_folder(target.parent)
    except BaseException as error:
        if temporary != target:
            temporary.unlink(missing_ok=True)
        if isinstance(error, OSError) and not isinstance(error, VelkorError):  # ours say what failed
            raise OutputWriteError(f"cannot write {path}: {error.strerror or error}") from error
        raise


# A part file younger than this may be one whose writer has not yet locked it.
_FRESH_SECONDS = 60.0


def _hold(stream: IO[bytes]) -> None:
    # The lock lives as long as the writing process: a part file nobody
    # holds was left by a run that was killed.
    if fcntl is not None:
        fcntl.flock(stream.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)


def remove_abandoned_parts(path: Path) -> list[Path]:
    """Remove the hidden part files of ``path`` that no living process is writing; returns them.

    A run killed outright (SIGKILL, a power cut) cannot remove its part
    file, and each can be as large as the print. It lists the folder: a
    caller writing many files to one folder clears them once, not per file.
    """
    removed = []
    if fcntl is None:
        return removed
    for part in path.parent.glob(f".{glob_escape(path.name)}.*.velkor-part"):
        try:
            with open(part, "rb") as stream:
                if time.time() - os.fstat(stream.fileno()).st_mtime < _FRESH_SECONDS:
                    continue
                fcntl.flock(stream.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
                part.unlink()
                removed.append(part)
        except OSError:  # held by a living writer, or gone meanwhile
            continue
    return removed


def _file_to_replace(path: Path) -> Path:
    """Where the bytes for ``path`` go: through a symbolic link to its target, so that the link stays a link.

    Only a regular file is replaced: a link to /dev/stdout, a device or a
    FIFO is refused, since renaming a file over it would destroy it.
    """
    try:
        mode = os.stat(path).st_mode  # through links, /proc's links to pipes and terminals too
    except FileNotFoundError:
        mode = stat.S_IFREG  # nothing there yet, or a link to where a file will be
    except OSError as error:
        raise OutputWriteError(f"cannot write {path}: {error.strerror or error}") from None
    if not stat.S_ISREG(mode):
        raise OutputWriteError(f"cannot write {path}: not a regular file (only a file is replaced)")
    try:
        return path.resolve() if path.is_symlink() else path
    except (OSError, RuntimeError) as error:  # a loop of links
        raise OutputWriteError(f"cannot write {path}: {getattr(error, 'strerror', None) or error}") from None


def _temporary_name(path: Path) -> Path:
    """A hidden name beside ``path`` that no other writer picks; short enough for the folder's names."""
    name = f".{path.name}.{secrets.token_hex(8)}.velkor-part"
    if len(os.fsencode(name)) > _longest_name(path.parent):
        name = f".velkor-{os.getpid()}-{secrets.token_hex(8)}.velkor-part"
    return path.with_name(name)


def _longest_name(folder: Path) -> int:
    try:
        return os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        return 255  # the common limit, when the folder does not tell


def _take_name(temporary: Path, path: Path, overwrite: bool) -> None:
    if overwrite:
        os.replace(temporary, path)
        return
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise OutputExistsError(f"output exists: {path}") from None
    except OSError:  # a file system without hard links
        if path.exists():
            raise OutputExistsError(f"output exists: {path}") from None
        os.replace(temporary, path)
        return
    temporary.unlink()


def _sync_folder(folder: Path) -> None:
    # The new name itself must reach the disk, or a power cut can undo it.
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass  # some file systems cannot sync a folder; the file itself is on disk
    finally:
        os.close(descriptor)


def write_text(path: str | Path, text: str, *, overwrite: bool = False) -> Path:
    """Write UTF-8 text with the same all-or-nothing guarantee as images."""
    target = Path(path)
    with open_for_writing(target, overwrite) as stream:
        stream.write(text.encode("utf-8"))
    return target
