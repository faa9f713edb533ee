"""A batch's files in a pool of worker processes (``--jobs``), stopped together on Ctrl-C or SIGTERM."""

from __future__ import annotations

import concurrent.futures
import contextlib
import multiprocessing
import os
import signal
import threading
import time
from collections.abc import Iterator, Sequence
from pathlib import Path

from velkor.model.bands import threads_per_process
from velkor.run.job import Job, Outcome, convert_file

_Pairs = Sequence[tuple[Path, Path]]


def pool_outcomes(job: Job, pairs: _Pairs, processes: int) -> Iterator[tuple[int, Outcome]]:
    pool: concurrent.futures.ProcessPoolExecutor | None = None
    try:
        with _signals_held():
            # Fresh interpreters, not forks: the kernels' pool must be sized in each
            # worker before its first kernel runs, and this process may have run one.
            pool = concurrent.futures.ProcessPoolExecutor(
                processes, mp_context=multiprocessing.get_context("spawn"),
                initializer=_start_worker, initargs=(threads_per_process(processes), os.getpid()),
            )
            futures = {pool.submit(_worker_task, job, source, target): index
                       for index, (source, target) in enumerate(pairs)}
        for future in concurrent.futures.as_completed(futures):
            try:
                outcome = future.result()
            except concurrent.futures.process.BrokenProcessPool:
                source = pairs[futures[future]][0]
                outcome = Outcome("failed", f"cannot convert {source}: its worker process died "
                                            "(killed, or out of memory)")
            yield futures[future], outcome
    except BaseException:
        # Ctrl-C, SIGTERM or an error here: the workers stop at once and,
        # like this process, leave no partial file behind.
        if pool is not None:
            pool.shutdown(wait=False, cancel_futures=True)
            _stop_workers(pool)
        raise
    pool.shutdown()


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C and SIGTERM wait for the end of the block, then arrive.

    A signal that lands while the pool starts a worker process can leave
    that process started but unknown to the pool: nobody stops it, and the
    pool waits for it at exit for ever. So the pool starts its workers
    with the signals held. (Only the main thread receives signals.)
    """
    numbers = (signal.SIGINT, signal.SIGTERM)
    if threading.current_thread() is not threading.main_thread() or None in map(signal.getsignal, numbers):
        yield  # not ours to hold: another thread, or handlers set outside Python
        return
    held: list[int] = []
    kept = {number: signal.signal(number, lambda received, frame: held.append(received)) for number in numbers}
    try:
        yield
    finally:
        for number, handler in kept.items():
            signal.signal(number, handler)
        for received in held[:1]:
            signal.raise_signal(received)


def _stop_workers(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        if process.is_alive():
            process.terminate()
    deadline = time.monotonic() + 10
    for process in processes:
        process.join(timeout=max(0.0, deadline - time.monotonic()))
        if process.is_alive():  # a worker stuck where SIGTERM cannot reach it
            process.kill()
            process.join()


class _WorkerStop(BaseException):
    """SIGTERM in a worker busy with a file: unwinds it so the partial output is removed."""


_busy = False


def _start_worker(threads: int, batch: int) -> None:
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the batch, which stops the workers
    signal.signal(signal.SIGTERM, _on_worker_term)
    threading.Thread(target=_stop_when_orphaned, args=(batch,), daemon=True).start()


def _stop_when_orphaned(batch: int) -> None:
    # A batch killed outright (SIGKILL, out of memory) cannot stop its
    # workers, which would wait for work forever: they stop themselves.
    while os.getppid() == batch:
        time.sleep(0.5)
    os.kill(os.getpid(), signal.SIGTERM)


def _on_worker_term(signum: int, frame: object) -> None:
    if _busy:
        raise _WorkerStop
    os._exit(128 + signum)


def _worker_task(job: Job, source: Path, target: Path) -> Outcome:
    global _busy
    _busy = True
    try:
        return convert_file(job, source, target)
    except _WorkerStop:
        os._exit(128 + signal.SIGTERM)
    finally:
        _busy = False

