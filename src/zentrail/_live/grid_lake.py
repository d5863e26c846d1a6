"""zentrail.sync with every=: a Parquet lake that holds the aligned grid of a
scan (Scan.align's wide table) instead of its rows, kept in step with the
archive incrementally.

Layout (hive): ``LAKE/day=YYYY-MM-DD/grid.parquet``, the grid instants of
that day: ``time``, then one float64 column per code as align names them.
The grid runs from the origin S (``start``, or the midnight of the first
archive file's day at the first run) in steps of ``every`` up to E, the
newest row of the selected signals in the archive: the lake holds
``scan(root, S, E, signals).align(every, how=, max_gap=, lookback=)``, and
never an instant after the archive's last row. Each day is read as a part of
that whole grid (Aligned.part), looking for its rows where the whole
grid looks, so that the value in force carries across days.

The state file ``LAKE/_zentrail_grid.json`` keeps the settings, S, the E the
parts were made to, and per source file its size, modification time, the
hashes and place of its last whole record (as the row lake's) and the first
and last time of its rows of the selected signals.

A run stats the files; one of the same size and time is not opened. A grown
one is read from where it ended, a new or rewritten one from its start, for
the times of its rows alone. U, the first instant whose grid value may
differ, is the first time among the rows gained (for a rewritten or removed
file also among the rows it held), or the grid's old end when E moved. For
``how="step"`` the value at t depends on the rows at or before t: the days
from U's on are made again, nothing before. For ``how="linear"`` an instant
before U takes its next row from the changed rows when its code has no row
between it and U; the instants so affected of a code form one interval
ending at U, on which the old and new values are each one line through the
same row before it (or NaN throughout). So the days before U's are made
again one by one, back from U, until one whose grid comes out unchanged: if
no code changed on a whole day, no code's interval reaches past it (values
are compared exactly; two lines through one row agreeing at an instant are
one line). With max_gap the walk stops before U - max_gap, where both rows
around every instant are unchanged.

Kill safety: before writing any part the state records ``pending``: U and
the lowest day replaced since the last completed run. Parts are written beside
their place and renamed; the state with the files and E is written after
them all. A run killed at any moment leaves the files' entries as they were,
so the next run finds the same changes (and U at the latest the pending one)
and makes the same days again; days the killed run may have replaced no
longer hold the old grid, so they are made again without being compared.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import glob
import itertools
import os
import shutil

from zentrail._base import arguments as _arguments, atomic as _atomic, discovery as _discovery, time as _time
from zentrail._live import cursor as _cursor, lake_state as _state
from zentrail._live.lake_state import RunCancelled
from zentrail._read.plan import archive_zone, open_ended_plan
from zentrail._read.tail import ResumePoint
from zentrail._series import window as _series
from zentrail._series.aligned import Aligned
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Iterator, List, Optional, Set, Tuple

STATE_NAME = _state.GRID_STATE_NAME
PART_NAME = "grid.parquet"
ROW_GROUP_BYTES = 32 << 20
DURATIONS = ("every", "max_gap", "lookback")
# The state as this lake writes it (see the module's text).
STATE_SHAPE = _state.Record(
    version=_state.WHOLE, kind=_state.TEXT, **_state.SELECTION, every=_state.POSITIVE, how=_state.TEXT,
    max_gap=_state.Maybe(_state.WHOLE), lookback=_state.Maybe(_state.WHOLE), origin=_state.Maybe(_state.WHOLE),
    end=_state.Maybe(_state.WHOLE),
    pending=_state.Maybe(_state.Record(**{"from": _state.WHOLE, "frontier": _state.Maybe(_state.TEXT)})),
    files=_state.TextKeyed(_state.Record(
        size=_state.NATURAL, mtime_ns=_state.WHOLE, head=_state.TEXT, before=_state.TEXT,
        end=_state.Places(_state.FLAG), first=_state.Maybe(_state.WHOLE), last=_state.Maybe(_state.WHOLE))))


class _Unchanged(Exception):
    """A day made again came out as it was: its file is left as it is."""


class GridLake:
    """One lake of grids: the state read at its start, runs that bring it in
    step."""

    def __init__(self, root: Any, lake: Any, signals: Any, start: Any, every: Any, how: str, max_gap: Any,
                 lookback: Any, threads: Optional[int] = None, tz: Any = None) -> None:
        self.threads = _arguments.usable_cpu_count() if threads is None else _arguments.count(threads, "threads", 1)
        self.cancelled = False
        codes = _arguments.codes_array(signals)
        if codes is None:
            raise ValueError("sync with every needs signals: the grid's columns are fixed before its first day")
        self.every = _time.duration_ns(every, "every")
        if how not in ("step", "linear"):
            raise ValueError(f"how must be 'step' or 'linear', not {how!r}")
        self.how = how
        self.max_gap, self.lookback = _series.durations(max_gap, lookback)
        self.tz = tz
        self.start: Any = start
        import importlib.util

        if importlib.util.find_spec("pyarrow") is None:  # imported when a day is written
            import_extra("pyarrow", "zentrail sync", "arrow")
        root_text = os.fsdecode(_arguments.path_bytes(root))
        self.root = os.path.abspath(root_text)
        if not os.path.isdir(self.root):
            raise FileNotFoundError(f"archive root {self.root!r} is not a folder")
        lake_text = os.fsdecode(_arguments.path_bytes(lake))
        _state.refuse_inside(root_text, lake_text)
        self.lake = os.path.abspath(lake_text)
        # The rows of the signals from the start on, the grid's columns named
        # by the archive's catalog as align names them; each read below is
        # this plan widened to the instants it needs.
        from zentrail._names import catalog as _catalog

        root_bytes = os.fsencode(self.root)
        zone = archive_zone(self.tz, root_bytes)
        self.start = None if start is None else _time.bound_in(zone, start, "start", False)
        self.plan = open_ended_plan(root_bytes, self.start, codes, self.threads,
                                    _catalog.resolve(None, root_bytes)).replace(zone=zone)
        # A lake holds the grid of one zone (or of wall times): a run in another is refused.
        self.selection = {"kind": "grid", "root": self.root, "signals": _state.codes_text(codes),
                          "start": None if self.start is None else list(self.start), "every": self.every,
                          "how": how, "max_gap": self.max_gap, "lookback": self.lookback,
                          "zone": None if zone is None else zone.name}
        os.makedirs(self.lake, exist_ok=True)
        self.state = self._load_state()

    @property
    def parquet(self) -> Any:
        return import_extra("pyarrow.parquet", "zentrail sync", "arrow")

    # -- the state -----------------------------------------------------------

    def _load_state(self) -> Dict[str, Any]:
        fresh: Dict[str, Any] = {"version": _state.STATE_VERSION, **self.selection, "origin": None, "end": None,
                                 "pending": None, "files": {}}
        rows = _state.ROWS_STATE_NAME
        return _state.load_state(self.lake, STATE_NAME, STATE_SHAPE, self.selection, fresh,
                                 (rows, f"is a lake of rows ({rows}), not of grids; sync a grid (every) into a new "
                                        "folder"), _shown)

    def _save_state(self) -> None:
        _state.save_state(self.lake, STATE_NAME, self.state)

    # -- one run -------------------------------------------------------------

    def run(self, report: Optional[Callable[[str], None]] = None) -> Dict[str, int]:
        """Brings the lake in step with the archive; returns counts of files
        read, of days and grid rows written, and of days removed."""
        counts = {"files": 0, "days": 0, "rows": 0, "removed": 0}
        if not os.path.exists(os.path.join(self.lake, STATE_NAME)):
            self._save_state()  # first, so that a run killed before its first part leaves a lake that is ours
        self._remove_leftovers()
        origin = self._origin()
        if origin is None:
            return counts  # no archive file yet
        found = self._considered(origin).files()
        sources = {os.path.relpath(path, self.root).replace(os.sep, "/"): path for path in found}
        files = dict(self.state["files"])
        changed: List[int] = []  # first times of rows gained or lost
        removed = sorted(set(files) - set(sources))
        for source in removed:
            entry = files.pop(source)
            if entry["first"] is not None:
                changed.append(entry["first"])
        plans = [plan for plan in (self._plan(source, path) for source, path in sources.items()) if plan]
        pending = self.state["pending"]
        if not plans and not removed and pending is None:
            return counts  # nothing new: no file opened
        for plan, (entry, first) in zip(plans, self._read_all(plans)):
            files[plan[0]] = entry
            if first is not None:
                changed.append(first)
            counts["files"] += 1
        lasts = [entry["last"] for entry in files.values() if entry["last"] is not None]
        end, old_end = (max(lasts) if lasts else None), self.state["end"]
        if pending is not None:
            changed.append(pending["from"])
        if end != old_end:
            changed.append(origin if end is None or old_end is None else min(end, old_end) + 1)
        if changed:
            self._write(origin, end, max(min(changed), origin), counts, report)
        self.state["files"] = files
        self.state["end"] = end
        self.state["pending"] = None
        self._save_state()
        return counts

    def _origin(self) -> Optional[int]:
        """S: the start, or the midnight of the first archive file's day,
        fixed at the first run that finds a file."""
        if self.state["origin"] is None:
            if self.start is not None:
                origin = _time.first_ns(self.start)
            else:
                found = self.plan.widened(None, None).files()
                days = [day for day in map(_discovery.path_day, found) if day is not None]
                if not days:
                    return None
                origin = _time.day_first_ns(min(days))
                if self.plan.zone is not None:  # the local midnight of that day
                    origin = self.plan.zone.instant_ns(origin)
            self.state["origin"] = origin
            self._save_state()
        return self.state["origin"]

    def _considered(self, origin: int) -> Any:
        """The plan of the files and rows the grid considers: from the look
        back before the origin on."""
        return self.plan.widened(None if self.lookback is None else origin - self.lookback, None)

    def _remove_leftovers(self) -> None:
        """Temporary files of a run that was killed: only ours (see _atomic)."""
        stem = os.path.splitext(STATE_NAME)[0]
        leftovers = glob.glob(os.path.join(glob.escape(self.lake), "day=*", f".{PART_NAME.split('.')[0]}.*.partial.*"))
        leftovers += glob.glob(os.path.join(glob.escape(self.lake), f".{stem}.*.partial.json"))
        for path in leftovers:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)

    # -- the files -----------------------------------------------------------

    def _plan(self, source: str, path: str) -> Optional[Tuple[str, str, Any, ResumePoint, Any, bool]]:
        """(source, path, status, the place to read from, its entry, whether
        it was rewritten), or None for a file that has not changed."""
        status = os.stat(path)
        entry = self.state["files"].get(source)
        if entry is not None and entry["size"] == status.st_size and entry["mtime_ns"] == status.st_mtime_ns:
            return None
        if entry is not None and not self._rewritten(path, entry, status.st_size):
            return source, path, status, ResumePoint.from_list(entry["end"]), entry, False
        # New, or rewritten: read from its start (the rows it held are gone).
        return source, path, status, ResumePoint(), entry, entry is not None

    @staticmethod
    def _rewritten(path: str, entry: Dict[str, Any], size: int) -> bool:
        end = entry["end"][0]
        if size < end:
            return True
        head, before = _cursor.hashes(path, end)
        return head != entry["head"] or before != entry["before"]

    def _read_all(self, plans: List[Any]) -> List[Tuple[Dict[str, Any], Optional[int]]]:
        """Each plan's new entry and the first time of the rows it changed, in
        the plans' order, the files read on several threads."""
        read = []
        with concurrent.futures.ThreadPoolExecutor(max(1, min(self.threads, len(plans) or 1))) as pool:
            futures = [pool.submit(self._read_times, plan[1], plan[3]) for plan in plans]
            try:
                for (_, path, status, _, old, rewritten), future in zip(plans, futures):
                    end, first, last = future.result()
                    head, before = _cursor.hashes(path, end.offset)
                    # The size and time as they were before reading: a file
                    # that grew meanwhile is read on from its end next time.
                    entry = {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "head": head, "before": before,
                             "end": end.as_list(), "first": first, "last": last}
                    changed = first
                    if rewritten:
                        changed = _least(first, old["first"])
                    elif old is not None:  # grown: the rows it held are still there
                        entry["first"] = _least(first, old["first"])
                        entry["last"] = _greatest(last, old["last"])
                    read.append((entry, changed))
            except BaseException:
                for future in futures:
                    future.cancel()
                self.cancelled = True
                raise
        return read

    def _read_times(self, path: str, start: ResumePoint) -> Tuple[ResumePoint, Optional[int], Optional[int]]:
        """(the place after the last whole record, first and last time) of
        the selected rows of `path` from `start`."""
        first = last = None
        end = start
        steps = self._considered(self.state["origin"]).select("time").tail(path, start)
        while not self.cancelled:
            step = next(steps, None)
            if step is None:
                return end, first, last
            end = step.after
            times = step.rows["time"].view("int64")
            if len(times) > 0:
                first = _least(first, int(times.min()))
                last = _greatest(last, int(times.max()))
        raise RunCancelled()

    # -- the days ------------------------------------------------------------

    def _write(self, origin: int, end: Optional[int], changed_from: int, counts: Dict[str, int],
               report: Optional[Callable[[str], None]]) -> None:
        """Makes again the days whose grid may differ from `changed_from` on,
        and removes the days past the end."""
        parts = [] if end is None or end < origin else _series.day_parts(origin, end, self.every, self.plan.zone)
        later = [i for i, part in enumerate(parts) if part[1] >= changed_from]
        first = later[0] if later else len(parts)
        pending = self.state["pending"]
        # Days from this one on may hold the grid of a killed run, not the old one.
        killed_from = None if pending is None else pending["frontier"]

        def compared(day: str) -> bool:
            return killed_from is None or day < killed_from

        def replacing(day: Optional[str]) -> None:
            """Records, before a day's file is replaced, that it may be."""
            marked = {**(self.state["pending"] or {"frontier": killed_from}), "from": changed_from}
            if day is not None and (marked["frontier"] is None or day < marked["frontier"]):
                marked["frontier"] = day
            if self.state["pending"] != marked:
                self.state["pending"] = marked
                self._save_state()

        replacing(None)
        if parts and end is not None:
            self._write_changed(self._grid(origin, end), parts, first, changed_from, compared, replacing, counts,
                                report)
        counts["removed"] += self._remove_days_but({self._day_of(part[0]) for part in parts})

    def _write_changed(self, grid: Aligned, parts: List[Tuple[int, int]], first: int, changed_from: int,
                       compared: Callable[[str], bool], replacing: Callable[[Optional[str]], None],
                       counts: Dict[str, int], report: Optional[Callable[[str], None]]) -> None:
        """Makes again the days of `grid` from parts[first] on, then (for a
        linear grid) those before it, back until one comes out unchanged."""
        walk = self.how == "linear" and first > 0
        if first < len(parts):
            day = self._day_of(parts[first][0])
            replacing(day)
            same = self._write_days(grid.part(parts[first][0], parts[-1][1]),
                                    changed_from if walk and compared(day) else None, counts, report)
            walk = walk and not same
        for part in reversed(parts[:first] if walk else []):
            if self.max_gap is not None and part[1] < changed_from - self.max_gap:
                break  # an instant this far before U has its rows on both sides unchanged
            day = self._day_of(part[0])
            replacing(day)
            if self._write_days(grid.part(*part), part[1] + 1 if compared(day) else None, counts, report):
                break

    def _day_of(self, ns: int) -> str:
        """The day (its folder's name) an instant of the grid falls on: in a
        zone, its local day."""
        zone = self.plan.zone
        return _time.day_text(ns if zone is None else zone.wall_ns(ns))

    def _grid(self, origin: int, end: int) -> Aligned:
        """The whole grid the lake holds, from the origin to `end`: each day
        is made as a part of it, which reads its rows where the whole grid
        reads them, so that the value in force carries across days."""
        import numpy

        def span(ns: Optional[int]) -> Any:
            return None if ns is None else numpy.timedelta64(ns, "ns")

        return Aligned(self.plan.widened(origin, end), span(self.every), self.how, span(self.max_gap),
                       span(self.lookback))

    def _write_days(self, aligned: Aligned, until: Optional[int], counts: Dict[str, int],
                    report: Optional[Callable[[str], None]]) -> bool:
        """Writes the grid instants of `aligned` (a part of the whole grid), a
        file per day. With `until`, the first day's values before that instant
        are compared with its file's: returns whether there were some and all
        were the same (a day the same in full is left as it was)."""
        pyarrow = import_extra("pyarrow", "zentrail sync", "arrow")
        reader = pyarrow.RecordBatchReader.from_stream(aligned)
        first_same = None
        for day, pieces in itertools.groupby(_by_day(reader, self.plan.zone), key=lambda piece: piece[0]):
            rows, same = self._write_day(day, reader.schema, (batch for _, batch in pieces), until)
            first_same = same if first_same is None else first_same
            until = None
            if rows:
                counts["days"] += 1
                counts["rows"] += rows
                if report is not None:
                    report(f"day={day}: {rows} grid rows")
        return bool(first_same)

    def _write_day(self, day: str, schema: Any, batches: Iterator[Any], until: Optional[int]) -> Tuple[int, bool]:
        """(grid rows written, whether those before `until` equal the file's
        it replaces); (0, True) when the whole day came out as it was."""
        folder = os.path.join(self.lake, f"day={day}")
        os.makedirs(folder, exist_ok=True)
        target = os.path.join(folder, self.day_file(day))
        old = None if until is None else _OldRows(self.parquet, self.day_held(day), until)
        schema = self.day_schema(schema)
        rows = 0
        try:
            with contextlib.ExitStack() as stack:
                if old is not None:
                    stack.callback(old.close)
                temporary = stack.enter_context(self.writing(target))
                with self.parquet.ParquetWriter(temporary, schema) as writer:
                    for group in _row_groups(batches):
                        writer.write_table(self.day_rows(group))
                        rows += group.num_rows
                        if old is not None:
                            old.compare(group)
                if old is not None and old.same and old.compared == rows and old.exhausted():
                    raise _Unchanged()
        except _Unchanged:
            return 0, True
        self.day_written(day, target)
        return rows, old is not None and old.same and old.compared > 0

    # What a lake of another format changes in the writing of a day (see
    # zentrail._live.delta_lake): how a file is written, its name, the file
    # the day held before, the rows and schema written, and what follows a
    # day written.

    def writing(self, target: str) -> Any:
        return _atomic.replacing(target)

    def day_file(self, day: str) -> str:
        return PART_NAME

    def day_held(self, day: str) -> str:
        return os.path.join(self.lake, f"day={day}", PART_NAME)

    def day_schema(self, schema: Any) -> Any:
        return schema

    def day_rows(self, table: Any) -> Any:
        return table

    def day_written(self, day: str, path: str) -> None:
        pass

    def _remove_days_but(self, days: Set[str]) -> int:
        removed = 0
        for folder in glob.glob(os.path.join(glob.escape(self.lake), "day=*")):
            if os.path.basename(folder)[4:] not in days:
                shutil.rmtree(folder, ignore_errors=True)
                removed += 1
        return removed


class _OldRows:
    """The rows of a day's file that a new grid of that day replaces, read
    batch by batch as the new rows come, to tell whether they changed."""

    def __init__(self, parquet: Any, path: str, until: int) -> None:
        self.until = until  # the rows compared are those before it
        self.same = True
        self.compared = 0
        self._held: List[Any] = []
        try:
            self._file = parquet.ParquetFile(path)
        except FileNotFoundError:
            self._file = None
            self.same = False
            return
        self._batches = self._file.iter_batches()

    def compare(self, table: Any) -> None:
        if not self.same:
            return
        times = table.column(0).to_numpy().view("int64")
        count = int(times.searchsorted(self.until))
        if count == 0:
            return
        old = self._take(count)
        if old is None or not _equal(table.slice(0, count), old):
            self.same = False
        self.compared += count

    def exhausted(self) -> bool:
        """Whether no old row is left beyond those compared."""
        while not any(batch.num_rows for batch in self._held):
            batch = next(self._batches, None)
            if batch is None:
                return True
            self._held.append(batch)
        return False

    def _take(self, count: int) -> Any:
        """The next `count` rows as a table, or None when fewer are left."""
        from zentrail._base.extras import import_extra

        pyarrow = import_extra("pyarrow", "zentrail sync", "arrow")

        held = sum(batch.num_rows for batch in self._held)
        while held < count:
            batch = next(self._batches, None)
            if batch is None:
                return None
            self._held.append(batch)
            held += batch.num_rows
        table = pyarrow.Table.from_batches(self._held)
        self._held = table.slice(count).to_batches()
        return table.slice(0, count)

    def close(self) -> None:
        if self._file is not None:
            self._file.close()


def _equal(new: Any, old: Any) -> bool:
    """The same columns and values (NaN equal to NaN)."""
    import numpy

    if new.schema.names != old.schema.names or new.num_rows != old.num_rows:
        return False
    for name in new.schema.names:
        a = new.column(name).to_numpy()
        b = old.column(name).to_numpy()
        if not numpy.array_equal(a, b, equal_nan=a.dtype.kind == "f"):
            return False
    return True


def _row_groups(batches: Iterator[Any]) -> Iterator[Any]:
    """The batches gathered into tables of about ROW_GROUP_BYTES: a wide
    grid comes in batches of few rows, and each write makes a row group."""
    from zentrail._base.extras import import_extra

    pyarrow = import_extra("pyarrow", "zentrail sync", "arrow")

    held: List[Any] = []
    size = 0
    for batch in batches:
        held.append(batch)
        size += batch.nbytes
        if size >= ROW_GROUP_BYTES:
            yield pyarrow.Table.from_batches(held)
            held, size = [], 0
    if held:
        yield pyarrow.Table.from_batches(held)


def _by_day(reader: Any, zone: Any = None) -> Iterator[Tuple[str, Any]]:
    """(day, the batch's rows of that day) of each batch of a grid, in order:
    the local days of `zone` when given."""
    import numpy

    for batch in reader:
        if batch.num_rows == 0:
            continue
        times = batch.column(0).cast("int64").to_numpy()
        if zone is not None:
            times = zone.wall_times(times.view("datetime64[ns]")).view("int64")
        days = times // _time.NS_PER_DAY
        cuts = numpy.flatnonzero(numpy.diff(days)) + 1
        for begin, stop in zip(numpy.concatenate(([0], cuts)), numpy.concatenate((cuts, [len(times)]))):
            yield _time.day_text(int(times[begin])), batch.slice(int(begin), int(stop - begin))


def _least(a: Optional[int], b: Optional[int]) -> Optional[int]:
    return b if a is None else a if b is None else min(a, b)


def _greatest(a: Optional[int], b: Optional[int]) -> Optional[int]:
    return b if a is None else a if b is None else max(a, b)


def _shown(key: str, value: Any) -> Any:
    """A setting as the user gave it: durations as texts."""
    return _time.duration_text(value) if key in DURATIONS and isinstance(value, int) else repr(value)


def lake_grid(lake: Any) -> Tuple[int, Optional[int]]:
    """(grid rows, the last grid instant) the lake's state says it holds."""
    try:
        state = _state.read_state(os.path.join(os.fsdecode(lake), STATE_NAME), STATE_SHAPE)
    except FileNotFoundError:
        return 0, None
    return grid_held(state)


def grid_held(state: Dict[str, Any]) -> Tuple[int, Optional[int]]:
    """(grid rows, the last grid instant) of a lake of grids' state."""
    origin, end, every = state["origin"], state["end"], state["every"]
    if origin is None or end is None or end < origin:
        return 0, None
    steps = (end - origin) // every
    return steps + 1, origin + steps * every
