"""A file that takes far longer than its peers: told once, and failed past ``--timeout``.

A batch of 100,000 photographs that stops moving looks the same as one that
is busy: a file stuck on a network mount or a decoder that loops shows only
as a progress bar that no longer advances. The typical time of the files
finished so far sets what "far longer" means.
"""

from __future__ import annotations

import contextlib
import statistics
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path

# Told when a file has run this many times the median of the files done so far...
SLOW_FACTOR = 10
# ...and at least this long: a batch of quick thumbnails should not chatter.
SLOW_FLOOR = 30.0
# The median needs a few files behind it before it means anything.
SLOW_PEERS = 3


class Watchdog:
    """Keeps the times of finished files; tells of slow ones; says when one is past the timeout."""

    def __init__(self, say: Callable[[str], None], timeout: float | None = None) -> None:
        self.say = say
        self.timeout = timeout
        self._seconds: list[float] = []
        self._told: set[Path] = set()

    @property
    def timeout_message(self) -> str:
        return f"stopped after --timeout {self.timeout:g} s"

    def finished(self, seconds: float) -> None:
        self._seconds.append(seconds)

    def overdue(self, source: Path, elapsed: float) -> bool:
        """True when the file at ``source`` has run past the timeout; tells of a slow one once."""
        if self.timeout is not None and elapsed > self.timeout:
            return True
        if source not in self._told and len(self._seconds) >= SLOW_PEERS:
            typical = statistics.median(self._seconds[-1000:])
            if elapsed > max(SLOW_FLOOR, SLOW_FACTOR * typical):
                self._told.add(source)
                self.say(f"velkor: warning: {source} has taken {elapsed:.0f} s so far "
                         f"(files of this batch take {typical:.1f} s)")
        return False


@contextlib.contextmanager
def watched(watchdog: Watchdog, source: Path) -> Iterator[None]:
    """Tells of a file converted in this process that runs far longer than its peers, from a thread beside it."""
    start = time.monotonic()

    def check() -> bool:
        watchdog.overdue(source, time.monotonic() - start)
        return True

    with every_second(check):
        yield


@contextlib.contextmanager
def every_second(check: Callable[[], bool]) -> Iterator[None]:
    """Runs ``check`` once a second on a thread beside the block, until the block ends or ``check`` says False."""
    done = threading.Event()

    def watch() -> None:
        while not done.wait(1.0) and check():
            pass

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        yield
    finally:
        done.set()
        watcher.join(5.0)
