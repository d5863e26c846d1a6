"""Who may use the viewer: a browser on this machine that holds its token.

Listening on 127.0.0.1 keeps other machines out, but not other users of this
machine, nor a web page in the user's own browser: any site may make the
browser request http://127.0.0.1:PORT/, and through DNS rebinding a site's
own name may come to point there. So, as notebook servers do:

- the page and its websocket need a random token, given in the address
  printed at start (``?token=...``) and kept in a cookie for that port, which
  the browser sends to nobody else;
- the Host header must name the bound address (127.0.0.1:PORT or
  localhost:PORT), which a rebound foreign name does not;
- no response allows other origins to read it (Bokeh's autoload.js would
  answer any origin with ``Access-Control-Allow-Origin``).
"""

from __future__ import annotations

import hmac
import secrets
from typing import Any, FrozenSet, Optional

# This module is the viewer's, imported when it serves: the view extra is there
# (a type checker of an install without it takes these as unknown).
from bokeh.server.auth_provider import AuthProvider  # type: ignore[import-not-found, unused-ignore]
from tornado.web import HTTPError, OutputTransform  # type: ignore[import-not-found, unused-ignore]
from tornado.websocket import WebSocketHandler  # type: ignore[import-not-found, unused-ignore]

TOKEN_ARGUMENT = "token"


def new_token() -> str:
    return secrets.token_urlsafe(24)


def cookie_name(port: int) -> str:
    # Cookies are kept per host, not per port: each viewer names its own.
    return f"zentrail-view-{port}"


def allowed_hosts(port: int) -> FrozenSet[str]:
    return frozenset({f"127.0.0.1:{port}", f"localhost:{port}"})


def refused_reason(host: str, port: int, token: Optional[str], given: Optional[str]) -> Optional[str]:
    """Why a request with Host `host` and token `given` is refused (None: allowed)."""
    if host.lower() not in allowed_hosts(port):
        return f"Host {host!r} is not this viewer's address"
    if token is not None and not (given and hmac.compare_digest(given.encode(), token.encode())):
        return "the token is missing or wrong: open the address the viewer printed at start"
    return None


class TokenAuth(AuthProvider):
    """Refuses (HTTP 403) every page, session and websocket request without
    the Host or the token, and stores a good token from the address in a
    cookie for the requests that follow."""

    def __init__(self, port: int, token: Optional[str]) -> None:
        self.port = port
        self.token = token
        super().__init__()

    # Checked in the handlers' prepare step (hence async), which runs before
    # a websocket's handshake is answered: a refused one never opens.
    async def check(self, handler: Any) -> str:
        cookie = cookie_name(self.port)
        given = handler.get_query_argument(TOKEN_ARGUMENT, None)
        from_address = given is not None
        if given is None:
            given = handler.get_cookie(cookie)
        reason = refused_reason(handler.request.host or "", self.port, self.token, given)
        if reason is not None:
            raise HTTPError(403, reason=reason)
        # Bokeh's page opens its websocket with the page's own query (the token in it).
        if self.token is not None and from_address and not isinstance(handler, WebSocketHandler):
            handler.set_cookie(cookie, self.token, httponly=True, samesite="Strict", path="/")
        return "viewer"

    @property
    def get_user_async(self) -> Any:
        return self.check

    @property
    def get_login_url(self) -> Any:
        # Never reached (check refuses with 403 rather than asking to log in),
        # but Bokeh wants one where users are checked.
        return lambda handler: "/"


class ResponseGuard(OutputTransform):
    """Applied to every response: other origins are not allowed to read it,
    and one asked for under a foreign Host (Bokeh's static files and other
    handlers that check no user) becomes a 403 with nothing in it. Tornado
    makes one per request: give it as ``functools.partial(ResponseGuard, port)``."""

    def __init__(self, port: int, request: Any) -> None:
        super().__init__(request)
        self.foreign = (request.host or "").lower() not in allowed_hosts(port)

    def transform_first_chunk(self, status_code: int, headers: Any, chunk: bytes, finishing: bool) -> Any:
        for name in ("Access-Control-Allow-Origin", "Access-Control-Allow-Credentials",
                     "Access-Control-Allow-Headers", "Access-Control-Allow-Methods"):
            if name in headers:
                del headers[name]
        if self.foreign:
            for name in list(headers):
                if name not in ("Date", "Server"):
                    del headers[name]
            headers["Content-Length"] = "0"
            return 403, headers, b""
        return status_code, headers, chunk

    def transform_chunk(self, chunk: bytes, finishing: bool) -> bytes:
        return b"" if self.foreign else chunk
