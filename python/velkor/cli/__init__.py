"""The `velkor` command."""

from __future__ import annotations

import os
import signal
import sys


def run() -> int:
    """The command's entry point: Ctrl-C while its modules load ends it as Ctrl-C at any later moment.

    Loading NumPy, Pillow and the rest takes a second or more on a busy
    machine; Python's own Ctrl-C there would print a traceback of the import
    and end by signal, where a script expects one line and status 130.
    """
    signal.signal(signal.SIGINT, _interrupted_while_loading)
    # The command's linear algebra is 3 x 3 matrices; OpenBLAS would start a
    # thread per core when NumPy loads, 65 ms of processor time on every run
    # (a fifth of a small conversion's).
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from velkor.cli.main import main

    return main()


def _interrupted_while_loading(signum: int, frame: object) -> None:
    sys.stderr.write("velkor: error: interrupted\n")
    sys.stderr.flush()
    os._exit(128 + signum)
