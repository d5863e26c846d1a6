"""zentrail.sync: a Parquet lake that holds the rows of a scan of an archive,
kept in step with the archive incrementally.

Layout (hive): ``LAKE/day=YYYY-MM-DD/part-<source>~<offset>.parquet``, the
day from each row's time. Each part holds the rows that one source file
gave, from the record at <offset> (a place between two records) to the
place the next part of that file starts, on that day. The state file
``LAKE/_zentrail_sync.json`` records, per source file, its size,
modification time, the hash of its first bytes, and its segments: the places
each began and ended at (with the decoder's state there, and the hash of the
bytes before the end) and the days they wrote. Each row has the catalog's
``name`` and ``unit`` beside its codes (null where the root's catalog names
none), as the catalog was when its part was written; a lake made before they
were kept (its state without ``labels``) goes on without them.

A run reads only what files gained since the state's last end: a file of the
same size and time is not opened; a grown one is read from where the state
says it ended; a rewritten one (its hashes differ) has its parts deleted and
is read again from its start. A file's last segment is read again from its
start while it is short (REOPEN_BYTES), so that a lake kept in step every
minute does not collect a part per minute. Files are read through
ReadPlan.tail (zentrail._read.tail), the plan made once for the run.

Every part is written beside its target and renamed; the state is written
the same way, after the parts it names. A run killed at any moment leaves
parts that the state does not yet name; they are the ones the next run
writes again (the same source, the same starting place, so the same names),
and a rewritten source's parts are found by name. Hence the lake equals the
scan after any run that completes, however many were killed before it.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import glob
import os
import urllib.parse

from zentrail._base import arguments as _arguments, atomic as _atomic, time as _time
from zentrail import _core
from zentrail._live import cursor as _cursor, lake_state as _state
from zentrail._live.lake_state import LakeMismatchError, LakeStateError, RunCancelled  # noqa: F401 (raised here)
from zentrail._read.plan import archive_zone, open_ended_plan
from zentrail._read.tail import ResumePoint
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

STATE_NAME = _state.ROWS_STATE_NAME
# A file's last part is made again whole while the archive it came from is
# shorter than this: a lake kept in step every minute has a part per this
# many bytes of a day's file, not a part per minute.
REOPEN_BYTES = 32 << 20
LABELS = ("name", "unit")
NS_PER_DAY = 86_400 * 1_000_000_000


def _one_after_another(segments: List[Dict[str, Any]]) -> bool:
    """Whether each segment begins where the one before it ended (the first
    at the file's first byte) and ends no earlier: a run reads on from
    these places, and from any other would read a record from its middle."""
    start: List[Any] = [0, 0, 0]
    for segment in segments:
        if segment["start"] != start or segment["end"][0] < start[0]:
            return False
        # Where the next begins, with the place in a repeated hour that the end keeps (in a zone).
        start = ResumePoint.from_list(segment["end"]).start_list()
    return True


# The state as this lake writes it (see the module's text).
STATE_SHAPE = _state.Record(version=_state.WHOLE, **_state.SELECTION, files=_state.TextKeyed(_state.Record(
    size=_state.NATURAL, mtime_ns=_state.WHOLE, head=_state.TEXT, segments=_state.Also(_state.ListOf(_state.Record(
        start=_state.Places(), end=_state.Places(_state.FLAG), before=_state.TEXT, days=_state.ListOf(_state.TEXT),
        rows=_state.NATURAL)), "segments one after another from the file's first byte", _one_after_another))))


def part_name(source: str, offset: int) -> str:
    """The part of `source` (relative to the root) from `offset`: names that
    sort by source and place, and never begin with "_" or "."."""
    return f"part-{urllib.parse.quote(source, safe='')}~{offset:012d}.parquet"


def _parts_of(lake: str, source: str) -> List[str]:
    pattern = glob.escape(f"part-{urllib.parse.quote(source, safe='')}~") + "[0-9]" * 12 + ".parquet"
    return glob.glob(os.path.join(glob.escape(lake), "day=*", pattern))


class Lake:
    """One run over a lake: the state read at its start, written after each
    source file's parts."""

    def __init__(self, root: Any, lake: Any, signals: Any, start: Any, threads: Optional[int] = None,
                 tz: Any = None) -> None:
        self.threads = _arguments.usable_cpu_count() if threads is None else _arguments.count(threads, "threads", 1)
        self.cancelled = False
        # Checked now, imported when a part is written: a run with nothing
        # new does without them.
        import importlib.util

        if importlib.util.find_spec("pyarrow") is None:
            import_extra("pyarrow", "zentrail sync", "arrow")
        root_bytes = _arguments.path_bytes(root)
        self.root = os.path.abspath(os.fsdecode(root_bytes))
        if not os.path.isdir(self.root):
            raise FileNotFoundError(f"archive root {self.root!r} is not a folder")
        lake_text = os.fsdecode(_arguments.path_bytes(lake))
        _state.refuse_inside(os.fsdecode(root_bytes), lake_text)
        self.lake = os.path.abspath(lake_text)
        from zentrail._names import catalog as _catalog

        listed = signals if signals is None or not hasattr(signals, "__iter__") or \
            isinstance(signals, (str, bytes, range)) or hasattr(signals, "dtype") else list(signals)
        names = _catalog.resolve(None, root_bytes) if listed is not None and not isinstance(listed, (str, bytes)) \
            and _catalog.has_names(listed) else None
        codes = _arguments.codes_array(listed, names)
        self.zone = archive_zone(tz, root_bytes)  # before the start, which is read in it
        start_bound = None if start is None else _time.bound_in(self.zone, start, "start", False)
        self.plan = open_ended_plan(os.fsencode(self.root), start_bound, codes, self.threads).replace(zone=self.zone)
        # A lake holds the times of one zone (or wall times): a run in another is refused.
        self.selection = {"root": self.root, "signals": _state.codes_text(codes),
                          "start": None if start_bound is None else list(start_bound),
                          "zone": None if self.zone is None else self.zone.name}
        os.makedirs(self.lake, exist_ok=True)
        self.state = self._load_state()
        # The catalog's name and unit of each row, in a lake made since they
        # are kept (one made before goes on without, its parts all alike).
        self.labels: Any = None
        if self.state.get("labels"):
            from zentrail._names import labels as _labels

            catalog = _catalog.resolve(None, root_bytes)
            self.labels = False if catalog is None else _labels.Labels(catalog, self.plan.codes, LABELS)

    @property
    def pyarrow(self) -> Any:
        return import_extra("pyarrow", "zentrail sync", "arrow")

    @property
    def parquet(self) -> Any:
        return import_extra("pyarrow.parquet", "zentrail sync", "arrow")

    @property
    def schema(self) -> Any:
        pyarrow = self.pyarrow
        return pyarrow.schema([pyarrow.field(name, pyarrow.timestamp("ns", tz=self.zone.name)
                                             if name == "time" and self.zone is not None
                                             else pyarrow.from_numpy_dtype(dtype), nullable=False)
                               for name, dtype in _core.COLUMNS] + self.label_fields)

    @property
    def label_fields(self) -> List[Any]:
        pyarrow = self.pyarrow
        return [] if self.labels is None else [pyarrow.field(name, pyarrow.string()) for name in LABELS]

    # -- the state -----------------------------------------------------------

    def _load_state(self) -> Dict[str, Any]:
        grid = _state.GRID_STATE_NAME
        return _state.load_state(self.lake, STATE_NAME, STATE_SHAPE, self.selection,
                                 {"version": _state.STATE_VERSION, **self.selection, "labels": True, "files": {}},
                                 (grid, f"is a lake of aligned grids ({grid}), not of rows; sync rows into a new "
                                        "folder"))

    def _save_state(self) -> None:
        _state.save_state(self.lake, STATE_NAME, self.state)

    # -- one run -------------------------------------------------------------

    def run(self, report: Optional[Callable[[str], None]] = None) -> Dict[str, int]:
        """Brings the lake in step with the archive; returns counts of files
        read and of rows and parts written."""
        if not os.path.exists(os.path.join(self.lake, STATE_NAME)):
            self._save_state()  # first, so that a run killed before its first part leaves a lake that is ours
        self._remove_leftovers()
        found = self.plan.files()
        sources = {os.path.relpath(path, self.root).replace(os.sep, "/"): path for path in found}
        counts = {"files": 0, "rows": 0, "parts": 0, "removed": 0}
        files = self.state["files"]
        for source in sorted(set(files) - set(sources)):
            counts["removed"] += self._remove_parts(source)
            del files[source]
            self._save_state()
        plans = [plan for plan in (self._plan(source, path) for source, path in sources.items()) if plan]
        self._write_segments(plans, counts, report, self._commit)
        return counts

    def _write_segments(self, plans: List[Tuple[str, str, ResumePoint, List[Any], Any]], counts: Dict[str, int],
                        report: Optional[Callable[[str], None]],
                        done: Callable[[Tuple[str, str, ResumePoint, List[Any], Any], int, set, ResumePoint], None]
                        ) -> None:
        """Writes each planned file's new segment, on several threads (the
        reads and the Parquet encoding release the interpreter lock), and
        hands each to `done` here, in the plans' order, as they finish; adds
        them to `counts`. Stops the others at the first failure."""
        with concurrent.futures.ThreadPoolExecutor(max(1, min(self.threads, len(plans) or 1))) as pool:
            futures = [pool.submit(self._write_segment, *plan[:3]) for plan in plans]
            try:
                for plan, future in zip(plans, futures):
                    rows, days, end = future.result()
                    done(plan, rows, days, end)
                    counts["files"] += 1
                    counts["rows"] += rows
                    counts["parts"] += len(days)
                    if report is not None:
                        report(f"{plan[0]}: {rows} rows")
            except BaseException:
                for future in futures:
                    future.cancel()
                self.cancelled = True
                raise

    def _remove_leftovers(self) -> None:
        """Temporary files of a run that was killed: only ours (see _atomic)."""
        for path in glob.glob(os.path.join(glob.escape(self.lake), "day=*", ".*.partial.parquet")):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)

    def _remove_parts(self, source: str) -> int:
        parts = _parts_of(self.lake, source)
        for path in parts:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
        for folder in {os.path.dirname(p) for p in parts}:
            with contextlib.suppress(OSError):
                os.rmdir(folder)  # only when empty
        return len(parts)

    def _plan(self, source: str, path: str) -> Optional[Tuple[str, str, ResumePoint, List[Any], Any]]:
        """(source, path, the place to read from, the segments before it, the
        file's status), or None for a file that has not changed."""
        status = os.stat(path)
        entry = self.state["files"].get(source)
        if entry is not None and entry["size"] == status.st_size and entry["mtime_ns"] == status.st_mtime_ns:
            return None
        segments = [] if entry is None else list(entry["segments"])
        if segments and self._rewritten(path, entry, status.st_size):
            self._remove_parts(source)
            segments = []
            del self.state["files"][source]
            self._save_state()
        if segments and segments[-1]["end"][0] - segments[-1]["start"][0] < REOPEN_BYTES:
            start = ResumePoint.from_list(segments.pop()["start"])
        else:
            start = ResumePoint.from_list(segments[-1]["end"]) if segments else ResumePoint()
        return source, path, start, segments, status

    def _commit(self, plan: Tuple[str, str, ResumePoint, List[Any], Any], rows: int, days: set,
                end: ResumePoint) -> None:
        source, path, start, segments, status = plan
        head, before = _cursor.hashes(path, end.offset)
        segments = segments + [{"start": start.start_list(), "end": end.as_list(), "before": before,
                                "days": sorted(days), "rows": rows}]
        # The size and time as they were before reading: a file that grew
        # meanwhile is read again from its end next time.
        self.state["files"][source] = {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "head": head,
                                       "segments": segments}
        self._save_state()

    @staticmethod
    def _rewritten(path: str, entry: Dict[str, Any], size: int) -> bool:
        end = entry["segments"][-1]["end"][0]
        if size < end:
            return True
        head, before = _cursor.hashes(path, end)
        return head != entry["head"] or before != entry["segments"][-1]["before"]

    def _write_segment(self, source: str, path: str, start: ResumePoint) -> Tuple[int, set, ResumePoint]:
        """The rows of `path` from `start` to its last whole record, into one
        part per day, each renamed into place once complete."""
        writers: Dict[str, Any] = {}
        rows = 0
        end = start
        name = self.part_name(source, start.offset)
        with contextlib.ExitStack() as stack:
            for step in self._steps(path, start):
                end = step.after
                columns = step.rows
                if len(columns["time"]) > 0:
                    rows += len(columns["time"])
                    for row_day, batch in self._by_day(columns):
                        writer = writers.get(row_day)
                        if writer is None:
                            folder = os.path.join(self.lake, f"day={row_day}")
                            os.makedirs(folder, exist_ok=True)
                            temporary = stack.enter_context(self.writing(os.path.join(folder, name)))
                            writer = stack.enter_context(self.parquet.ParquetWriter(temporary, self.schema))
                            writers[row_day] = writer
                        writer.write_batch(batch)
        # The writers closed (ExitStack unwinds in reverse: each writer before
        # its file is renamed); parts of days this segment no longer reaches
        # (a reopened segment reads the same bytes, so there are none unless
        # the file was rewritten, whose parts were removed) need nothing.
        return rows, set(writers), end

    def writing(self, target: str) -> Any:
        """Where a part is written: beside `target`, renamed into it once
        whole (see _atomic)."""
        return _atomic.replacing(target)

    def part_name(self, source: str, offset: int) -> str:
        """The name of the parts of `source` from `offset` (one a day)."""
        return part_name(source, offset)

    def arrays(self, columns: Dict[str, Any]) -> List[Any]:
        """A step's columns as the lake's schema lays them out."""
        return [columns[name] for name, _ in _core.COLUMNS] + self.label_arrays(columns)

    def label_arrays(self, columns: Dict[str, Any]) -> List[Any]:
        """The catalog's name and unit of each row, null where it names none
        (all null without a catalog); none in a lake made before they were kept."""
        pyarrow = self.pyarrow
        if self.labels is None:
            return []
        if self.labels is False:
            return [pyarrow.nulls(len(columns["time"]), pyarrow.string()) for _ in LABELS]
        found = self.labels.indices_of(columns["signal_id"], columns["element"], LABELS)
        return [self.labels.arrow_column(pyarrow, pyarrow.array(self.labels.dictionary(field), pyarrow.string()),
                                         found[field]).cast(pyarrow.string()) for field in LABELS]

    def _steps(self, path: str, start: ResumePoint) -> Iterator[Any]:
        """The steps of the read of `path` from `start`, each taken only
        while the run goes on: one failing or interrupted keeps no part."""
        steps = self.plan.tail(path, start)
        while not self.cancelled:
            step = next(steps, None)
            if step is None:
                return
            yield step
        raise RunCancelled()

    def _by_day(self, columns: Dict[str, Any]) -> List[Tuple[str, Any]]:
        import numpy

        pyarrow, schema = self.pyarrow, self.schema
        arrays = self.arrays(columns)
        times = columns["time"].view(numpy.int64)
        if self.zone is not None:  # the days of a lake in a zone are its local days
            times = self.zone.wall_times(columns["time"]).view(numpy.int64)
        # Nearly always one day: two reductions tell, without a day per row.
        first_day = int(times.min()) // NS_PER_DAY
        batch = pyarrow.record_batch(arrays, schema=schema)
        if int(times.max()) // NS_PER_DAY == first_day:
            return [(str(numpy.datetime64(first_day, "D")), batch)]
        days = times // NS_PER_DAY
        return [(str(numpy.datetime64(int(day), "D")), batch.filter(pyarrow.array(days == day)))
                for day in numpy.unique(days)]


def lake_rows(lake: Any) -> int:
    """The rows the lake's state says it holds."""
    try:
        state = _state.read_state(os.path.join(os.fsdecode(lake), STATE_NAME), STATE_SHAPE)
    except FileNotFoundError:
        return 0
    return sum(segment["rows"] for entry in state["files"].values() for segment in entry["segments"])
