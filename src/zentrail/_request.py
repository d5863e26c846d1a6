"""The one form in which a read crosses into the core: a Request of named
fields, made here and read by name in one place of the core
(module/scan_request.cpp). Scans, overviews, inventories and events all
hand their reads over as one, and the defaults that depend on where a read
runs (threads, the progress bar) are resolved here, when it runs."""

from __future__ import annotations

from . import _arguments, _pushdown, _remote

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, List, Optional, Union

    from ._time import _BoundTuple

    _Progress = Union[None, bool, Callable[[int, int], Any]]


class Request:
    """What the core reads: every field is plain data the core reads by name."""

    __slots__ = ("where", "listed", "discover", "source", "start", "end", "codes", "threads", "batch_rows", "progress",
                 "columns", "classes", "subtypes", "elements", "limit", "row_start", "row_end", "__weakref__")

    def __init__(self, where: Union[bytes, List[bytes], _remote.Place], listed: bool, start: Optional[_BoundTuple],
                 end: Optional[_BoundTuple], codes: Any = None, threads: Optional[int] = None,
                 batch_rows: int = _arguments.DEFAULT_BATCH_ROWS, progress: _Progress = None,
                 pushdown: Optional[_pushdown.Pushdown] = None) -> None:
        self.start = start  # bound tuples; None leaves that side open
        self.end = end
        self.codes = codes  # an ascending int32 array, or None for every code
        # Resolved here, when the read runs, so that a pickled scan uses the
        # CPUs of where it runs.
        self.threads = threads if threads is not None else _arguments.usable_cpu_count()
        # A root elsewhere (a URL, a zip file) is read from its files' bytes,
        # fetched ahead of the workers (zentrail._remote).
        self.discover = False  # where is a listing to discover the archive files in
        self.source = None  # the fetched files, a _core.FetchedFiles
        if isinstance(where, _remote.Place):
            where, listed, self.source = where.files_to_read(self, start, end, self.threads)
        self.where = where  # a root (bytes), or the files themselves (a list of bytes) when listed
        self.listed = listed
        self.batch_rows = batch_rows
        self.progress = progress_callable(progress)
        pushed = pushdown if pushdown is not None else _pushdown.Pushdown()
        self.columns = _pushdown.column_places(pushed.columns)
        self.classes = pushed.classes
        self.subtypes = pushed.subtypes
        self.elements = pushed.element_bits()
        self.limit = -1 if pushed.limit is None else pushed.limit
        self.row_start = pushed.row_start
        self.row_end = pushed.row_end


def progress_callable(progress: _Progress) -> Optional[Callable[[int, int], Any]]:
    """The callable a read reports to: True is a progress bar, False and None nothing."""
    if progress is True:
        return _arguments.ProgressBar()
    if progress is False:
        return None
    return progress
