"""The bands of one large print spread over a Dask cluster's workers.

Each band's tasks read the rows it needs from the input (workers must see
the same file system) and return its compressed tiles; this process keeps
them in order and writes the file.  A band's bytes do not depend on where
it was printed, so the file is the one a local run writes.
"""

from __future__ import annotations

import contextlib
import importlib
import itertools
import logging
import operator
import secrets
from collections import deque
from collections.abc import Iterator, Mapping
from typing import Any

from velkor._types import FloatImage
from velkor.errors import ClusterError, SchedulerLostError
from velkor.extras import import_extra
from velkor.model.bands import threads_per_process
from velkor.model.pipeline import Pipeline
from velkor.run.cluster import CLUSTER_WAIT, LOCAL_WORKER_CONFIG
from velkor.run.tiled import BandSource
from velkor.run.tiled_bands import (
    BandPrint,
    Layout,
    clarity_of_band,
    context_from_file,
    pointwise_from_file,
    print_of,
    source_of,
)
from velkor.run.tiled_read import TiffRows

# Bands waiting or running per worker thread: enough to keep every worker
# busy while this process writes, few enough that finished bands waiting
# for an earlier one stay a handful.
_BANDS_PER_THREAD = 2


def cluster_bands(*, workers: int | None, address: str | None) -> BandSource:
    """Bands printed on a local cluster of ``workers`` processes, or on the cluster at ``address``."""

    def bands(reader: TiffRows, pipeline: Pipeline, layout: Layout, wanted: set[int], deflate: bool,
              carried: Mapping[int, bytes]) -> Iterator[tuple[int, BandPrint, bytes]]:
        with _client(workers, address) as client:
            tasks = _BandTasks(client, reader, pipeline, layout, deflate, carried)
            threads = max(1, sum(client.nthreads().values()))
            order = iter(sorted(wanted))
            waiting: deque[tuple[int, Any, Any]] = deque()
            try:
                for index in itertools.islice(order, _BANDS_PER_THREAD * threads):
                    waiting.append((index, *tasks.submit(index)))
                while waiting:
                    index, band, carry = waiting.popleft()
                    printed = _result(band, index, address), _result(carry, index, address)
                    for following in itertools.islice(order, 1):
                        waiting.append((following, *tasks.submit(following)))
                    yield index, *printed
            finally:
                client.cancel([future for _, *futures in waiting for future in futures if hasattr(future, "key")])

    return bands


class _BandTasks:
    """The tasks of one print's bands: its display rows and its codes anywhere, clarity in order of bands.

    Clarity's running sums go from each band to the next, so its tasks form
    a chain of small carries; reading, tones and codes, most of the work,
    spread over the workers.
    """

    def __init__(self, client: Any, reader: TiffRows, pipeline: Pipeline, layout: Layout, deflate: bool,
                 carried: Mapping[int, bytes]) -> None:
        self.client, self.source, self.pipeline, self.layout = client, source_of(reader), pipeline, layout
        self.deflate = deflate
        self.carried, self.run = carried, secrets.token_hex(4)
        self.carry: Any = b""  # what the last band submitted carries (a future)

    def submit(self, index: int) -> tuple[Any, Any]:
        """Futures of band ``index``'s print and of what it carries to the band below."""
        submit, key = self.client.submit, f"velkor-band-{index}-{self.run}"
        pipeline, layout = self.pipeline, self.layout
        if not pipeline.reach:
            return submit(pointwise_from_file, self.source, pipeline, layout, index, self.deflate, key=key,
                          pure=False), b""
        context = submit(context_from_file, self.source, pipeline, layout, index, key=f"{key}-context", pure=False)
        detailed = submit(clarity_of_band, context, pipeline, layout, index, self.carried.get(index, self.carry),
                          key=f"{key}-clarity", pure=False)
        self.carry = submit(operator.itemgetter(1), detailed, key=f"{key}-carry", pure=False)
        band = submit(_print_of, detailed, pipeline, layout, index, self.deflate, key=key, pure=False)
        return band, self.carry


def _print_of(detailed: tuple[FloatImage, bytes], pipeline: Pipeline, layout: Layout, index: int,
              deflate: bool) -> BandPrint:
    return print_of([(0, detailed[0])], pipeline, layout, index, deflate)


def _result(future: Any, index: int, address: str | None) -> Any:
    """A task's result; a cluster that lost its worker or went away is a ClusterError, the band kept for a rerun."""
    if not hasattr(future, "result"):  # a value, not a task
        return future
    distributed: Any = importlib.import_module("distributed")
    try:
        band = future.result()
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
