"""One photograph of a batch: read, convert and write it, every expected failure an :class:`Outcome`.

:func:`convert_file` is a top-level function of picklable arguments, so it
runs the same in this process, in a pool of worker processes or as a task
on a Dask cluster, and what a batch says does not depend on where it ran.
"""

from __future__ import annotations

import dataclasses
import time
import warnings
from pathlib import Path
from typing import Literal

from velkor.errors import OutputExistsError, UnsupportedFormatError, VelkorError
from velkor.io.recipe_files import recorded_recipe
from velkor.model.pipeline import Pipeline
from velkor.run.export import ExportOptions, export_print
from velkor.run.manifest import Fingerprint, Record, recipe_key
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
    """What became of one file: its status, what to tell of it, and the warnings it raised.

    ``made`` describes the print at the output path when it is this
    source's by this recipe (converted or kept), for the batch's manifest.
    """

    status: Literal["converted", "skipped", "conflict", "failed"]
    message: str = ""
    warnings: tuple[tuple[type[Warning], str], ...] = ()
    made: Record | None = None
    seconds: float = 0.0


def convert_file(job: Job, source: Path, target: Path, known: Record | None = None) -> Outcome:
    """Read, convert and write one file; every expected failure becomes an Outcome.

    Without ``job.overwrite`` an existing output is judged by ``known``, the
    batch's record of it, while that record still describes the file: kept
    when made by this recipe from this very source (same SHA-256), made
    again when the source has changed since, a conflict when made by
    another recipe. Otherwise by its contents: kept when it decodes and
    records this recipe, a conflict when it records another one or does not
    decode (velkor writes atomically, so a damaged file is not velkor's).
    """
    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        outcome = _convert_file(job, source, target, known)
    told = tuple((w.category, str(w.message)) for w in caught)
    return dataclasses.replace(outcome, warnings=told, seconds=time.perf_counter() - start)


def _convert_file(job: Job, source: Path, target: Path, known: Record | None) -> Outcome:
    pipeline = job.pipeline
    recipe = recipe_key(pipeline)
    replace = job.overwrite
    try:
        made = Fingerprint.of(source)  # before reading: a later edit shows as a change next time
    except OSError as error:
        return Outcome("failed", f"cannot read {source}: {error.strerror or error}")
    if not job.overwrite and target.exists():
        if known is not None and known.vouches_for(target):
            state = _recorded_state(known, recipe, made)
        else:
            state = _existing_output(target, pipeline)
        if state == "done":
            return _kept(source, target, recipe, made)
        if state == "other":
            return Outcome("conflict", f"{target} exists, made by another recipe (use --overwrite to replace it)")
        if state == "damaged":
            return Outcome("conflict", f"{target} exists and is not a whole print "
                                       "(damaged, or not velkor's; use --overwrite to replace it)")
        replace = True  # "stale": our own print of an earlier version of the source
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
    return Outcome("converted", made=_record(recipe, made, target))


def _kept(source: Path, target: Path, recipe: str, made: Fingerprint) -> Outcome:
    return Outcome("skipped", f"{source}: output exists: {target}", made=_record(recipe, made, target))


def _record(recipe: str, made: Fingerprint, target: Path) -> Record | None:
    output = Fingerprint.stat(target)
    return None if output is None else Record(recipe, made, output)


def _recorded_state(known: Record, recipe: str, made: Fingerprint) -> str:
    """"done", "other" or "stale", from the batch's record of a print untouched since."""
    if known.recipe != recipe:
        return "other"
    return "done" if known.source.sha256 == made.sha256 else "stale"


def _convert_tiled(job: Job, source: Path, target: Path, replace: bool) -> None:
    options = job.options
    if options.long_edge or options.width or options.height:
        raise UnsupportedFormatError(f"{source} is too large to convert whole, and in pieces it keeps its full size")
    convert_tiled(source, target, job.pipeline, overwrite=replace, memory_limit=job.memory_limit,
                  **options.in_pieces())


def _existing_output(target: Path, pipeline: Pipeline) -> str:
    """"done", "other" (made by another recipe or program) or "damaged"."""
    try:
        text = recorded_recipe(target)
    except VelkorError:
        return "damaged"
    try:
        return "done" if text is not None and Pipeline.from_toml(text) == pipeline else "other"
    except Exception:  # whatever a planted file's recipe does, it is not this batch's print
        return "other"
