"""ReadPlan: one read, described whole and frozen.

A plan names the source (a root, listed files, or a place elsewhere), the
window of files and rows, the codes and the conditions pushed into the read,
the limit, the threads and batch size, what a damaged file does, and the
catalog that names the signals. Every reader of the package takes a plan
(the columnar consumers, the grids and overviews, the polars source, the
live readers, the Dask and Spark adapters) and narrows, widens or re-codes
it only through the operations below, each of which makes a new plan.

A plan reads nothing and starts nothing: :meth:`ReadPlan.request` makes the
core's request, and the read begins when the core is handed it. A plan
pickles as what it describes, so it can travel to a worker or a new process.
"""

from __future__ import annotations

import dataclasses

from zentrail._base import arguments as _arguments, time as _time
from zentrail._read import pushdown as _pushdown, request as _request, tail as _tail

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterable, Iterator, List, Optional, Tuple, Union

    from zentrail._base.time import BoundTuple

# The bounds of no limit: every file, every instant.
FIRST_BOUND = (1, 1, 1, 0, 1)
LAST_BOUND = (9999, 12, 31, _time.NS_PER_DAY - 1, 1)


@dataclasses.dataclass(frozen=True, eq=False)
class ReadPlan:
    """What one read reads (see the module's text). Made by
    :func:`zentrail.scan` and :func:`zentrail.scan_files` (``Scan.plan``);
    a :class:`zentrail.Scan` of any plan reads it."""

    #: The archive root (bytes), the files themselves (a list of bytes) when
    #: ``listed``, or a place elsewhere (a URL root or a zip file).
    source: Any
    listed: bool
    #: The window as bound tuples: the files read are those of its days.
    start: BoundTuple
    end: BoundTuple
    #: The bounds as the caller wrote them, for messages and reprs.
    shown: Tuple[str, str]
    #: The codes read, an ascending read-only int32 array, or None for every code.
    codes: Any = None
    #: Whether the codes are the caller's own (an empty read of them is worth a warning).
    codes_given: bool = False
    pushdown: _pushdown.Pushdown = dataclasses.field(default_factory=_pushdown.Pushdown)
    #: None: the CPUs of wherever the read runs.
    threads: Optional[int] = None
    batch_rows: int = _arguments.DEFAULT_BATCH_ROWS
    progress: Any = None
    errors: str = "raise"
    #: The zentrail.Catalog naming the signals, or None.
    catalog: Any = None
    #: The archive's zone (a zentrail._base.time.Zone), or None. With a zone
    #: ``start`` and ``end`` are instants (UTC), the files read those of the
    #: local days the window falls on, and every time read is an instant.
    zone: Any = None
    #: Where the index of the archive's files is (see zentrail._index.place):
    #: None the default folder, False none, or a folder.
    index: Any = None

    def __post_init__(self) -> None:
        if self.codes is not None and self.codes.flags.writeable:
            codes = self.codes.copy()
            codes.flags.writeable = False
            object.__setattr__(self, "codes", codes)

    # -- making new plans ---------------------------------------------------

    def replace(self, **changes: Any) -> "ReadPlan":
        """This plan with the fields given changed."""
        return dataclasses.replace(self, **changes)

    def with_codes(self, codes: Any) -> "ReadPlan":
        """This plan reading these codes (an int32 array; None: every code),
        chosen by the package rather than the caller."""
        import numpy

        return self.replace(codes=None if codes is None else numpy.asarray(codes, dtype=numpy.int32),
                            codes_given=False)

    def select(self, *columns: str) -> "ReadPlan":
        """Only these columns, in this order (see Scan.select)."""
        from zentrail._names import labels as _labels

        have = self.pushdown.columns
        more = _pushdown.NAME_COLUMNS + (_labels.LABEL_COLUMNS if self.catalog is not None else ())
        if self.catalog is None and any(name in _labels.LABEL_COLUMNS for name in columns):
            raise ValueError("the columns name, unit and description come from a catalog, and this scan has none "
                             "(zentrail-catalog.csv in the archive root, or catalog= of zentrail.scan)")
        chosen = _pushdown.checked_columns(columns, have + tuple(n for n in more if n not in have))
        return self.replace(pushdown=self.pushdown.replace(columns=chosen))

    def limit(self, n: int) -> "ReadPlan":
        """At most the first ``n`` rows where the chain of conditions ends."""
        if not isinstance(n, int) or isinstance(n, bool):
            raise TypeError(f"n must be an int, not {type(n).__name__}")
        if not 0 <= n < 2 ** 63:
            raise ValueError(f"n must be at least 0, not {n!r}")
        return self.replace(pushdown=self.pushdown.limited(n))

    def where(self, *, start: Optional[Any] = None, end: Optional[Any] = None,
              signal_ids: Optional[Iterable[int]] = None, elements: Optional[Iterable[int]] = None,
              item_classes: Optional[Iterable[int]] = None, subtypes: Optional[Iterable[int]] = None) -> "ReadPlan":
        """The rows that meet every condition given (see Scan.where)."""
        row_start = None if start is None else _time.bound_in(self.zone, start, "start", False)
        row_end = None if end is None else _time.bound_in(self.zone, end, "end", True)
        ids = None if signal_ids is None else _pushdown.small_ints(signal_ids, "signal_ids", _pushdown.ID_COUNT)
        kept = None if elements is None else _pushdown.small_ints(elements, "elements", _pushdown.ELEMENT_COUNT)
        classes = None if item_classes is None else _pushdown.small_ints(item_classes, "item_classes", 32)
        chosen = None if subtypes is None else _pushdown.small_ints(subtypes, "subtypes", 8)
        pushed = self.pushdown
        codes = self.codes
        if pushed.limit is None and codes is not None:
            # Before any limit, the codes themselves narrow: fewer ids are
            # decoded at all, and a code of no kept element is not read.
            import numpy

            if ids is not None:
                codes = codes[numpy.isin(codes >> 10, numpy.array(sorted(ids), dtype=numpy.int32))]
                ids = None
            if kept is not None:
                elements_now = kept if pushed.elements is None else kept & pushed.elements
                # Without element 0 no text row passes either, so a code of
                # another index can give nothing.
                if 0 not in elements_now:
                    codes = codes[numpy.isin(codes & 1023, numpy.array(sorted(elements_now), dtype=numpy.int32))]
        narrowed = pushed.narrowed(ids=ids, elements=kept, classes=classes, subtypes=chosen,
                                   start=row_start, end=row_end)
        if codes is self.codes:
            return self.replace(pushdown=narrowed)
        return self.replace(pushdown=narrowed, codes=codes, codes_given=False)

    def within(self, start: Optional[BoundTuple], end: Optional[BoundTuple]) -> "ReadPlan":
        """The rows within these bounds too (None: that side as it is)."""
        return self.replace(pushdown=self.pushdown.narrowed(start=start, end=end))

    def widened(self, first: Optional[int], last: Optional[int]) -> "ReadPlan":
        """This plan over the instants [first, last] (ns; None: no bound on
        that side), its conditions on ids, elements, classes and subtypes
        kept and no window on the rows: the files read are those of the
        widened window (a grid's look back for the value in force)."""
        return self.replace(
            start=FIRST_BOUND if first is None else _time.instant_bound(_time.clamp_ns(first)),
            end=LAST_BOUND if last is None else _time.instant_bound(_time.clamp_ns(last)),
            pushdown=self.pushdown.replace(row_start=None, row_end=None))

    def narrowed(self, first: Optional[int] = None, last: Optional[int] = None) -> "ReadPlan":
        """This plan over the part of its window within the instants
        [first, last] (ns since 1970-01-01; None: that side as it is), its
        conditions kept: the files read are those of the narrower window's
        days, the rows those within it. A window left with no instant
        (``last_ns < first_ns``) gives no row, and :meth:`files` none."""
        start, end = self.start, self.end
        if first is not None and first > self.first_ns:
            start = _time.instant_bound(_time.clamp_ns(first)) or start
        if last is not None and last < self.last_ns:
            end = _time.instant_bound(_time.clamp_ns(last)) or end
        return self.replace(start=start, end=end)

    def with_files(self, files: Iterable[Any]) -> "ReadPlan":
        """This plan reading exactly these files, in this order, each as
        :func:`zentrail.scan_files` reads a file: some of :meth:`files`,
        named as it names them (so the part of a read that one task of a
        distributed read takes). The window, codes and conditions stay."""
        import os

        names = [os.fsdecode(path) for path in _arguments.path_list(files)]
        from zentrail._elsewhere import remote as _remote

        if _remote.is_place(self.source):
            return self.replace(source=self.source.with_files(names), listed=True)
        return self.replace(source=[os.fsencode(name) for name in names], listed=True)

    def resized(self, batch_rows: int) -> "ReadPlan":
        """Batches of at most ``batch_rows`` rows."""
        return self.replace(batch_rows=_arguments.count(batch_rows, "batch_rows", _arguments.DEFAULT_BATCH_ROWS))

    def files_only(self) -> "ReadPlan":
        """The same files with every row of them: no codes, no conditions
        (what an inventory of the plan's files reads)."""
        return self.replace(codes=None, codes_given=False, pushdown=_pushdown.Pushdown())

    # -- what the plan gives ------------------------------------------------

    @property
    def first_ns(self) -> int:
        """The first instant of the window (ns since 1970-01-01)."""
        return _time.first_ns(self.start)

    @property
    def last_ns(self) -> int:
        """The last instant of the window (ns since 1970-01-01)."""
        return _time.last_ns(self.end)

    @property
    def needs_catalog(self) -> bool:
        """Whether the plan's columns include those its catalog makes
        (``name``, ``unit``, ``description``). A plan that needs none reads
        the same rows without its catalog (its names were resolved when it
        was made): ``replace(catalog=None)`` is the lighter plan to send to
        a worker, where a catalog of thousands of entries would travel with
        every task."""
        from zentrail._names import labels as _labels

        return _labels.has_labels(self.pushdown.columns)

    def request(self, numpy: bool = False, errors: Optional[str] = None, copied: bool = False,
                columns: Optional[Tuple[str, ...]] = None) -> _request.Request:
        """The read as the core takes it (nothing is listed or fetched until
        the core begins it). ``columns``: the core's columns, when not those
        of the plan's own (the catalog's columns are made outside the core); ``errors``: the plan's own unless given; ``copied``:
        files elsewhere are read from local copies (a read that takes a file
        more than once)."""
        from zentrail._names import labels as _labels

        wanted = _labels.core_columns(self.pushdown.columns) if columns is None else columns
        pushdown = self.pushdown if wanted == self.pushdown.columns else self.pushdown.replace(columns=wanted)
        return _request.Request(self.source, self.listed, self.start, self.end, self.codes, self.threads,
                                self.batch_rows, self.progress, pushdown, errors or self.errors, copied, self.zone)

    def files(self) -> List[str]:
        """The archive files the plan reads, in read order (for a place
        elsewhere, their URLs)."""
        import os

        from zentrail import _core
        from zentrail._elsewhere import remote as _remote

        if self.last_ns < self.first_ns:  # narrowed to no instant
            return []
        if _remote.is_place(self.source):  # a root elsewhere, or files there
            finder = self.files_only().request(errors="raise")
            return _request.archive_files(self.source, finder.file_start, finder.file_end)[0]
        if self.listed:
            return [os.fsdecode(path) for path in self.source]
        return list(_core.find_files(self.files_only().request(errors="raise")))

    def tail(self, path: str, at: _tail.ResumePoint, rows: bool = True,
             until: Optional[int] = None) -> Iterator[_tail.TailStep]:
        """The rows this plan selects of the archive file ``path`` (one
        that is being written), from the place ``at`` where a read of it
        stopped through its last whole record now, step by step (see
        zentrail._read.tail). ``rows=False``: the places alone; ``until``:
        through the last whole record within the file's first ``until``
        bytes."""
        return _tail.steps(self, path, at, rows, until)

    def describe(self) -> str:
        """The plan in a few words, for reprs."""
        import os

        where = repr(os.fsdecode(self.source)) if isinstance(self.source, bytes) else \
            f"{len(self.source)} files" if isinstance(self.source, list) else repr(self.source)
        codes = "every code" if self.codes is None else f"{len(self.codes)} codes"
        return f"{where} from {self.shown[0]} to {self.shown[1]}, {codes}"


def make_plan(source: Any, listed: bool, dt_start: Any, dt_end: Any, signals: Optional[Iterable[Any]],
              threads: Optional[int], batch_rows: Optional[int], progress: Any, errors: str = "raise",
              ids: Optional[Iterable[Any]] = None, catalog: Any = None, tz: Any = None,
              index: Any = None) -> ReadPlan:
    """The plan of zentrail.scan / scan_files, its arguments checked."""
    from zentrail._names import catalog as _catalog

    zone = archive_zone(tz, None if listed else source)
    start, end = _time.window_in(zone, dt_start, dt_end)
    names = _catalog.resolve(catalog, None if listed else source)
    # Ids alone are a condition on the rows, not 1024 codes each: a grid or
    # an overview then has a column for each element that has values.
    codes = _arguments.codes_array(signals, names, ids if signals is not None else None)
    plan = ReadPlan(source, listed, start, end, (str(dt_start), str(dt_end)), codes, codes is not None,
                    threads=None if threads is None else _arguments.count(threads, "threads", 1),
                    batch_rows=_arguments.count(batch_rows, "batch_rows", _arguments.DEFAULT_BATCH_ROWS),
                    progress=_arguments.check_progress(progress), errors=_request.check_errors(errors),
                    catalog=names, zone=zone, index=_checked_index(index))
    if signals is None and ids is not None:
        plan = plan.where(signal_ids=_arguments.id_list(ids, names))
    return plan


def _checked_index(index: Any) -> Any:
    """index= as a plan keeps it (a folder as a str), or TypeError."""
    import os

    if index is None or index is False:
        return index
    if isinstance(index, (str, os.PathLike)):
        return os.fspath(index)
    raise TypeError(f"index must be None, False or a folder, not {type(index).__name__}")


def archive_zone(tz: Any, root: Any = None) -> Optional[_time.Zone]:
    """The zone a read uses: tz= itself (a name or a ZoneInfo), False none,
    None (the default) the one the root's zone file names, if any (a list
    of files has no root, and no zone file)."""
    if tz is False:
        return None
    if tz is not None:
        return _time.zone_of(tz)
    from zentrail._elsewhere import remote as _remote

    if isinstance(root, bytes):
        return _zone_found_in(root)
    if isinstance(root, _remote.Place) and root.files is None:
        found = root.first_file((_time.ZONE_FILE,))
        if found is not None:
            return _time.zone_in_text(found[1].decode("utf-8", "replace"), found[0])
    return None


def _zone_found_in(root: bytes) -> Optional[_time.Zone]:
    """The zone the zone file of a local archive root names, or None."""
    import os

    path = os.path.join(os.fsdecode(root), _time.ZONE_FILE)
    try:
        with open(path, "rb") as file:
            text = file.read(4096)
    except (FileNotFoundError, NotADirectoryError):  # no zone file, or no folder: the read says so
        return None
    except OSError as error:
        raise OSError(error.errno, f"cannot read the archive's zone file {path}: {error.strerror}") from None
    return _time.zone_in_text(text.decode("utf-8", "replace"), path)


def open_ended_plan(root: bytes, start: Optional[BoundTuple], codes: Any, threads: Optional[int] = None,
                    catalog: Any = None) -> ReadPlan:
    """The plan of the rows of the archive under ``root`` from ``start``
    (None: its first instant) with no end, of ``codes`` (an ascending int32
    array; None: every code), named by ``catalog``, all checked by the
    caller: what the live readers read of an archive being written (a
    follower, a lake kept in step)."""
    shown = "the first row" if start is None else _time.instant_text(_time.first_ns(start))
    return ReadPlan(root, False, FIRST_BOUND if start is None else start, LAST_BOUND, (shown, "the last row"), codes,
                    codes is not None, threads=threads, catalog=catalog)


def plan_of_state(state: Tuple[Any, ...]) -> ReadPlan:
    """The plan of a Scan pickled before scans held plans: the tuple of its
    fields (where, listed, start, end, shown, codes, threads, batch_rows,
    progress, pushdown, codes_given, errors, catalog), the later ones
    missing from older pickles."""
    fields = ("source", "listed", "start", "end", "shown", "codes", "threads", "batch_rows", "progress", "pushdown",
              "codes_given", "errors", "catalog")
    values = dict(zip(fields, state))
    return ReadPlan(**values)
