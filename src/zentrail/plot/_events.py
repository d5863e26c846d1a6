"""The events of a trend's window, and the few of them worth a marker.

An archive logs System records by the hundred thousand, and a chattering
alarm by the million: a marker each would cost the server and the browser
seconds per redraw and show nothing that a marker per pixel column does not.
So System records get one marker per pixel column, and the alarms of each id
(drawn on a line of their own) one per pixel column of that line.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional

import zentrail

SYSTEM_CLASS = 0  # item_class of the System records (zentrail.CLASS_NAMES[0])


def window_events(root: Any, start: str, end: str, ids: Optional[Iterable[int]],
                  threads: Optional[int] = None, errors: str = "raise",
                  skipped: Optional[List[Any]] = None, tz: Any = None) -> Dict[str, Any]:
    """The alarm and system events of the window (of `ids`' alarms, and
    System records); damaged files passed over as for lines(); read in the
    zone `tz` as lines() reads, the zone file's when None."""
    # tz= only when given: None is the read's own default (the zone file).
    zoned = {} if tz is None else {"tz": tz}
    events = zentrail.events(root, start, end, None if ids is None else sorted(set(ids)), threads=threads,
                             errors=errors, **zoned)
    columns = events.to_numpy()
    if skipped is not None:
        skipped.extend(events.skipped)
    return columns


# A marker's place: its pixel column, times a line number above every id's
# (uint16) and System's own line.
SYSTEM_LINE = 1 << 16
LINES = 1 << 17


def marker_rows(events: Dict[str, Any], first_ns: int, last_ns: int, pixels: int) -> Any:
    """The rows of `events` to draw as markers, in read order: of the
    `pixels` columns between `first_ns` and `last_ns`, the first System
    record of each column and the first alarm of each column and id (those
    outside the window, none). At most `pixels` times the ids plus one."""
    import numpy

    system = events["item_class"] == SYSTEM_CLASS
    # Floats: a bound's instants reach past what an int64 of nanoseconds holds.
    span = float(max(1, last_ns - first_ns))
    column = numpy.floor((events["time"].astype(numpy.int64).astype(numpy.float64) - float(first_ns))
                         / span * pixels)
    inside = numpy.flatnonzero((column >= 0) & (column < pixels))
    line = numpy.where(system[inside], SYSTEM_LINE, events["signal_id"][inside].astype(numpy.int64))
    _, first_of_place = numpy.unique(column[inside].astype(numpy.int64) * LINES + line, return_index=True)
    return numpy.sort(inside[first_of_place])


def event_labels(events: Dict[str, Any], rows: Any = None) -> List[str]:
    """A text per event ("12 AlByte Came text"), of `rows` only if given."""
    fields = [events[name] if rows is None else events[name][rows]
              for name in ("signal_id", "class_name", "subtype_name", "text")]
    return [f"{sid} {cls} {sub}" + (f" {text}" if text else "")
            for sid, cls, sub, text in zip(*(f.tolist() for f in fields))]
