"""The server of `tesvo serve`: a Starlette application over the served fonts. Every request
carries the token and names the server's own host; fonts are addressed by their place in the
served list, never by a path. The page is pushed an event when a font changes on disk."""

from __future__ import annotations

import asyncio
import hmac
import json
import time
from collections.abc import AsyncIterator, Awaitable, Callable, MutableMapping, Sequence
from contextlib import asynccontextmanager
from importlib import resources
from typing import Any
from urllib.parse import parse_qs

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, PlainTextResponse, Response, StreamingResponse
from starlette.routing import Route

from tesvo.errors import FontError, OptionError, ShapeError
from tesvo.serve.fonts import ServedFont
from tesvo.serve.shaping import Shaper, public, settings

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

POLL_SECONDS = 0.2  # how often the fonts' files are looked at
ASSETS = {"serve.js": "text/javascript", "serve.css": "text/css"}  # every file the page loads
MAX_BODY = 1 << 20  # bytes of a request's body; the text's own limit is far below


def own_hosts(host: str, port: int) -> frozenset[str]:
    """The Host headers that name this server: its address, and for loopback its other names."""
    names = {host}
    if host in ("127.0.0.1", "localhost", "::1"):
        names.update(("127.0.0.1", "localhost", "[::1]"))
    return frozenset(f"{name}:{port}" for name in names)


class Guard:
    """Refuses (403) a request without the token, or whose Host or Origin is not the server's
    own: another site's page cannot reach the server, by its name or by rebinding one."""

    def __init__(self, app: ASGIApp, token: str, hosts: frozenset[str]) -> None:
        self.app, self.token, self.hosts = app, token, hosts

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        why = self._refusal(scope) if scope["type"] in ("http", "websocket") else None
        if why is None:
            await self.app(scope, receive, send)
        elif scope["type"] == "websocket":
            await send({"type": "websocket.close", "code": 1008, "reason": why})
        else:
            await PlainTextResponse(f"tesvo serve: {why}", status_code=403)(scope, receive, send)

    def _refusal(self, scope: Scope) -> str | None:
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope["headers"]}
        if headers.get("host") not in self.hosts:
            return "this server answers only to its own address"
        origin = headers.get("origin")
        if origin is not None and origin.removeprefix("http://") not in self.hosts:
            return "requests from other sites are refused"
        given = parse_qs(scope.get("query_string", b"").decode("latin-1")).get("token", [""])[0]
        given = headers.get("x-tesvo-token", given)
        if not hmac.compare_digest(given.encode(), self.token.encode()):
            return "a request needs the token of the address the server printed"
        return None


class Watcher:
    """Polls the served files; each page's event stream is told when one changed."""

    def __init__(self, fonts: Sequence[ServedFont]) -> None:
        self.fonts = fonts
        self.listeners: set[asyncio.Queue[str]] = set()

    async def run(self) -> None:
        while True:
            await asyncio.sleep(POLL_SECONDS)
            for served in self.fonts:
                if await run_in_threadpool(served.poll):
                    event = json.dumps({"font": served.number, "generation": served.build.generation,
                                        "error": served.error})
                    for queue in self.listeners:
                        queue.put_nowait(event)


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def _message(status: int, text: str) -> JSONResponse:
    return JSONResponse({"message": " ".join(text.split())}, status_code=status)


async def _json_body(request: Request) -> Any:
    body = await request.body()
    if len(body) > MAX_BODY:
        raise ValueError(f"the request has {len(body):,} bytes: at most {MAX_BODY:,} are read")
    try:
        return json.loads(body)
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"the request is not JSON: {e}") from None


def build_app(fonts: Sequence[ServedFont], token: str, hosts: frozenset[str]) -> ASGIApp:
    """The application for the served fonts, behind its guard."""
    shaper = Shaper(fonts)
    watcher = Watcher(fonts)
    lock = asyncio.Lock()  # one request shaped at a time: the engines' state is per font

    async def page(request: Request) -> Response:
        html = _asset("page.html").replace("{{token}}", token)
        return HTMLResponse(html, headers={"Cache-Control": "no-store"})

    async def asset(request: Request) -> Response:
        name = request.path_params["name"]
        if name not in ASSETS:
            return PlainTextResponse("tesvo serve: no such file", status_code=404)
        return Response(_asset(name), media_type=ASSETS[name], headers={"Cache-Control": "no-store"})

    async def facts(request: Request) -> Response:
        faces = request.query_params.get("faces", "")
        try:
            chosen = [int(f) for f in faces.split(",")] if faces else [0] * len(fonts)
            if len(chosen) != len(fonts):
                raise ValueError(f"faces must list a face index for each of the {len(fonts)} fonts")
            return JSONResponse({"fonts": [await run_in_threadpool(f.facts, n) for f, n in zip(fonts, chosen)]})
        except (ValueError, FontError) as e:
            return _message(400, str(e))

    async def shape(request: Request) -> Response:
        try:
            wanted = settings(await _json_body(request), len(fonts))
        except ValueError as e:
            return _message(400, str(e))
        async with lock:
            started = time.perf_counter()
            try:
                payload = await run_in_threadpool(shaper.shape, wanted)
            except (FontError, OptionError, ShapeError, ValueError) as e:
                return _message(400, str(e))
            payload["ms"] = round((time.perf_counter() - started) * 1000, 2)
        return JSONResponse(public(payload))

    async def engine_steps(request: Request) -> Response:
        try:
            number = int(request.query_params.get("font", ""))
        except ValueError:
            return _message(400, "font must be the index of a served font")
        async with lock:
            return JSONResponse(shaper.engine_trace(number, request.query_params.get("engine", "")))

    async def report(request: Request) -> Response:
        from tesvo.serve.reports import render  # the reports' fontTools and Jinja2, when asked

        try:
            # The page's form, urlencoded (Starlette's own form reading needs python-multipart).
            body = await request.body()
            if len(body) > MAX_BODY:
                raise ValueError(f"the request has {len(body):,} bytes: at most {MAX_BODY:,} are read")
            form = parse_qs(body.decode("utf-8", "replace"))
            wanted = settings(json.loads(form.get("settings", ["{}"])[0]), len(fonts))
            which = form.get("kind", ["trace"])[0]
            return HTMLResponse(await run_in_threadpool(render, which, fonts, wanted))
        except (ValueError, FontError, OptionError, ShapeError) as e:
            return PlainTextResponse(f"tesvo serve: {' '.join(str(e).split())}", status_code=400)

    async def events(request: Request) -> Response:
        queue: asyncio.Queue[str] = asyncio.Queue()
        watcher.listeners.add(queue)

        async def stream() -> AsyncIterator[str]:
            try:
                yield "retry: 500\n\n"
                while True:
                    try:
                        event = await asyncio.wait_for(queue.get(), 15)
                        yield f"event: font\ndata: {event}\n\n"
                    except asyncio.TimeoutError:
                        yield ": still here\n\n"
            finally:
                watcher.listeners.discard(queue)

        return StreamingResponse(stream(), media_type="text/event-stream", headers={"Cache-Control": "no-store"})

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        task = asyncio.create_task(watcher.run())
        try:
            yield
        finally:
            task.cancel()

    app = Starlette(routes=[
        Route("/", page), Route("/assets/{name}", asset), Route("/api/fonts", facts),
        Route("/api/shape", shape, methods=["POST"]), Route("/api/steps", engine_steps),
        Route("/report", report, methods=["POST"]), Route("/events", events),
    ], lifespan=lifespan)
    return Guard(app, token, hosts)
