"""Batches on a Dask cluster: each file one task, on a local cluster or a running one.

A task reads, converts and writes its file atomically, so a task that Dask
runs again after its worker died finds either no output (and makes it) or
the whole file with this recipe (and skips it): never a half-written one.
Workers read and write the paths they are given, so they need to see the
same file system (or the same mounts) as the process that submits.
"""

from __future__ import annotations

import importlib
import logging
import secrets
from collections.abc import Iterator, Sequence
from contextlib import ExitStack
from pathlib import Path
from typing import Any

from velkor.errors import VelkorError
from velkor.extras import import_extra
from velkor.model.bands import threads_per_process
from velkor.run.job import Job, Outcome, convert_file

# Connecting to a scheduler that is not there should fail in a while, not hang.
CONNECT_TIMEOUT = "30s"

# Dask's defaults for the workers it starts, tuned for many small tasks, cost
# a task of ours an eighth of its time: the profiler samples the running thread
# every 10 ms; a low malloc trim threshold (which also fixes glibc's mmap
# threshold at 128 KiB) makes every buffer of the TIFF writer a fresh mapping,
# six times the page faults of a plain process; the memory monitor polls ten
# times a second. Our tasks hold one image at a time and free it at the end.
# Tasks wait at the scheduler until a worker is free, so there is nothing to
# steal, and the event loops need not check on themselves fifty times a second.
LOCAL_WORKER_CONFIG = {
    "distributed.worker.profile.enabled": False,
    "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.scheduler.work-stealing": False,
    "distributed.admin.tick.interval": "500ms",
}


class ClusterError(VelkorError, OSError):
    """Dask is not installed, or the cluster cannot be reached."""


def dask_outcomes(
    job: Job, pairs: Sequence[tuple[Path, Path]], *, workers: int | None, address: str | None
) -> Iterator[tuple[int, Outcome]]:
    """(index, outcome) of every (source, target) pair, as their tasks finish."""
    distributed: Any = import_extra("distributed", "distributed", "running on a Dask cluster")
    run = secrets.token_hex(4)
    with ExitStack() as stack:
        try:
            if address is not None:
                client = stack.enter_context(distributed.Client(address, timeout=CONNECT_TIMEOUT))
            else:
                # Any free port for its web server: a fixed one may be another cluster's.
                stack.enter_context(importlib.import_module("dask").config.set(LOCAL_WORKER_CONFIG))
                cluster = stack.enter_context(distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                    silence_logs=logging.ERROR,
                    env={"RAYON_NUM_THREADS": str(threads_per_process(workers or 1))},
                ))
                client = stack.enter_context(distributed.Client(cluster))
        except OSError as error:  # includes the time-out of an unreachable scheduler
            raise ClusterError(f"cannot reach the Dask scheduler {address or '(local)'}: {error}") from error
        # Workers have folders of their own: they get absolute paths.
        futures = {
            client.submit(convert_file, job, source.absolute(), target.absolute(),
                          key=f"velkor-{index}-{source.name}-{run}", pure=False): index
            for index, (source, target) in enumerate(pairs)
        }
        try:
            for future in distributed.as_completed(futures):
                yield futures[future], future.result()
        except BaseException:
            client.cancel(list(futures))
            raise
