"""The signal list of the served archive, read once per server.

An inventory reads every file of the archive: on a big tree it takes seconds,
which each page load would pay again. The server reads it once, in the
background from the start, and again when a page asks (its Refresh button).
"""

from __future__ import annotations

import threading
from concurrent.futures import Executor, Future
from typing import Any, Dict, List, Optional, Tuple

import zentrail
from zentrail._base import time as _time
from zentrail.plot import code_label, label_of


class Catalog:
    """What `current()` gives: a Future of a dict with "signals" (the
    list's columns, with the names and units of the archive root's catalog
    file), "codes" and "alarms" (see signal_rows) and "first_ns" / "last_ns"
    (the span of the data, None when there is none; on the wall clock of
    `zone`, the one `tz` reads in)."""

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
        listing = signal_rows(inventory, found.catalog, self.zone)
        first_ns = last_ns = None
        if len(inventory["first"]):
            first, last = inventory["first"].min(), inventory["last"].max()
            if self.zone is not None:
                first, last = self.zone.wall_times([first, last])
            first_ns, last_ns = int(_time.instants_ns(first)), int(_time.instants_ns(last))
        return dict(listing, first_ns=first_ns, last_ns=last_ns)


# item_class of GrBool: a group of on/off states.
BOOLEAN_GROUP = 17


def code_kind(entry: Any, item_class: int) -> str:
    """How a code is drawn: "state" (on/off, or held without a unit: a row
    of its own in the states pane), "step" (held until the next value, such
    as a setpoint) or "line" (interpolated, and any code no entry names)."""
    if item_class == BOOLEAN_GROUP:
        return "state"
    if entry is None or entry.interpolation == "linear":
        return "line"
    return "step" if entry.unit else "state"


def signal_rows(inventory: Dict[str, Any], catalog: Any, zone: Optional[_time.Zone]) -> Dict[str, Any]:
    """The list's rows: a row per signal and, for a signal of several
    elements, a row per element below it (so that one temperature of a
    furnace's sixteen can be chosen); with "codes", each element's (kind,
    unit) by code (see code_kind), and "alarms", the ids of the alarms
    watching each name (the catalog's alarm_of column)."""
    columns: Dict[str, List[Any]] = {"key": [], "signal_id": [], "element": [], "name": [], "unit": [],
                                     "class_name": [], "elements": [], "last": [], "records": []}
    codes: Dict[int, Tuple[str, Optional[str]]] = {}
    # Minutes: the list says how recent a signal is; the trend says the rest.
    last_texts = [text[:16].replace("T", " ") for text in _time.texts(inventory["last"], zone).tolist()]

    def add(key: str, sid: int, element: int, name: str, unit: Optional[str], k: int, elements: int) -> None:
        for column, value in (("key", key), ("signal_id", sid), ("element", element), ("name", name),
                              ("unit", unit or ""), ("class_name", zentrail.CLASS_NAMES[inventory["item_class"][k]]),
                              ("elements", elements), ("last", last_texts[k]),
                              ("records", int(inventory["records"][k]))):
            columns[column].append(value)

    for k, sid in enumerate(inventory["signal_id"].tolist()):
        elements, item_class = int(inventory["elements"][k]), int(inventory["item_class"][k])
        entries = [None if catalog is None else catalog.entry(sid * 1024 + n) for n in range(max(elements, 1))]
        names = [code_label(sid * 1024 + n) if entry is None else label_of(entry, sid * 1024 + n)
                 for n, entry in enumerate(entries)]
        for n, entry in enumerate(entries[:elements]):
            codes[sid * 1024 + n] = (code_kind(entry, item_class), None if entry is None else entry.unit)
        whole = entries[0] if entries[0] is not None and entries[0].element is None else None
        if whole is not None:
            name = whole.name
        elif elements > 1:
            name = f"{names[0]} … {names[-1]}"
        else:
            name = names[0] if entries[0] is not None else ("System" if sid == 0 and elements == 0 else str(sid))
        units = sorted({entry.unit for entry in entries if entry is not None and entry.unit})
        add(str(sid), sid, -1, name, ", ".join(units), k, elements)
        if elements > 1:
            for n, entry in enumerate(entries):
                add(f"{sid}:{n}", sid, n, names[n], None if entry is None else entry.unit, k, 1)
    watching: Dict[str, List[int]] = {}
    if catalog is not None:
        try:
            watched = catalog.column("alarm_of")
        except KeyError:  # a catalog without the column: alarms are found by their own rows alone
            watched = []
        for sid, name in zip(catalog.column("signal_id"), watched):
            if name:
                watching.setdefault(str(name), []).append(int(sid))
    return {"signals": columns, "codes": codes, "alarms": watching}
