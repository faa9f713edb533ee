"""`velkor batch`: one recipe over every photograph in a folder."""

from __future__ import annotations

import collections
import dataclasses
from collections.abc import Callable, Sequence
from pathlib import Path

from tqdm import tqdm

from velkor.errors import OutputExistsError, UnreadableImageError, UnsupportedFormatError
from velkor.pipeline import Pipeline
from velkor.reading import INPUT_SUFFIXES, read_image
from velkor.writing import write_image


@dataclasses.dataclass
class BatchReport:
    """What a batch did, file by file counted."""

    converted: int = 0
    skipped: int = 0
    failed: int = 0
    ignored: int = 0

    def summary(self) -> str:
        text = f"{self.converted} converted, {self.skipped} skipped (output exists), {self.failed} failed"
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
) -> BatchReport:
    """Convert each source; a file that fails is reported and the batch goes on."""
    report = BatchReport()
    recipe = pipeline.to_toml()
    pairs = tqdm(list(zip(sources, targets)), unit="image", disable=not progress, leave=False)
    for source, target in pairs:
        if target.exists() and not overwrite:
            report.skipped += 1
            say(f"velkor: skipped {source}: output exists: {target}")
            continue
        try:
            image = read_image(source)
            display = pipeline.run(image.linear)
            write_image(target, display, bit_depth=pipeline.bit_depth, dither=pipeline.dither,
                        recipe=recipe, overwrite=overwrite)
        except OutputExistsError as error:
            report.skipped += 1
            say(f"velkor: skipped {source}: {error}")
        except (UnreadableImageError, UnsupportedFormatError, OSError) as error:
            report.failed += 1
            say(f"velkor: error: {error}")
        else:
            report.converted += 1
    return report
