"""A batch's files in worker processes (``--jobs``): one file at a time on each.

Each worker is given its next file only when it returns the last one, so
the batch always knows which file is on which process: a process that dies
(SIGKILL, the out-of-memory killer) costs that one file, and a new process
takes its place; a file that runs past ``--timeout`` is stopped the same
way. Ctrl-C or SIGTERM stops every worker within a couple of seconds, each
removing its unfinished output; a second Ctrl-C kills them at once (the
batch then removes what they left).
"""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.connection
import os
import signal
import threading
import time
from collections import deque
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

from velkor.model.bands import threads_per_process
from velkor.run.job import Job, Outcome, convert_file
from velkor.run.manifest import Record
from velkor.run.signals import children_deaf_to_ctrl_c, signals_held
from velkor.run.watchdog import Watchdog

Task = tuple[int, Path, Path, "Record | None"]

# How long stopped workers get to remove their unfinished files before they are killed.
STOP_GRACE = 2.0


def pool_outcomes(job: Job, tasks: Sequence[Task], processes: int,
                  watchdog: Watchdog | None = None) -> Iterator[tuple[int, Outcome]]:
    """(index, outcome) of every task, as each finishes."""
    waiting = deque(tasks)
    threads = threads_per_process(processes)
    workers: list[_Worker] = []
    try:
        with signals_held():
            workers = [_Worker(threads) for _ in range(min(processes, len(waiting)))]
        while waiting or any(worker.task for worker in workers):
            for worker in workers:
                if worker.task is None and waiting:
                    worker.give(job, waiting.popleft())
            busy = [worker for worker in workers if worker.task is not None]
            multiprocessing.connection.wait([w.connection for w in busy] + [w.process.sentinel for w in busy],
                                            timeout=_next_check(busy, watchdog))
            for index, worker in enumerate(workers):
                finished = worker.collect(watchdog)
                if finished is None:
                    continue
                yield finished
                if not worker.process.is_alive():
                    with signals_held():
                        workers[index] = _Worker(threads)
    except BaseException:
        _stop(workers)
        raise
    for worker in workers:
        worker.close()


def _next_check(busy: list[_Worker], watchdog: Watchdog | None) -> float:
    """Seconds to the next look at the running files: the first timeout due, or a second."""
    if watchdog is None or watchdog.timeout is None or not busy:
        return 1.0
    begun = [worker.started for worker in busy if worker.started is not None]
    if not begun:
        return 1.0
    due = min(begun) + watchdog.timeout - time.monotonic()
    return min(1.0, max(0.0, due))


class _Worker:
    """One worker process and the file it is converting, if any."""

    def __init__(self, threads: int) -> None:
        context = multiprocessing.get_context("spawn")  # the kernels' pool is sized before its first use
        self.connection, theirs = context.Pipe()
        self.process = context.Process(target=_serve, args=(theirs, threads, os.getpid()), daemon=True)
        with children_deaf_to_ctrl_c():
            self.process.start()
        theirs.close()
        self.task: Task | None = None
        self.started: float | None = None  # when its file was begun: after the process's own start

    def give(self, job: Job, task: Task) -> None:
        self.task, self.started = task, None
        try:
            self.connection.send((job, *task))
        except OSError:
            pass  # it died: collect() reports the file

    def collect(self, watchdog: Watchdog | None) -> tuple[int, Outcome] | None:
        """The finished task's (index, outcome); a dead or overdue worker's file as failed."""
        if self.task is None:
            return None
        index, source = self.task[0], self.task[1]
        answer = self._answer()
        if answer is None and self.process.is_alive():
            if watchdog is None or self.started is None \
                    or not watchdog.overdue(source, time.monotonic() - self.started):
                return None
            _stop([self])
            reason = watchdog.timeout_message
        else:
            reason = "its worker process died (killed, or out of memory)"
        answer = answer or self._answer()  # it may have answered just before it died
        self.task = None
        if answer is not None:
            return answer
        self.process.join(1.0)
        return index, Outcome("failed", f"cannot convert {source}: {reason}")

    def _answer(self) -> tuple[int, Outcome] | None:
        try:
            while self.connection.poll():
                answer: tuple[int, Outcome] | None = self.connection.recv()
                if answer is not None:
                    return answer
                self.started = time.monotonic()  # begun
        except (EOFError, OSError):  # died while answering
            pass
        return None

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self.connection.send(None)
        self.process.join(STOP_GRACE)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()


def _stop(workers: list[_Worker]) -> None:
    """SIGTERM, then SIGKILL after a grace period or at a second Ctrl-C."""
    try:
        for worker in workers:
            if worker.process.is_alive():
                worker.process.terminate()
        deadline = time.monotonic() + STOP_GRACE
        for worker in workers:
            worker.process.join(max(0.0, deadline - time.monotonic()))
    finally:  # also when a second Ctrl-C cuts the wait short
        for worker in workers:
            if worker.process.is_alive():
                worker.process.kill()
        for worker in workers:
            worker.process.join(1.0)


class _WorkerStop(BaseException):
    """SIGTERM in a worker busy with a file: unwinds it so the partial output is removed."""


_busy = False


def _serve(connection: Any, threads: int, batch: int) -> None:
    """A worker's life: convert the files it is sent, one at a time, until told to stop."""
    global _busy
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the batch, which stops the workers
    signal.signal(signal.SIGTERM, _on_worker_term)
    threading.Thread(target=_stop_when_orphaned, args=(batch,), daemon=True).start()
    while True:
        try:
            task = connection.recv()
        except (EOFError, OSError):
            return
        if task is None:
            return
        job, index, source, target, known = task
        connection.send(None)  # begun
        _busy = True
        try:
            outcome = convert_file(job, source, target, known)
        except _WorkerStop:
            os._exit(128 + signal.SIGTERM)
        except Exception as error:  # a fault of ours: that file fails, the batch goes on
            outcome = Outcome("failed", f"cannot convert {source}: {type(error).__name__}: {error}")
        finally:
            _busy = False
        connection.send((index, outcome))


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
