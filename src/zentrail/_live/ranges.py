"""zentrail.ArchiveRanges: a growing archive cut into ranges of bytes
between offsets, for an engine that reads what is new in batches, each file's
range in a task of its own (zentrail.spark's stream).

An offset says where a reader has read the archive up to, in whole records:
``{"root": <the root>, "cursors": [...]}``, the cursors those of
zentrail.follow (each names a file, the place after a record there and the
decoder's state, and hashes of the bytes read). The last cursor is where the
reader stands; the ones before it are the ends of the files it passed on its
way there from the offset before, so that a batch (each file's range from
where the offset before stood to where this one stands) is known from its
two offsets alone: a batch done again (an engine restarted from its
checkpoint) reads the same bytes, however the files have grown since.

Finding an offset reads the records without building rows (a fraction of
the cost of reading them); reading a range builds them. Which file comes
next, and when a file is left, follows zentrail.follow: a later file takes
over once the file before it has ended, or has been found at the same size
twice with bytes past its last whole record (one the runtime still writes).
"""

from __future__ import annotations

import bisect
import dataclasses
import os

from zentrail._live import cursor as _cursor
from zentrail._names import labels as _labels
from zentrail._read.tail import NO_ROWS, ResumePoint

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional

    from zentrail._live.cursor import Position
    from zentrail._read.plan import ReadPlan


@dataclasses.dataclass(frozen=True)
class FileRange:
    """The records of one file between two places, read by :meth:`rows`
    wherever it is sent (it pickles as what it names)."""

    plan: ReadPlan
    path: str
    begin: ResumePoint
    end: int      # the offset the range ends at, after a whole record
    cursor: str   # the cursor there, whose hashes say the bytes are those found

    def rows(self) -> Iterator[Dict[str, Any]]:
        """The rows of the range, batches of NumPy arrays of the plan's
        columns as scan's (none empty); ArchiveRewrittenError where the file
        no longer holds the bytes the range was found in."""
        _check(self.path, _cursor.decode(self.cursor))
        wanted = self.plan.pushdown.columns
        labels = _labels.Labels(self.plan.catalog, self.plan.codes) if _labels.has_labels(wanted) else None
        after = self.begin
        for step in self.plan.tail(self.path, self.begin, until=self.end):
            after = step.after
            if len(next(iter(step.rows.values()))):
                yield step.rows if labels is None else _labels.add_columns(step.rows, wanted, labels)
        if after.offset != self.end:
            raise _cursor.ArchiveRewrittenError(
                f"{self.path}: its records end at offset {after.offset}, not at {self.end} where they ended when "
                "the range was found: it was rewritten")


class ArchiveRanges:
    """Offsets in the archive a plan reads, and the ranges of the files
    between two of them: the plan of a :func:`zentrail.scan` of a local root
    over the window followed (to a far end, "9999-12-31", for all the
    archive will hold). An offset is a JSON-able dict of follow's cursors:
    where the archive was read up to, whole records only, and the ends of
    the files passed on the way from the offset before, so that the ranges
    between two offsets are the same bytes whenever they are read. One
    object per reader: it remembers the files it waits on.

        found = zentrail.ArchiveRanges(zentrail.scan(root, "2024-03-01", "9999-12-31").plan)
        start = found.initial(from_first=True)
        end = found.latest(start)       # where the archive ends now
        for part in found.ranges(start, end):
            for rows in part.rows():    # anywhere: a FileRange pickles
                ...
    """

    def __init__(self, plan: ReadPlan) -> None:
        if not isinstance(plan.source, bytes) or plan.listed:
            raise ValueError("ranges of a growing archive are found in an archive on a local file system: the root "
                             f"must be a folder, not {plan.describe()}")
        self.plan = plan
        self.root = os.path.abspath(os.fsdecode(plan.source))
        # The places alone: no rows built, every code (the decoder's state
        # does not depend on which codes a read keeps).
        self._places = plan.with_codes(None).within(*NO_ROWS)
        self._zone = None if plan.zone is None else plan.zone.name
        # A file with bytes past its last whole record while a later file is
        # there: the size it had, so that it is left once it stays so.
        self._waited: Dict[str, int] = {}
        # After freeze(): the files and their sizes then; no offset goes further.
        self._frozen: Optional[Dict[str, int]] = None

    def initial(self, from_first: bool) -> Dict[str, Any]:
        """Before the first file (``from_first``), or, as zentrail.follow
        without start, the end of the last file now."""
        files = sorted(self.plan.files(), key=os.fsencode)
        if from_first or not files:
            return self._offset([])
        place = ResumePoint()
        for step in self._places.tail(files[-1], place, rows=False):
            place = step.after
        return self._offset([self._cursor(files[-1], place)])

    def latest(self, start: Dict[str, Any]) -> Dict[str, Any]:
        """The offset where the archive ends now (whole records) going on
        from ``start``: ``start`` itself when nothing is new.
        ArchiveRewrittenError where the file ``start`` stands in was rewritten."""
        cursors = self._walk(self._position(start))
        return start if cursors == start["cursors"][-1:] else self._offset(cursors)

    def freeze(self) -> None:
        """No offset beyond the files as they are now (a batch of all that is
        there, with no end while the archive grows)."""
        self._frozen = {}
        for path in self.plan.files():  # sizes taken after the listing: a file before a later one is whole
            try:
                self._frozen[path] = os.stat(path).st_size
            except FileNotFoundError:
                pass

    def done(self, end: Dict[str, Any]) -> None:
        """Lets go of what the reader kept of the files before the one
        ``end`` stands in."""
        at = self._position(end)
        if at is not None:
            here = os.fsencode(self._path(at))
            self._waited = {path: size for path, size in self._waited.items() if os.fsencode(path) >= here}

    def ranges(self, start: Dict[str, Any], end: Dict[str, Any]) -> List[FileRange]:
        """The ranges between two offsets, one per file that gained records."""
        before = self._position(start)
        found = []
        for text in end["cursors"]:
            at = _cursor.decode(text)
            if before is not None and before.file == at.file:
                begin = _place(before)
            else:  # a file from its first byte, the id going on as the runtime writes it
                begin = ResumePoint() if before is None else ResumePoint(id=before.id)
            if at.offset > begin.offset:
                found.append(FileRange(self.plan, self._path(at), begin, at.offset, text))
            before = at
        return found

    def _walk(self, at: Optional[Position]) -> List[str]:
        """The cursors from `at` (None: before the first file) through the
        last whole record now: one at the end of each file left on the way,
        and the last where the reader then stands."""
        files = sorted(self.plan.files(), key=os.fsencode)
        if self._frozen is not None:
            files = [path for path in files if path in self._frozen]
        names = [os.fsencode(path) for path in files]
        if at is None:
            if not files:
                return []
            path, place = files[0], ResumePoint()
        else:
            path = self._path(at)
            _check(path, at)
            place = _place(at)
        cursors = []
        while True:
            until = None if self._frozen is None else self._frozen.get(path)
            for step in self._places.tail(path, place, rows=False, until=until):
                place = step.after
            cursors.append(self._cursor(path, place))
            later = bisect.bisect_right(names, os.fsencode(path))
            if later == len(files) or not self._left(path, place):
                return cursors
            path, place = files[later], place.next_file()

    def _left(self, path: str, place: ResumePoint) -> bool:
        """Whether the reader goes on from `path`, read to `place`, to the
        file after it (which is there). A runtime writes a day's last records
        before it starts the next file, so the size taken now is the file's
        last; bytes past the last whole record (one still being written, or
        cut short) are given one more look, and the file is left once it has
        stayed that size."""
        if place.ended or self._frozen is not None:
            return True
        try:
            size = os.stat(path).st_size
        except FileNotFoundError:
            return True
        if size <= place.offset or self._waited.get(path) == size:
            self._waited.pop(path, None)
            return True
        self._waited[path] = size
        return False

    def _offset(self, cursors: List[str]) -> Dict[str, Any]:
        return {"root": self.root, "cursors": cursors}

    def _cursor(self, path: str, place: ResumePoint) -> str:
        return _cursor.encode(_cursor.position(self.root, path, place.offset, place.day, place.id, self._zone,
                                               place.fold))

    def _path(self, at: Position) -> str:
        return os.path.join(self.root, *at.file.split("/"))

    def _position(self, offset: Dict[str, Any]) -> Optional[Position]:
        """Where an offset says the reader stands (None: before the first
        file); ValueError where it was made reading another root or zone."""
        if not isinstance(offset, dict) or not isinstance(offset.get("cursors"), list):
            raise ValueError(f"an archive offset is {{'root': ..., 'cursors': [...]}}, not {offset!r:.100}")
        if offset.get("root") != self.root:
            raise ValueError(f"the offset was made reading the archive {offset.get('root')!r}, not {self.root!r}: "
                             "its cursors name files of that one")
        if not offset["cursors"]:
            return None
        at = _cursor.decode(offset["cursors"][-1])
        if at.zone != self._zone:
            raise ValueError(f"the offset was made reading in {at.zone or 'no zone'}, this read is in "
                             f"{self._zone or 'no zone'} (tz): its rows' times would not follow on")
        return at


def _place(at: Position) -> ResumePoint:
    return ResumePoint(at.offset, at.day, at.id, fold=None if at.fold is None else tuple(at.fold))


def _check(path: str, at: Position) -> None:
    """ArchiveRewrittenError where `path` no longer holds the bytes read of it."""
    reason = _cursor.mismatch(path, at)
    if reason is not None:
        raise _cursor.ArchiveRewrittenError(f"{path}: {reason}; it was read up to offset {at.offset}, and going on "
                                            "from there could lose or repeat rows")
