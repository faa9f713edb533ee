"""`velkor batch`: one recipe over every photograph in a folder.

Each file is one :func:`velkor.run.job.convert_file`, run here, in a pool
of worker processes (``--jobs``) or on a Dask cluster (``--workers``,
``--scheduler``); its :class:`Outcome` becomes the messages, the progress
bar and the report here, so what a batch says does not depend on where its
files ran.
"""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import json
import os
import signal
import threading
import time
import warnings
from collections.abc import Callable, Generator, Iterator, Sequence
from pathlib import Path

from tqdm import tqdm

from velkor.io.atomic import remove_leftovers
from velkor.io.reading import INPUT_SUFFIXES
from velkor.run.cluster import CLUSTER_WAIT, SchedulerLostError, dask_outcomes
from velkor.run.job import Job, Outcome, convert_file
from velkor.run.manifest import Manifest, recipe_key
from velkor.run.pool import Task, pool_outcomes
from velkor.run.watchdog import Watchdog


@dataclasses.dataclass
class BatchReport:
    """What a batch did, file by file counted.

    ``stopped`` says why a batch ended before every file was tried (a lost
    cluster); ``not_done`` counts the files it did not reach.
    """

    converted: int = 0
    skipped: int = 0
    conflicts: int = 0
    failed: int = 0
    ignored: int = 0
    not_done: int = 0
    stopped: str = ""
    failures: list[str] = dataclasses.field(default_factory=list)

    def summary(self) -> str:
        text = f"{self.converted} converted, {self.skipped} skipped (output exists)"
        if self.conflicts:
            text += f", {self.conflicts} in conflict (exists, not this recipe's print)"
        text += f", {self.failed} failed"
        if self.not_done:
            text += f", {self.not_done} not done (run again to finish)"
        if self.ignored:
            text += f", {self.ignored} ignored (not JPEG, PNG, WebP, HEIF, TIFF or RAW)"
        return text

    def count(self, outcome: Outcome) -> None:
        if outcome.status == "converted":
            self.converted += 1
        elif outcome.status == "skipped":
            self.skipped += 1
        elif outcome.status == "conflict":
            self.conflicts += 1
        else:
            self.failed += 1


@dataclasses.dataclass(frozen=True)
class Schedule:
    """Where and how the files run: here (``jobs`` 1), in ``jobs`` worker processes, or on Dask.

    ``workers`` starts a local Dask cluster of that many worker processes;
    ``scheduler`` is the address of a running Dask scheduler. Either one
    takes precedence over ``jobs``. ``timeout`` fails a file that takes
    longer (seconds); ``cluster_wait`` is how long a scheduler may go without
    any worker before the batch gives up.
    """

    jobs: int = 1
    workers: int | None = None
    scheduler: str | None = None
    timeout: float | None = None
    cluster_wait: float = CLUSTER_WAIT


def photographs_in(directory: Path, *, recursive: bool = False, leave_out: Path | None = None,
                   ) -> tuple[list[Path], int]:
    """The readable-looking files of a folder (and, ``recursive``, of its subfolders), sorted,
    and the count of other files.

    Hidden subfolders and ``leave_out`` (an output folder inside the input
    folder: its prints are not photographs to convert again) are not entered.
    """
    if not recursive:
        files = sorted(p for p in directory.iterdir() if p.is_file())
    else:
        files = []
        for folder, subfolders, names in os.walk(directory):
            here = Path(folder)
            subfolders[:] = sorted(name for name in subfolders
                                   if not name.startswith(".") and not _same(here / name, leave_out))
            files += [here / name for name in sorted(names) if (here / name).is_file()]
    images = [p for p in files if p.suffix.lower() in INPUT_SUFFIXES]
    return images, len(files) - len(images)


def output_paths(sources: Sequence[Path], out_dir: Path, suffix: str, base: Path | None = None) -> list[Path]:
    """One output per source, in ``out_dir`` (or the folder that mirrors its own under ``base``);
    sources of one folder that share a stem keep their own suffix in the name."""
    folders = [out_dir / s.parent.relative_to(base) if base is not None else out_dir for s in sources]
    stems = collections.Counter((folder, s.stem) for folder, s in zip(folders, sources))
    return [
        folder / (f"{s.stem}{suffix}" if stems[folder, s.stem] == 1 else f"{s.stem}_{s.suffix[1:]}{suffix}")
        for folder, s in zip(folders, sources)
    ]


def run_batch(
    sources: Sequence[Path],
    targets: Sequence[Path],
    job: Job,
    *,
    schedule: Schedule = Schedule(),
    progress: bool,
    say: Callable[[str], None],
    root: Path | None = None,
    log: Path | None = None,
) -> BatchReport:
    """Convert each source; a file that fails is reported and the batch goes on.

    Messages and warnings are told as files finish; the failures are listed
    in the order of the sources, wherever and in whatever order they ran.
    ``root``, the output folder, keeps the manifest of what each print was
    made from (default: the folder the outputs share); ``log`` gets a JSON
    line for each file as it finishes.
    """
    pairs = list(zip(sources, targets))
    if root is None:
        root = Path(os.path.commonpath([str(t.parent.absolute()) for t in targets] or ["."]))
    folders = sorted({target.parent for target in targets})
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
        remove_leftovers(folder)
    manifest = Manifest(root)
    recipe = recipe_key(job.pipeline)
    watchdog = Watchdog(say, schedule.timeout)
    report = BatchReport()
    failures: dict[int, str] = {}
    journal = _Journal(log)
    tasks = []
    try:
        with tqdm(total=len(pairs), unit="image", disable=not progress, leave=False) as bar, \
                _interrupts_noted() as interrupted:

            def note(index: int, outcome: Outcome) -> None:
                source, target = pairs[index]
                for category, text in outcome.warnings:
                    warnings.warn(text, category, stacklevel=3)
                if outcome.message:
                    say(f"velkor: {'skipped' if outcome.status == 'skipped' else 'error:'} {outcome.message}")
                report.count(outcome)
                if outcome.status == "failed":
                    failures[index] = outcome.message
                if outcome.made is not None:
                    manifest.add(target, outcome.made)
                if outcome.status == "converted":
                    watchdog.finished(outcome.seconds)
                journal.write(source, target, outcome)
                bar.update()

            for index, (source, target) in enumerate(pairs):
                if not job.overwrite and manifest.is_current(source, target, recipe):
                    note(index, Outcome("skipped", f"{source}: output exists: {target}"))
                else:
                    tasks.append((index, source, target, manifest.get(target)))
            try:
                with contextlib.closing(_outcomes(job, tasks, schedule, watchdog, interrupted)) as outcomes:
                    for index, outcome in outcomes:
                        if interrupted:
                            raise KeyboardInterrupt
                        note(index, outcome)
            except SchedulerLostError as error:
                report.stopped = str(error)
            except Exception:
                if interrupted:  # Ctrl-C, caught and turned into another error on its way here
                    raise KeyboardInterrupt from None
                raise
            if interrupted:
                raise KeyboardInterrupt
    finally:
        journal.close()
        manifest.compact()
        for folder in folders:  # what workers that were killed left behind
            remove_leftovers(folder)
    report.not_done = len(pairs) - sum(
        (report.converted, report.skipped, report.conflicts, report.failed))
    report.failures = [failures[index] for index in sorted(failures)]
    return report


_Tasks = Sequence[Task]


def _outcomes(job: Job, tasks: _Tasks, schedule: Schedule, watchdog: Watchdog,
              interrupted: list[int]) -> Generator[tuple[int, Outcome], None, None]:
    """(index, outcome) of every task, as each finishes."""
    if schedule.workers is not None or schedule.scheduler is not None:
        yield from dask_outcomes(job, tasks, workers=schedule.workers, address=schedule.scheduler,
                                 watchdog=watchdog, cluster_wait=schedule.cluster_wait)
    elif (schedule.jobs > 1 and len(tasks) > 1) or (schedule.timeout is not None and tasks):
        # A file can be stopped at --timeout only in a process of its own.
        yield from pool_outcomes(job, tasks, min(schedule.jobs, len(tasks)), watchdog)
    else:
        for index, source, target, known in tasks:
            with _watched(watchdog, source):
                outcome = convert_file(job, source, target, known)
            if interrupted and outcome.status == "converted":
                # Ctrl-C landed in this file and was swallowed on the way (a
                # destructor, a lock): the print is not trusted, a rerun remakes it.
                target.unlink(missing_ok=True)
            yield index, outcome


@contextlib.contextmanager
def _watched(watchdog: Watchdog, source: Path) -> Iterator[None]:
    """Tells of a file that runs far longer than its peers, from a thread beside it."""
    done = threading.Event()
    start = time.monotonic()

    def watch() -> None:
        while not done.wait(1.0):
            watchdog.overdue(source, time.monotonic() - start)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        yield
    finally:
        done.set()
        watcher.join()


@contextlib.contextmanager
def _interrupts_noted() -> Iterator[list[int]]:
    """Ctrl-C raises KeyboardInterrupt as ever, and is also noted in the list yielded.

    Raised in the middle of a library's work, the exception can be
    swallowed (in a destructor) or turned into another error (a lock
    released twice); the note makes the batch stop all the same.
    """
    noted: list[int] = []
    if threading.current_thread() is not threading.main_thread() \
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield noted
        return

    def on_interrupt(number: int, frame: object) -> None:
        noted.append(number)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_interrupt)
    try:
        yield noted
    finally:
        signal.signal(signal.SIGINT, previous)


class _Journal:
    """``--log``: one JSON line a file, written as it finishes, so a killed run's log is good to its end."""

    def __init__(self, path: Path | None) -> None:
        self._stream = None if path is None else open(path, "a", encoding="utf-8")  # noqa: SIM115

    def write(self, source: Path, target: Path, outcome: Outcome) -> None:
        if self._stream is None:
            return
        entry = {"input": str(source), "output": str(target), "status": outcome.status,
                 "seconds": round(outcome.seconds, 3), "message": outcome.message}
        self._stream.write(json.dumps(entry) + "\n")
        self._stream.flush()

    def close(self) -> None:
        if self._stream is not None:
            self._stream.close()


def _same(path: Path, other: Path | None) -> bool:
    try:
        return other is not None and os.path.samefile(path, other)
    except OSError:
        return False
