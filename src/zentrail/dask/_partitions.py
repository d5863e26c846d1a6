"""zentrail.dask.read_archive: the partitions of an archive read and the
function each worker calls."""

from __future__ import annotations

import itertools
import warnings

import zentrail

from zentrail._base import arguments as _arguments, discovery as _discovery, time as _time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterable, List, Optional, Sequence


def read_archive(root: Any, start: Any, end: Any, signals: Optional[Iterable[int]] = None, *, by_day: bool = False,
                 columns: Optional[Sequence[str]] = None, storage_options: Optional[Dict[str, Any]] = None) -> Any:
    """The rows of ``zentrail.scan(root, start, end, signals)`` as a Dask
    DataFrame, read on the workers.

    ``by_day=False`` (the default): one partition per archive file, in the
    order scan reads them, so that computed it holds scan's rows in scan's
    order (each partition indexed from 0); divisions unknown.

    ``by_day=True``: one partition per day (the files whose names carry that
    day, read in path order), indexed by ``time`` and sorted within the day
    (stably: rows of one instant keep scan's order), with the midnights as
    divisions, so that Dask answers ``frame.loc["2024-03-02"]`` from one
    partition. A file's rows need not lie in the day of its name (a date mark
    may name another day): each partition checks its rows as it reads them,
    and one outside its day fails the computation with a ValueError naming
    the file; read such an archive with ``by_day=False``.

    ``columns``: the columns to read (Scan.select's names, name columns
    included); Dask's own column projection (``frame[["value"]]``) narrows
    the read further. ``storage_options``: for a URL root, the options of
    its fsspec file system. Each task reads with one thread, since Dask runs
    one task per core. The archive must be at the same place for the client
    (which lists it) and the workers (which read it).
    """
    dd = dask_dataframe()
    signals = _arguments.codes_array(signals)
    paths = zentrail.find_files(root, start, end, storage_options=storage_options)
    chosen = list(columns) if columns is not None else None
    reader = _PartReader(start, end, signals, by_day, chosen, storage_options)
    with warnings.catch_warnings():  # the typed empty frame is no read that found nothing
        warnings.simplefilter("ignore")
        meta = reader([])
    if not paths:
        return dd.from_pandas(meta, npartitions=1)
    if not by_day:
        return dd.from_map(reader, [[path] for path in paths], meta=meta, enforce_metadata=False,
                           label="zentrail-file")
    def day(path: str) -> str:  # every path found carries one
        return _discovery.path_day(path) or ""

    days = [list(group) for _, group in itertools.groupby(sorted(paths, key=day), key=day)]
    midnights = [_day_start(_discovery.path_day(group[0])) for group in days]
    last = midnights[-1] + _time.NS_PER_DAY - 1
    divisions = timestamps(midnights + [last])
    return dd.from_map(reader, days, meta=meta, divisions=divisions, enforce_metadata=False,
                       label="zentrail-day")


class _PartReader:
    """One partition's read, called on a worker with its files: pickled to
    the workers by value, with what every partition shares."""

    def __init__(self, start: Any, end: Any, signals: Any, by_day: bool, columns: Optional[List[str]],
                 storage_options: Optional[Dict[str, Any]]) -> None:
        self.start = start
        self.end = end
        self.signals = signals
        self.by_day = by_day
        self.columns = columns
        self.storage_options = storage_options

    def __call__(self, paths: List[str], columns: Optional[List[str]] = None) -> Any:
        """``columns``: Dask's projection of the frame's columns (never the
        index), else those read_archive was given."""
        selected = _read_columns(columns if columns is not None else self.columns, self.by_day)
        scan = zentrail.scan_files(paths, self.start, self.end, self.signals, threads=1,
                                   storage_options=self.storage_options)
        if selected is not None:
            scan = scan.select(*selected)
        frame = scan.to_pandas()
        if not self.by_day:
            return frame
        if paths:
            _check_day(frame["time"], paths)
        return frame.set_index("time").sort_index(kind="stable")


def _read_columns(columns: Optional[List[str]], by_day: bool) -> Optional[List[str]]:
    """What a partition reads: the projected columns, and the time of the
    index by day."""
    if columns is None:
        return None
    if by_day:
        return ["time"] + [column for column in columns if column != "time"]
    return list(columns)


def _check_day(times: Any, paths: List[str]) -> None:
    midnight = _day_start(_discovery.path_day(paths[0]))
    ns = _time.instants_ns(times)
    outside = (ns < midnight) | (ns >= midnight + _time.NS_PER_DAY)
    if outside.any():
        first = int(ns[outside.argmax()])
        raise ValueError(f"{paths[0]}: a row at {_time.instant_text(first)} lies outside the day "
                         f"{_discovery.path_day(paths[0])} of its file's name; read it with by_day=False")


def _day_start(day: Optional[str]) -> int:
    return _time.first_ns(_time.bound_tuple(day, "day"))


def timestamps(instants: List[int]) -> List[Any]:
    from zentrail._base.extras import import_extra

    pandas = import_extra("pandas", "zentrail.dask.read_archive", "pandas")
    return [pandas.Timestamp(ns, unit="ns") for ns in instants]


def dask_dataframe() -> Any:
    from zentrail._base.extras import import_extra

    return import_extra("dask.dataframe", "zentrail.dask.read_archive", "dask")
