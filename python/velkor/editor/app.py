"""The editor's HTTP interface: the page, its prints, and the explicit file actions."""

from __future__ import annotations

import json
import tempfile
from collections.abc import Callable
from importlib import resources
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from velkor.editor.access import AccessGuard, allowed_hosts
from velkor.editor.controls import control_table
from velkor.editor.documents import document_of, pipeline_of
from velkor.editor.files import check_output, chosen_path
from velkor.editor.placement import placed, spot_luminance
from velkor.editor.print_zones import zone_of_codes
from velkor.editor.rendering import CURVE_ZONES, loupe_of, tone_curve
from velkor.editor.state import EditorState
from velkor.editor.uploads import MAX_UPLOAD_BYTES, UploadTooLargeError, upload_memory_limit, upload_name
from velkor.errors import OutputExistsError, RecipeError, VelkorError
from velkor.io.atomic import write_text
from velkor.io.reading import read_image
from velkor.io.writing import output_format
from velkor.model.presets import PRESETS
from velkor.run.export import ExportOptions, export_print

STATIC = Path(str(resources.files("velkor.editor") / "static"))
_NO_STORE = {"cache-control": "no-store"}


def build_app(state: EditorState, token: str, host: str, port: int) -> AccessGuard:
    """The page and its API, behind the token and Host checks."""
    routes = [
        Route("/", lambda request: FileResponse(STATIC / "index.html", headers=_NO_STORE)),
        Route("/api/session", _handler(state, _session)),
        Route("/api/original", _handler(state, _original)),
        Route("/api/render", _handler(state, _render), methods=["POST"]),
        Route("/api/loupe", _handler(state, _loupe), methods=["POST"]),
        Route("/api/place", _handler(state, _place), methods=["POST"]),
        Route("/api/toml", _handler(state, _toml), methods=["POST"]),
        Route("/api/parse", _handler(state, _parse), methods=["POST"]),
        Route("/api/save", _handler(state, _save), methods=["POST"]),
        Route("/api/export", _handler(state, _export), methods=["POST"]),
        Route("/api/open", _handler(state, _open), methods=["POST"]),
        Route("/api/upload", _upload_handler(state), methods=["POST"]),
        Mount("/static", StaticFiles(directory=STATIC)),
    ]
    return AccessGuard(Starlette(routes=routes), token, allowed_hosts(host, port))


Action = Callable[[EditorState, dict[str, Any], Request], Response]


def _handler(state: EditorState, action: Action) -> Callable[[Request], Any]:
    """An endpoint that runs ``action`` on a worker thread; refusals become one-line messages."""

    async def endpoint(request: Request) -> Response:
        try:
            body = await request.json() if request.method == "POST" else {}
        except ValueError:
            return _error(400, "bad request: the body is not JSON")
        if not isinstance(body, dict):
            return _error(400, "bad request: expected a JSON object")
        return await run_in_threadpool(_guarded, action, state, body, request)

    return endpoint


def _guarded(action: Action, state: EditorState, body: dict[str, Any], request: Request) -> Response:
    try:
        return action(state, body, request)
    except RecipeError as error:
        return _error(422, str(error))
    except OutputExistsError as error:
        return _error(409, str(error), confirm=str(error).startswith("output exists:"))
    except KeyError as error:
        return _error(400, f"bad request: {error.args[0]} is missing")
    except (VelkorError, OSError, ValueError, TypeError) as error:
        return _error(400, str(error))


def _error(status: int, message: str, **more: Any) -> JSONResponse:
    return JSONResponse({"error": message, **more}, status_code=status, headers=_NO_STORE)


def _session(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    edge = int(request.query_params.get("edge", "2048"))
    photo = state.photo(edge)
    height, width = photo.proxy.shape[:2]
    return JSONResponse({
        "photo": photo.source.path.name,
        "width": width, "height": height,
        "full_height": photo.full_size[0], "full_width": photo.full_size[1],
        "recipe": state.start_document,
        "controls": control_table(),
        "presets": {name: document_of(preset) for name, preset in PRESETS.items()},
        "zone_of_code": zone_of_codes(),
        "curve_zones": [float(z) for z in CURVE_ZONES],
    }, headers=_NO_STORE)


def _original(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    """The colour original (RGB bytes) and the zone each pixel's luminance prints in untouched."""
    photo = state.photo()
    payload = photo.original_codes.tobytes() + photo.original_zones.tobytes()
    return Response(payload, media_type="application/octet-stream",
                    headers={**_NO_STORE, "x-width": str(photo.proxy.shape[1]), "x-height": str(photo.proxy.shape[0])})


def _render(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    pipeline = pipeline_of(body.get("recipe"))
    photo = state.photo()
    seq = int(body.get("seq", 0))
    made = state.renderer.print_of(photo, pipeline, str(body.get("page", "")), seq)
    if made is None:
        return Response(status_code=204, headers={**_NO_STORE, "x-seq": str(seq)})
    about = {"seq": seq, "width": made.grey.shape[1], "height": made.grey.shape[0], "toned": made.toned is not None,
             "factor": pipeline.filter_factor_stops, "weights": list(pipeline.weights),
             "curve": tone_curve(pipeline)}
    return Response(made.tobytes(), media_type="application/octet-stream",
                    headers={**_NO_STORE, "x-seq": str(seq), "x-print": json.dumps(about)})


def _loupe(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    pipeline = pipeline_of(body.get("recipe"))
    size = min(max(int(body.get("size", 256)), 16), 1024)
    made = loupe_of(state.photo(), pipeline, (float(body["y"]), float(body["x"])), size)
    return Response(made.tobytes(), media_type="application/octet-stream",
                    headers={**_NO_STORE, "x-width": str(made.grey.shape[1]), "x-height": str(made.grey.shape[0]),
                             "x-toned": "1" if made.toned is not None else "0",
                             "x-seq": str(int(body.get("seq", 0)))})


def _place(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    pipeline = pipeline_of(body.get("recipe"))
    photo = state.photo()
    grey = pipeline.to_grey(photo.proxy)
    metered = spot_luminance(grey, int(body["row"]), int(body["column"]))
    moved = placed(pipeline, metered, int(body["zone"]))
    return JSONResponse({"recipe": document_of(moved), "exposure": moved.exposure}, headers=_NO_STORE)


def _toml(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    return JSONResponse({"toml": pipeline_of(body.get("recipe")).to_toml()}, headers=_NO_STORE)


def _parse(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    from velkor.model.pipeline import Pipeline

    text = body.get("text")
    if not isinstance(text, str):
        raise RecipeError("bad recipe: expected TOML text")
    return JSONResponse({"recipe": document_of(Pipeline.from_toml(text))}, headers=_NO_STORE)


def _save(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    pipeline = pipeline_of(body.get("recipe"))
    target = chosen_path(body.get("path"))
    overwrite = body.get("overwrite") is True
    check_output(target, state.inputs(), overwrite)
    write_text(target, pipeline.to_toml(), overwrite=overwrite)
    return JSONResponse({"message": f"velkor: wrote {target}"}, headers=_NO_STORE)


_EXPORT_KEYS = ("long_edge", "width", "height", "quality", "compression", "strip_metadata", "keep_gps",
                "intent", "background", "keep_alpha")
_READ_KEYS = ("intent", "background", "keep_alpha")  # options that change how the photograph is decoded


def _export(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    """The print at full size, by the same function as ``velkor convert``."""
    pipeline = pipeline_of(body.get("recipe"))
    chosen = {key: body[key] for key in _EXPORT_KEYS if body.get(key) is not None}
    if "background" in chosen:
        chosen["background"] = tuple(chosen["background"])
    options = ExportOptions(**chosen)
    target = chosen_path(body.get("path"))
    output_format(target)
    overwrite = body.get("overwrite") is True
    check_output(target, state.inputs(), overwrite)
    # The photograph as open is the one convert reads with the default options; others decode it again.
    source = options.read(state.source.path) if any(key in chosen for key in _READ_KEYS) else state.source
    bits = export_print(source, target, pipeline, options, overwrite=overwrite)
    return JSONResponse({"message": f"velkor: wrote {target} ({pipeline.name}, {bits}-bit)"}, headers=_NO_STORE)


def _open(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    source = read_image(chosen_path(body.get("path")))
    state.replace(source)
    return JSONResponse({"photo": source.path.name}, headers=_NO_STORE)


def _upload_handler(state: EditorState) -> Callable[[Request], Any]:
    async def endpoint(request: Request) -> Response:
        folder = Path(tempfile.mkdtemp(dir=state.uploads))  # each upload its own, so names never meet
        target = folder / upload_name(request.query_params.get("name", "upload"))
        try:
            await _receive(request, target)
            return await run_in_threadpool(_guarded, _open_upload, state, {"path": str(target)}, request)
        except UploadTooLargeError as error:
            target.unlink(missing_ok=True)
            return _error(413, str(error))

    return endpoint


async def _receive(request: Request, target: Path) -> None:
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > MAX_UPLOAD_BYTES:
        raise UploadTooLargeError(f"cannot read {target.name}: larger than {MAX_UPLOAD_BYTES >> 20} MB")
    received = 0
    with open(target, "xb") as stream:
        async for chunk in request.stream():
            received += len(chunk)
            if received > MAX_UPLOAD_BYTES:
                raise UploadTooLargeError(f"cannot read {target.name}: larger than {MAX_UPLOAD_BYTES >> 20} MB")
            stream.write(chunk)


def _open_upload(state: EditorState, body: dict[str, Any], request: Request) -> Response:
    source = read_image(Path(body["path"]), memory_limit=upload_memory_limit())
    state.replace(source)
    return JSONResponse({"photo": source.path.name}, headers=_NO_STORE)

