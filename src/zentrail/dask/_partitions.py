"""zentrail.dask.read_archive: the partitions of an archive read, each a
zentrail.ReadPlan, and the function that reads one on a worker."""

from __future__ import annotations

import warnings

import zentrail
from zentrail._base import time as _time
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union


def read_archive(root: Any, start: Any, end: Any, signals: Optional[Iterable[Union[int, str]]] = None, *,
                 by_day: bool = False, columns: Optional[Sequence[str]] = None, catalog: Any = None,
                 storage_options: Optional[Dict[str, Any]] = None, tz: Any = None) -> Any:
    """The rows of ``zentrail.scan(root, start, end, signals)`` as a Dask
    DataFrame, read on the workers.

    ``signals`` and ``catalog`` as :func:`zentrail.scan` takes them: codes,
    and names and shell-style patterns of the catalog (``["TI-*"]``), which
    the client resolves before any partition is made.

    ``by_day=False`` (the default): one partition per archive file, in the
    order scan reads them, so that computed it holds scan's rows in scan's
    order (each partition indexed from 0); divisions unknown.

    ``by_day=True``: one partition per day that holds rows of the window,
    indexed by ``time`` and sorted within the day (stably: rows of one
    instant keep scan's order), with the midnights as divisions, so that
    Dask answers ``frame.loc["2024-03-02"]`` from one partition. A day's
    partition holds exactly the rows of scan whose time lies in that day,
    whichever files hold them: a file's rows need not lie in the day of its
    name (a date mark may name another day), so the client first takes an
    inventory of the window by file and day (``zentrail.inventory(...,
    by="file")``, a pass over record heads), and each day's partition reads
    the files that hold records of that day, keeping its rows of that day.

    ``columns``: the columns to read (Scan.select's names, name columns
    included); Dask's own column projection (``frame[["value"]]``) narrows
    the read further. ``storage_options``: for a URL root, the options of
    its fsspec file system. Each task reads with one thread, since Dask runs
    one task per core. The archive must be at the same place for the client
    (which lists it) and the workers (which read it).

    ``tz``: the archive's zone, as for :func:`zentrail.scan` (None: the root's
    zone file, if any): ``time`` holds instants shown in the zone, and the
    partitions by day are local days (23, 24 or 25 hours), their divisions
    local midnights (where a zone skips midnight, the instant its clock
    starts the day).
    """
    dd = dask_dataframe()
    plan = zentrail.scan(root, start, end, signals, catalog=catalog, threads=1,
                         storage_options=storage_options, tz=tz).plan
    if columns is not None:
        plan = plan.select(*_read_columns(columns, by_day))
    if not plan.needs_catalog:  # the names are resolved: no catalog need travel with every partition
        plan = plan.replace(catalog=None)
    # A partition without rows is no empty read worth a warning on a worker.
    plan = plan.with_codes(plan.codes)
    reader = _PartReader(by_day)
    with warnings.catch_warnings():  # the typed empty frame is no read that found nothing
        warnings.simplefilter("ignore")
        meta = reader(plan.with_files([]))
    if not by_day:
        parts = [plan.with_files([path]) for path in plan.files()]
        if not parts:
            return dd.from_pandas(meta, npartitions=1)
        return dd.from_map(reader, parts, meta=meta, enforce_metadata=False, label="zentrail-file")
    zone = plan.zone
    days = files_by_day(zentrail.inventory(root, start, end, by="file", catalog=False,
                                           storage_options=storage_options, tz=False if zone is None else zone))
    if not days:
        return dd.from_pandas(meta, npartitions=1)
    # Each day from its midnight to the next one's (local midnights in a
    # zone: a day of 23 or 25 hours among them), as instants.
    midnights = [int(day.astype("datetime64[ns]").astype("int64")) for day, _ in days]
    midnights.append(midnights[-1] + _time.NS_PER_DAY)
    if zone is not None:
        # A skipped midnight is where the clock starts the day (fold 0: the
        # offset before the change); a day that ends in a repeated hour holds
        # both its passes, up to the instant the next day begins.
        midnights = [zone.instant_ns(wall) for wall in midnights]
    parts = [plan.with_files(files).narrowed(first=midnights[n], last=midnights[n + 1] - 1)
             for n, (_, files) in enumerate(days)]
    divisions = timestamps(midnights[:-1] + [midnights[-1] - 1], zone)
    return dd.from_map(reader, parts, meta=meta, divisions=divisions, enforce_metadata=False,
                       label="zentrail-day")


def files_by_day(inventory: Any) -> List[Tuple[Any, List[str]]]:
    """(day, files) for each day an inventory by file finds records of, in
    order of the days: the files holding that day's records, in read order.
    A day is a numpy.datetime64 in days."""
    held = inventory.to_numpy()
    files, days = held["file"], held["day"].astype("datetime64[D]")
    # A file's rows of one day follow each other: the first row of each run.
    first = [0] if len(files) else []
    if len(files) > 1:
        first += (1 + ((files[1:] != files[:-1]) | (days[1:] != days[:-1])).nonzero()[0]).tolist()
    found: Dict[Any, List[str]] = {}
    for row in first:
        found.setdefault(days[row], []).append(files[row])
    return sorted(found.items())


class _PartReader:
    """One partition's read, called on a worker with its plan."""

    def __init__(self, by_day: bool) -> None:
        self.by_day = by_day

    def __call__(self, plan: Any, columns: Optional[Sequence[str]] = None) -> Any:
        """``columns``: Dask's projection of the frame's columns (never the
        index), some of the plan's own."""
        if columns is not None:
            plan = plan.select(*_read_columns(columns, self.by_day))
        frame = zentrail.Scan(plan).to_pandas()
        if not self.by_day:
            return frame
        return frame.set_index("time").sort_index(kind="stable")


def _read_columns(columns: Sequence[str], by_day: bool) -> List[str]:
    """The columns a partition reads: those of the frame, and by day the
    time of its index first."""
    return ["time"] + [name for name in columns if name != "time"] if by_day else list(columns)


def timestamps(instants: List[int], zone: Any = None) -> List[Any]:
    """The instants as pandas Timestamps: shown in `zone` when given."""
    pandas = import_extra("pandas", "zentrail.dask.read_archive", "pandas")
    if zone is None:
        return [pandas.Timestamp(ns, unit="ns") for ns in instants]
    return [pandas.Timestamp(ns, unit="ns", tz="UTC").tz_convert(zone.name) for ns in instants]


def dask_dataframe() -> Any:
    return import_extra("dask.dataframe", "zentrail.dask.read_archive", "dask")
