"""The bands of one large print spread over a Dask cluster's workers.

Each band is a task that reads the rows it needs from the input (workers
must see the same file system) and returns its compressed tiles; this
process keeps them in order and writes the file.  A band's bytes do not
depend on where it was printed, so the file is the one a local run writes.
"""

from __future__ import annotations

import contextlib
import importlib
import logging
import secrets
from collections import deque
from collections.abc import Iterator
from typing import Any

from velkor.errors import ClusterError, SchedulerLostError
from velkor.extras import import_extra
from velkor.model.bands import threads_per_process
from velkor.model.pipeline import Pipeline
from velkor.run.cluster import CLUSTER_WAIT, LOCAL_WORKER_CONFIG
from velkor.run.tiled import BandSource
from velkor.run.tiled_bands import BandPrint, Layout, band_from_file
from velkor.run.tiled_read import TiffRows

# Bands waiting or running per worker thread: enough to keep every worker
# busy while this process writes, few enough that finished bands waiting
# for an earlier one stay a handful.
_BANDS_PER_THREAD = 2


def cluster_bands(*, workers: int | None, address: str | None) -> BandSource:
    """Bands printed on a local cluster of ``workers`` processes, or on the cluster at ``address``."""

    def bands(reader: TiffRows, pipeline: Pipeline, layout: Layout, wanted: set[int],
              deflate: bool) -> Iterator[tuple[int, BandPrint]]:
        with _client(workers, address) as client:
            run = secrets.token_hex(4)
            threads = max(1, sum(client.nthreads().values()))
            order = iter(sorted(wanted))
            waiting: deque[tuple[int, Any]] = deque()

            def submit() -> None:
                for index in order:
                    waiting.append((index, client.submit(band_from_file, reader.path, pipeline, layout, index,
                                                         deflate, key=f"velkor-band-{index}-{run}", pure=False)))
                    return

            try:
                for _ in range(_BANDS_PER_THREAD * threads):
                    submit()
                while waiting:
                    index, future = waiting.popleft()
                    band = _result(future, index, address)
                    submit()
                    yield index, band
            finally:
                client.cancel([future for _, future in waiting])

    return bands


def _result(future: Any, index: int, address: str | None) -> BandPrint:
    """A band's print; a cluster that lost its worker or went away is a ClusterError, the band kept for a rerun."""
    distributed: Any = importlib.import_module("distributed")
    try:
        band: BandPrint = future.result()
    except distributed.scheduler.KilledWorker as error:
        raise ClusterError(f"the Dask workers printing band {index} died ({error}); a rerun continues") from None
    except (OSError, distributed.client.FutureCancelledError) as error:
        raise SchedulerLostError(f"lost the Dask scheduler {address or '(local)'}: {error}; a rerun continues") from None
    return band


@contextlib.contextmanager
def _client(workers: int | None, address: str | None) -> Iterator[Any]:
    distributed: Any = import_extra("distributed", "distributed", "converting in pieces on a Dask cluster")
    with contextlib.ExitStack() as stack:
        try:
            if address is not None:
                client = stack.enter_context(distributed.Client(address, timeout=CLUSTER_WAIT))
            else:
                stack.enter_context(importlib.import_module("dask").config.set(LOCAL_WORKER_CONFIG))
                cluster = stack.enter_context(distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                    silence_logs=logging.ERROR, env={"RAYON_NUM_THREADS": str(threads_per_process(workers or 1))},
                ))
                client = stack.enter_context(distributed.Client(cluster))
        except OSError as error:  # includes the time-out of an unreachable scheduler
            raise ClusterError(f"cannot reach the Dask scheduler {address or '(local)'}: {error}") from error
        yield client
