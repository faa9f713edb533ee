"""What the server holds between requests: the photograph, its proxy and the renderer."""

from __future__ import annotations

import threading
from pathlib import Path
from typing import Any

from velkor.editor.documents import document_of
from velkor.editor.photo import START_EDGE, Photo, proxy_edge, proxy_of
from velkor.editor.rendering import Renderer
from velkor.io.reading import SourceImage
from velkor.model.pipeline import Pipeline


class EditorState:
    """One photograph at a time; opening another replaces it whole."""

    def __init__(self, source: SourceImage, pipeline: Pipeline, recipe_path: Path | None, uploads: Path) -> None:
        self.recipe_path = recipe_path
        self.uploads = uploads
        self.start_document: dict[str, Any] = document_of(pipeline)
        self.renderer = Renderer()
        self._lock = threading.Lock()
        self._source = source
        self._photo: Photo | None = None

    @property
    def source(self) -> SourceImage:
        return self._source

    def photo(self, edge: int | None = None) -> Photo:
        """The current photo, its proxy remade when the page asks for another size."""
        with self._lock:
            photo = self._photo
            if photo is None or (edge is not None and proxy_edge(edge) != photo.edge):
                photo = self._photo = proxy_of(self._source, edge or START_EDGE)
            return photo

    def warm(self) -> None:
        """Make the likely proxy and its colour original now, while the browser starts."""

        def make() -> None:
            photo = self.photo(START_EDGE)
            photo.original_codes, photo.original_zones  # noqa: B018 - cached on first use

        threading.Thread(target=make, daemon=True).start()

    def replace(self, source: SourceImage) -> None:
        with self._lock:
            self._source, self._photo = source, None
        self.renderer.forget()

    def inputs(self) -> list[Path | None]:
        """The files no save or export may write over."""
        return [self._source.path, self.recipe_path]

