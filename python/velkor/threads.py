"""The front end's own parallel steps: how many threads, and a map over them."""

from __future__ import annotations

import concurrent.futures
import os
from collections.abc import Callable, Iterator, Sequence
from typing import TypeVar

_Item = TypeVar("_Item")
_Result = TypeVar("_Result")


def available_threads() -> int:
    """The kernels' own setting, which a batch shares out between its processes."""
    setting = os.environ.get("RAYON_NUM_THREADS", "")
    return int(setting) if setting.isdigit() and int(setting) > 0 else os.cpu_count() or 1


def each_in_threads(function: Callable[[_Item], _Result], items: Sequence[_Item]) -> Iterator[_Result]:
    """``function`` of each item, in order, on up to ``available_threads()`` threads.

    Meant for NumPy and compression work that lets go of the interpreter
    lock.  One item, or one thread allowed, runs here, with no pool to start.
    """
    threads = min(available_threads(), len(items))
    if threads <= 1:
        yield from map(function, items)
        return
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
    per_thread = max(1, -(-bands // max(1, min(available_threads(), bands))))

    def run(first: int) -> None:
        for band in range(first, min(first + per_thread, bands)):
            step(slice(band * band_rows, min((band + 1) * band_rows, rows)))

    list(each_in_threads(run, range(0, bands, per_thread)))
