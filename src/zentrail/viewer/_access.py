"""Who may use the viewer: a browser on this machine that holds its token.

Listening on 127.0.0.1 keeps other machines out, but not other users of this
machine, nor a web page in the user's own browser: any site may make the
browser request http://127.0.0.1:PORT/, and through DNS rebinding a site's
own name may come to point there. So, as notebook servers do:

- the page and its websocket need a random token, given in the address
  printed at start (``?token=...``) and kept in a cookie for that port, which
  the browser sends to nobody else;
- no script of the page can read the token: the cookie is HttpOnly, the
  address that brings the token answers with a page that only sets the
  cookie and moves on to the same address without it (sending no Referer),
  and the session data Bokeh hands the page carries no header or cookie;
- the Host header must name the bound address (127.0.0.1:PORT or
  localhost:PORT), which a rebound foreign name does not;
- no response allows other origins to read it (Bokeh's autoload.js would
  answer any origin with ``Access-Control-Allow-Origin``).
"""

from __future__ import annotations

import hmac
import html
import secrets
import urllib.parse
from typing import Any, FrozenSet, Optional

# This module is the viewer's, imported when it serves: the view extra is there
# (a type checker of an install without it takes these as unknown).
from bokeh.server.auth_provider import AuthProvider  # type: ignore[import-not-found, unused-ignore]
from bokeh.server.views.doc_handler import DocHandler  # type: ignore[import-not-found, unused-ignore]
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


def address_without_token(path: str, query: str) -> str:
    """The page's address with the token argument dropped, the others kept;
    always a path on this server (a leading "//" would name another host)."""
    kept = [(name, value) for name, value in urllib.parse.parse_qsl(query, keep_blank_values=True)
            if name != TOKEN_ARGUMENT]
    return "/" + path.lstrip("/") + ("?" + urllib.parse.urlencode(kept) if kept else "")


def moving_on_page(target: str) -> str:
    """A page that only sends the browser on to `target` (sending no Referer)."""
    target = html.escape(target, quote=True)
    return ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><meta name="referrer" content="no-referrer">\n'
            f'<meta http-equiv="refresh" content="0;url={target}"><title>zentrail view</title></head>\n'
            f'<body><p><a href="{target}">Open the zentrail viewer</a></p></body></html>\n')


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
        if self.token is not None and from_address and not isinstance(handler, WebSocketHandler):
            handler.set_cookie(cookie, self.token, httponly=True, samesite="Strict", path="/")
            if isinstance(handler, DocHandler):
                leave_token_address(handler)  # finished here: Tornado then skips the handler's get()
        return "viewer"

    @property
    def get_user_async(self) -> Any:
        return self.check

    @property
    def get_login_url(self) -> Any:
        # Never reached (check refuses with 403 rather than asking to log in),
        # but Bokeh wants one where users are checked.
        return lambda handler: "/"


def leave_token_address(handler: Any) -> None:
    """Answers the page's address with the token by a page that moves on to
    the address without it, so that the token is not in the location, the
    history, the Referer or the session data of the page the user sees. The
    page moved to is loaded by this one, from the same site: the browser
    sends it the Strict cookie, which it would not after a redirect from an
    address another site or a file gave."""
    handler.set_header("Content-Type", "text/html; charset=utf-8")
    handler.set_header("Cache-Control", "no-store")
    handler.set_header("Referrer-Policy", "no-referrer")
    handler.finish(moving_on_page(address_without_token(handler.request.path, handler.request.query)))


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
