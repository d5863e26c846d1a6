"""Reads the daily binary archive files of an industrial control runtime.

The runtime writes one archive file per day (the day is in the file name, as
in ``2024-03-01_plant.vlx``). Each file holds alarm events, groups of
sampled signal values, system log events and date marks. :func:`read` finds
the files of a time window under a directory tree, decodes them, and returns
the values of the chosen signals as rows.
"""

import datetime
import os
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

import numpy

Row = Tuple[int, int, int, int, int, int, int, Union[int, float, str], None, None, int, int]
"""One value: (year, month, day, hour, minute, second, milliseconds, value,
None, None, 1, signal_id)."""

def read(root_dir: str, dt_start: str, dt_end: str, signals: List[int]) -> List[Row]:
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


PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Bound = Union[str, datetime.datetime, datetime.date]
Columns = Dict[str, "numpy.ndarray"]
"""The six columns of a scan, one row per tuple that read gives:

- ``time``: datetime64[ns], naive wall-clock time at full nanosecond
  resolution (read truncates to milliseconds); archive day 0 is 2000-01-01.
- ``signal_id``: uint16, the tuple's id.
- ``element``: uint16, the element index whose code selected the row; 0 for a
  text row, which stands for its whole record.
- ``value``: float64, the tuple's value (integers and 0/1 exactly); NaN for a
  text row.
- ``item_class``: uint8, the record's class, 1 to 31.
- ``subtype``: uint8, the record's subtype, 0 to 7 (for alarms the limit:
  Lo, Hi, LoLo, HiHi, ...).
"""

class Scan:
    """A columnar read, made by :func:`scan` or :func:`scan_files`.

    It holds what to read and reads nothing until consumed; every consumption
    reads afresh, so one Scan can be consumed any number of times. Failures
    (walk errors, files that cannot be opened or read, malformed records)
    raise what :func:`read` raises, with the same messages and notes.
    Pickling keeps what the scan describes, not any read in progress.
    Ctrl-C (and any signal handler that raises) stops a read within a few
    tens of milliseconds: the workers stop and their memory is freed.
    """

    def __iter__(self) -> Iterator[Columns]:
        """Batches of at most ``batch_rows`` rows in read order, as dicts of
        NumPy arrays (no copies); memory stays bounded however long the read.
        On a failure, every row before it is yielded first, then it raises."""
    def to_numpy(self) -> Columns:
        """The whole read as one dict of columns (no partial result on failure)."""
    def to_pandas(self) -> Any:
        """The whole read as a pandas DataFrame (ImportError naming pandas
        when it is missing)."""
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream: ``pyarrow.table(scan)``,
        ``polars.DataFrame(scan)`` and DuckDB read a scan through it. The read
        happens in this call, so failures raise here, as in read."""

def scan(root_dir: PathLike, dt_start: Bound, dt_end: Bound, signals: Iterable[int], *,
         threads: Optional[int] = None, batch_rows: Optional[int] = None,
         progress: Union[None, bool, Callable[[int, int], Any]] = None) -> Scan:
    """The rows that ``read(root_dir, dt_start, dt_end, signals)`` gives, as
    columns, decoded on ``threads`` threads (default: the CPUs this process
    may use), one file per task, merged back in file order.

    Differences from read: no 256-code cap (duplicates collapse), and a code
    outside 0 to 67,108,863 raises ValueError naming it. ``root_dir`` may be
    str, bytes or os.PathLike. Bounds: str (used exactly as read uses them),
    datetime.datetime (written "YYYY-MM-DD hh:mm:ss"; a time zone raises
    ValueError) or datetime.date (00:00:00 as a start, 23:59:59 as an end).
    ``signals``: any iterable of integers (list, range, NumPy integer array).
    ``batch_rows``: rows per batch when iterating (default 65,536).
    ``progress``: a callable called on the consuming thread with
    ``(bytes_done, bytes_total)`` at most about 10 times a second and once at
    the end with bytes_done == bytes_total (its exception cancels the read
    and propagates), or True for a tqdm bar on standard error
    (``pip install "zentrail[progress]"``).

    Argument errors raise here; walk and file errors from the consuming call.
    """

def scan_files(paths: Iterable[PathLike], dt_start: Bound, dt_end: Bound, signals: Iterable[int], *,
               threads: Optional[int] = None, batch_rows: Optional[int] = None,
               progress: Union[None, bool, Callable[[int, int], Any]] = None) -> Scan:
    """A Scan over an explicit, ordered list of files, each read as scan reads
    a file it found (day 0 at its start, its own end byte). A missing path
    fails as a found file that cannot be opened does. ``scan(root, ...)``
    gives the rows of ``scan_files(find_files(root, ...), ...)``."""

def find_files(root_dir: PathLike, dt_start: Bound, dt_end: Bound) -> List[str]:
    """The paths that read and scan would read, in the order they read them
    (same discovery, sort and errors)."""
