"""The type aliases of zentrail's API."""

from __future__ import annotations

import datetime
import os
from typing import Any, Dict, Tuple, Union

Row = Tuple[int, int, int, int, int, int, int, Union[int, float, str], None, None, int, int]
"""One value as read gives it: (year, month, day, hour, minute, second,
milliseconds, value, None, None, 1, signal_id)."""

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
"""A path: str, bytes or os.PathLike."""

Bound = Union[str, datetime.datetime, datetime.date, Any]
"""A bound of a scan's window: a str ("YYYY-MM-DD", optionally followed by
"T" or a space and "hh:mm", ":ss", ".fffffffff"), a datetime.datetime
without time zone (pandas.Timestamp too), a datetime.date, or a
numpy.datetime64."""

Columns = Dict[str, Any]
"""The six columns of a scan as NumPy arrays, by name (see Scan)."""
