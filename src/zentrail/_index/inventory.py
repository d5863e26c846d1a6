"""zentrail.inventory, served by the index: each file's counts read once, then
taken from its entry while the file is the same, and merged here as the
core merges them.

A file's entry holds its counts by day, id and class over the whole file.
A file whose records all lie in the window gives its entry's counts; one
the window cuts (its first or last record outside), or whose counts are
too many to keep (a marker says so), is read within the window as without
an index, all such files in one read.
"""

from __future__ import annotations

from zentrail import _core
from zentrail._base import arguments as _arguments, time as _time
from zentrail._elsewhere import remote as _remote
from zentrail._index import UNKEPT, identities_of, reading_of, Store, whole_file_plan
from zentrail._index.identity import unchanged
from zentrail._read import request as _request
from zentrail._read.inventory import DTYPES

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple

    from zentrail._read.inventory import Inventory
    from zentrail._read.plan import ReadPlan

    _Part = Dict[str, Any]

SECTION = "inventory"
VERSION = 1
# A file's first and last record instants, kept beside its counts (and kept
# where they are not, being small): a series reads no heads of the files
# wholly after its start (see zentrail._index.in_force).
SPAN_SECTION = "span"
SPAN_VERSION = 1
# The columns of a file's counts, as the core gives them by file (less the file).
PART_DTYPES = {"day": "int64", "signal_id": "uint16", "item_class": "uint8", "records": "int64",
               "elements": "int32", "first": "int64", "last": "int64"}
# What a row counts: the records of an id and class in the whole window, of
# a day, or of a day in one file (the core's numbers for them).
ROWS = {None: 0, "day": 1, "file": 2}


def counts(plan: ReadPlan, store: Store, by: Optional[str]) -> Tuple[Dict[str, Any], Optional[_request.Request]]:
    """The inventory's columns (as the core gives them, `by` None, "day"
    or "file") and the request of the read it made of files the index could
    not answer for (None when it made none)."""
    files = plan.files()
    reading = reading_of(plan)
    parts: List[Optional[_Part]] = [None] * len(files)
    identities = identities_of(files)
    missing = []
    for k, identity in enumerate(identities):
        part = None if identity is None else store.load(identity, reading, SECTION, VERSION)
        if part is None:
            missing.append(k)
        else:
            parts[k] = part
    if missing:
        built = _built(plan, store, [files[k] for k in missing], [identities[k] for k in missing])
        for k, part in zip(missing, built):
            parts[k] = part
    # The files the window cuts, or whose counts are not kept: read within
    # the window as without an index.
    first, last = plan.first_ns, plan.last_ns
    read = [k for k, part in enumerate(parts) if part is None or UNKEPT in part or not _within(part, first, last)]
    request = None
    together = None
    if read:
        request = plan.with_files([files[k] for k in read]).files_only().request()
        raw = _core.inventory(request, ROWS[by])
        _request.report_clock(request)
        if by == "file":
            for k, part in zip(read, _split(raw, len(read))):
                parts[k] = part
        else:
            together = {name: _array(raw[name], dtype) for name, dtype in PART_DTYPES.items() if name in raw}
            together["files"] = _array(raw["files"], "int32")
    kept = [(k, part) for k, part in enumerate(parts) if part is not None and (by == "file" or k not in read)]
    return merged(files, kept, together, by), request


def _array(buffer: Any, dtype: str) -> Any:
    import numpy

    return numpy.frombuffer(buffer, dtype=dtype)


def _built(plan: ReadPlan, store: Store, files: List[str], identities: List[Any]) -> List[Optional[_Part]]:
    """The whole-file counts of `files`, read at once (the core's threads
    across them) and kept in the index (or a marker where too many to
    keep); Nones where the read failed or had to guess the clock (those
    files are read as without an index)."""
    # (The plan's progress goes with the read: it is the read asked for.)
    request = whole_file_plan(plan, files, "raise").replace(progress=plan.progress).request()
    try:
        raw = _core.inventory(request, ROWS["file"])
    except (OSError, ValueError):  # a damaged file: the read without an index says so
        return [None] * len(files)
    if request.zone is not None and any(request.zone.counts):
        return [None] * len(files)
    parts: List[Optional[_Part]] = []
    for name, identity, part in zip(files, identities, _split(raw, len(files))):
        if identity is not None and unchanged(identity):
            if not store.save(identity, reading_of(plan), SECTION, VERSION, part):
                store.save_unkept(identity, reading_of(plan), SECTION, VERSION)
            store.save(identity, reading_of(plan), SPAN_SECTION, SPAN_VERSION, span_of(part))
        parts.append(part)
    store.flush()
    return parts


def span_of(part: _Part) -> _Part:
    """A file's span part of its counts: its first and last record
    instants, or two empty arrays for a file of no record."""
    import numpy

    if len(part["first"]) == 0:
        return {"first": numpy.empty(0, numpy.int64), "last": numpy.empty(0, numpy.int64)}
    return {"first": numpy.array([part["first"].min()], numpy.int64),
            "last": numpy.array([part["last"].max()], numpy.int64)}


def _split(raw: Dict[str, Any], count: int) -> List[_Part]:
    """The core's rows by file as one part per file."""
    import numpy

    which = _array(raw["file"], "int32")
    columns = {name: _array(raw[name], dtype) for name, dtype in PART_DTYPES.items()}
    bounds = numpy.searchsorted(which, numpy.arange(count + 1))
    return [{name: column[bounds[k]:bounds[k + 1]] for name, column in columns.items()} for k in range(count)]


def _within(part: _Part, first: int, last: int) -> bool:
    """Whether every record the part counts lies in [first, last]."""
    if len(part["first"]) == 0:
        return True
    return bool(part["first"].min() >= first and part["last"].max() <= last)


def merged(files: List[str], parts: List[Tuple[int, _Part]], together: Optional[_Part],
           by: Optional[str]) -> Dict[str, Any]:
    """The rows as the core makes them: by file (each file's rows in turn,
    `parts` holding every file), or summed by (day,) id and class in key
    order over the files' parts and `together` (counts the core summed
    over other files, with their ``files``)."""
    import numpy

    sizes = [len(part["records"]) for _, part in parts]
    pieces = [part for _, part in parts] + ([together] if together is not None else [])
    columns: Dict[str, Any] = {
        name: numpy.concatenate([piece[name] for piece in pieces]) if pieces else numpy.empty(0, dtype)
        for name, dtype in PART_DTYPES.items() if by is not None or name != "day"}
    file = numpy.repeat(numpy.array([k for k, _ in parts], dtype=numpy.int64), sizes)
    if by == "file":
        columns["file"] = file.astype(numpy.int32)
        columns["files_read"] = list(files)
        columns["files"] = numpy.ones(len(file), dtype=numpy.int32)
        return columns
    weight = numpy.ones(len(file), dtype=numpy.int64)
    if together is not None:  # each key once, counting the files the core found it in
        file = numpy.concatenate([file, numpy.full(len(together["records"]), -1)])
        weight = numpy.concatenate([weight, together["files"].astype(numpy.int64)])
    key = columns["signal_id"].astype(numpy.int64) << 5 | columns["item_class"]
    if by == "day":
        key = key | (columns["day"] // 86_400_000_000_000) << 21
    order = numpy.lexsort((file, key))
    key, file, weight = key[order], file[order], weight[order]
    out: Dict[str, Any] = {}
    if len(key) == 0:
        out.update((name, column[:0]) for name, column in columns.items())
        out["files"] = numpy.empty(0, dtype=numpy.int32)
        return out
    starts = numpy.flatnonzero(numpy.r_[True, key[1:] != key[:-1]])
    for name in ("day", "signal_id", "item_class"):
        if name in columns:
            out[name] = columns[name][order][starts]
    for name, reduce in (("records", numpy.add), ("elements", numpy.maximum), ("first", numpy.minimum),
                         ("last", numpy.maximum)):
        column = columns[name][order]
        out[name] = reduce.reduceat(column, starts).astype(column.dtype)
    # A file counts once per key, however many of its days hold the key.
    new_file = numpy.r_[True, (key[1:] != key[:-1]) | (file[1:] != file[:-1])]
    out["files"] = numpy.add.reduceat(numpy.where(new_file, weight, 0), starts).astype(numpy.int32)
    return out


def inventory(root_dir: Any, dt_start: Any = None, dt_end: Any = None, *, by: Optional[str] = None,
              threads: Optional[int] = None, progress: Any = None, errors: str = "raise",
              storage_options: Optional[Dict[str, Any]] = None, catalog: Any = None, tz: Any = None,
              index: Any = None) -> Inventory:
    from zentrail._index import store_of
    from zentrail._names import catalog as _catalog
    from zentrail._read.inventory import Inventory, columns_from_core
    from zentrail._read.plan import FIRST_BOUND, LAST_BOUND, ReadPlan, archive_zone

    if by not in ROWS:
        raise ValueError(f"by must be None, \"day\" or \"file\", not {by!r}")
    root = _remote.root_of(root_dir, storage_options)
    zone = archive_zone(tz, root)
    start = None if dt_start is None else _time.bound_in(zone, dt_start, "dt_start", False)
    end = None if dt_end is None else _time.bound_in(zone, dt_end, "dt_end", True)
    if start is not None and end is not None:
        _time.check_order(start, end, dt_start, dt_end)
    request = _request.Request(root, False, start, end,
                               threads=None if threads is None else _arguments.count(threads, "threads", 1),
                               progress=_arguments.check_progress(progress), errors=_request.check_errors(errors),
                               zone=zone)
    plan = ReadPlan(root, False, start or FIRST_BOUND, end or LAST_BOUND, (str(dt_start), str(dt_end)),
                    threads=threads, progress=progress, errors=errors, zone=zone)
    store = None if index is False or not isinstance(root, bytes) else store_of(plan, index)
    if store is not None:
        raw, read = counts(plan, store, by)
        columns = columns_from_core(raw, DTYPES)
        request = read or request
    else:
        columns = columns_from_core(_core.inventory(request, ROWS[by]), DTYPES)
        _request.report_clock(request)
    if by == "file":
        import numpy

        names = numpy.empty(len(columns["files_read"]), dtype=object)
        names[:] = columns.pop("files_read")
        columns["file"] = names[columns["file"]]  # each row's index into the files read, as its name
    return Inventory(columns, errors, _catalog.resolve(catalog, root), request, zone)
