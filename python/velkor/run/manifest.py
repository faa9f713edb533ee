"""What each print of a batch was made from, kept beside the prints so a rerun knows without opening them.

A rerun of a large batch asks of every output: is it still the print of
this source with this recipe? Opening each print to read its recipe costs
a sixth of a conversion; one line a print in ``.velkor-manifest.jsonl``
at the output root answers it with two ``stat`` calls. A line vouches for a
print only while the print's size and modification time are those recorded
when it was written, so a file changed or replaced since by anything else
is judged by its contents again.
"""

from __future__ import annotations

import dataclasses
import errno
import hashlib
import json
import os
import stat
from pathlib import Path

from velkor.io.atomic import write_text
from velkor.model.pipeline import Pipeline

MANIFEST_NAME = ".velkor-manifest.jsonl"


@dataclasses.dataclass(frozen=True)
class Fingerprint:
    """A file's size, modification time and SHA-256: what a print was made from."""

    size: int
    mtime_ns: int
    sha256: str = ""

    @classmethod
    def of(cls, path: Path) -> Fingerprint:
        # Non-blocking and checked before reading: a FIFO would hang, a device never end.
        with open(os.open(path, os.O_RDONLY | os.O_NONBLOCK), "rb") as stream:
            info = os.fstat(stream.fileno())
            if not stat.S_ISREG(info.st_mode):
                raise OSError(errno.EINVAL, "not a regular file")
            digest = hashlib.file_digest(stream, "sha256").hexdigest()
        return cls(info.st_size, info.st_mtime_ns, digest)

    @classmethod
    def stat(cls, path: Path) -> Fingerprint | None:
        try:
            info = path.stat()
        except OSError:
            return None
        return cls(info.st_size, info.st_mtime_ns)

    def same_stat(self, other: Fingerprint | None) -> bool:
        return other is not None and (self.size, self.mtime_ns) == (other.size, other.mtime_ns)


@dataclasses.dataclass(frozen=True)
class Record:
    """One print: the recipe that made it, its source's fingerprint and its own size and time."""

    recipe: str
    source: Fingerprint
    output: Fingerprint

    def vouches_for(self, target: Path) -> bool:
        """The print at ``target`` is still the very file this record describes."""
        return self.output.same_stat(Fingerprint.stat(target))


def recipe_key(pipeline: Pipeline) -> str:
    return hashlib.sha256(pipeline.to_toml().encode("utf-8")).hexdigest()[:32]


class Manifest:
    """The records of the prints under one output folder; lines are appended as prints are made."""

    def __init__(self, root: Path) -> None:
        self.root = root.absolute()
        self.path = root / MANIFEST_NAME
        self.records: dict[str, Record] = {}
        self._lines = 0
        try:
            text = self.path.read_text(encoding="utf-8", errors="replace")
        except OSError:
            text = ""
        for line in text.splitlines():
            self._lines += 1
            entry = _parse(line)  # a line cut short by a killed run is skipped
            if entry is not None:
                self.records[entry[0]] = entry[1]

    def get(self, target: Path) -> Record | None:
        return self.records.get(self._key(target))

    def is_current(self, source: Path, target: Path, recipe: str) -> bool:
        """The print exists, untouched since it was made from this very source by this recipe."""
        record = self.get(target)
        return (record is not None and record.recipe == recipe and record.vouches_for(target)
                and record.source.same_stat(Fingerprint.stat(source)))

    def add(self, target: Path, record: Record) -> None:
        key = self._key(target)
        self.records[key] = record
        try:
            with open(self.path, "a", encoding="utf-8") as stream:
                stream.write(_line(key, record))
            self._lines += 1
        except OSError:
            pass  # the manifest only saves time: without it prints are judged by their contents

    def compact(self) -> None:
        """Rewrite the manifest whole when most of its lines are superseded."""
        if self._lines <= 2 * len(self.records) + 100:
            return
        try:
            write_text(self.path, "".join(_line(key, record) for key, record in self.records.items()), overwrite=True)
        except OSError:
            pass

    def _key(self, target: Path) -> str:
        target = target.absolute()
        return str(target.relative_to(self.root)) if target.is_relative_to(self.root) else str(target)


def _line(key: str, record: Record) -> str:
    fields = {"output": key, "recipe": record.recipe, **_fields("source", record.source),
              **_fields("output", record.output)}
    return json.dumps(fields) + "\n"


def _fields(prefix: str, fingerprint: Fingerprint) -> dict[str, object]:
    return {f"{prefix}_size": fingerprint.size, f"{prefix}_mtime_ns": fingerprint.mtime_ns,
            **({f"{prefix}_sha256": fingerprint.sha256} if fingerprint.sha256 else {})}


def _parse(line: str) -> tuple[str, Record] | None:
    try:
        entry = json.loads(line)
        source = Fingerprint(int(entry["source_size"]), int(entry["source_mtime_ns"]), str(entry["source_sha256"]))
        output = Fingerprint(int(entry["output_size"]), int(entry["output_mtime_ns"]))
        return str(entry["output"]), Record(str(entry["recipe"]), source, output)
    except (ValueError, TypeError, KeyError, RecursionError):
        return None
