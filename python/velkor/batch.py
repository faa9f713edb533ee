"""`velkor batch`: one recipe over every photograph in a folder.

One file's work (read, convert, write atomically) is a top-level function of
picklable arguments, :func:`convert_file`, so that it runs the same in this
process, in a pool of worker processes (``--jobs``) or as a task on a Dask
cluster (``--workers``, ``--scheduler``). Its result is an :class:`Outcome`
that the scheduling process turns into messages, the progress bar and the
report, so what a batch says does not depend on where its files ran.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import dataclasses
import multiprocessing
import os
import signal
import threading
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Literal

from tqdm import tqdm

from velkor.errors import OutputExistsError, RecipeError, VelkorError
from velkor.export import ExportOptions, export_print
from velkor.pipeline import Pipeline
from velkor.reading import INPUT_SUFFIXES, read_image
from velkor.writing import recorded_recipe


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
class Job:
    """What every file of a batch is converted with; picklable, sent to each worker.

    ``options`` are the print's size and file settings (the command line's
    output flags), applied to every file in :func:`convert_file` and nowhere
    else.
    """

    pipeline: Pipeline
    overwrite: bool = False
    options: ExportOptions = ExportOptions()


@dataclasses.dataclass(frozen=True)
class Outcome:
    """What became of one file: its status, what to tell of it, and the warnings it raised."""

    status: Literal["converted", "skipped", "conflict", "failed"]
    message: str = ""
    warnings: tuple[tuple[type[Warning], str], ...] = ()


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


def convert_file(job: Job, source: Path, target: Path) -> Outcome:
    """Read, convert and write one file; every expected failure becomes an Outcome.

    Without ``job.overwrite`` an existing output is kept when it decodes
    completely and records this very recipe (a finished earlier run, or an
    earlier attempt at this same task), and is a conflict when it records
    another one; one that does not decode is the remains of an interrupted
    run and is made again.
    """
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        outcome = _convert_file(job, source, target)
    told = tuple((w.category, str(w.message)) for w in caught)
    return dataclasses.replace(outcome, warnings=told)


def _convert_file(job: Job, source: Path, target: Path) -> Outcome:
    pipeline = job.pipeline
    replace = job.overwrite
    if not job.overwrite and target.exists():
        state = _existing_output(target, pipeline)
        if state == "done":
            return Outcome("skipped", f"{source}: output exists: {target}")
        if state == "other":
            return Outcome("conflict", f"{target} exists, made by another recipe (use --overwrite to replace it)")
        replace = True
    try:
        export_print(read_image(source), target, pipeline, job.options, overwrite=replace)
    except OutputExistsError as error:  # another run took the name meanwhile
        return Outcome("skipped", f"{source}: {error}")
    except (VelkorError, OSError, MemoryError) as error:
        message = f"cannot convert {source}: not enough memory" if isinstance(error, MemoryError) else str(error)
        return Outcome("failed", message)
    return Outcome("converted")


def _existing_output(target: Path, pipeline: Pipeline) -> str:
    """"done", "other" (made by another recipe or program) or "broken"."""
    try:
        text = recorded_recipe(target)
    except VelkorError:
        return "broken"
    try:
        return "done" if text is not None and Pipeline.from_toml(text) == pipeline else "other"
    except RecipeError:
        return "other"


def available_cores() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def threads_per_process(processes: int) -> int:
    """The kernels' threads for each of ``processes`` worker processes: the cores shared out.

    A ``RAYON_NUM_THREADS`` set for the whole run is shared out the same way.
    """
    total = os.environ.get("RAYON_NUM_THREADS", "")
    cores = int(total) if total.isdigit() and int(total) > 0 else available_cores()
    return max(1, cores // max(1, processes))


_Pairs = Sequence[tuple[Path, Path]]


def _outcomes(job: Job, pairs: _Pairs, schedule: Schedule) -> Iterator[tuple[int, Outcome]]:
    """(index, outcome) of every pair, as each finishes."""
    if schedule.workers is not None or schedule.scheduler is not None:
        from velkor.cluster import dask_outcomes  # Dask is an optional dependency

        yield from dask_outcomes(job, pairs, workers=schedule.workers, address=schedule.scheduler)
    elif schedule.jobs > 1 and len(pairs) > 1:
        yield from _pool_outcomes(job, pairs, min(schedule.jobs, len(pairs)))
    else:
        for index, (source, target) in enumerate(pairs):
            yield index, convert_file(job, source, target)


def _pool_outcomes(job: Job, pairs: _Pairs, processes: int) -> Iterator[tuple[int, Outcome]]:
    pool: concurrent.futures.ProcessPoolExecutor | None = None
    try:
        with _signals_held():
            # Fresh interpreters, not forks: the kernels' pool must be sized in each
            # worker before its first kernel runs, and this process may have run one.
            pool = concurrent.futures.ProcessPoolExecutor(
                processes, mp_context=multiprocessing.get_context("spawn"),
                initializer=_start_worker, initargs=(threads_per_process(processes), os.getpid()),
            )
            futures = {pool.submit(_worker_task, job, source, target): index
                       for index, (source, target) in enumerate(pairs)}
        for future in concurrent.futures.as_completed(futures):
            try:
                outcome = future.result()
            except concurrent.futures.process.BrokenProcessPool:
                source = pairs[futures[future]][0]
                outcome = Outcome("failed", f"cannot convert {source}: its worker process died "
                                            "(killed, or out of memory)")
            yield futures[future], outcome
    except BaseException:
        # Ctrl-C, SIGTERM or an error here: the workers stop at once and,
        # like this process, leave no partial file behind.
        if pool is not None:
            pool.shutdown(wait=False, cancel_futures=True)
            _stop_workers(pool)
        raise
    pool.shutdown()


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C and SIGTERM wait for the end of the block, then arrive.

    A signal that lands while the pool starts a worker process can leave
    that process started but unknown to the pool: nobody stops it, and the
    pool waits for it at exit for ever. So the pool starts its workers
    with the signals held. (Only the main thread receives signals.)
    """
    numbers = (signal.SIGINT, signal.SIGTERM)
    if threading.current_thread() is not threading.main_thread() or None in map(signal.getsignal, numbers):
        yield  # not ours to hold: another thread, or handlers set outside Python
        return
    held: list[int] = []
    kept = {number: signal.signal(number, lambda received, frame: held.append(received)) for number in numbers}
    try:
        yield
    finally:
        for number, handler in kept.items():
            signal.signal(number, handler)
        for received in held[:1]:
            signal.raise_signal(received)


def _stop_workers(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        if process.is_alive():
            process.terminate()
    deadline = time.monotonic() + 10
    for process in processes:
        process.join(timeout=max(0.0, deadline - time.monotonic()))
        if process.is_alive():  # a worker stuck where SIGTERM cannot reach it
            process.kill()
            process.join()


class _WorkerStop(BaseException):
    """SIGTERM in a worker busy with a file: unwinds it so the partial output is removed."""


_busy = False


def _start_worker(threads: int, batch: int) -> None:
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the batch, which stops the workers
    signal.signal(signal.SIGTERM, _on_worker_term)
    threading.Thread(target=_stop_when_orphaned, args=(batch,), daemon=True).start()


def _stop_when_orphaned(batch: int) -> None:
    # A batch killed outright (SIGKILL, out of memory) cannot stop its
    # workers, which would wait for work forever: they stop themselves.
    while os.getppid() == batch:
        time.sleep(0.5)
    os.kill(os.getpid(), signal.SIGTERM)


def _on_worker_term(signum: int, frame: object) -> None:
    if _busy:
        raise _WorkerStop
    os._exit(128 + signum)


def _worker_task(job: Job, source: Path, target: Path) -> Outcome:
    global _busy
    _busy = True
    try:
        return convert_file(job, source, target)
    except _WorkerStop:
        os._exit(128 + signal.SIGTERM)
    finally:
        _busy = False

