"""`velkor batch`: one recipe over every photograph in a folder.

Each file is one :func:`velkor.run.job.convert_file`, run here, in a pool
of worker processes (``--jobs``) or on a Dask cluster (``--workers``,
``--scheduler``); its :class:`Outcome` becomes the messages, the progress
bar and the report here, so what a batch says does not depend on where its
files ran.
"""

from __future__ import annotations

import collections
import dataclasses
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from tqdm import tqdm

from velkor.io.reading import INPUT_SUFFIXES
from velkor.run.cluster import dask_outcomes
from velkor.run.job import Job, Outcome, convert_file
from velkor.run.pool import pool_outcomes


@dataclasses.dataclass
class BatchReport:
    """What a batch did, file by file counted."""

    converted: int = 0
    skipped: int = 0
    conflicts: int = 0
    failed: int = 0
    ignored: int = 0
    failures: list[str] = dataclasses.field(default_factory=list)

    def summary(self) -> str:
        text = f"{self.converted} converted, {self.skipped} skipped (output exists)"
        if self.conflicts:
            text += f", {self.conflicts} in conflict (exists, made by another recipe)"
        text += f", {self.failed} failed"
        if self.ignored:
            text += f", {self.ignored} ignored (not JPEG, PNG, WebP, HEIF, TIFF or RAW)"
        return text


@dataclasses.dataclass(frozen=True)
class Schedule:
    """Where the files run: here (``jobs`` 1), in ``jobs`` worker processes, or on Dask.

    ``workers`` starts a local Dask cluster of that many worker processes;
    ``scheduler`` is the address of a running Dask scheduler. Either one
    takes precedence over ``jobs``.
    """

    jobs: int = 1
    workers: int | None = None
    scheduler: str | None = None


def photographs_in(directory: Path) -> tuple[list[Path], int]:
    """The readable-looking files of a folder, sorted, and the count of other files."""
    files = sorted(p for p in directory.iterdir() if p.is_file())
    images = [p for p in files if p.suffix.lower() in INPUT_SUFFIXES]
    return images, len(files) - len(images)


def output_paths(sources: Sequence[Path], out_dir: Path, suffix: str) -> list[Path]:
    """One output per source; sources that share a stem keep their own suffix in the name."""
    stems = collections.Counter(source.stem for source in sources)
    return [
        out_dir / (f"{s.stem}{suffix}" if stems[s.stem] == 1 else f"{s.stem}_{s.suffix[1:]}{suffix}")
        for s in sources
    ]


def run_batch(
    sources: Sequence[Path],
    targets: Sequence[Path],
    job: Job,
    *,
    schedule: Schedule = Schedule(),
    progress: bool,
    say: Callable[[str], None],
) -> BatchReport:
    """Convert each source; a file that fails is reported and the batch goes on.

    Messages and warnings are told as files finish; the failures are listed
    in the order of the sources, wherever and in whatever order they ran.
    """
    report = BatchReport()
    pairs = list(zip(sources, targets))
    failures: dict[int, str] = {}
    with tqdm(total=len(pairs), unit="image", disable=not progress, leave=False) as bar:
        for index, outcome in _outcomes(job, pairs, schedule):
            for category, text in outcome.warnings:
                warnings.warn(text, category, stacklevel=2)
            if outcome.message:
                say(f"velkor: {'skipped' if outcome.status == 'skipped' else 'error:'} {outcome.message}")
            if outcome.status == "converted":
                report.converted += 1
            elif outcome.status == "skipped":
                report.skipped += 1
            elif outcome.status == "conflict":
                report.conflicts += 1
            else:
                report.failed += 1
                failures[index] = outcome.message
            bar.update()
    report.failures = [failures[index] for index in sorted(failures)]
    return report


_Pairs = Sequence[tuple[Path, Path]]


def _outcomes(job: Job, pairs: _Pairs, schedule: Schedule) -> Iterator[tuple[int, Outcome]]:
    """(index, outcome) of every pair, as each finishes."""
    if schedule.workers is not None or schedule.scheduler is not None:
        yield from dask_outcomes(job, pairs, workers=schedule.workers, address=schedule.scheduler)
    elif schedule.jobs > 1 and len(pairs) > 1:
        yield from pool_outcomes(job, pairs, min(schedule.jobs, len(pairs)))
    else:
        for index, (source, target) in enumerate(pairs):
            yield index, convert_file(job, source, target)
