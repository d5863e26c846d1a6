"""zentrail.follow: the rows an archive gains, as the runtime writes them.

A follower stands between two records of one file (its position: the file,
the offset of the next record and the decoder's state there). Each poll it
reads that file from there through its current end, stopping before a record
the end cuts; when the file has nothing new and a later file exists (in the
order scan reads files), and the file has not grown since the poll before,
it goes on to the later file from its first byte. Which file is current is
decided by the files alone, never by the clock. The files are listed and
read through the follower's ReadPlan (ReadPlan.tail, a step a poll)."""

from __future__ import annotations

import os
import time
import warnings

from zentrail._base import arguments as _arguments, time as _time
from zentrail import _core
from zentrail._live import cursor as _cursor
from zentrail._read.plan import archive_zone, open_ended_plan
from zentrail._read.tail import ResumePoint
from zentrail._live.cursor import ArchiveRewrittenError
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional

REWRITE_CHOICES = ("raise", "reread")
_MOVED = object()  # a step that moved on without rows: the next step follows at once


class Follower:
    """An iterator over the rows an archive gains, made by :func:`zentrail.follow`.

    Each item is a batch: a dict of NumPy arrays with the six columns of
    :func:`zentrail.scan` (never empty). :attr:`cursor` names the position
    after the last batch yielded; :meth:`arrow` gives the batches as a
    ``pyarrow.RecordBatchReader``. A follower holds no file open between
    polls; :meth:`close` (or leaving a ``with`` block) ends the iteration.
    """

    def __init__(self, root: Any, signals: Any, start: Any, cursor: Optional[str], poll: Any,
                 idle_timeout: Any, on_rewrite: str, tz: Any = None) -> None:
        if on_rewrite not in REWRITE_CHOICES:
            raise ValueError(f"on_rewrite must be one of {REWRITE_CHOICES}, not {on_rewrite!r}")
        if start is not None and cursor is not None:
            raise ValueError("give start or cursor, not both: a cursor says where to go on from")
        root_bytes = _arguments.path_bytes(root)
        self._root = os.fsdecode(root_bytes)
        if not os.path.isdir(self._root):
            raise FileNotFoundError(f"archive root {self._root!r} is not a folder")
        self._poll = _time.duration_seconds(poll, "poll")
        self._idle = None if idle_timeout is None else _time.duration_seconds(idle_timeout, "idle_timeout")
        self._on_rewrite = on_rewrite
        codes = _arguments.codes_array(signals)
        if codes is not None and len(codes) == 0:
            raise ValueError("signals is empty: a follower of no code would never yield (None follows every code)")
        zone = archive_zone(tz, root_bytes)
        self._plan = open_ended_plan(root_bytes, None if start is None else _time.bound_in(zone, start, "start", False),
                                     codes, threads=1).replace(zone=zone)
        self._path: Optional[str] = None
        self._place = ResumePoint()
        self._position: Optional[_cursor.Position] = None
        self._size_before = -1  # the current file's size at the poll before, with a later file there
        self._closed = False
        self._earlier: Optional[set] = None  # the files before the current one, as last listed
        if cursor is not None:
            self._resume(_cursor.decode(cursor))
        elif start is None:
            # From now on: the end of the last file now, or the start of the
            # first file to appear.
            files = self._files()
            if files:
                self._path = files[-1]
                self._skip_to_end(self._path)
                self._mark()

    # -- the iterator ------------------------------------------------------

    def __iter__(self) -> Follower:
        return self

    def __next__(self) -> Dict[str, Any]:
        idle_since = time.monotonic()
        while not self._closed:
            batch = self.poll()
            if batch is not None:
                return batch
            waited = time.monotonic() - idle_since
            if self._idle is not None and waited >= self._idle:
                self.close()
                break
            time.sleep(self._poll if self._idle is None else min(self._poll, self._idle - waited))
        raise StopIteration

    def poll(self) -> Optional[Dict[str, Any]]:
        """The next batch of rows the archive has gained, without waiting:
        None when it has none now (or the follower is closed). For a program
        with a loop of its own (a user interface's timer), in place of
        iterating."""
        while not self._closed:
            batch = self._step()
            if batch is not _MOVED:
                return batch
        return None

    def __enter__(self) -> Follower:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Ends the iteration; the cursor stays readable."""
        self._closed = True

    @property
    def cursor(self) -> Optional[str]:
        """The position after the last row yielded, as a short ASCII text to
        store and hand to ``follow(..., cursor=...)``; None before the
        archive has any file."""
        return None if self._position is None else _cursor.encode(self._position)

    def arrow(self) -> Any:
        """The batches as a ``pyarrow.RecordBatchReader`` (the scan's column
        types); reading it follows, as iterating does."""
        pyarrow = import_extra("pyarrow", "Follower.arrow()", "arrow")
        zone = self._plan.zone
        schema = pyarrow.schema([pyarrow.field(name, pyarrow.timestamp("ns", tz=zone.name)
                                               if name == "time" and zone is not None
                                               else pyarrow.from_numpy_dtype(dtype), nullable=False)
                                 for name, dtype in _core.COLUMNS])
        batches = (pyarrow.record_batch([batch[name] for name in schema.names], schema=schema) for batch in self)
        return pyarrow.RecordBatchReader.from_batches(schema, batches)

    # -- following ---------------------------------------------------------

    def _files(self) -> List[str]:
        return self._plan.files()

    def _resume(self, at: _cursor.Position) -> None:
        zone = self._plan.zone
        if at.zone != (None if zone is None else zone.name):
            raise ValueError(f"the cursor was made by a follower reading in {at.zone or 'no zone'}; this one reads in "
                             f"{'no zone' if zone is None else zone.name} (tz=): its rows' times would not follow on")
        path = os.path.join(self._root, *at.file.split("/"))
        reason = _cursor.mismatch(path, at)
        self._path = path
        self._place = ResumePoint(at.offset, at.day, at.id, fold=None if at.fold is None else tuple(at.fold))
        if reason is None:
            self._position = at
            return
        self._rewritten(path, reason)

    def _rewritten(self, path: str, reason: str) -> None:
        """The current file is not what was read of it: an error, or (with
        on_rewrite="reread") a warning and the file read again from its start."""
        if self._on_rewrite == "raise":
            raise ArchiveRewrittenError(f"{path}: {reason}; following it on from offset {self._place.offset} could "
                                        "lose or repeat rows (on_rewrite='reread' reads it again from its start)")
        warnings.warn(f"{path}: {reason}; reading it again from its start", RuntimeWarning, stacklevel=4)
        self._place = ResumePoint()
        self._size_before = -1
        if not os.path.exists(path):
            later = [f for f in self._files() if os.fsencode(f) > os.fsencode(path)]
            if later:  # else it is waited for, as is a file after it
                self._path = later[0]
        self._mark()

    def _mark(self) -> None:
        if self._path is None:
            return
        at = self._place
        try:
            zone = self._plan.zone
            self._position = _cursor.position(self._root, self._path, at.offset, at.day, at.id,
                                              None if zone is None else zone.name, at.fold)
        except FileNotFoundError:
            self._position = None

    def _step(self) -> Any:
        """One step: a batch of rows, _MOVED (the position moved without rows,
        or to a later file), or None (nothing new: time to wait)."""
        if self._path is None:
            files = self._files()
            if not files:
                return None
            self._path = files[0]
            self._place = ResumePoint()
            self._mark()
            return _MOVED
        offset, ended = self._place.offset, self._place.ended
        try:
            size = os.stat(self._path).st_size
        except FileNotFoundError:
            size = -1
        if size < offset or (offset > 0 and size > offset and not ended):
            reason = None if self._position is None else _cursor.mismatch(self._path, self._position)
            if reason is not None or size < offset:
                self._rewritten(self._path, reason or "it is shorter than before")
                return _MOVED
        if size > offset and not ended:
            step = next(self._plan.tail(self._path, self._place))
            moved = step.after != self._place
            self._place = step.after
            if moved:
                self._size_before = -1
                self._mark()
            if len(step.rows["time"]) > 0:
                return step.rows
            if moved:
                return _MOVED
        return self._next_file(self._path)

    def _next_file(self, path: str) -> Any:
        current = os.fsencode(path)
        files = self._files()
        later = [f for f in files if os.fsencode(f) > current]
        self._warn_of_earlier(files, current)
        if not later:
            return None
        # A runtime writes the last records of a day before it starts the
        # next file: the file's size taken now, after the later file was
        # seen, is its last. It is left when the follower has read it all
        # (or to its end byte); bytes past the follower's place (records
        # still to read, or a last record cut short) are given a poll, and
        # the file is left once it has stayed the same size for that poll.
        try:
            size = os.stat(path).st_size
        except FileNotFoundError:
            size = -1
        offset, ended = self._place.offset, self._place.ended
        if not ended and size > offset and size != self._size_before:
            self._size_before = size
            return None
        if self._earlier is not None:
            self._earlier.add(path)  # passed, not late
        self._path = later[0]
        self._place = self._place.next_file()
        self._size_before = -1
        self._mark()
        return _MOVED

    def _warn_of_earlier(self, files: List[str], current: bytes) -> None:
        """A file that appears before the one followed (copied in late) is
        one the follower has passed: said once, since a scan would read it."""
        earlier = {f for f in files if os.fsencode(f) < current}
        if self._earlier is not None:
            for late in sorted(earlier - self._earlier):
                warnings.warn(f"{late} appeared before {os.fsdecode(current)}, the file being followed: its rows "
                              "are not followed (a scan reads them)", RuntimeWarning, stacklevel=5)
        self._earlier = earlier

    def _skip_to_end(self, path: str) -> None:
        """The position at the last whole record of the current file, without
        its rows: a follower started without a start bound gives only what is
        written from then on."""
        for step in self._plan.tail(path, self._place, rows=False):
            self._place = step.after


def follow(root: Any, signals: Any = None, *, start: Any = None, cursor: Optional[str] = None, poll: Any = "1s",
           idle_timeout: Any = None, on_rewrite: str = "raise", tz: Any = None) -> Follower:
    """The rows the archive under ``root`` gains, as the runtime writes them:
    an iterator (a :class:`Follower`) of batches, dicts of NumPy arrays with
    the columns of :func:`scan`.

    It begins with the rows ``scan(root, start, <now>, signals)`` would give
    (``start=None``: none, only what is written from now on), then polls the
    files' sizes every ``poll`` (a number of seconds, a timedelta or a text
    such as "500ms", "1s", "2min") and yields each new complete record's rows
    once, in read order. A record cut by a file's current end is read once it
    is whole. A new file (the next day's) is taken up when it appears, after
    the file before it is drained; which file is current is decided by the
    files, never by the clock. No inotify is used, so it works on network
    shares.

    ``follower.cursor`` names the position after the last row yielded;
    ``follow(root, signals, cursor=c)`` goes on exactly there, in this process
    or another: no row lost, none repeated. A file rewritten or truncated
    before that position raises :class:`ArchiveRewrittenError` naming it,
    unless ``on_rewrite="reread"`` (the file is read again from its start,
    with a RuntimeWarning).

    ``idle_timeout``: stop after that long without a new row (default: never).
    ``tz``: the archive's zone, as for :func:`zentrail.scan` (None: the root's
    zone file, if any): the batches' ``time`` holds instants (UTC in NumPy,
    the zone's in :meth:`Follower.arrow`), a follower running through the
    hour the clock repeats gives each row once at its instant, and its
    cursor carries where it stands in that hour (a cursor resumes only with
    the zone it was made in).
    Ctrl-C raises KeyboardInterrupt out of the iteration, leaving the cursor
    at the last batch yielded; ``close()`` ends it.
    """
    return Follower(root, signals, start, cursor, poll, idle_timeout, on_rewrite, tz)
