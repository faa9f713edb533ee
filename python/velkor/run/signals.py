"""Signals around the start of worker processes: none lost, and Ctrl-C for the batch alone."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Ctrl-C and SIGTERM wait for the end of the block, then arrive.

    A signal that lands while a worker process starts could leave it
    started but unknown to the batch, which would then never stop it.
    (Only the main thread receives signals.)
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


@contextlib.contextmanager
def children_deaf_to_ctrl_c() -> Iterator[None]:
    """Processes started in the block ignore Ctrl-C; one pressed meanwhile arrives after it.

    The terminal sends Ctrl-C to every process of the command, workers
    included; a worker should leave stopping to the batch, which stops
    them all, rather than print a traceback of its own. An ignored SIGINT
    stays ignored in a new program, and Python then leaves it so. Blocked
    meanwhile in this thread (and the threads it starts), a Ctrl-C is kept
    pending instead of being discarded, and arrives when the block ends.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


@contextlib.contextmanager
def interrupts_noted() -> Iterator[list[int]]:
    """Ctrl-C raises KeyboardInterrupt as ever, and is also noted in the list yielded.

    Raised in the middle of a library's work, the exception can be
    swallowed (in a destructor) or turned into another error (a lock
    released twice); the note makes the batch stop all the same.
    """
    noted: list[int] = []
    if threading.current_thread() is not threading.main_thread() \
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield noted
        return

    def on_interrupt(number: int, frame: object) -> None:
        noted.append(number)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_interrupt)
    try:
        yield noted
    finally:
        signal.signal(signal.SIGINT, previous)
