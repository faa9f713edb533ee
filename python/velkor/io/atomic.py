"""Files that appear whole or not at all, never over what a user did not ask to replace."""

from __future__ import annotations

import contextlib
import fcntl
import os
import secrets
import stat
from collections.abc import Iterator
from pathlib import Path
from typing import IO

from velkor.errors import OutputExistsError, OutputWriteError, VelkorError

PART_SUFFIX = ".velkor-part"


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
            except FileExistsError:
                continue
            if _claimed(stream, temporary):
                break
            stream.close()
        with stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
            # Still open, so still locked: another run's cleanup cannot take it before it has its name.
            _take_name(temporary, target, overwrite)
        _sync_folder(target.parent)
    except BaseException as error:
        if temporary != target:
            temporary.unlink(missing_ok=True)
        if isinstance(error, OSError) and not isinstance(error, VelkorError):  # ours say what failed
            raise OutputWriteError(f"cannot write {path}: {error.strerror or error}") from error
        raise


def remove_leftovers(folder: Path) -> list[Path]:
    """Remove the part files in ``folder`` that no running writer holds; returns them.

    A part file stays locked for as long as its writer has it open, and the
    lock dies with the process however it ends (kill -9, out of memory, a
    lost machine), so a part file that can be locked is the remains of a
    killed run: often a whole print's worth of disk.
    """
    removed = []
    for part in folder.glob(f".*{PART_SUFFIX}"):
        if _remove_if_unheld(part):
            removed.append(part)
    return removed


def _claimed(stream: IO[bytes], temporary: Path) -> bool:
    """Lock a new part file; False when a cleanup removed it before the lock was taken."""
    try:
        fcntl.flock(stream.fileno(), fcntl.LOCK_EX)
    except OSError:
        return True  # no locks on this file system; nor can any cleanup lock it to remove it
    try:
        return os.path.samestat(os.fstat(stream.fileno()), os.stat(temporary))
    except FileNotFoundError:
        return False


def _remove_if_unheld(part: Path) -> bool:
    try:
        # Non-blocking, never through a link: a FIFO or a link given this name is not ours.
        descriptor = os.open(part, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        held = os.fstat(descriptor)
        # Still the file of that name: a writer that finished may have renamed it to its output.
        if not stat.S_ISREG(held.st_mode) or not os.path.samestat(held, os.lstat(part)):
            return False
        part.unlink()
        return True
    except OSError:  # locked by a live writer, or gone meanwhile
        return False
    finally:
        os.close(descriptor)


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
    name = f".{path.name}.{secrets.token_hex(8)}{PART_SUFFIX}"
    if len(os.fsencode(name)) > _longest_name(path.parent):
        name = f".velkor-{os.getpid()}-{secrets.token_hex(8)}{PART_SUFFIX}"
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
