"""Batches on a Dask cluster: each file one task, on a local cluster or a running one.

A task reads, converts and writes its file atomically, so a task that Dask
runs again after its worker died finds either no output (and makes it) or
the whole file with this recipe (and skips it): never a half-written one.
Workers read and write the paths they are given, so they need to see the
same file system (or the same mounts) as the process that submits.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import importlib
import logging
import secrets
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

from velkor.errors import ClusterError, NoWorkersError, SchedulerLostError
from velkor.extras import import_extra
from velkor.model.bands import threads_per_process
from velkor.run.job import Job, Outcome, convert_file
from velkor.run.pool import Task
from velkor.run.signals import children_deaf_to_ctrl_c
from velkor.run.watchdog import Watchdog, every_second

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


# How long a batch waits to reach the scheduler, and then for its first
# worker (--cluster-wait): a cluster that is not there fails, never hangs.
CLUSTER_WAIT = 30.0


def dask_outcomes(
    job: Job, tasks: Sequence[Task], *, workers: int | None, address: str | None,
    watchdog: Watchdog | None = None, cluster_wait: float = CLUSTER_WAIT,
) -> Iterator[tuple[int, Outcome]]:
    """(index, outcome) of every task, as each finishes.

    A file whose worker died (Dask gives up on a task that killed three)
    fails alone; a scheduler lost midway raises :class:`SchedulerLostError`.
    """
    distributed: Any = import_extra("distributed", "distributed", "running on a Dask cluster")
    run = secrets.token_hex(4)
    where = address or "(local)"
    opened: list[Any] = []  # the client, the cluster...: closed in reverse order
    futures: dict[Any, tuple[int, Path]] = {}
    try:
        # What goes wrong is told by the batch, in one line: not by Dask's log, in forty.
        _enter(opened, _quiet(logging.getLogger("distributed")))
        client = _connect(distributed, opened, workers, address, cluster_wait)
        try:
            client.wait_for_workers(1, timeout=cluster_wait)
        except TimeoutError:
            raise NoWorkersError(f"the Dask scheduler at {where} has had no workers "
                                 f"for {cluster_wait:g} s (see --cluster-wait)") from None
        # Workers have folders of their own: they get absolute paths.
        futures = {
            client.submit(convert_file, job, source.absolute(), target.absolute(), known,
                          key=f"velkor-{index}-{source.name}-{run}", pure=False): (index, source)
            for index, source, target, known in tasks
        }
        if watchdog is not None:
            _enter(opened, _watching(client, futures, watchdog))
        for future in distributed.as_completed(futures):
            index, source = futures[future]
            yield index, _outcome(distributed, client, future, source, where, watchdog)
    except BaseException:
        with contextlib.suppress(Exception):
            client.cancel(list(futures))
        raise
    finally:
        _close(opened)


@contextlib.contextmanager
def _quiet(logger: logging.Logger) -> Iterator[None]:
    # Its own loggers (distributed.client, ...) have levels of their own, so
    # the handlers they all end in are the place to silence.
    levels = {handler: handler.level for handler in logger.handlers}
    for handler in levels:
        handler.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for handler, level in levels.items():
            handler.setLevel(level)


def _enter(opened: list[Any], manager: Any) -> Any:
    entered = manager.__enter__()
    opened.append(manager)
    return entered


def _close(opened: list[Any]) -> None:
    """Close what was opened, last first; a second Ctrl-C meanwhile leaves the rest to the process's end."""
    while opened:
        with contextlib.suppress(Exception):
            opened.pop().__exit__(None, None, None)


def _connect(distributed: Any, opened: list[Any], workers: int | None, address: str | None, wait: float) -> Any:
    try:
        if address is not None:
            return _enter(opened, distributed.Client(address, timeout=wait))
        # Any free port for its web server: a fixed one may be another cluster's.
        _enter(opened, importlib.import_module("dask").config.set(LOCAL_WORKER_CONFIG))
        # Ctrl-C stops the batch here, which closes the cluster, instead of
        # every worker printing its own traceback.
        with children_deaf_to_ctrl_c():
            cluster = _enter(opened, distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                silence_logs=logging.CRITICAL,
                env={"RAYON_NUM_THREADS": str(threads_per_process(workers or 1))},
            ))
            return _enter(opened, distributed.Client(cluster))
    except OSError as error:  # includes the time-out of an unreachable scheduler
        raise ClusterError(f"cannot reach the Dask scheduler {address or '(local)'}: {error}") from error


def _outcome(distributed: Any, client: Any, future: Any, source: Path, where: str,
             watchdog: Watchdog | None) -> Outcome:
    try:
        outcome: Outcome = future.result()
        return outcome
    except distributed.scheduler.KilledWorker:
        return Outcome("failed", f"cannot convert {source}: its Dask worker died (killed, or out of memory)")
    except Exception as error:
        if _scheduler_lost(client, error):
            raise SchedulerLostError(f"lost the Dask scheduler at {where}") from None
        if watchdog is not None and isinstance(error, (asyncio.CancelledError, concurrent.futures.CancelledError)):
            return Outcome("failed", f"cannot convert {source}: {watchdog.timeout_message}")
        return Outcome("failed", f"cannot convert {source}: {type(error).__name__}: {error}")


def _scheduler_lost(client: Any, error: Exception) -> bool:
    """Whether a task's failure is the scheduler's going.

    A closed connection can reach a result a moment before the client
    marks the scheduler lost; a connection error waits up to a few seconds
    for it to say so, rather than blame the file.
    """
    deadline = time.monotonic() + (_CONNECTION_GRACE if isinstance(error, OSError) else 0.0)
    while client.status == "running" and "scheduler-connection-lost" not in str(error):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)
    return True


# How long a connection error waits for the client to notice a lost scheduler.
_CONNECTION_GRACE = 5.0


@contextlib.contextmanager
def _watching(client: Any, futures: dict[Any, tuple[int, Path]], watchdog: Watchdog) -> Iterator[None]:
    """Watches the running tasks from a thread: tells of slow ones; stops those past --timeout.

    A task's thread cannot be stopped inside a worker, so its worker is
    restarted (a worker of ours runs one task at a time); its unfinished
    output is removed by the batch's cleanup of leftovers.
    """
    sources = {future.key: (future, source) for future, (index, source) in futures.items()}
    began: dict[str, float] = {}

    def check() -> bool:
        try:
            running = client.processing()
        except Exception:  # the scheduler is gone: the batch itself finds out
            return False
        now = time.monotonic()
        for worker, keys in running.items():
            for key in keys:
                if key not in sources:
                    continue
                future, source = sources[key]
                if not watchdog.overdue(source, now - began.setdefault(key, now)):
                    continue
                with contextlib.suppress(Exception):
                    future.cancel()
                    client.restart_workers([worker])
        return True

    with every_second(check):
        yield
