"""zentrail.sync(format="delta"): a lake of rows (or of aligned grids) as a
Delta table, kept in step with the archive as the Parquet lake is
(zentrail._live.sync and grid_lake: the same segments and days, made again
in the same cases), partitioned by ``day`` (a date).

Each run is one Delta commit, made through deltalake's transaction API: the
parts it wrote as ``add`` actions, and the files whose rows it replaces (a
file's last segment read again, a source rewritten or gone, a grid's day made
again) as ``remove`` actions, so that a reader sees all of a run or none of
it, and the versions before stay readable until the table is vacuumed. A
run that finds nothing new commits nothing. Parts are written before the
commit under names no run used before
(``day=YYYY-MM-DD/part-<source>~<offset>-<run's token>.parquet``,
``grid.<run's token>.parquet``): a run killed before its commit leaves files
that no version names, which Delta's full vacuum removes, and nothing a
reader sees.

The state (the Parquet lake's, and per table file its day and the rows each
source segment has in it, in order) is a JSON file under
``_zentrail_delta/``, written under a new name before the commit; the commit
names it in its commitInfo and sets the transaction version of the
application ``zentrail.sync`` to the run's number. The state in force is the
one named by the newest commit of ours, so it never runs ahead of or behind
the data a reader sees: a killed run's state file is named by no commit.
(The state itself in every commitInfo would grow the log by the whole state
a commit, a minute apart under --watch.)

Two runs at once: each commits on top of the version it read, with no
retry; the one that finds that version taken raises LakeConflictError
naming the lake, having committed nothing.

Compaction writes each finished day's files (every day before the newest)
into one, in a commit of its own whose actions say dataChange false. A
source rewritten later has its rows dropped from such a file by writing the
file again without them (its segments' rows are known, in order).

Delta's timestamps are instants in microseconds, the archive's in
nanoseconds: a row's ``time`` is ``timestamp[us, UTC]``, the microsecond its
time falls in, and ``nanosecond`` (0 to 999) the nanoseconds past it, so
that no time is rounded (``time`` alone sorts and filters as the archive's
times do, to the microsecond); a grid's instants are whole microseconds
(else the run stops, saying so). The zone is the lake's, as the state and
the table's description keep it; the days are local days of that zone, as
in the Parquet lake. Delta has no unsigned integers: the codes are int32 and
int16.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import time
import uuid

from zentrail import _core
from zentrail._base import atomic as _atomic
from zentrail._base.extras import import_extra
from zentrail._live import cursor as _cursor, lake_state as _state
from zentrail._live.lake_state import LakeConflictError, LakeMismatchError, LakeStateError
from zentrail._live import grid_lake as _grid, sync as _rows
from zentrail._live.grid_lake import GridLake
from zentrail._live.sync import Lake
from zentrail._read.tail import ResumePoint

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Iterable, List, Optional, Set, Tuple

APP_ID = "zentrail.sync"
STATE_FOLDER = "_zentrail_delta"
PURPOSE = "zentrail sync --format delta"
# The rows of a row group of a compacted file.
COMPACT_BATCH_ROWS = 1 << 20
# Delta has no unsigned integers: each code widened to the least signed type
# that holds it.
WIDENED = {"signal_id": "int32", "element": "int32", "item_class": "int16", "subtype": "int16"}

# The state: the Parquet lake's, the run's number, and each table file's
# day, size and pieces (the rows of a source's segment from `start`, in the
# file's row order; none in a lake of grids, a file a day).
PARTS = _state.TextKeyed(_state.Record(day=_state.TEXT, size=_state.NATURAL, pieces=_state.ListOf(_state.Record(
    source=_state.TEXT, start=_state.NATURAL, rows=_state.NATURAL))))
STATE_SHAPE = _state.Record(**_rows.STATE_SHAPE.fields, run=_state.NATURAL, parts=PARTS)
GRID_SHAPE = _state.Record(**_grid.STATE_SHAPE.fields, run=_state.NATURAL, parts=PARTS)


def deltalake() -> Any:
    return import_extra("deltalake", PURPOSE, "delta")


def is_delta_lake(lake: str) -> bool:
    return os.path.isdir(os.path.join(lake, "_delta_log"))


def newest_state(table: Any, lake: str) -> Dict[str, Any]:
    """The state the newest commit of ours names, checked against the shape
    of its kind (LakeStateError naming its file); LakeMismatchError for a
    table we never committed to."""
    for info in table.history():
        ours = info.get("zentrail")
        # The history is read anew: a commit after the table's version is another run's.
        if info["version"] <= table.version() and isinstance(ours, dict) and isinstance(ours.get("state"), str):
            break
    else:
        raise LakeMismatchError(f"{lake} is a Delta table that zentrail sync did not make; sync into a new folder")
    path = os.path.join(lake, STATE_FOLDER, os.path.basename(ours["state"]))
    try:
        state = _state.read_state(path, GRID_SHAPE if ours.get("kind") == "grid" else STATE_SHAPE)
    except FileNotFoundError:
        raise LakeStateError(f"{path}: the state the lake's newest commit names is missing; move the lake aside "
                             "and sync into a new folder") from None
    if table.transaction_version(APP_ID) != state["run"]:
        raise LakeStateError(f"{path}: of run {state['run']}, but the table's last run is "
                             f"{table.transaction_version(APP_ID)}")
    return state


def delta_held(lake: Any) -> Optional[Tuple[int, Optional[int]]]:
    """(rows, None) of a Delta lake of rows, (grid rows, the last grid
    instant) of one of grids, as its state says; None for a folder that is
    no Delta lake."""
    lake = os.fsdecode(lake)
    if not is_delta_lake(lake):
        return None
    try:
        table = deltalake().DeltaTable(lake)
    except deltalake().exceptions.TableNotFoundError:
        return 0, None
    state = newest_state(table, lake)
    return _grid.grid_held(state) if state.get("kind") == "grid" else (held(state), None)


def held(state: Dict[str, Any]) -> int:
    """The rows of the table files a state names."""
    return sum(piece["rows"] for part in state["parts"].values() for piece in part["pieces"])


class Table:
    """The Delta table of a lake as a run found it, and the one commit that
    run makes to it (see the module's text)."""

    def __init__(self, lake: str, selection: Dict[str, Any], fresh: Dict[str, Any]) -> None:
        self.lake = lake
        self.current: Any = None
        for name, kind in ((_state.ROWS_STATE_NAME, "Parquet lake of rows"),
                           (_state.GRID_STATE_NAME, "Parquet lake of aligned grids")):
            if os.path.exists(os.path.join(lake, name)):
                raise LakeMismatchError(f"{lake} is a {kind} ({name}), not a Delta lake; sync into a new folder")
        try:
            self.current = deltalake().DeltaTable(lake) if is_delta_lake(lake) else None
        except deltalake().exceptions.TableNotFoundError:  # its first commit being made, or never made
            pass
        if self.current is None:
            # Made first: a lake whose first run is under way (or was killed) is ours.
            if any(entry.startswith("day=") for entry in os.listdir(lake)) and \
                    not os.path.isdir(os.path.join(lake, STATE_FOLDER)):
                raise LakeMismatchError(f"{lake} holds day folders but no Delta log: not a lake that zentrail sync "
                                        "keeps; give an empty or new folder")
            os.makedirs(os.path.join(lake, STATE_FOLDER), exist_ok=True)
            self.state = fresh
            return
        self.state = newest_state(self.current, lake)
        for key, value in selection.items():
            if self.state.get(key) != value:
                raise LakeMismatchError(f"{lake} was kept with {key} = {self.state.get(key)!r}, not {value!r}; "
                                        "sync into a new folder to change it")

    def add(self, parts: Dict[str, Any], relative: str, day: str, pieces: List[Dict[str, Any]],
            data_change: bool = True) -> Any:
        """The add action of the file `relative` (of the lake), recorded in `parts`."""
        size = os.stat(os.path.join(self.lake, relative)).st_size
        parts[relative] = {"day": day, "size": size, "pieces": pieces}
        stats = json.dumps({"numRecords": sum(piece["rows"] for piece in pieces)} if pieces else {})
        return deltalake().transaction.AddAction(relative, size, {"day": day}, _now_ms(), data_change, stats)

    @staticmethod
    def remove(parts: Dict[str, Any], relative: str, data_change: bool = True) -> Any:
        """The remove action of the file `relative`, taken out of `parts`."""
        part = parts.pop(relative)
        return deltalake().transaction.RemoveAction(relative, data_change, _now_ms(), part["size"],
                                                    {"day": part["day"]})

    def commit(self, state: Dict[str, Any], actions: List[Any], operation: str, schema: Any, rows: int) -> None:
        """One Delta commit of `actions` with `state` (of `rows` rows), on top
        of the version this run read (LakeConflictError when another run took
        it). `schema`: the files' Arrow schema, for a table not made yet."""
        delta = deltalake()
        state["run"] += 1
        folder = os.path.join(self.lake, STATE_FOLDER)
        name = f"state-{state['run']:010d}-{uuid.uuid4().hex[:12]}.json"
        with _atomic.new_file(os.path.join(folder, name)) as path, open(path, "w", encoding="utf-8") as f:
            json.dump(state, f, separators=(",", ":"))
        ours = {"state": name, "run": state["run"], "operation": operation, "rows": rows,
                "kind": state.get("kind", "rows")}
        properties = delta.transaction.CommitProperties(
            custom_metadata={"zentrail": ours}, max_commit_retries=0,
            app_transactions=[delta.transaction.Transaction(APP_ID, state["run"])])
        try:
            if self.current is None:
                pyarrow = import_extra("pyarrow", PURPOSE, "arrow")
                delta.transaction.create_table_with_add_actions(
                    self.lake, delta.Schema.from_arrow(schema.append(pyarrow.field("day", pyarrow.date32()))),
                    actions, "error", ["day"], description=_described(state), commit_properties=properties)
            else:
                self.current.create_write_transaction(actions, "append", self.current.schema(), ["day"],
                                                    commit_properties=properties)
        except (delta.exceptions.CommitFailedError, delta.exceptions.DeltaError) as error:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(folder, name))
            made = os.path.exists(os.path.join(self.lake, "_delta_log", f"{0:020d}.json"))
            if not isinstance(error, delta.exceptions.CommitFailedError) and (self.current is not None or not made):
                raise
            taken = 0 if self.current is None else self.current.version() + 1
            raise LakeConflictError(f"{self.lake}: another run committed to the lake while this one ran (version "
                                    f"{taken}); this run committed nothing (run it again)") from None
        self.current = delta.DeltaTable(self.lake)
        self.state = state
        for old in os.listdir(folder):  # the states no commit of ours will name again
            if old.startswith("state-") and old < f"state-{state['run']:010d}":
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(folder, old))


def _safe(source: str) -> str:
    """A source's name as a file name that needs no escaping in a Delta path."""
    return re.sub(r"[^A-Za-z0-9._-]", "_", source)


class DeltaLake(Lake):
    """One run over a Delta lake of rows (see the module's text)."""

    def __init__(self, *args: Any, **keywords: Any) -> None:
        deltalake()  # before anything is made: an ImportError naming the extra
        self.token = uuid.uuid4().hex[:12]
        super().__init__(*args, **keywords)

    # -- the schema ----------------------------------------------------------

    @property
    def schema(self) -> Any:
        """The files' schema: the table's less its partition column."""
        pyarrow = self.pyarrow
        fields = [pyarrow.field("time", pyarrow.timestamp("us", tz="UTC"), nullable=False),
                  pyarrow.field("nanosecond", pyarrow.int16(), nullable=False)]
        fields += [pyarrow.field(name, pyarrow.type_for_alias(WIDENED.get(name, str(dtype))), nullable=False)
                   for name, dtype in _core.COLUMNS[1:]]
        return pyarrow.schema(fields + self.label_fields)

    def arrays(self, columns: Dict[str, Any]) -> List[Any]:
        import numpy

        pyarrow = self.pyarrow
        ns = columns["time"].view(numpy.int64)
        micros, nanos = numpy.divmod(ns, 1000)  # one pass: floor, so that nanos is 0 to 999 before 1970 too
        arrays = [pyarrow.array(micros).view(pyarrow.timestamp("us", tz="UTC")), nanos.astype(numpy.int16)]
        arrays += [columns[name].astype(WIDENED.get(name, columns[name].dtype)) for name, _ in _core.COLUMNS[1:]]
        return arrays + self.label_arrays(columns)

    def writing(self, target: str) -> Any:
        return _atomic.new_file(target)

    def part_name(self, source: str, offset: int) -> str:
        return f"part-{_safe(source)}~{offset:012d}-{self.token}.parquet"

    # -- the state -----------------------------------------------------------

    def _load_state(self) -> Dict[str, Any]:
        self.table = Table(self.lake, self.selection,
                           {"version": _state.STATE_VERSION, **self.selection, "labels": True, "files": {}, "run": 0,
                            "parts": {}})
        return self.table.state

    # -- one run -------------------------------------------------------------

    def run(self, report: Optional[Callable[[str], None]] = None) -> Dict[str, int]:
        """Brings the lake in step with the archive in one commit (none when
        nothing changed); returns counts of files read and of rows and parts
        written, and of table files removed."""
        self.token = uuid.uuid4().hex[:12]  # the names of this run's parts, each new
        state = json.loads(json.dumps(self.state))  # this run's, in force once committed
        files = state["files"]
        sources = {os.path.relpath(path, self.root).replace(os.sep, "/"): path for path in self.plan.files()}
        counts = {"files": 0, "rows": 0, "parts": 0, "removed": 0}
        gone: Set[Tuple[str, int]] = set()  # the segments whose rows leave the table
        for source in sorted(set(files) - set(sources)):
            gone.update((source, segment["start"][0]) for segment in files.pop(source)["segments"])
        plans = [plan for plan in (self._plan_in(files, gone, source, path) for source, path in sources.items())
                 if plan]
        if not plans and not gone:
            return counts
        # Before the new parts are recorded: theirs may be the same segments.
        changes = self._without(state["parts"], gone)
        adds: List[Any] = []
        self._write_segments(plans, counts, report,
                             lambda plan, rows, days, end: adds.extend(self._added(state, plan, rows, days, end)))
        counts["removed"] = sum(1 for action in changes if not hasattr(action, "stats"))
        self._commit_run(state, adds + changes, "sync")
        return counts

    def _plan_in(self, files: Dict[str, Any], gone: Set[Tuple[str, int]], source: str, path: str
                 ) -> Optional[Tuple[str, str, ResumePoint, List[Any], Any]]:
        """As the Parquet lake plans a file (Lake._plan), the segments whose
        rows a rewritten file or a reopened segment replaces added to `gone`."""
        status = os.stat(path)
        entry = files.get(source)
        if entry is not None and entry["size"] == status.st_size and entry["mtime_ns"] == status.st_mtime_ns:
            return None
        segments = [] if entry is None else list(entry["segments"])
        if entry is not None and segments and self._rewritten(path, entry, status.st_size):
            gone.update((source, segment["start"][0]) for segment in segments)
            segments = []
            del files[source]
        if segments and segments[-1]["end"][0] - segments[-1]["start"][0] < _rows.REOPEN_BYTES:
            reopened = segments.pop()
            gone.add((source, reopened["start"][0]))
            start = ResumePoint.from_list(reopened["start"])
        else:
            start = ResumePoint.from_list(segments[-1]["end"]) if segments else ResumePoint()
        return source, path, start, segments, status

    def _added(self, state: Dict[str, Any], plan: Tuple[str, str, ResumePoint, List[Any], Any], rows: int,
               days: Set[str], end: ResumePoint) -> List[Any]:
        """Records a file's new segment in `state`; the add actions of its parts."""
        source, path, start, segments, status = plan
        head, before = _cursor.hashes(path, end.offset)
        state["files"][source] = {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "head": head,
                                  "segments": segments + [{"start": start.start_list(), "end": end.as_list(),
                                                           "before": before, "days": sorted(days), "rows": rows}]}
        name = self.part_name(source, start.offset)
        adds = []
        for day in sorted(days):
            relative = f"day={day}/{name}"
            count = self.parquet.read_metadata(os.path.join(self.lake, relative)).num_rows
            adds.append(self.table.add(state["parts"], relative, day,
                                       [{"source": source, "start": start.offset, "rows": count}]))
        return adds

    def _without(self, parts: Dict[str, Any], gone: Set[Tuple[str, int]]) -> List[Any]:
        """The actions that take the rows of the `gone` segments out of the
        table: a file of nothing else removed, a compacted file written again
        with the rows of the others."""
        actions = []
        for relative, part in sorted(parts.items()):
            kept = [piece for piece in part["pieces"] if (piece["source"], piece["start"]) not in gone]
            if len(kept) == len(part["pieces"]):
                continue
            if kept:
                actions.append(self._rewrite(parts, relative, part, kept))
            actions.append(self.table.remove(parts, relative))
        return actions

    def _rewrite(self, parts: Dict[str, Any], relative: str, part: Dict[str, Any],
                 kept: List[Dict[str, Any]]) -> Any:
        """The add action of a file of `part`'s day holding the rows of the
        `kept` pieces of `relative` (and of nothing else), in their order."""
        table = self.parquet.read_table(os.path.join(self.lake, relative), schema=self.schema)
        places, at = {}, 0
        for piece in part["pieces"]:
            places[(piece["source"], piece["start"])] = at
            at += piece["rows"]
        slices = [table.slice(places[(piece["source"], piece["start"])], piece["rows"]) for piece in kept]
        return self._write_file(parts, part["day"], slices, kept, "kept")

    def _write_file(self, parts: Dict[str, Any], day: str, tables: Iterable[Any], pieces: List[Dict[str, Any]],
                    what: str, data_change: bool = True) -> Any:
        """The add action of a new file of `day` holding `tables` (tables or
        record batches), the rows of `pieces`."""
        relative = f"day={day}/{what}-{uuid.uuid4().hex[:12]}.parquet"
        with _atomic.new_file(os.path.join(self.lake, relative)) as path:
            with self.parquet.ParquetWriter(path, self.schema) as writer:
                for table in tables:
                    writer.write(table)
        return self.table.add(parts, relative, day, pieces, data_change)

    def _commit_run(self, state: Dict[str, Any], actions: List[Any], operation: str) -> None:
        self.table.commit(state, actions, operation, self.schema, held(state))
        self.state = state

    # -- compaction ----------------------------------------------------------

    def compact(self) -> int:
        """Writes each finished day's files (every day before the newest) into
        one, in one commit that changes no row; returns the days compacted."""
        state = json.loads(json.dumps(self.state))
        parts = state["parts"]
        by_day: Dict[str, List[str]] = {}
        for relative, part in sorted(parts.items()):
            by_day.setdefault(part["day"], []).append(relative)
        finished = sorted(by_day)[:-1]
        actions = []
        for day in finished:
            if len(by_day[day]) < 2:
                continue
            # Read a batch at a time: a day of a large archive need not fit in memory.
            tables = (batch for relative in by_day[day] for batch in self.parquet.ParquetFile(
                os.path.join(self.lake, relative)).iter_batches(COMPACT_BATCH_ROWS))
            pieces = [piece for relative in by_day[day] for piece in parts[relative]["pieces"]]
            actions.append(self._write_file(parts, day, tables, pieces, "compacted", data_change=False))
            actions += [self.table.remove(parts, relative, data_change=False) for relative in by_day[day]]
        if actions:
            self._commit_run(state, actions, "compact")
        return sum(1 for action in actions if not hasattr(action, "deletion_timestamp"))


class DeltaGridLake(GridLake):
    """One run over a Delta lake of aligned grids: the Parquet grid lake's
    days made again in the same cases (zentrail._live.grid_lake), each a
    file of the table that a remove and an add replace, all of a run in one
    commit. Its pending mark is never kept: a run killed before its commit
    changed nothing that a reader or the next run sees."""

    def __init__(self, *args: Any, **keywords: Any) -> None:
        deltalake()  # before anything is made: an ImportError naming the extra
        self.token = uuid.uuid4().hex[:12]
        self.actions: List[Any] = []
        self.file_schema: Any = None
        super().__init__(*args, **keywords)

    def _load_state(self) -> Dict[str, Any]:
        self.table = Table(self.lake, self.selection,
                           {"version": _state.STATE_VERSION, **self.selection, "origin": None, "end": None,
                            "pending": None, "files": {}, "run": 0, "parts": {}})
        return self.table.state

    def _save_state(self) -> None:
        pass  # the state goes with the run's commit

    def _remove_leftovers(self) -> None:
        pass  # a killed run's files are named by no version: vacuum's

    def writing(self, target: str) -> Any:
        return _atomic.new_file(target)

    def run(self, report: Optional[Callable[[str], None]] = None) -> Dict[str, int]:
        """As the Parquet grid lake's run, then one commit of what it changed."""
        self.token = uuid.uuid4().hex[:12]
        self.actions = []
        before = json.dumps(self.state, sort_keys=True)
        counts = super().run(report)
        if json.dumps(self.state, sort_keys=True) != before and (self.actions or self.table.current is not None):
            self.table.commit(self.state, self.actions, "sync", self.file_schema, _grid.grid_held(self.state)[0])
        return counts

    def _day_parts(self, day: str) -> List[str]:
        return [relative for relative, part in self.state["parts"].items() if part["day"] == day]

    def day_file(self, day: str) -> str:
        return f"grid.{self.token}.parquet"

    def day_held(self, day: str) -> str:
        """The day's file in the table; for a day it has none, a path where
        no file is (a day made anew is compared with nothing)."""
        held = self._day_parts(day)
        return os.path.join(self.lake, held[0] if held else f"day={day}/none")

    def day_schema(self, schema: Any) -> Any:
        pyarrow = import_extra("pyarrow", PURPOSE, "arrow")
        self.file_schema = schema.set(0, pyarrow.field(schema[0].name, pyarrow.timestamp("us", tz="UTC"),
                                                       nullable=schema[0].nullable))
        return self.file_schema

    def day_rows(self, table: Any) -> Any:
        pyarrow = import_extra("pyarrow", PURPOSE, "arrow")
        try:
            return table.cast(self.file_schema)
        except pyarrow.ArrowInvalid:
            raise ValueError("a grid instant is finer than a microsecond, which a Delta lake's time cannot hold: "
                             "give every and the start in whole microseconds") from None

    def day_written(self, day: str, path: str) -> None:
        parts = self.state["parts"]
        relative = os.path.relpath(path, self.lake).replace(os.sep, "/")
        for old in self._day_parts(day):
            if old == relative:  # written before in this run: its add goes
                self.actions = [action for action in self.actions if getattr(action, "path", None) != old
                                or hasattr(action, "deletion_timestamp")]
                del parts[old]
            else:
                self.actions.append(self.table.remove(parts, old))
        self.actions.append(self.table.add(parts, relative, day, []))

    def _remove_days_but(self, days: Set[str]) -> int:
        gone = [relative for relative, part in self.state["parts"].items() if part["day"] not in days]
        self.actions += [self.table.remove(self.state["parts"], relative) for relative in gone]
        return len(gone)


def _described(state: Dict[str, Any]) -> str:
    """The table's description: what it holds, and the zone of its days
    (Delta keeps instants, which readers show in UTC)."""
    zone = state.get("zone")
    return (f"zentrail sync of {state['root']}: " + ("aligned grids" if state.get("kind") == "grid" else "rows")
            + (f"; days and times of the zone {zone}, times kept as UTC instants" if zone else ""))


def _now_ms() -> int:
    return int(time.time() * 1000)
