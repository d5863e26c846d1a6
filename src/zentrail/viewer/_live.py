"""Live mode of a page: the window's right edge kept at the newest data.

Every poll the page asks for the newest value of what it draws (of every
code when nothing is chosen) and moves the window to end just after it,
keeping its span, and reads it again, so that values the runtime has just
written appear within a poll and a read. The newest data, not the clock:
a plant's clock may run ahead of or behind this machine's (another zone, a
clock never set), and a window at this machine's present would show nothing
of it. Only when nothing has been read yet does the clock stand in. A move
the page did not make itself (the user panning or zooming) that leaves the
right edge before the newest data ends live mode; one that keeps it there
(zooming in or out at the edge) keeps it, with the new span. The Live
button turns it on again. In a zone, times are the zone's wall clock, as
the page's axis is.
"""

from __future__ import annotations

from typing import Optional, Tuple

from zentrail._base import time as _time

# How far behind the newest data the right edge may be and still count as
# at it: a poll's move, and what a read and the browser's round trip take.
SLACK_MS = 2_000.0
DEFAULT_SPAN_MS = 3_600_000.0
# Room right of the newest value, in parts of the span: it is seen, not on the frame's edge.
MARGIN = 0.02


class LiveEdge:
    def __init__(self, on: bool, poll_seconds: float, zone: Optional[_time.Zone] = None) -> None:
        self.on = on
        self.zone = zone
        self.poll_ms = poll_seconds * 1000.0
        self.placed: Optional[Tuple[float, float]] = None  # the window this mode set last
        self.newest_ms: Optional[float] = None  # the newest data's time on the axis, once read

    def present_ms(self) -> float:
        """Where the live edge is: the newest data, else the clock."""
        if self.newest_ms is not None:
            return self.newest_ms
        if self.zone is None:
            return _time.now_ns() / 1e6
        import time

        return self.zone.wall_ns(time.time_ns()) / 1e6

    def window(self, start_ms: Optional[float], end_ms: Optional[float]) -> Tuple[float, float]:
        """The window of the same span (an hour when there is none) ending
        just after the newest data; remembered as the page's own move."""
        span = DEFAULT_SPAN_MS if start_ms is None or end_ms is None or end_ms <= start_ms else end_ms - start_ms
        end = self.present_ms() + MARGIN * span
        self.placed = (end - span, end)
        return self.placed

    def moved_by_user(self, start_ms: float, end_ms: float) -> bool:
        """Whether a change of the window is not the one this mode made."""
        return self.placed is None or (start_ms, end_ms) != self.placed

    def leaves(self, end_ms: float) -> bool:
        """Whether a window the user chose, ending at `end_ms`, leaves live mode."""
        return end_ms < self.present_ms() - max(SLACK_MS, 2 * self.poll_ms)
