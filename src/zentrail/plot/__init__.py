"""zentrail.plot: trends drawn from overviews, for `zentrail plot` and the viewer.

``lines`` reads the line of each code at a plot's pixel width (the overview's
envelope, or the values themselves when fewer; as steps when asked,
from the value in force at the window's start); ``window_events`` reads the
window's alarms and System records and ``marker_rows`` picks those worth a
marker; ``write_html`` and ``write_png`` write a standalone file.
"""

from ._events import SYSTEM_CLASS, event_labels, marker_rows, window_events
from ._files import bokeh_figure, write_html, write_png
from ._lines import Line, as_steps, axis_label, code_label, envelope_points, label_of, lines

__all__ = ["lines", "as_steps", "envelope_points", "code_label", "label_of", "axis_label", "Line", "window_events", "marker_rows", "SYSTEM_CLASS", "event_labels",
           "bokeh_figure", "write_html", "write_png"]
