"""The compiled core of zentrail; use the zentrail package."""

from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union, final

_BoundTuple = Tuple[int, int, int, int, int]
_Row = Tuple[int, int, int, int, int, int, int, Union[int, float, str], None, None, int, int]

COLUMNS: Tuple[Tuple[str, str], ...]
NAME_COLUMNS: Tuple[str, ...]
# The state files of the lakes zentrail sync keeps (of rows, of grids):
# discovery passes over a folder that holds one.
LAKE_STATE_NAMES: Tuple[str, str]

def read(root_dir: str, dt_start: str, dt_end: str, signals: List[int]) -> List[_Row]:
    """Return the values of the selected signals recorded in [dt_start, dt_end].

    Arguments (by position or keyword; all four are required):

    root_dir
        Directory searched recursively for archive files. A path counts as an
        archive file when it contains a day, an underscore and ``.vlx``
        (``YYYY-MM-DD_<any text>.vlx``; the first such day in the whole path
        wins, even in a directory name). Only files whose day overlaps the
        window are read, in ascending byte order of their whole paths.
    dt_start, dt_end
        The window, both ends included, at whole-second resolution:
        ``"2024-03-01 00:00:00"`` to ``"2024-03-01 23:59:59"``. The first
        ``YYYY?MM?DD?hh?mm?ss`` in the text counts (any single characters as
        separators, text around it ignored). A text without one selects no
        value, though the files of its window are still read. Write both
        bounds as ``YYYY-MM-DD hh:mm:ss``: the day test on file names compares
        these texts with ``"YYYY-MM-DD 00:00:00"`` and ``"YYYY-MM-DD 23:59:59"``
        character by character. A bound written otherwise is used as it is,
        with a ``UserWarning`` that days at the window's edge may be skipped.
    signals
        A list of int signal codes, ``id * 1024 + index``: the signal id of an
        archive item and the element index within it (0 for an alarm's value,
        0..count-1 for the elements of a group, in file order). At most 256
        codes are used; later ones are ignored, with a ``UserWarning`` naming
        how many (one warning per call). An empty list returns ``[]``
        (the directory is still searched).

    Returns a new list with one 12-tuple per selected value whose time lies in
    the window, in file order, then record order, then descending element
    index within a record:

    ====  ==============  ===============================================
    0     year            int
    1     month           int, 1..12
    2     day             int, 1..31
    3     hour            int, 0..23
    4     minute          int, 0..59
    5     second          int, 0..59
    6     milliseconds    int, 0..999 (truncated)
    7     value           int (integers; 0 or 1 for booleans, never a
                          bool), float (floating-point values), or ""
                          (string alarms, time and error groups: the value
                          is not carried)
    8     None
    9     None
    10    1               int
    11    signal id       int
    ====  ==============  ===============================================

    Raises:
        TypeError: ``signals`` is not a list, or holds something other than an
            int (the message names its position and type); also a text
            argument that is not a ``str``. Nothing is searched.
        OverflowError: an int in ``signals`` outside the signed 64-bit range.
        OSError: the directory walk failed (a subclass chosen by the error
            number, such as FileNotFoundError for a missing ``root_dir`` or
            PermissionError for an unreadable directory); ``filename`` is the
            directory. A folder below ``root_dir`` that vanishes before the
            walk reaches it is skipped.
        OSError: a found archive file could not be opened (again a subclass
            by error number); ``str()`` is ``"File does not exist!"`` and a
            note names the file and the system's reason
            (``"[Errno 13] Permission denied"``).
        OSError: reading an archive file failed (such as EIO); ``errno`` and
            ``strerror`` say why, a note names the file and the byte offset.
        KeyboardInterrupt, or whatever a signal handler raises: the read
            checks for signals every few milliseconds and ends with the
            handler's exception, leaving no file open.
        ValueError: an archive file holds a malformed record; ``str()`` is
            ``"Error occured while reading file."`` and a note names the file
            and the byte offset of the record.
        MemoryError: memory ran out.

    A file whose last record is cut short (the runtime still writing it) is
    read up to that record, without error. A path named like an archive file
    that is not a regular file (a directory, a named pipe, a device) reads as
    an empty file.

    Example::

        import zentrail
        rows = zentrail.read("/data/archive", "2024-03-01 00:00:00",
                             "2024-03-01 23:59:59", [5 * 1024 + 0, 5 * 1024 + 2])
        for (y, mo, d, h, mi, s, ms, value, _, _, _, sid) in rows:
            print(f"{y}-{mo:02}-{d:02} {h:02}:{mi:02}:{s:02}.{ms:03} id={sid} {value}")
    """

@final
class ReadIterator(Iterator[Dict[str, Any]]):
    """One read of a zentrail.Scan or zentrail.Events, batch by batch."""
    def __iter__(self) -> "ReadIterator": ...
    def __next__(self) -> Dict[str, Any]: ...

# Every read takes one request object: zentrail._request.Request, whose
# fields the core reads by name.
def iterate(request: Any, /) -> ReadIterator: ...
def to_numpy(request: Any, /) -> Dict[str, Any]: ...
def arrow_stream(request: Any, requested_schema: Any, /) -> object: ...
def arrow_schema(columns: Tuple[int, ...], zone: str = ..., /) -> object: ...
# `at` is a zentrail._read.tail.ResumePoint (read by its fields' names); the
# place after the rows is made as one of its type.
def tail_read(request: Any, at: Any, max_bytes: int, until: int = ..., /) -> Tuple[Dict[str, Any], Any]: ...
def find_files(request: Any, /) -> List[str]: ...

@final
class FetchedFiles:
    """The files of one read, fetched from elsewhere and decoded from memory."""
    @property
    def closed(self) -> bool: ...
    def reserve(self, seconds: float, /) -> bool: ...
    def append(self, name: bytes, piece: Any, /) -> None: ...
    def complete(self, name: bytes, /) -> None: ...
    def fail(self, name: bytes, os_error: int, offset: int, /) -> None: ...
    def close(self) -> None: ...

def fetched_files(names: List[bytes], sizes: List[int], in_flight: int, /) -> FetchedFiles: ...

@final
class ZipMembers:
    """The members of a zip file on this machine that a read reads where they lie."""

def zip_members(zip_path: bytes, names: List[bytes], places: List[Tuple[int, int, int, int, int]], /) -> ZipMembers: ...

@final
class ZoneTable:
    """A zone's clock changes, by which a read turns wall times into instants."""
    @property
    def counts(self) -> Tuple[int, int, int]: ...
    def fresh(self) -> ZoneTable: ...

# `changes`: a buffer of int64 triples (instant ns since 1970 UTC, offset before, offset after).
def zone_table(name: str, first_offset: int, changes: Any, /) -> ZoneTable: ...
def parse_bound(text: str, /) -> _BoundTuple: ...

CLASS_NAMES: Tuple[str, ...]

def inventory(request: Any, by: int, /) -> Dict[str, Any]: ...
# The events' columns; "text_code" (int32, -1 for no text) indexes "texts", each distinct text decoded once.
def events(request: Any, ids: Union[List[int], None], system: bool, /) -> Dict[str, Any]: ...
def iterate_events(request: Any, ids: Union[List[int], None], system: bool, files_per_batch: int, /) -> ReadIterator: ...
def record_names(code: int, param: int, /) -> Tuple[str, str, str]: ...
# `columns`: (kind, values, offsets) each: "i" int64, "g" float64, "t" int64 ns (offsets: None or int64 ns
# a row), "d" int64 ns as days, "u" a sequence of str or None, "U" a NumPy array of str.
def csv_rows(columns: List[Tuple[str, Any, Any]], quoted_characters: str, /) -> str: ...
def table_lines(columns: List[Tuple[str, Any, Any]], names: List[str], right: List[bool], chunk_rows: int,
                /) -> List[str]: ...
# `starts`: the buckets' first instants listed (int64), where their lengths vary.
def overview(request: Any, buckets: int, as_arrow: bool, every: Optional[Tuple[int, int, int]] = None,
             starts: Any = None, /) -> Any: ...
def align(request: Any, grid: Any,
          on_batch: Optional[Callable[[List[str], Any, List[Any]], Any]] = None,
          max_cells: Optional[int] = None, /) -> Any: ...
def align_columns(request: Any, grid: Any, /) -> List[str]: ...
def code_column_name(code: int, /) -> str: ...
def align_stream(request: Any, grid: Any, /) -> object: ...
def time_weighted(request: Any, buckets: Any, plain: Any = None, /) -> Any: ...
def in_force(request: Any, at: int, /) -> Dict[str, Any]: ...
def file_identities(paths: Sequence[bytes], /) -> Dict[str, Any]: ...
def table_stream(columns: List[Any], /) -> object: ...
def label_indices(signal_id: Any, element: Any, slot: Any, tables: Tuple[Any, ...], outs: Tuple[Any, ...], /) -> None: ...
