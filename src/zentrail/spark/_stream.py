"""The zentrail data source as a Spark stream: ``spark.readStream.format("zentrail")``.

An offset says where the stream has read the archive up to, in whole
records: ``{"root": <the root>, "cursors": [...]}``, the cursors those of
zentrail.follow (each names a file, the place after a record there and the
decoder's state, and hashes of the bytes read). The last cursor is where
the stream stands; the ones before it are the ends of the files the stream
passed on its way there from the offset before, so that a batch (each file's
range from where the offset before stood to where this one stands) is known
from its two offsets alone: a query restarted from Spark's checkpoint reads
the same bytes again, however the files have grown since.

The driver finds the places (the files' records read without building rows,
a fraction of the cost of reading them); the executors read the rows, one
partition per file of the batch. Which file comes next, and when a file is
left, follows the rules of zentrail.follow: a later file takes over once the
file before it ended or has been read to its end twice at the same size.
"""

from __future__ import annotations

import os

import zentrail
from zentrail import _core
from zentrail._base.extras import import_extra
from zentrail._live import cursor as _cursor
from zentrail._read.tail import NO_ROWS, ResumePoint

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional


class StreamMethods:
    """The stream reader of one query: its offsets (see the module's text),
    the partitions between two of them and the reads of those."""

    def __init__(self, plan: zentrail.ReadPlan, start_given: bool) -> None:
        if not isinstance(plan.source, bytes):
            raise ValueError("a zentrail stream follows an archive on a local file system: the option root must be "
                             "a folder, not a URL")
        self.plan = plan
        self.root = os.path.abspath(os.fsdecode(plan.source))
        self.start_given = start_given
        # The places alone: no rows built, every code (the decoder's state
        # does not depend on which codes a read keeps).
        self._places = plan.with_codes(None).within(*NO_ROWS)
        self._zone = None if plan.zone is None else plan.zone.name
        # A file with bytes past its last whole record while a later file is
        # there: the size it had, so that it is left once it stays so.
        self._waited: Dict[str, int] = {}
        # Trigger.AvailableNow: the files and their sizes when the query
        # started; the stream reads no further.
        self._target: Optional[Dict[str, int]] = None

    # -- offsets -------------------------------------------------------------

    def initialOffset(self) -> Dict[str, Any]:
        """Before the first file where ``start`` is given; else (as
        zentrail.follow without start) the end of the last file now."""
        if self.start_given:
            return self._offset([])
        files = self.plan.files()
        if not files:
            return self._offset([])
        place = ResumePoint()
        for step in self._places.tail(files[-1], place, rows=False):
            place = step.after
        return self._offset([self._cursor(files[-1], place)])

    def latestOffset(self, start: Dict[str, Any], limit: Any = None) -> Dict[str, Any]:
        cursors = self._walk(self._position(start))
        return start if cursors == start["cursors"][-1:] else self._offset(cursors)

    def prepareForTriggerAvailableNow(self) -> None:
        self._target = {}
        for path in self.plan.files():  # the sizes taken after the listing: a file before a later one is whole
            try:
                self._target[path] = os.stat(path).st_size
            except FileNotFoundError:
                pass

    def commit(self, end: Dict[str, Any]) -> None:
        """What the stream waited on before the file it stands in now is done."""
        at = self._position(end)
        if at is not None:
            here = os.fsencode(self._path(at))
            self._waited = {path: size for path, size in self._waited.items() if os.fsencode(path) >= here}

    def stop(self) -> None:
        pass

    # -- batches -------------------------------------------------------------

    def partitions(self, start: Dict[str, Any], end: Dict[str, Any]) -> List[Any]:
        """One partition per file of the batch: (plan, file, the place its
        range starts, the offset it ends at, the cursor there)."""
        datasource = import_extra("pyspark.sql.datasource", "zentrail.spark", "spark")
        before = self._position(start)
        parts = []
        for text in end["cursors"]:
            at = _cursor.decode(text)
            if before is not None and before.file == at.file:
                begin = _place(before)
            else:  # a file from its first byte, the id going on as the runtime writes it
                begin = ResumePoint() if before is None else ResumePoint(id=before.id)
            if at.offset > begin.offset:
                parts.append(datasource.InputPartition((self.plan, self._path(at), begin, at.offset, text)))
            before = at
        return parts

    def read(self, partition: Any) -> Iterator[Any]:
        pyarrow = import_extra("pyarrow", "zentrail.spark", "spark")
        from zentrail.spark._source import source_classes

        plan, path, begin, end, text = partition.value
        _check(path, _cursor.decode(text))
        made = source_classes()
        arrow_schema = made["zoned_arrow_schema" if plan.zone is not None else "arrow_schema"]
        times = pyarrow.timestamp("ns", tz=None if plan.zone is None else "UTC")
        after = begin
        for step in plan.tail(path, begin, until=end):
            after = step.after
            rows = step.rows
            if len(rows["time"]):
                columns = [pyarrow.array(rows["time"].view("int64"), type=times)]
                columns += [pyarrow.array(rows[name]) for name, _ in _core.COLUMNS[1:]]
                batch = pyarrow.record_batch(columns, names=[name for name, _ in _core.COLUMNS])
                # The times to Spark's microseconds; the integers widened losslessly.
                yield batch.cast(arrow_schema, safe=False)
        if after.offset != end:
            raise _cursor.ArchiveRewrittenError(f"{path}: its records end at offset {after.offset}, not at {end} "
                                                "where they ended when the stream found them: it was rewritten")

    # -- following the files -------------------------------------------------

    def _walk(self, at: Optional[_cursor.Position]) -> List[str]:
        """The cursors from `at` (None: before the first file) through the
        last whole record now (or, for Trigger.AvailableNow, when the query
        started): one at the end of each file left on the way, and the last
        where the stream then stands."""
        files = self.plan.files()
        if self._target is not None:
            files = [path for path in files if path in self._target]
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
            until = None if self._target is None else self._target.get(path)
            for step in self._places.tail(path, place, rows=False, until=until):
                place = step.after
            cursors.append(self._cursor(path, place))
            later = [name for name in files if os.fsencode(name) > os.fsencode(path)]
            if not later or not self._left(path, place):
                return cursors
            path, place = later[0], place.next_file()

    def _left(self, path: str, place: ResumePoint) -> bool:
        """Whether the stream goes on from `path`, read to `place`, to the file
        after it (which is there). A runtime writes a day's last records before
        it starts the next file, so the size taken now is the file's last;
        bytes past the last whole record (one still being written, or cut
        short) are given a trigger, and the file is left once it has stayed
        that size."""
        if place.ended or self._target is not None:
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

    def _path(self, at: _cursor.Position) -> str:
        return os.path.join(self.root, *at.file.split("/"))

    def _position(self, offset: Dict[str, Any]) -> Optional[_cursor.Position]:
        """Where an offset says the stream stands (None: before the first
        file); ValueError where it was made by a stream of another root or zone."""
        if not isinstance(offset, dict) or not isinstance(offset.get("cursors"), list):
            raise ValueError(f"a zentrail stream's offset is {{'root': ..., 'cursors': [...]}}, not {offset!r:.100}")
        if offset.get("root") != self.root:
            raise ValueError(f"the stream's checkpoint was made reading the archive {offset.get('root')!r}, not "
                             f"{self.root!r} (option root): its cursors name files of that one")
        if not offset["cursors"]:
            return None
        at = _cursor.decode(offset["cursors"][-1])
        if at.zone != self._zone:
            raise ValueError(f"the stream's checkpoint was made reading in {at.zone or 'no zone'}; this stream reads "
                             f"in {self._zone or 'no zone'} (option tz): its rows' times would not follow on")
        return at


def _place(at: _cursor.Position) -> ResumePoint:
    return ResumePoint(at.offset, at.day, at.id, fold=None if at.fold is None else tuple(at.fold))


def _check(path: str, at: _cursor.Position) -> None:
    """ArchiveRewrittenError where `path` no longer holds the bytes read of it."""
    reason = _cursor.mismatch(path, at)
    if reason is not None:
        raise _cursor.ArchiveRewrittenError(f"{path}: {reason}; the stream read it up to offset {at.offset} and "
                                            "cannot go on from there without losing or repeating rows")
