"""`velkor batch`: one recipe over every photograph in a folder."""

from __future__ import annotations

import collections
import dataclasses
from collections.abc import Callable, Sequence
from pathlib import Path

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
    pipeline: Pipeline,
    *,
    overwrite: bool,
    progress: bool,
    say: Callable[[str], None],
    options: ExportOptions = ExportOptions(),
) -> BatchReport:
    """Convert each source; a file that fails is reported and the batch goes on.

    Without ``overwrite`` an existing output is kept when it decodes
    completely and records this very recipe (a finished earlier run), and is
    a conflict when it records another one; one that does not decode is the
    remains of an interrupted run and is made again.
    """
    report = BatchReport()
    recipe = pipeline.to_toml()
    pairs = tqdm(list(zip(sources, targets)), unit="image", disable=not progress, leave=False)
    for source, target in pairs:
        replace = overwrite
        if target.exists() and not overwrite:
            state = _existing_output(target, pipeline)
            if state == "done":
                report.skipped += 1
                say(f"velkor: skipped {source}: output exists: {target}")
                continue
            if state == "other":
                report.conflicts += 1
                say(f"velkor: error: {target} exists, made by another recipe (use --overwrite to replace it)")
                continue
            replace = True
        try:
            export_print(read_image(source), target, pipeline, options, overwrite=replace, recipe=recipe)
        except OutputExistsError as error:  # another run took the name meanwhile
            report.skipped += 1
            say(f"velkor: skipped {source}: {error}")
        except (VelkorError, OSError, MemoryError) as error:
            message = f"cannot convert {source}: not enough memory" if isinstance(error, MemoryError) else str(error)
            report.failed += 1
            report.failures.append(message)
            say(f"velkor: error: {message}")
        else:
            report.converted += 1
    return report


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
