"""The one form in which a read crosses into the core: a Request of named
fields, made here and read by name in one place of the core
(module/scan_request.cpp). Scans, overviews, inventories and events all
hand their reads over as one, and the defaults that depend on where a read
runs (threads, the progress bar) are resolved here, when it runs."""

from __future__ import annotations

import collections
import os

from zentrail import _core
from zentrail._base import arguments as _arguments, time as _time
from zentrail._read import pushdown as _pushdown
from zentrail._elsewhere import remote as _remote

TYPE_CHECKING = False
if TYPE_CHECKING:
    import types
    from typing import Any, Callable, Dict, List, Optional, Tuple, Union

    from zentrail._base.time import BoundTuple

    _Progress = Union[None, bool, Callable[[int, int], Any]]


class Request:
    """What the core reads: every field is plain data the core reads by name."""

    __slots__ = ("_where", "_listed", "_place", "_copied", "discover", "_source", "start", "end", "file_start",
                 "file_end", "zone", "codes", "threads",
                 "batch_rows", "progress", "columns", "classes", "subtypes", "elements", "limit", "row_start", "row_end",
                 "ids", "later", "damaged", "in_force", "spans", "_shown", "__weakref__")

    def __init__(self, where: Union[bytes, List[bytes], _remote.Place], listed: bool, start: Optional[BoundTuple],
                 end: Optional[BoundTuple], codes: Any = None, threads: Optional[int] = None,
                 batch_rows: int = _arguments.DEFAULT_BATCH_ROWS, progress: _Progress = None,
                 pushdown: Optional[_pushdown.Pushdown] = None, errors: str = "raise", copied: bool = False,
                 zone: Optional[_time.Zone] = None) -> None:
        self.start = start  # bound tuples; None leaves that side open
        self.end = end
        # With a zone, start and end are instants (UTC) and the files read are
        # those of the local days the window's instants fall on; the core
        # reads the records' wall times by the zone's table (with counts of
        # what it had to guess, for this read alone).
        self.file_start, self.file_end = start, end
        self.zone = None
        if zone is not None:
            self.zone = zone.table()
            self.file_start = None if start is None else _time.local_day(zone, _time.first_ns(start))
            self.file_end = None if end is None else _time.local_day(zone, _time.last_ns(end))
        self.codes = codes  # an ascending int32 array, or None for every code
        # Resolved here, when the read runs, so that a pickled scan uses the
        # CPUs of where it runs.
        self.threads = threads if threads is not None else _arguments.usable_cpu_count()
        # A root elsewhere (a URL, a zip file) is read from its files' bytes,
        # fetched ahead of the workers (zentrail._elsewhere.remote), or with `copied`
        # from local copies of them, for reads that take a file more than once.
        self.discover = False  # where is a listing to discover the archive files in
        self._source = None  # the fetched files, a _core.FetchedFiles
        # A series read's rows in force from files it leaves out (fields
        # codes, times, values: see zentrail._index.in_force), or None.
        self.in_force: Any = None
        # A series read's first and last record instants of some of its
        # files, known without reading them (fields paths, first, last: see
        # zentrail._index.in_force), or None.
        self.spans: Any = None
        self._shown: Optional[List[bytes]] = None  # what the listed files are called in errors, when not their paths
        # A place elsewhere is listed, and its files fetched or copied, when
        # the core first asks where to read (see _begin): making a request
        # lists nothing and starts nothing.
        self._place = where if isinstance(where, _remote.Place) else None
        self._copied = copied
        self._where = where  # a root (bytes), or the files themselves (a list of bytes) when listed
        self._listed = listed
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
        self.ids = pushed.ids
        self.later = tuple(Stage(stage) for stage in pushed.later)
        # None: a damaged file fails the read; else told of each one passed over.
        self.damaged = None if errors == "raise" else DamageLog(errors == "warn")


    def _begin(self) -> None:
        """Lists a place elsewhere and sets its files on their way: the read begins."""
        place, self._place = self._place, None
        if place is None:
            return
        if self._copied and place.zip_file is None:
            # A zip file's members are read in place however often a read
            # takes them; other places' files are copied to disk.
            found = archive_files(place, self.file_start, self.file_end)
            (self._where, self._shown), self._listed = place.local_copies(self, found, self.threads), True
        else:
            self._where, self._listed, self._source = place.files_to_read(
                self, archive_files(place, self.file_start, self.file_end), self.threads)

    @property
    def where(self) -> Union[bytes, List[bytes], _remote.Place]:
        """A root (bytes), or the files themselves (a list of bytes) when ``listed``."""
        self._begin()
        return self._where

    @property
    def listed(self) -> bool:
        self._begin()
        return self._listed

    @property
    def source(self) -> Any:
        """The fetched files (a _core.FetchedFiles) of a place elsewhere, the members
        of a local zip file (a _core.ZipMembers), else None."""
        self._begin()
        return self._source

    @property
    def shown(self) -> Optional[List[bytes]]:
        """What the listed files are called in errors, when not their paths."""
        self._begin()
        return self._shown


def archive_files(place: _remote.Place, start: Optional[BoundTuple],
                  end: Optional[BoundTuple]) -> Tuple[List[str], Dict[str, Tuple[str, int]]]:
    """The archive files of a place elsewhere in the window, found in its
    listing by the rules of a walk (unless the files were given), and the
    listing's entries by name."""
    names, where = place.listing()
    if place.files is None:
        finder = Request([os.fsencode(n) for n in names], True, start, end, threads=1)
        finder.discover = True
        names = _core.find_files(finder)
    if place.passed_over:
        names = [name for name in names if name not in place.passed_over]
    return names, where


class Stage:
    """Conditions given after a limit, and the limit after them, as the core
    reads them (the fields of a Request's own conditions, by the same names)."""

    __slots__ = ("classes", "subtypes", "elements", "limit", "row_start", "row_end", "ids")

    def __init__(self, pushed: _pushdown.Pushdown) -> None:
        self.classes = pushed.classes
        self.subtypes = pushed.subtypes
        self.elements = pushed.element_bits()
        self.limit = -1 if pushed.limit is None else pushed.limit
        self.row_start = pushed.row_start
        self.row_end = pushed.row_end
        self.ids = pushed.ids


def progress_callable(progress: _Progress) -> Optional[Callable[[int, int], Any]]:
    """The callable a read reports to: True is a progress bar, False and None nothing."""
    if progress is True:
        return _arguments.ProgressBar()
    if progress is False:
        return None
    return progress


ERRORS = ("raise", "warn", "skip")


def check_errors(errors: Any) -> str:
    """The errors argument of a read: "raise", "warn" or "skip"."""
    if not isinstance(errors, str):
        raise TypeError(f"errors must be \"raise\", \"warn\" or \"skip\", not {type(errors).__name__}")
    if errors not in ERRORS:
        raise ValueError(f"errors must be \"raise\", \"warn\" or \"skip\", not {errors!r}")
    return errors


_SkippedFields = collections.namedtuple("_SkippedFields", ("path", "offset", "message"))


class Skipped(_SkippedFields):
    """A damaged archive file a read passed over (errors="warn" or "skip"): its
    ``path``, the byte ``offset`` of its malformed record or failed read (its
    rows before it were kept; None when the file could not be opened), and the
    ``message`` saying what was wrong. ``str()`` of it is the sentence the
    warning of ``errors="warn"`` says."""

    __slots__ = ()
    __module__ = "zentrail"

    def __str__(self) -> str:
        if self.offset is None:
            return f"archive file {self.path!r} {self.message}; the read went on without it"
        return (f"archive file {self.path!r}: {self.message} at byte {self.offset}; its rows before it are kept, "
                "the read went on")


class DamageLog:
    """What a read with errors="warn" or "skip" is told by the core of each
    damaged file it passes over, once each, as the read reaches it: kept in
    ``files``, and under "warn" a UserWarning naming the file and the byte."""

    __slots__ = ("warn", "files")

    def __init__(self, warn: bool) -> None:
        self.warn = warn
        self.files: List[Any] = []

    def __call__(self, path: str, offset: Optional[int], reason: str) -> None:
        skipped = Skipped(path, offset, reason)
        self.files.append(skipped)
        if self.warn:
            import warnings

            warnings.warn(str(skipped), UserWarning, stacklevel=outside_the_package())


def report_clock(request: Request) -> None:
    """The one warning of a read in a zone that had to guess: rows of a
    repeated hour whose pass nothing proved, rows of a skipped hour, rows
    before 2000-01-01 UTC (left out). Said once per request."""
    zone = request.zone
    if zone is None:
        return
    guessed, skipped, early = zone.counts
    if not (guessed or skipped or early):
        return
    request.zone = zone.fresh()  # told once
    import warnings

    told = []
    if guessed:
        told.append(f"{guessed:,} row(s) of an hour the clock repeated, placed in its first or second pass by "
                    f"guess (their file does not show the clock going back)")
    if skipped:
        told.append(f"{skipped:,} row(s) stamped in an hour the clock skipped, read with the offset before the "
                    f"change")
    if early:
        told.append(f"{early:,} row(s) whose instant lies before 2000-01-01 00:00 UTC, left out")
    warnings.warn("zentrail: wall times read as instants: " + "; ".join(told), UserWarning,
                  stacklevel=outside_the_package())


def skipped_files(request: Request) -> List[Any]:
    """The list the request's read fills with the damaged files it passes over."""
    return request.damaged.files if request.damaged is not None else []


def outside_the_package() -> int:
    """The stacklevel of the first caller outside zentrail (of the warn call
    in DamageLog.__call__)."""
    import os
    import sys

    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep  # zentrail/
    frame: Optional[types.FrameType] = sys._getframe(1)
    level = 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(package):
        frame = frame.f_back
        level += 1
    return level
