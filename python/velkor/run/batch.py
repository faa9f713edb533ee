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
import os
import warnings
from collections.abc import Callable, Generator, Sequence
from pathlib import Path
from typing import Any

from tqdm import tqdm

from velkor.errors import SchedulerLostError
from velkor.io.atomic import remove_leftovers
from velkor.io.reading import INPUT_SUFFIXES
from velkor.run.cluster import CLUSTER_WAIT, dask_outcomes
from velkor.run.job import Job, Outcome, convert_file
from velkor.run.journal import Journal
from velkor.run.manifest import Manifest, recipe_key
from velkor.run.pool import Task, pool_outcomes
from velkor.run.signals import interrupts_noted
from velkor.run.watchdog import Watchdog, watched


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
    tally = _Tally(pairs, Manifest(root), Watchdog(say, schedule.timeout), Journal(log), say)
    try:
        with tqdm(total=len(pairs), unit="image", disable=not progress, leave=False) as tally.bar, \
                interrupts_noted() as interrupted:
            tasks = tally.unfinished(job)
            try:
                with contextlib.closing(_outcomes(job, tasks, schedule, tally.watchdog, interrupted)) as outcomes:
                    for index, outcome in outcomes:
                        if interrupted:
                            raise KeyboardInterrupt
                        tally.note(index, outcome)
            except SchedulerLostError as error:
                tally.report.stopped = str(error)
            except Exception:
                if interrupted:  # Ctrl-C, caught and turned into another error on its way here
                    raise KeyboardInterrupt from None
                raise
            if interrupted:
                raise KeyboardInterrupt
    finally:
        tally.journal.close()
        tally.manifest.compact()
        for folder in folders:  # what workers that were killed left behind
            remove_leftovers(folder)
    return tally.finish()


class _Tally:
    """A batch's outcomes as they come: told, counted, recorded in the manifest and the log."""

    def __init__(self, pairs: list[tuple[Path, Path]], manifest: Manifest, watchdog: Watchdog,
                 journal: Journal, say: Callable[[str], None]) -> None:
        self.pairs, self.manifest, self.watchdog, self.journal, self.say = pairs, manifest, watchdog, journal, say
        self.report = BatchReport()
        self.failures: dict[int, str] = {}
        self.bar: tqdm[Any] | None = None

    def unfinished(self, job: Job) -> list[Task]:
        """The files to send to the workers; those the manifest shows done are noted as skipped here."""
        recipe = recipe_key(job.pipeline)
        tasks: list[Task] = []
        for index, (source, target) in enumerate(self.pairs):
            if not job.overwrite and self.manifest.is_current(source, target, recipe):
                self.note(index, Outcome("skipped", f"{source}: output exists: {target}"))
            else:
                tasks.append((index, source, target, self.manifest.get(target)))
        return tasks

    def note(self, index: int, outcome: Outcome) -> None:
        source, target = self.pairs[index]
        for category, text in outcome.warnings:
            warnings.warn(text, category, stacklevel=3)
        if outcome.message:
            self.say(f"velkor: {'skipped' if outcome.status == 'skipped' else 'error:'} {outcome.message}")
        self.report.count(outcome)
        if outcome.status == "failed":
            self.failures[index] = outcome.message
        if outcome.made is not None:
            self.manifest.add(target, outcome.made)
        if outcome.status == "converted":
            self.watchdog.finished(outcome.seconds)
        self.journal.write(source, target, outcome)
        if self.bar is not None:
            self.bar.update()

    def finish(self) -> BatchReport:
        report = self.report
        report.not_done = len(self.pairs) - sum((report.converted, report.skipped, report.conflicts, report.failed))
        report.failures = [self.failures[index] for index in sorted(self.failures)]
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
            with watched(watchdog, source):
                outcome = convert_file(job, source, target, known)
            if interrupted and outcome.status == "converted":
                # Ctrl-C landed in this file and was swallowed on the way (a
                # destructor, a lock): the print is not trusted, a rerun remakes it.
                target.unlink(missing_ok=True)
            yield index, outcome


def _same(path: Path, other: Path | None) -> bool:
    try:
        return other is not None and os.path.samefile(path, other)
    except OSError:
        return False
