"""Reads off the server's event loop: the loop serves every page and
websocket, so a read of seconds on it would stall every other client.

Each page reads on a thread of a pool the server shares, one read at a time;
a request made while one runs replaces any other waiting request (a pan sends
dozens), and a result that a newer request has overtaken is dropped.
"""

from __future__ import annotations

import threading
from concurrent.futures import Executor
from functools import partial
from typing import Any, Callable, Optional, Tuple

Outcome = Tuple[Any, Optional[BaseException]]


class LatestRead:
    """One page's reads: `request(read, show)` runs `read()` on the pool and
    calls `show(result, error)` on the page's event loop, unless a newer
    request came meanwhile."""

    def __init__(self, doc: Any, executor: Executor) -> None:
        self.doc = doc
        self.executor = executor
        self.lock = threading.Lock()
        self.generation = 0
        self.waiting: Optional[Tuple[int, Callable[[], Any], Callable[[Any, Optional[BaseException]], None]]] = None
        self.running = False

    def request(self, read: Callable[[], Any], show: Callable[[Any, Optional[BaseException]], None]) -> None:
        with self.lock:
            self.generation += 1
            self.waiting = (self.generation, read, show)
            if self.running:
                return
            self.running = True
        self.executor.submit(self._drain)

    def _drain(self) -> None:
        while True:
            with self.lock:
                if self.waiting is None:
                    self.running = False
                    return
                generation, read, show = self.waiting
                self.waiting = None
            try:
                outcome: Outcome = (read(), None)
            except Exception as error:  # shown in the page, whatever it is
                outcome = (None, error)
            try:
                # The one Document call that is safe from another thread.
                self.doc.add_next_tick_callback(partial(self._deliver, generation, show, outcome))
            except Exception:  # the page has closed: nobody to show it to
                with self.lock:
                    self.running = False
                    self.waiting = None
                return

    def _deliver(self, generation: int, show: Callable[[Any, Optional[BaseException]], None],
                 outcome: Outcome) -> None:
        with self.lock:
            stale = generation != self.generation
        if not stale:
            show(*outcome)
