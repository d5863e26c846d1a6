"""zentrail.viewer: a trend viewer in the browser, served by Bokeh on 127.0.0.1.

``check(root, start, end)`` raises on what would make the viewer useless
(a missing root, a bad bound) before anything is served; ``serve(...)`` checks
the same, then serves until Ctrl-C or SIGTERM. The page needs the token
printed in its address (see ``_access``); the browser it starts is given a
private file that holds it, never the address itself (see ``_launch``).
Bokeh ships its JavaScript in its wheel, so the page needs no network.

Read in a zone (``tz=`` as zentrail.scan takes it; None: the zone file in
the root, if any), the page's time axis is the zone's wall clock, labelled
with it: each view is read as the instants its wall times cover.
"""

from __future__ import annotations

import contextlib
import errno
import os
import signal
import socket
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from functools import partial
from typing import Any, Iterator, Optional, Tuple

from zentrail._base import time as _time

from ._catalog import Catalog
from ._page import TrendApp, bokeh_modules, view_window

__all__ = ["check", "serve", "TrendApp", "view_window"]

# Reads in flight at once, over all pages (each page has at most one).
READ_WORKERS = 4


def check(root: str, start: Optional[str] = None, end: Optional[str] = None,
          tz: Any = None) -> Tuple[Optional[int], Optional[int]]:
    """The first and last times (ns) of the window given, on the time axis
    (wall times of the zone, if any), or FileNotFoundError /
    NotADirectoryError for the root and ValueError for the bounds (named
    --from and --to) or the zone."""
    if not os.path.exists(root):
        raise FileNotFoundError(errno.ENOENT, f"no archive folder {root!r}", root)
    if not os.path.isdir(root):
        raise NotADirectoryError(errno.ENOTDIR, f"{root!r} is not a folder", root)
    zone = zone_of(root, tz)
    start_bound = None if start is None else _time.bound_in(zone, start, "--from", False)
    end_bound = None if end is None else _time.bound_in(zone, end, "--to", True)
    if start_bound is not None and end_bound is not None:
        _time.check_order(start_bound, end_bound, start, end, ("--from", "--to"))
    first = None if start_bound is None else _time.first_ns(start_bound)
    last = None if end_bound is None else _time.last_ns(end_bound)
    if zone is None:
        return first, last
    return (None if first is None else zone.wall_ns(first), None if last is None else zone.wall_ns(last))


def zone_of(root: str, tz: Any) -> Optional[_time.Zone]:
    """The zone the viewer reads `root` in: `tz` as zentrail.scan takes it."""
    import zentrail

    zone: Optional[_time.Zone] = zentrail.scan(root, "0001-01-01", "9999-12-31", catalog=False, tz=tz).plan.zone
    return zone


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@contextlib.contextmanager
def stopped_by_sigterm() -> Iterator[None]:
    """SIGTERM ends the serving as Ctrl-C does, through the cleanup that
    removes the browser's private file (exit status 143, as by the signal)."""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread may set handlers
        return

    def terminated(signum: int, frame: Any) -> None:
        raise SystemExit(128 + signum)

    previous = signal.signal(signal.SIGTERM, terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def serve(root: str, port: int = 0, open_browser: bool = True, start: Optional[str] = None,
          end: Optional[str] = None, threads: Optional[int] = None, token: bool = True, live: bool = False,
          poll: Any = "1s", tz: Any = None) -> None:
    """Serves the viewer on 127.0.0.1 until Ctrl-C; with `token` False, to
    any program on this machine that names the address. With `live`, each
    page keeps its window's right edge at the newest data, reading it again
    every `poll`, until its user looks at the past (see _live). Reads in
    the zone `tz` as zentrail.scan does."""
    first_ns, last_ns = check(root, start, end, tz)
    zone = zone_of(root, tz)
    poll_seconds = _time.duration_seconds(poll, "poll")
    (server_module,) = bokeh_modules("bokeh.server.server")
    from . import _access, _launch

    port = port or free_port()
    secret = _access.new_token() if token else None
    address = f"http://127.0.0.1:{port}/" + (f"?{_access.TOKEN_ARGUMENT}={secret}" if secret else "")
    executor = ThreadPoolExecutor(max_workers=READ_WORKERS, thread_name_prefix="zentrail-view")
    catalog = Catalog(root, threads, executor, tz, zone)
    catalog.current()  # read from the start: the first page then finds it (nearly) ready

    def page(doc: Any) -> None:
        TrendApp(doc, root, first_ns, last_ns, threads, catalog, executor, live, poll_seconds, tz, zone)

    server = server_module.Server(
        {"/": page}, address="127.0.0.1", port=port, num_procs=1,
        allow_websocket_origin=sorted(_access.allowed_hosts(port)),
        auth_provider=_access.TokenAuth(port, secret),
        transforms=[partial(_access.ResponseGuard, port)],
        # The session data Bokeh hands the page (which its scripts can read)
        # carries no request header nor cookie, so not the token's: the app reads none.
        include_headers=[], include_cookies=[])
    server.start()
    opener = None
    with stopped_by_sigterm():
        try:
            # The user's own terminal: the address with the token, to copy.
            print(f"zentrail view: {address} (Ctrl-C stops it)", flush=True)
            if open_browser:
                opener = _launch.BrowserOpener(address)
                opener.open()
            server.io_loop.start()
        finally:
            server.stop()
            executor.shutdown(wait=False, cancel_futures=True)
            if opener is not None:
                opener.remove()
            sys.stdout.flush()
