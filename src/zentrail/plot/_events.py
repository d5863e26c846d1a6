"""The events of a trend's window, and the few of them worth a marker.

An archive logs System records by the hundred thousand: a marker each would
cost the browser seconds per redraw and show nothing a marker per pixel
column does not. The alarms of the chosen signals are few and each one
matters, so they are all drawn.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional

import zentrail

SYSTEM_CLASS = 0  # item_class of the System records (zentrail.CLASS_NAMES[0])


def window_events(root: Any, start: str, end: str, ids: Optional[Iterable[int]],
                  threads: Optional[int] = None) -> Dict[str, Any]:
    """The alarm and system events of the window (of `ids`' alarms, and System records)."""
    return zentrail.events(root, start, end, None if ids is None else sorted(set(ids)), threads=threads).to_numpy()


def marker_rows(events: Dict[str, Any], first_ns: int, last_ns: int, pixels: int) -> Any:
    """The rows of `events` to draw as markers, in time order: every alarm,
    and the first System record of each of `pixels` columns between
    `first_ns` and `last_ns` (those outside the window, none)."""
    import numpy

    system = events["item_class"] == SYSTEM_CLASS
    # Floats: a bound's instants reach past what an int64 of nanoseconds holds.
    span = float(max(1, last_ns - first_ns))
    column = numpy.floor((events["time"].astype(numpy.int64).astype(numpy.float64) - float(first_ns))
                         / span * pixels)
    inside = (column >= 0) & (column < pixels)
    system_rows = numpy.flatnonzero(system & inside)
    _, first_of_column = numpy.unique(column[system_rows], return_index=True)
    keep = numpy.zeros(len(system), dtype=bool)
    keep[~system] = True
    keep[system_rows[first_of_column]] = True
    return numpy.flatnonzero(keep)


def event_labels(events: Dict[str, Any], rows: Any = None) -> List[str]:
    """A text per event ("12 AlByte Came text"), of `rows` only if given."""
    fields = [events[name] if rows is None else events[name][rows]
              for name in ("signal_id", "class_name", "subtype_name", "text")]
    return [f"{sid} {cls} {sub}" + (f" {text}" if text else "")
            for sid, cls, sub, text in zip(*(f.tolist() for f in fields))]
