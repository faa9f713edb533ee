"""``velkor edit``: serve the editor on this machine until Ctrl-C or SIGTERM."""

from __future__ import annotations

import contextlib
import secrets
import signal
import socket
import tempfile
import threading
import webbrowser
from collections.abc import Iterator
from pathlib import Path

import uvicorn

from velkor.editor.app import build_app
from velkor.editor.state import EditorState
from velkor.io.reading import SourceImage
from velkor.model.pipeline import Pipeline


def serve(source: SourceImage, pipeline: Pipeline, recipe_path: Path | None, *,
          host: str = "127.0.0.1", port: int = 0, open_browser: bool = True) -> None:
    """Print the page's address (with its token) on a line of its own, then serve it."""
    with tempfile.TemporaryDirectory(prefix="velkor-edit-") as uploads:
        listener = _listen(host, port)
        bound_port = listener.getsockname()[1]
        token = secrets.token_urlsafe(24)
        state = EditorState(source, pipeline, recipe_path, Path(uploads))
        app = build_app(state, token, host, bound_port)
        address = f"http://{_url_host(host)}:{bound_port}/?token={token}"
        print(address, flush=True)
        state.warm()
        server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False, lifespan="off"))
        if open_browser:
            threading.Thread(target=_open_when_ready, args=(server, address), daemon=True).start()
        with _signals_end_quietly():
            server.run(sockets=[listener])


def _listen(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind((host, port))
    except OSError as error:
        listener.close()
        raise OSError(f"cannot listen on {host}:{port}: {error.strerror or error}") from error
    listener.set_inheritable(True)
    return listener


def _url_host(host: str) -> str:
    return f"[{host}]" if ":" in host else host


def _open_when_ready(server: uvicorn.Server, address: str) -> None:
    while not server.started and not server.should_exit:
        threading.Event().wait(0.05)
    if server.started:
        webbrowser.open(address)


@contextlib.contextmanager
def _signals_end_quietly() -> Iterator[None]:
    # uvicorn shuts down on SIGINT and SIGTERM and then raises the signal
    # again for the handler it found: here that ends the wait quietly, so
    # the command exits 0 as it should after a requested stop.
    previous = {number: signal.signal(number, lambda *_: None) for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
