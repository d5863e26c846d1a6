"""zentrail.sync: a Parquet lake that holds the rows of a scan of an archive,
kept in step with the archive incrementally.

Layout (hive): ``LAKE/day=YYYY-MM-DD/part-<source>~<offset>.parquet``, the
day from each row's time. Each part holds the rows that one source file
gave, from the record at <offset> (a place between two records) to the
place the next part of that file starts, on that day. The state file
``LAKE/_zentrail_sync.json`` records, per source file, its size,
modification time, the hash of its first bytes, and its segments: the places
each began and ended at (with the decoder's state there, and the hash of the
bytes before the end) and the days they wrote.

A run reads only what files gained since the state's last end: a file of the
same size and time is not opened; a grown one is read from where the state
says it ended; a rewritten one (its hashes differ) has its parts deleted and
is read again from its start. A file's last segment is read again from its
start while it is short (REOPEN_BYTES), so that a lake kept in step every
minute does not collect a part per minute.

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
import json
import os
import time
import urllib.parse

from zentrail._base import arguments as _arguments, atomic as _atomic, time as _time
from zentrail import _core
from zentrail._live import cursor as _cursor
from zentrail._live.lake_state import (GRID_STATE_NAME, ROWS_STATE_NAME, LakeMismatchError, RunCancelled, codes_text,
                                       load_state, save_state)
from zentrail._read import request as _request
from zentrail._series import window as _series
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Tuple

STATE_NAME = ROWS_STATE_NAME
STATE_VERSION = 1
STEP_BYTES = 16 << 20
REOPEN_BYTES = 32 << 20
NS_PER_DAY = 86_400 * 1_000_000_000


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

    def __init__(self, root: Any, lake: Any, signals: Any, start: Any, threads: Optional[int] = None) -> None:
        self.threads = _arguments.usable_cpu_count() if threads is None else _arguments.count(threads, "threads", 1)
        self.cancelled = False
        # Checked now, imported when a part is written: a run with nothing
        # new does without them.
        import importlib.util

        if importlib.util.find_spec("pyarrow") is None:
            import_extra("pyarrow", "zentrail sync", "arrow")
        self.root_bytes = _arguments.path_bytes(root)
        self.root = os.path.abspath(os.fsdecode(self.root_bytes))
        if not os.path.isdir(self.root):
            raise FileNotFoundError(f"archive root {self.root!r} is not a folder")
        self.lake = os.path.abspath(os.fsdecode(_arguments.path_bytes(lake)))
        from zentrail._names import catalog as _catalog

        listed = signals if signals is None or not hasattr(signals, "__iter__") or \
            isinstance(signals, (str, bytes, range)) or hasattr(signals, "dtype") else list(signals)
        names = _catalog.resolve(None, self.root_bytes) if listed is not None and not isinstance(listed, (str, bytes)) \
            and _catalog.has_names(listed) else None
        self.codes = _arguments.codes_array(listed, names)
        self.start = None if start is None else _time.bound_tuple(start, "start")
        self.selection = {"root": self.root, "signals": codes_text(self.codes),
                          "start": None if self.start is None else list(self.start)}
        os.makedirs(self.lake, exist_ok=True)
        self.state = self._load_state()

    @property
    def pyarrow(self) -> Any:
        return import_extra("pyarrow", "zentrail sync", "arrow")

    @property
    def parquet(self) -> Any:
        return import_extra("pyarrow.parquet", "zentrail sync", "arrow")

    @property
    def schema(self) -> Any:
        pyarrow = self.pyarrow
        return pyarrow.schema([pyarrow.field(name, pyarrow.from_numpy_dtype(dtype), nullable=False)
                               for name, dtype in _core.COLUMNS])

    # -- the state -----------------------------------------------------------

    def _load_state(self) -> Dict[str, Any]:
        return load_state(self.lake, STATE_NAME, self.selection, {"version": STATE_VERSION, **self.selection, "files": {}},
                          (GRID_STATE_NAME, f"is a lake of aligned grids ({GRID_STATE_NAME}), not of rows; sync rows "
                                            "into a new folder"))

    def _save_state(self) -> None:
        save_state(self.lake, STATE_NAME, self.state)

    # -- one run -------------------------------------------------------------

    def run(self, report: Optional[Callable[[str], None]] = None) -> Dict[str, int]:
        """Brings the lake in step with the archive; returns counts of files
        read and of rows and parts written."""
        if not os.path.exists(os.path.join(self.lake, STATE_NAME)):
            self._save_state()  # first, so that a run killed before its first part leaves a lake that is ours
        self._remove_leftovers()
        found = _core.find_files(_request.Request(self.root_bytes, False, self.start, None, threads=1))
        sources = {os.path.relpath(path, self.root).replace(os.sep, "/"): path for path in found}
        counts = {"files": 0, "rows": 0, "parts": 0, "removed": 0}
        files = self.state["files"]
        for source in sorted(set(files) - set(sources)):
            counts["removed"] += self._remove_parts(source)
            del files[source]
            self._save_state()
        plans = [plan for plan in (self._plan(source, path) for source, path in sources.items()) if plan]
        # Files are read and written on several threads (the reads and the
        # Parquet encoding release the interpreter lock); the state is written
        # here, after each file's parts, in whatever order they finish.
        with concurrent.futures.ThreadPoolExecutor(max(1, min(self.threads, len(plans) or 1))) as pool:
            futures = [pool.submit(self._write_segment, *plan[:3]) for plan in plans]
            try:
                for plan, future in zip(plans, futures):
                    rows, days, end = future.result()
                    self._commit(plan, rows, days, end)
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
        return counts

    def _remove_leftovers(self) -> None:
        """Temporary files of a run that was killed: only ours (see _atomic)."""
        for path in glob.glob(os.path.join(glob.escape(self.lake), "day=*", ".part-*.partial.parquet")):
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

    def _plan(self, source: str, path: str) -> Optional[Tuple[str, str, List[int], List[Any], Any]]:
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
            start = segments.pop()["start"]
        else:
            start = segments[-1]["end"][:3] if segments else [0, 0, 0]
        return source, path, start, segments, status

    def _commit(self, plan: Tuple[str, str, List[int], List[Any], Any], rows: int, days: set,
                end: List[Any]) -> None:
        source, path, start, segments, status = plan
        offset, day, id_, ended = end
        head, before = _cursor.hashes(path, offset)
        segments = segments + [{"start": start, "end": [offset, day, id_, ended], "before": before,
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

    def _write_segment(self, source: str, path: str, start: List[int]) -> Tuple[int, set, List[Any]]:
        """The rows of `path` from `start` to its last whole record, into one
        part per day, each renamed into place once complete."""
        writers: Dict[str, Any] = {}
        rows = 0
        place: Tuple[int, int, int, bool] = (start[0], start[1], start[2], False)
        name = part_name(source, start[0])
        request = _request.Request([os.fsencode(path)], True, self.start, None, self.codes, threads=1)
        with contextlib.ExitStack() as stack:
            while True:
                if self.cancelled:  # the run is failing or interrupted: no part of this is kept
                    raise RunCancelled()
                columns, offset, day, id_, ended = _core.tail_read(request, place[0], place[1], place[2], STEP_BYTES)
                next_place = (offset, day, id_, ended)
                if len(columns["time"]) > 0:
                    rows += len(columns["time"])
                    for row_day, batch in self._by_day(columns):
                        writer = writers.get(row_day)
                        if writer is None:
                            folder = os.path.join(self.lake, f"day={row_day}")
                            os.makedirs(folder, exist_ok=True)
                            temporary = stack.enter_context(_atomic.replacing(os.path.join(folder, name)))
                            writer = stack.enter_context(self.parquet.ParquetWriter(temporary, self.schema))
                            writers[row_day] = writer
                        writer.write_batch(batch)
                if next_place == place or next_place[3]:
                    place = next_place
                    break
                place = next_place
        # The writers closed (ExitStack unwinds in reverse: each writer before
        # its file is renamed); parts of days this segment no longer reaches
        # (a reopened segment reads the same bytes, so there are none unless
        # the file was rewritten, whose parts were removed) need nothing.
        return rows, set(writers), list(place)

    def _by_day(self, columns: Dict[str, Any]) -> List[Tuple[str, Any]]:
        import numpy

        pyarrow, schema = self.pyarrow, self.schema
        arrays = [columns[name] for name in schema.names]
        times = columns["time"].view(numpy.int64)
        # Nearly always one day: two reductions tell, without a day per row.
        first_day = int(times.min()) // NS_PER_DAY
        if int(times.max()) // NS_PER_DAY == first_day:
            return [(str(numpy.datetime64(first_day, "D")), pyarrow.record_batch(arrays, schema=schema))]
        days = times // NS_PER_DAY
        out = []
        for day in numpy.unique(days):
            mask = days == day
            out.append((str(numpy.datetime64(int(day), "D")),
                        pyarrow.record_batch([a[mask] for a in arrays], schema=schema)))
        return out


def sync(root: Any, lake: Any, signals: Any = None, *, start: Any = None, every: Any = None, how: str = "step",
         max_gap: Any = None, lookback: Any = _series.DEFAULT_LOOKBACK, watch: bool = False,
         commit_every: Any = "60s", threads: Optional[int] = None,
         report: Optional[Callable[[str], None]] = None) -> Dict[str, int]:
    """Brings the Parquet lake ``lake`` (hive layout, ``day=YYYY-MM-DD``
    folders) in step with the rows of ``scan(root, start, <now>, signals)``,
    reading only what the archive gained since the last run; see the module's
    notes. With ``watch=True`` it goes on, committing what the archive gained
    at most every ``commit_every``, until Ctrl-C (KeyboardInterrupt). Returns
    the counts of the last run (files read, rows and parts written, parts
    removed). Files are read on ``threads`` threads (default: the usable
    CPUs). Needs pyarrow (``pip install "zentrail[arrow]"``).

    With ``every`` the lake holds the aligned grid instead of the rows:
    ``scan(root, S, E, signals).align(every, how=how, max_gap=max_gap,
    lookback=lookback)``, one ``grid.parquet`` per day, from S (``start``,
    or the midnight of the first archive file's day) to E, the newest row of
    the signals, which are required; the counts are then of files read, days
    and grid rows written, and days removed (see zentrail._live.grid_lake). A lake
    keeps the settings it was made with: other ones raise
    LakeMismatchError."""
    if every is None:
        if how != "step" or max_gap is not None or lookback != _series.DEFAULT_LOOKBACK:
            raise ValueError("how, max_gap and lookback go with every (a lake of aligned grids)")
        state: Any = Lake(root, lake, signals, start, threads)
    else:
        from zentrail._live.grid_lake import GridLake

        state = GridLake(root, lake, signals, start, every, how, max_gap, lookback, threads)
    counts = state.run(report)
    if not watch:
        return counts
    interval = _time.duration_seconds(commit_every, "commit_every")
    while True:
        time.sleep(interval)
        counts = state.run(report)


def lake_rows(lake: Any) -> int:
    """The rows the lake's state says it holds."""
    try:
        with open(os.path.join(os.fsdecode(lake), STATE_NAME), encoding="utf-8") as f:
            state = json.load(f)
    except FileNotFoundError:
        return 0
    return sum(segment["rows"] for entry in state["files"].values() for segment in entry["segments"])
