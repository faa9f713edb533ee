"""Who may talk to the editor: the page that was given the token, on the address it was served from.

A local server is still reachable from every web page the browser has
open. The token keeps other pages out (they cannot know it); the Host
check keeps out a hostile name that resolves to 127.0.0.1 (DNS
rebinding); the cookie is SameSite=Strict, and no CORS header is ever
sent, so no other origin can read an answer.
"""

from __future__ import annotations

import secrets
from collections.abc import Awaitable, Callable, MutableMapping
from http.cookies import SimpleCookie
from typing import Any
from urllib.parse import parse_qs

COOKIE = "velkor_editor"
Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]


def allowed_hosts(host: str, port: int) -> frozenset[str]:
    """The Host headers a request may carry: the bound address or localhost, with the port."""
    names = {host, "127.0.0.1", "localhost"}
    if ":" in host:
        names.add(f"[{host}]")
    return frozenset(f"{name}:{port}" for name in names if ":" not in name)


class AccessGuard:
    """ASGI middleware: every request needs the token (then its cookie) and an allowed Host."""

    def __init__(self, app: App, token: str, hosts: frozenset[str]) -> None:
        self.app, self.token, self.hosts = app, token, hosts

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {key.decode("latin-1").lower(): value.decode("latin-1") for key, value in scope["headers"]}
        if headers.get("host", "").lower() not in self.hosts:
            await _refuse(send, 421, "refused: unknown Host")
            return
        origin = headers.get("origin")
        if origin is not None and origin.split("://", 1)[-1].lower() not in self.hosts:
            await _refuse(send, 403, "refused: another origin")
            return
        from_query = self._matches(parse_qs(scope.get("query_string", b"").decode("latin-1")).get("token", [""])[0])
        if not (from_query or self._matches(_cookie(headers.get("cookie", "")))):
            await _refuse(send, 403, "forbidden: open the address velkor edit printed (it holds the token)")
            return
        if not from_query:
            await self.app(scope, receive, send)
            return

        async def send_with_cookie(message: Message) -> None:
            if message["type"] == "http.response.start":
                cookie = f"{COOKIE}={self.token}; Path=/; HttpOnly; SameSite=Strict"
                message["headers"] = [*message.get("headers", []), (b"set-cookie", cookie.encode("latin-1"))]
            await send(message)

        await self.app(scope, receive, send_with_cookie)

    def _matches(self, candidate: str) -> bool:
        return bool(candidate) and secrets.compare_digest(candidate.encode(), self.token.encode())


def _cookie(header: str) -> str:
    cookies: SimpleCookie = SimpleCookie()
    try:
        cookies.load(header)
    except Exception:  # noqa: BLE001 - a malformed cookie is no cookie
        return ""
    morsel = cookies.get(COOKIE)
    return morsel.value if morsel is not None else ""


async def _refuse(send: Send, status: int, text: str) -> None:
    body = text.encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"text/plain; charset=utf-8"),
                            (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})
