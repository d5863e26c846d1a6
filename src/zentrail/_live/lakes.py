"""zentrail.sync: which lake a run keeps (of rows or of aligned grids, in
Parquet or Delta), and the loop that keeps it in step with --watch."""

from __future__ import annotations

import time
import warnings

from zentrail._base import time as _time
from zentrail._live.lake_state import LakeConflictError
from zentrail._series import window as _series

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Optional, Tuple

FORMATS = ("parquet", "delta")


def sync(root: Any, lake: Any, signals: Any = None, *, start: Any = None, every: Any = None, how: str = "step",
         max_gap: Any = None, lookback: Any = _series.DEFAULT_LOOKBACK, watch: bool = False,
         commit_every: Any = "60s", threads: Optional[int] = None,
         report: Optional[Callable[[str], None]] = None, tz: Any = None, format: str = "parquet",
         compact: bool = False) -> Dict[str, int]:
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
    LakeMismatchError, as does a lake inside the archive; a damaged state
    file raises LakeStateError naming it, before anything is written.

    ``tz``: the archive's zone, as for :func:`zentrail.scan` (None: the root's
    zone file, if any): the lake's ``time`` is ``timestamp[ns, tz=<zone>]``,
    its day folders are local days (a grid's whole-day steps run from local
    midnight to local midnight), and a lake keeps the zone it was made in.

    A lake of rows has the catalog's ``name`` and ``unit`` of each row
    beside its codes (but one made before they were kept).

    ``format="delta"``: the lake (of rows or of grids) is a Delta table
    (``day`` its partition column, a date), each run that finds something
    new one Delta commit of the files it wrote and the removal of those they
    replace; a run that finds its version taken by another raises
    LakeConflictError and commits nothing (with ``watch`` it warns, reads
    the lake again and goes on). See zentrail._live.delta_lake.
    Needs deltalake (``pip install "zentrail[delta]"``). With
    ``compact=True`` a run of rows then writes each finished day's files
    into one, in a commit of its own that changes no row (counted as
    ``compacted`` days)."""
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(map(repr, FORMATS))}, not {format!r}")
    if compact and (format != "delta" or every is not None):
        raise ValueError("compact goes with format='delta' and rows (a Parquet lake's parts are a source file's "
                         "each, a grid's a file a day already)")
    if every is None:
        if how != "step" or max_gap is not None or lookback != _series.DEFAULT_LOOKBACK:
            raise ValueError("how, max_gap and lookback go with every (a lake of aligned grids)")
        if format == "delta":
            from zentrail._live import delta_lake
            kind: Any = delta_lake.DeltaLake
        else:
            from zentrail._live import sync as rows_lake
            kind = rows_lake.Lake
        arguments: Tuple[Any, ...] = (root, lake, signals, start, threads, tz)
    else:
        if format == "delta":
            from zentrail._live import delta_lake
            kind = delta_lake.DeltaGridLake
        else:
            from zentrail._live import grid_lake
            kind = grid_lake.GridLake
        arguments = (root, lake, signals, start, every, how, max_gap, lookback, threads, tz)
    state = kind(*arguments)
    interval = _time.duration_seconds(commit_every, "commit_every")
    while True:
        try:
            counts = state.run(report)
            if compact:
                counts["compacted"] = state.compact()
        except LakeConflictError as conflict:
            if not watch:
                raise
            # Another run committed first: a watch reads the lake again and
            # goes on, its rows found again at the next commit.
            warnings.warn(f"{conflict}; zentrail sync --watch reads the lake again", RuntimeWarning, stacklevel=2)
            state = kind(*arguments)
        if not watch:
            return counts
        time.sleep(interval)
