"""`tesvo serve`: a live workbench in the browser over the fonts it is given.

The server shapes, the page draws: each keystroke, toggle or slider sends the page's
settings (`/api/shape`), and every served font comes back shaped by the port with its trace
and by the other engines (HarfBuzz through uharfbuzz, HarfRust through pyharfrust2), as the
lists the page draws, with the clusters where they differ and the step where their traces
part. The fonts' files are watched (`fonts`), and the page is told of a rebuild by an event
stream and shapes again. The server (`app`) answers only to its own address and the token it
prints; `shaping` turns a request into what the page draws; `reports` writes the static
pages it links to; `page.html`, `serve.js` and `serve.css` are the page.
"""

from __future__ import annotations

import secrets
import socket
import webbrowser
from collections.abc import Callable, Sequence

from tesvo.errors import OptionError
from tesvo.serve.fonts import ServedFont

__all__ = ["serve"]


def _modules() -> None:
    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError:
        raise OptionError("tesvo serve needs Starlette and uvicorn: pip install 'tesvo[serve]'") from None


def _bound(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # Answers go out at once (the connections accepted inherit it): a response written in two
    # parts would otherwise wait for the client's delayed acknowledgement.
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        sock.bind((host, port))
    except OSError as e:
        sock.close()
        raise OptionError(f"cannot listen on {host}:{port}: {e.strerror or e}") from None
    sock.listen(64)
    return sock


def serve(paths: Sequence[str], *, host: str = "127.0.0.1", port: int = 0, browser: bool = True,
          say: Callable[[str], None] = print) -> None:
    """Serves the fonts at `paths` until interrupted: says the page's address (with its token)
    in one line, and opens it in the browser unless `browser` is False. Port 0 takes a free
    port."""
    _modules()
    import uvicorn

    from tesvo.serve.app import build_app, own_hosts

    fonts = [ServedFont(k, path) for k, path in enumerate(paths)]
    sock = _bound(host, port)
    bound = sock.getsockname()[1]
    token = secrets.token_urlsafe(24)
    shown = f"[{host}]" if ":" in host else host
    app = build_app(fonts, token, own_hosts(shown, bound))
    url = f"http://{shown}:{bound}/?token={token}"
    say(f"tesvo serve: {url}")
    if browser:
        webbrowser.open(url)
    config = uvicorn.Config(app, log_level="warning", timeout_graceful_shutdown=1, lifespan="on")
    uvicorn.Server(config).run(sockets=[sock])
