"""One photograph of a batch: read, convert and write it, every expected failure an :class:`Outcome`.

:func:`convert_file` is a top-level function of picklable arguments, so it
runs the same in this process, in a pool of worker processes or as a task
on a Dask cluster, and what a batch says does not depend on where it ran.
"""

from __future__ import annotations

import dataclasses
import warnings
from pathlib import Path
from typing import Literal

from velkor.errors import OutputExistsError, UnsupportedFormatError, VelkorError
from velkor.io.recipe_files import recorded_recipe
from velkor.model.pipeline import Pipeline
from velkor.run.export import ExportOptions, export_print
from velkor.run.memory import needs_tiles
from velkor.run.tiled import convert_tiled


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
    memory_limit: int | None = None
    """What one file may take; a larger TIFF is converted tile by tile, another kind refused."""


@dataclasses.dataclass(frozen=True)
class Outcome:
    """What became of one file: its status, what to tell of it, and the warnings it raised."""

    status: Literal["converted", "skipped", "conflict", "failed"]
    message: str = ""
    warnings: tuple[tuple[type[Warning], str], ...] = ()


def convert_file(job: Job, source: Path, target: Path) -> Outcome:
    """Read, convert and write one file; every expected failure becomes an Outcome.

    Without ``job.overwrite`` an existing output is kept when it is complete
    and records this very recipe (a finished earlier run, or an earlier
    attempt at this same task), and is a conflict when it records another
    one or one that cannot be used; one that is cut short is the remains of
    an interrupted run and is made again.
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
        if job.memory_limit is not None and needs_tiles(source, job.memory_limit, pipeline):
            _convert_tiled(job, source, target, replace)
        else:
            export_print(job.options.read(source, job.memory_limit), target, pipeline, job.options, overwrite=replace)
    except OutputExistsError as error:  # another run took the name meanwhile
        return Outcome("skipped", f"{source}: {error}")
    except (VelkorError, OSError, MemoryError) as error:
        message = f"cannot convert {source}: not enough memory" if isinstance(error, MemoryError) else str(error)
        return Outcome("failed", message)
    return Outcome("converted")


def _convert_tiled(job: Job, source: Path, target: Path, replace: bool) -> None:
    options = job.options
    if options.long_edge or options.width or options.height:
        raise UnsupportedFormatError(f"{source} is too large to convert whole, and in pieces it keeps its full size")
    convert_tiled(source, target, job.pipeline, overwrite=replace, compression=options.compression,
                  strip_metadata=options.strip_metadata, keep_gps=options.keep_gps, memory_limit=job.memory_limit)


def _existing_output(target: Path, pipeline: Pipeline) -> str:
    """"done", "other" (made by another recipe or program) or "broken"."""
    try:
        text = recorded_recipe(target)
    except VelkorError:
        return "broken"
    try:
        return "done" if text is not None and Pipeline.from_toml(text) == pipeline else "other"
    except Exception:  # whatever a planted file's recipe does, it is not this batch's print
        return "other"
