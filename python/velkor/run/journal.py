"""``batch --log FILE``: a JSON line for each file, for scripts and for the next run."""

from __future__ import annotations

import json
from pathlib import Path
from typing import TextIO

from velkor.run.job import Outcome


class Journal:
    """``--log``: one JSON line a file, written as it finishes, so a killed run's log is good to its end."""

    def __init__(self, path: Path | None) -> None:
        self._stream: TextIO | None = None if path is None else open(path, "a", encoding="utf-8")  # noqa: SIM115

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
