"""The signal list of the served archive, read once per server.

An inventory reads every file of the archive: on a big tree it takes seconds,
which each page load would pay again. The server reads it once, in the
background from the start, and again when a page asks (its Refresh button).
"""

from __future__ import annotations

import threading
from concurrent.futures import Executor, Future
from typing import Any, Dict, List, Optional

import zentrail
from zentrail._base import time as _time


class Catalog:
    """What `current()` gives: a Future of a dict with "signals" (the table's
    columns, with the names and units of the archive root's catalog file) and "first_ns" / "last_ns" (the span of the data, None when
    there is none; on the wall clock of `zone`, the one `tz` reads in)."""

    def __init__(self, root: str, threads: Optional[int], executor: Executor, tz: Any = None,
                 zone: Optional[_time.Zone] = None) -> None:
        self.root = root
        self.threads = threads
        self.executor = executor
        # tz= only when given: None is the inventory's own default (the zone file).
        self.zoned = {} if tz is None else {"tz": tz}
        self.zone = zone
        self.lock = threading.Lock()
        self.future: Optional[Future[Dict[str, Any]]] = None

    def current(self) -> Future[Dict[str, Any]]:
        with self.lock:
            if self.future is None:
                self.future = self.executor.submit(self.read)
            return self.future

    def refresh(self) -> Future[Dict[str, Any]]:
        with self.lock:
            if self.future is None or self.future.done():
                self.future = self.executor.submit(self.read)
            return self.future

    def read(self) -> Dict[str, Any]:
        found = zentrail.inventory(self.root, threads=self.threads, **self.zoned)
        inventory = found.to_numpy()
        labels = found.labels()
        signals: Dict[str, List[Any]] = {
            "signal_id": inventory["signal_id"].tolist(),
            "name": [name or "" for name in labels["name"]],
            "unit": [unit or "" for unit in labels["unit"]],
            "class_name": [zentrail.CLASS_NAMES[c] for c in inventory["item_class"].tolist()],
            "elements": inventory["elements"].tolist(),
            "first": _time.texts(inventory["first"], self.zone).tolist(),
            "last": _time.texts(inventory["last"], self.zone).tolist(),
            "records": inventory["records"].tolist(),
        }
        first_ns = last_ns = None
        if len(inventory["first"]):
            first, last = inventory["first"].min(), inventory["last"].max()
            if self.zone is not None:
                first, last = self.zone.wall_times([first, last])
            first_ns, last_ns = int(_time.instants_ns(first)), int(_time.instants_ns(last))
        return {"signals": signals, "first_ns": first_ns, "last_ns": last_ns}
