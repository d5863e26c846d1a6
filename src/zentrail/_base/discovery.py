"""The day an archive file's path carries, as discovery reads it: the first
``YYYY-MM-DD_`` in the whole path that ``.vlx`` follows later on the same
line. The engine's own discovery applies the same rule; this one serves the
callers that group files by day (the Dask partitions)."""

from __future__ import annotations

import re

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional

_ARCHIVE_NAME = re.compile(r"([0-9]{4}-[0-9]{2}-[0-9]{2})_[^\n\r]*\.vlx")


def path_day(path: str) -> Optional[str]:
    """The day text ("2024-03-01") of an archive file's path, or None."""
    found = _ARCHIVE_NAME.search(path)
    return found.group(1) if found else None
