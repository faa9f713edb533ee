"""The front end's own parallel steps: how many threads, and a map over them."""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterator, Sequence
from typing import TypeVar

_Item = TypeVar("_Item")
_Result = TypeVar("_Result")


# The kernels' pool caps its workers here; the front end follows it.
_MAX_THREADS = 65535


def processors() -> int:
    """The processors this process may run on (its CPU affinity), at least 1."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):  # no affinity on this platform
        return os.cpu_count() or 1


def thread_count() -> int:
    """How many threads the kernels' pool runs, by the pool's own rule; the front end uses as many.

    ``RAYON_NUM_THREADS``, or when that is unset or malformed ``RAYON_RS_NUM_CPUS``:
    an optional "+" and ASCII digits; 0 means the default, and so does a
    malformed value. The default is :func:`processors`. At most 65535.
    """
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        setting = _count_setting(os.environ.get(name))
        if setting is not None:
            return min(setting or processors(), _MAX_THREADS)
    return min(processors(), _MAX_THREADS)


def threads_per_process(processes: int) -> int:
    """The kernels' threads for each of ``processes`` worker processes: the threads shared out."""
    return max(1, thread_count() // max(1, processes))


def _count_setting(text: str | None) -> int | None:
    """The value of a thread-count variable, or None when it is unset or malformed (then the next rule decides)."""
    if text is None or _COUNT_FORM.fullmatch(text) is None or int(text) >= 2**64:
        return None
    return int(text)


_COUNT_FORM = re.compile(r"\+?[0-9]+")


def each_in_threads(function: Callable[[_Item], _Result], items: Sequence[_Item]) -> Iterator[_Result]:
    """``function`` of each item, in order, on up to ``thread_count()`` threads.

    Meant for NumPy and compression work that lets go of the interpreter
    lock.  One item, or one thread allowed, runs here, with no pool to start.
    """
    threads = min(thread_count(), len(items))
    if threads <= 1:
        yield from map(function, items)
        return
    import concurrent.futures  # with logging and threading: more than the command's --help needs

    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        yield from pool.map(function, items)


def each_band(rows: int, band_rows: int, step: Callable[[slice], object]) -> None:
    """``step`` on every band of ``band_rows`` of ``rows`` rows, each thread taking one run of bands.

    For element-wise NumPy work: a band stays in the cache through a chain
    of steps, NumPy lets go of the interpreter lock in each, and one run a
    thread keeps the pool's tasks few however small the bands. Every band
    starts at a multiple of ``band_rows``.
    """
    bands = -(-rows // band_rows)
    per_thread = max(1, -(-bands // max(1, min(thread_count(), bands))))

    def run(first: int) -> None:
        for band in range(first, min(first + per_thread, bands)):
            step(slice(band * band_rows, min((band + 1) * band_rows, rows)))

    list(each_in_threads(run, range(0, bands, per_thread)))
