"""The editor's server without a browser: who may ask, what it may read and write, and placement."""

from __future__ import annotations

import dataclasses
import io
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

pytest.importorskip("starlette", reason="the editor extra (velkor[editor]) is not installed")
from starlette.testclient import TestClient  # noqa: E402

import velkor  # noqa: E402
from velkor.editor import app as editor_app  # noqa: E402
from velkor.editor.app import build_app  # noqa: E402
from velkor.editor.placement import placed  # noqa: E402
from velkor.editor.print_zones import zone_of_luminance, zone_value_of_display  # noqa: E402
from velkor.editor.state import EditorState  # noqa: E402

TOKEN = "secret-token"
PORT = 8765


@pytest.fixture
def served(tmp_path: Path) -> tuple[TestClient, Path]:
    photo = tmp_path / "photo.png"
    Image.fromarray(np.random.default_rng(1).integers(0, 255, (60, 80, 3), dtype=np.uint8)).save(photo)
    (tmp_path / "uploads").mkdir()
    state = EditorState(velkor.read_image(photo), velkor.Pipeline(), None, tmp_path / "uploads")
    client = TestClient(build_app(state, TOKEN, "127.0.0.1", PORT), base_url=f"http://127.0.0.1:{PORT}")
    assert client.get(f"/?token={TOKEN}").status_code == 200  # sets the cookie
    return client, photo


@pytest.mark.parametrize(("headers", "query", "cookie", "status"), [
    ({}, "", False, 403),
    ({}, "?token=wrong", False, 403),
    ({}, f"?token={TOKEN}", False, 200),
    ({}, "", True, 200),
    ({"host": "evil.example:8765"}, f"?token={TOKEN}", True, 421),  # DNS rebinding
    ({"host": f"127.0.0.1:{PORT + 1}"}, "", True, 421),
    ({"host": f"localhost:{PORT}"}, "", True, 200),
    ({"origin": "http://evil.example"}, "", True, 403),
])
def test_requests_need_the_token_or_its_cookie_and_a_known_host(
    tmp_path: Path, headers: dict[str, str], query: str, cookie: bool, status: int
) -> None:
    state = EditorState(velkor.read_image(velkor.sample_path()), velkor.Pipeline(), None, tmp_path)
    client = TestClient(build_app(state, TOKEN, "127.0.0.1", PORT), base_url=f"http://127.0.0.1:{PORT}")
    if cookie:
        client.get(f"/?token={TOKEN}")
    else:
        client.cookies.clear()
    response = client.get(f"/api/session{query}", headers=headers)
    assert response.status_code == status
    assert not any(name.lower().startswith("access-control-") for name in response.headers)
    if query == f"?token={TOKEN}" and status == 200:
        assert "httponly" in response.headers["set-cookie"].lower()
        assert "samesite=strict" in response.headers["set-cookie"].lower()


def test_save_never_writes_over_an_input_and_replaces_only_when_confirmed(served: tuple[TestClient, Path]) -> None:
    client, photo = served
    recipe = client.get("/api/session").json()["recipe"]
    target = photo.with_name("look.toml")
    assert client.post("/api/save", json={"recipe": recipe, "path": str(target)}).status_code == 200
    refused = client.post("/api/save", json={"recipe": recipe, "path": str(target)})
    assert (refused.status_code, refused.json()["confirm"]) == (409, True)
    recipe["conversion"]["exposure"] = 0.5
    assert client.post("/api/save", json={"recipe": recipe, "path": str(target), "overwrite": True}).status_code == 200
    assert velkor.load_recipe(target).exposure == 0.5
    original = photo.read_bytes()
    over_input = client.post("/api/export", json={"recipe": recipe, "path": str(photo), "overwrite": True})
    assert (over_input.status_code, over_input.json()["confirm"]) == (409, False)
    assert photo.read_bytes() == original
    assert sorted(p.name for p in photo.parent.iterdir()) == ["look.toml", "photo.png", "uploads"]


def _png_claiming(width: int, height: int) -> bytes:
    buffer = io.BytesIO()
    Image.new("1", (width, height)).save(buffer, format="PNG")
    return buffer.getvalue()


def _damaged_jpeg() -> bytes:
    buffer = io.BytesIO()
    Image.new("RGB", (64, 64), "red").save(buffer, format="JPEG")
    return buffer.getvalue()[:300]


@pytest.mark.parametrize(("name", "payload", "limit", "status", "message"), [
    pytest.param("big.png", _png_claiming(64, 64), 50, 413, "larger than", id="too-large"),
    pytest.param("bomb.png", _png_claiming(15000, 13000), None, 400, "more than the memory limit", id="bomb"),
    pytest.param("damaged.jpg", _damaged_jpeg(), None, 400, "cannot read", id="damaged"),
    pytest.param("notes.txt", b"hello", None, 400, "unsupported input format", id="not-a-photo"),
])
def test_hostile_uploads_are_refused_with_a_message_and_the_photo_stays(
    served: tuple[TestClient, Path], monkeypatch: pytest.MonkeyPatch,
    name: str, payload: bytes, limit: int | None, status: int, message: str,
) -> None:
    client, _ = served
    if limit is not None:
        monkeypatch.setattr(editor_app, "MAX_UPLOAD_BYTES", limit)
    response = client.post(f"/api/upload?name=../../{name}", content=payload)
    assert response.status_code == status
    assert message in response.json()["error"]
    assert client.get("/api/session").json()["photo"] == "photo.png"


def test_an_upload_opens_through_the_readers_under_a_harmless_name(served: tuple[TestClient, Path]) -> None:
    client, photo = served
    response = client.post("/api/upload?name=../../etc/passwd.png", content=photo.read_bytes())
    assert response.json() == {"photo": "passwd.png"}
    assert not (photo.parent.parent / "etc").exists()


@pytest.mark.parametrize("zone", [2, 5, 8])
@pytest.mark.parametrize("recipe", [velkor.Pipeline(), velkor.PRESETS["high-contrast-street"]])
def test_placement_prints_the_metered_tone_in_the_middle_of_the_zone(recipe: velkor.Pipeline, zone: int) -> None:
    scene = 0.05  # linear grey before exposure; the meter reads it at the recipe's exposure
    moved = placed(recipe, scene * 2.0**recipe.exposure, zone)
    assert dataclasses.replace(moved, exposure=recipe.exposure) == recipe  # only the exposure moved
    flat = dataclasses.replace(moved, strength=0.0)
    display = flat.tone(np.full((1, 1, 1), scene * 2.0**moved.exposure, dtype=np.float32))[0, 0, 0]
    assert zone_of_luminance(float(velkor.srgb_to_linear(np.float32([display]))[0])) == zone
    assert abs(zone_value_of_display(float(display)) - zone) < 0.01


def test_placement_out_of_reach_is_a_recipe_error() -> None:
    with pytest.raises(velkor.RecipeError, match="out of reach"):
        placed(velkor.Pipeline(), 1e-9, 10)


def test_edit_without_its_extra_names_the_extra_and_fails() -> None:
    code = "import sys; sys.modules['uvicorn'] = None; from velkor.cli.main import main; sys.exit(main(['edit']))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 8
    assert result.stderr.strip().splitlines() == [
        "velkor: error: the editor needs its web server (uvicorn is missing): pip install 'velkor[editor]'"]
