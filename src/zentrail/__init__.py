"""Python interface for the zentrail C++ library function"""

# zentrail reads the daily binary archive files of an industrial control
# runtime (alarm events, groups of sampled signal values, system log events,
# date marks). read is the compiled call as it stands; scan, scan_files and
# find_files check and normalise their arguments here and read in the core.

from __future__ import annotations

from zentrail._base import arguments as _arguments, time as _time
from zentrail import _core
from zentrail._read import events as _events, request as _request
from zentrail._index import inventory as _index_inventory
from zentrail._index.build import IndexSummary
from zentrail._index.store import IndexWarning
from zentrail._elsewhere import remote as _remote
from zentrail._core import read
from zentrail._live.cursor import ArchiveRewrittenError
from zentrail._read.events import Events
from zentrail._live.follow import Follower, follow
from zentrail._live.ranges import ArchiveRanges
from zentrail._read.inventory import Inventory
from zentrail._base.classes import CLASS_NAMES, record_names, subtype_name
from zentrail._series.overview import Overview
from zentrail._series.aligned import Aligned
from zentrail._series.at import ValuesAt
from zentrail._series.latest import Latest
from zentrail._series import gaps as _gaps
from zentrail._series.gaps import Availability, Gaps
from zentrail._alarms.episodes import Alarms
from zentrail._alarms.report import AlarmReport
from zentrail._names.catalog import Catalog
from zentrail._read.request import Skipped
from zentrail._scan import Scan
from zentrail._read.plan import ReadPlan, archive_zone, make_plan
from zentrail._live.lakes import sync
from zentrail._live.lake_state import LakeConflictError, LakeMismatchError

# typing costs more to import than all of the rest: it is imported only by a
# type checker, and by the first use of one of the aliases below.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple, Union

    from zentrail._types import Bound, Columns, PathLike, Row

    __version__: str

__all__ = ["read", "scan", "scan_files", "find_files", "Scan", "Row", "PathLike", "Bound", "Columns",
           "inventory", "Inventory", "events", "Events", "CLASS_NAMES", "subtype_name", "record_names",
           "Overview", "Skipped", "Aligned", "Catalog", "ReadPlan", "parse_signals", "follow", "Follower",
           "ArchiveRanges", "ArchiveRewrittenError", "sync", "LakeMismatchError", "LakeConflictError", "lake_held",
           "build_index", "IndexSummary", "IndexWarning", "at", "ValuesAt", "latest", "Latest", "gaps", "Gaps",
           "availability", "Availability", "alarms", "Alarms", "AlarmReport"]

_BOUNDS_DOC = """
    Bounds (``dt_start``, ``dt_end``): a text ``"YYYY-MM-DD"``, optionally
    followed by ``T`` or one space and ``hh:mm``, optionally ``:ss``,
    optionally ``.`` and 1 to 9 digits of fraction, nothing else (no zone,
    every field in range; anything else raises ValueError naming the text);
    or a ``datetime.datetime`` without time zone (``pandas.Timestamp`` too),
    a ``datetime.date`` or a ``numpy.datetime64``. A start is the instant it
    states; an end includes everything up to the end of its stated precision
    (a date: the whole day; ``hh:mm``: the whole minute; whole seconds: the
    whole second; a fraction, or a datetime with one: exactly that instant).
    The files read are those whose day (from the name) lies between the
    bounds' days. With ``"YYYY-MM-DD hh:mm:ss"`` texts a scan gives exactly
    the rows read gives. An end that comes before the start raises
    ValueError naming both (a window of no time is a mistake, not an empty
    result).
"""


_ERRORS_DOC = """
    ``errors``: what a damaged file does to the read. ``"raise"`` (the
    default): it fails the read, as in read. ``"warn"`` and ``"skip"``: the
    rows the file held before its malformed record are kept and the read
    goes on with the next file; so does a file that cannot be opened or read
    (an unreadable day; errors of the directory walk still raise).
    Each damaged file is reported once per read, in :attr:`Scan.skipped`
    (path, byte offset, message), and under ``"warn"`` by a UserWarning
    naming the file and the byte offset as the read reaches it (a warnings
    filter of "error" turns it into a failure of the read). A failure says
    the file and the byte offset in its message itself, after the text read
    gives: ``Error occured while reading file. (archive file '...',
    malformed record at byte 1234)``.
"""


def scan(root_dir: PathLike, dt_start: Bound, dt_end: Bound, signals: Optional[Iterable[Union[int, str]]] = None,
         *, ids: Optional[Iterable[Union[int, str]]] = None, catalog: Any = None, threads: Optional[int] = None,
         batch_rows: Optional[int] = None, progress: Union[None, bool, Callable[[int, int], Any]] = None,
         errors: str = "raise", storage_options: Optional[Dict[str, Any]] = None, tz: Any = None,
         index: Any = None) -> Scan:
    """The rows that ``read(root_dir, dt_start, dt_end, signals)`` gives, as
    columns (a :class:`Scan`, read when consumed), decoded on ``threads``
    threads (default: the CPUs this process may use), one file per task,
    merged back in file order. Each thread reads one file at a time, front
    to back; more threads than CPUs help only when the files are not yet in
    memory and the storage serves several reads at once (network storage,
    several disks, most SSDs and virtual disks), while on one spinning disk
    fewer files in flight (``threads=1``) keep its reads sequential.

    Differences from read: no 256-code cap (duplicates collapse), and a code
    outside 0 to 67,108,863 raises ValueError naming it. ``root_dir`` may be
    str, bytes or os.PathLike. ``signals``: any iterable of integers (list,
    range, NumPy integer array), or None (the default): every value of every
    signal, all elements, as if every code were given (no table of codes is
    made; memory stays bounded). Names and shell-style patterns (str, such
    as ``"Furnace1.*"``; case-sensitive) may stand among the codes: the
    codes the catalog gives them (a name for a whole signal gives every
    element of it). A name of the catalog is that entry even when it holds
    ``[``, ``*`` or ``?`` (``"Pump[1]"`` is not ``Pump1``); ``=`` before a
    name asks for it alone, never a pattern (``"=Pump[1]"``). A name or
    pattern that matches nothing raises ValueError naming it, with close
    names. ``ids``: signal ids (or names, for their ids) whose every
    element is read, with the codes of ``signals`` if any.
    ``catalog``: the :class:`zentrail.Catalog` of names, or a path to its
    .csv or .json file; None (the default) uses ``zentrail-catalog.csv`` (or
    ``.json``) in ``root_dir`` if there is one, False none. Its names head
    the columns of :meth:`Scan.align`, fill the ``name`` and ``unit``
    columns (:meth:`Scan.select`, ``to_pandas(names=True)``). ``batch_rows``: rows per batch when
    iterating (default 65,536). ``progress``: a callable called on the
    consuming thread with ``(bytes_done, bytes_total)`` at most about 10
    times a second and once at the end with bytes_done == bytes_total (its
    exception cancels the read and propagates), or True for a tqdm bar on
    standard error (``pip install "zentrail[progress]"``).
    {bounds}
    ``root_dir`` may also be an fsspec URL (``s3://bucket/plant``,
    ``az://``, ``memory://``; ``pip install "zentrail[remote]"`` and the
    file system's own package, s3fs, adlfs, ...) or a ``.zip`` file, read
    from the files' bytes fetched ahead of the decoding threads;
    ``storage_options`` are its file system's options (credentials: they
    appear in no message). See "Archives elsewhere" in the docs.
    Argument errors raise here; walk and file errors from the consuming call.
    {errors}
    ``tz``: the zone the archive's wall-clock times were written in (an IANA
    name such as ``"Europe/Berlin"``, or a ``zoneinfo.ZoneInfo``); None (the
    default) the one ``zentrail-zone.txt`` in ``root_dir`` names, if any;
    False none. In a zone every time read is an instant, naive bounds are
    wall times there (``fold=1`` the second pass of the hour clocks repeat),
    bounds with an offset are instants, and the files read are those of the
    window's local days (see the page "Time zones").
    When ``signals`` is given and the read yields no row at all, consuming
    it (iteration, :meth:`Scan.to_numpy`, :meth:`Scan.to_pandas`) warns once
    (UserWarning) naming the codes, and for a code below 1024 that is the
    id of a signal in the files read, the codes its values have (a code is
    ``id * 1024 + element index``). A read of a root that holds no archive
    file at all warns so likewise, whatever ``signals``.
    ``index``: where the summaries of files read before are kept (None: the
    folder ``ZENTRAIL_INDEX`` names, else the user's cache folder; a folder;
    False: none): :meth:`Scan.align` and the time-weighted overview take
    the values in force at their start from it where it holds them; no
    result depends on it (see the page "Questions about an archive").
    """
    return Scan(make_plan(_remote.root_of(root_dir, storage_options), False, dt_start, dt_end, signals, threads,
                          batch_rows, progress, errors, ids, catalog, tz, index))


def scan_files(paths: Iterable[PathLike], dt_start: Bound, dt_end: Bound,
               signals: Optional[Iterable[Union[int, str]]] = None, *, ids: Optional[Iterable[Union[int, str]]] = None,
               catalog: Any = None, threads: Optional[int] = None, batch_rows: Optional[int] = None,
               progress: Union[None, bool, Callable[[int, int], Any]] = None, errors: str = "raise",
               storage_options: Optional[Dict[str, Any]] = None, tz: Any = None) -> Scan:
    """A :class:`Scan` over an explicit, ordered list of files, each read as
    scan reads a file it found (day 0 at its start, its own end byte), for
    example one day file per Dask partition. A missing path fails as a found
    file that cannot be opened does. ``scan(root, ...)`` gives the rows of
    ``scan_files(find_files(root, ...), ...)``. Arguments as for :func:`scan`;
    the paths may be URLs of one file system (all of them). No catalog is
    looked for (there is no root): give ``catalog=``.
    """
    return Scan(make_plan(_remote.files_of(paths, storage_options), True, dt_start, dt_end, signals, threads,
                          batch_rows, progress, errors, ids, catalog, tz))


def parse_signals(text: str) -> Any:
    """The signals of a text, as :func:`scan` takes them: items separated by
    commas, each ``ID`` (every element of that signal), ``ID:N`` or
    ``ID:A-B`` (elements N, A to B), where an ID may be a range ``A-B`` of
    ids too (``"7:0-3,12,500-503:0"``), or a name or a shell-style pattern
    of the catalog (an item that does not start with a digit: ``"TI-*"``).
    The text of the ``zentrail`` command's ``--signals`` and of the Spark
    source's ``signals`` option. Gives an int64 NumPy array of the codes in
    the order written, or, when the text holds names, a list of that array
    followed by the names (the scan resolves them through its catalog);
    ValueError names an item that is neither."""
    return _arguments.signals_of_text(text)


def find_files(root_dir: PathLike, dt_start: Bound, dt_end: Bound, *,
               storage_options: Optional[Dict[str, Any]] = None, tz: Any = None) -> List[str]:
    """The archive files under ``root_dir`` that :func:`scan` would read, in
    the order it reads them: every path carrying a day (``YYYY-MM-DD_...vlx``)
    between the bounds' days, sorted by the bytes of the whole path. Walk
    errors raise as in read. For a URL or a zip file (as :func:`scan`
    takes them) the same rules apply to its listing, and the files are
    their URLs (a zip file's members as ``ZIP_PATH/MEMBER``).
    {bounds}"""
    root = _remote.root_of(root_dir, storage_options)
    zone = archive_zone(tz, root)
    start, end = _time.window_in(zone, dt_start, dt_end)
    finder = _request.Request(root, False, start, end, threads=1, zone=zone)
    if _remote.is_place(root):
        return _request.archive_files(root, finder.file_start, finder.file_end)[0]
    return _core.find_files(finder)


def inventory(root_dir: PathLike, dt_start: Optional[Bound] = None, dt_end: Optional[Bound] = None, *,
              by: Optional[str] = None, catalog: Any = None, threads: Optional[int] = None,
              progress: Union[None, bool, Callable[[int, int], Any]] = None, errors: str = "raise",
              storage_options: Optional[Dict[str, Any]] = None, tz: Any = None, index: Any = None) -> Inventory:
    """What the archive under ``root_dir`` holds (an :class:`Inventory`, read
    in this call): one row per (signal id, class) over every record whose
    time lies in the window, System records and alarms without a value
    included, decoded from record heads alone (no payload is copied) on
    ``threads`` threads (default: the CPUs this process may use).

    Bounds as for :func:`scan`; a bound left None leaves that side open, and
    with neither every archive file under the root and every record count.
    ``by="day"`` adds a first column ``day`` and gives one row per (day,
    signal id, class): the availability table. ``by="file"`` adds the
    columns ``file`` and ``day`` and gives one row per (file, day, signal id,
    class), the files in read order: which files hold records of which day
    (a file holds those of the day its name carries and, after a date mark
    naming another day, those of that day too). ``progress`` as for
    :func:`scan`. Failures raise what :func:`read` raises; ``errors`` as for
    :func:`scan` (``Inventory.skipped``). ``catalog`` as for :func:`scan`:
    its names in ``to_pandas(names=True)`` and :meth:`Inventory.unmatched`.
    ``tz`` as for :func:`scan` (None: the zone ``zentrail-zone.txt`` in the
    root names, if any; False: none): in a zone ``first`` and ``last`` are
    instants, a bound given is read as scan reads it (a wall time there, or
    an instant with an offset), and the days of ``by="day"`` and
    ``by="file"`` are local days, from local midnight to local midnight.
    ``index``: where the counts of each file are kept once read (None: the
    folder ``ZENTRAIL_INDEX`` names, else the user's cache folder; a
    folder; False: none), so that a file read before and unchanged since is
    not read again; the rows are the same either way (see the page
    "Questions about an archive").
    {bounds}"""
    return _index_inventory.inventory(root_dir, dt_start, dt_end, by=by, threads=threads, progress=progress, errors=errors,
                                catalog=catalog, storage_options=storage_options, tz=tz, index=index)


def build_index(root_dir: PathLike, *, tz: Any = None, index: Any = None, threads: Optional[int] = None,
                check: bool = False, clear: bool = False) -> IndexSummary:
    """Makes the index of the archive files under the local folder
    ``root_dir`` ahead of the questions asked of it (``zentrail index``):
    each file's counts (what :func:`inventory` gives), each code's last
    value row (what :meth:`Scan.align`, :func:`latest` and :func:`at` start
    from) and its rows' timing (what :func:`gaps` and :func:`availability`
    take), read once and kept while the file stays the same. Returns what
    the index holds for the archive's files (an :class:`IndexSummary`).
    ``check=True`` makes nothing and tells what is there; ``clear=True``
    removes the entries of the archive's files. ``index`` as for
    :func:`inventory` (a folder, or None for the default one); ``tz`` as
    for :func:`scan` (entries are kept per zone the files are read in).
    The index is kept outside the archive, never in its folders; see the
    page "Questions about an archive"."""
    from zentrail._index import build as _build
    from zentrail._series import gaps as _gaps

    return _build.build_index(root_dir, tz=tz, index=index, threads=threads, check=check, clear=clear,
                              more={_gaps.SECTION: (_gaps.file_part, _gaps.PART_VERSION)})


def events(root_dir: PathLike, dt_start: Bound, dt_end: Bound, ids: Optional[Iterable[Union[int, str]]] = None, *,
           system: bool = True, catalog: Any = None, threads: Optional[int] = None,
           progress: Union[None, bool, Callable[[int, int], Any]] = None, errors: str = "raise",
           storage_options: Optional[Dict[str, Any]] = None, tz: Any = None) -> Events:
    """The alarm records (classes 1 to 12 and 31: AlBool transitions and
    AlAckn acknowledgements too) and System records under ``root_dir`` whose
    time lies in the window, one row per record, in read order (an
    :class:`Events`, read when consumed). ``ids``: an iterable of signal ids
    (not codes), or of names and patterns of the catalog (``catalog`` as for
    :func:`scan`) for their ids, or None for every id; System records (signal id 0) are rows
    unless ``system=False``, whatever ``ids`` holds. String alarm texts are
    decoded as UTF-8 with invalid bytes replaced by U+FFFD. ``threads``,
    ``progress`` and ``errors`` as for :func:`scan` (``Events.skipped``).
    ``tz`` as for :func:`scan` (None: the zone ``zentrail-zone.txt`` in the
    root names, if any; False: none): in a zone each row's ``time`` is the
    record's instant, the repeated autumn hour's two passes told apart, and
    the bounds are read as scan reads them.
    {bounds}"""
    return _events.events(root_dir, dt_start, dt_end, ids, system=system, threads=threads, progress=progress,
                          errors=errors, catalog=catalog, storage_options=storage_options, tz=tz)


def gaps(root_dir: PathLike, start: Optional[Bound] = None, end: Optional[Bound] = None,
         signals: Optional[Iterable[Union[int, str]]] = None, *, min_gap: Any = "10min", tz: Any = None,
         catalog: Any = None, errors: str = "raise", threads: Optional[int] = None, index: Any = None) -> Gaps:
    """The spells longer than ``min_gap`` in which a code has no row (any
    row counts, whatever its value), per code, within the window from
    ``start`` to ``end`` (a :class:`Gaps`, read in this call).

    A spell runs from one row of the code to its next; where a row lies on
    neither side within the archive, from or to no instant (``row_before``
    or ``row_after`` NaT: a signal that stopped logging has a spell to the
    window's end). Each spell is cut to the window, and it is the spell's
    length *within the window* that must exceed ``min_gap``: a spell of
    three hours of which five minutes fall in the window is not one of its
    gaps at ``min_gap="10min"``, and its ``start``, ``end`` and
    ``duration`` are always those of its part within the window. Its
    ``row_before`` and ``row_after`` are the rows themselves, which may lie
    outside the window: files further out are read as far as needed to find
    them. The window runs from ``start`` to just after the end of ``end``'s
    precision (``end="2024-03-01"``: up to the next midnight); a bound left
    None is the first (the last) row of any code read.

    The codes are those of ``signals`` (as for :func:`scan`; None: every
    code) that have a row in the files of the window's days, and every code
    named one by one in ``signals`` (not as a whole signal) even without a
    row there: a code that logged nothing is one gap. A signal that stopped
    before the window's days has no row in their files: name it to see it.

    ``min_gap``: a duration (see :func:`zentrail.Scan.align`); below one
    minute (``GAP_FLOOR``) the rows themselves are read, since the summary
    of a file kept by the index holds the spells longer than a minute at
    most. ``index``: where the summaries of files read before are kept, as for
    :func:`scan`; False reads every file. Bounds, ``tz``,
    ``catalog``, ``errors`` and ``threads`` as for :func:`scan`.
    {bounds}"""
    plan = make_plan(_remote.root_of(root_dir, None), False, "2000-01-01" if start is None else start,
                     "2179-12-31" if end is None else end, signals, threads, None, None, errors, None, catalog, tz,
                     index)
    return _gaps.gaps(plan, start, end, min_gap)


def availability(root_dir: PathLike, start: Bound, end: Bound, every: Any = "1d",
                 signals: Optional[Iterable[Union[int, str]]] = None, *, period: Any = "10min", tz: Any = None,
                 catalog: Any = None, errors: str = "raise", threads: Optional[int] = None,
                 index: Any = None) -> Availability:
    """The share of each bucket's time that each code's rows cover (an
    :class:`Availability`, read in this call), a row covering the
    ``period`` from it: [t, t + period). So a code is covered from its
    first row to its last plus the period, but for the spells between
    consecutive rows more than the period apart, each bare from the period
    after the earlier row to the later one. A row before the window covers
    its start, up to the period after it.

    The buckets are ``every`` long from ``start`` (in a zone, ``every`` of
    whole days gives local days, 23 or 25 hours long where the clocks
    change), the last cut at the window's end; ``covered`` is the share of
    the bucket's time within the window, ``rows`` the code's rows there. The
    codes are those of ``signals`` with a row in the files of the window's
    days, and every code named one by one (see :func:`gaps`). ``period``
    below one minute reads the rows themselves; ``index``, bounds, ``tz``,
    ``catalog``, ``errors`` and ``threads`` as for :func:`gaps`.
    {bounds}"""
    plan = make_plan(_remote.root_of(root_dir, None), False, start, end, signals, threads, None, None, errors, None,
                     catalog, tz, index)
    return _gaps.availability(plan, every, period)


def at(root_dir: PathLike, times: Any, signals: Optional[Iterable[Union[int, str]]], how: Optional[str] = None, *,
       lookback: Any = "7d", tz: Any = None, catalog: Any = None, errors: str = "raise",
       threads: Optional[int] = None, index: Any = None,
       storage_options: Optional[Dict[str, Any]] = None) -> ValuesAt:
    """Each code's value at each of ``times`` (a :class:`ValuesAt`, read
    when consumed): the value in force (``how="step"``) or interpolated
    between the rows around the instant (``how="linear"``), or each code as
    its catalog entry says (``how=None``, the default), exactly as
    :meth:`Scan.align` gives them, with the time of the row each value came
    from. ``times``: one instant or an iterable of them (a NumPy datetime64
    array too), each a text, datetime, date or numpy.datetime64 read as a
    start bound is read (``"2024-03-01 14:03:17"``; in a zone a wall time
    there unless it carries an offset); in any order, repeats answered
    again. ``signals``: as for :func:`scan` (None: every code with a value
    row near the instants). The value in force is looked for up to
    ``lookback`` before each instant (and, interpolating, the row after it
    up to ``lookback`` after; None: no limit). Instants whose look-back
    windows overlap are read together, others apart: one instant a day for
    years reads each day's files, not the years between. ``tz``,
    ``catalog``, ``errors``, ``threads`` and ``storage_options`` as for
    :func:`scan`. ``index`` as for :func:`scan`: the values in force are
    taken from the index's summaries of files wholly before an instant's
    look back ends, where it holds them (the answer is the same either way)."""
    return ValuesAt(make_plan(_remote.root_of(root_dir, storage_options), False, "0001-01-01", "9999-12-31", signals,
                              threads, None, None, errors, None, catalog, tz, index), times, how, lookback)


def latest(root_dir: PathLike, signals: Optional[Iterable[Union[int, str]]] = None, *, tz: Any = None,
           catalog: Any = None, errors: str = "raise", threads: Optional[int] = None, index: Any = None,
           storage_options: Optional[Dict[str, Any]] = None) -> Latest:
    """Each code's last value row in the archive under ``root_dir`` (a
    :class:`Latest`, read when consumed): its time and value, the last by
    time, of several at that time the last in read order (text rows and NaN
    values are no value rows). ``signals`` as for :func:`scan` (None: every
    code); ``tz``, ``catalog``, ``errors``, ``threads`` and
    ``storage_options`` as for :func:`scan`. Each file's last rows are kept
    in the archive's index (``index`` as for :func:`scan`), which a grid's
    values in force use too; the answer never depends on it."""
    return Latest(make_plan(_remote.root_of(root_dir, storage_options), False, "0001-01-01", "9999-12-31", signals,
                            threads, None, None, errors, None, catalog, tz, index).widened(None, None))


def alarms(root_dir: PathLike, start: Bound, end: Bound, signals: Optional[Iterable[Union[int, str]]] = None, *,
           follow: Any = "1d", boolean_raises: str = "L->H", threads: Optional[int] = None,
           progress: Union[None, bool, Callable[[int, int], Any]] = None, errors: str = "raise",
           storage_options: Optional[Dict[str, Any]] = None, catalog: Any = None, tz: Any = None) -> Alarms:
    """The alarm episodes raised from ``start`` to ``end`` under ``root_dir``
    (an :class:`Alarms`, read in this call), one row per episode in raise
    order, from the alarm records (classes 1 to 12 and 31, as
    :func:`events` gives them with ``system=False``) by four rules:

    1. Raise. One episode per record that raises:
       a value alarm (classes 2..11) with subtype 0..3 (Lo, Hi, LoLo,
       HiHi). Subtype 4 "data" and 5..7 raise nothing (counted in the
       report as "records that raise nothing");
       a string alarm (class 12), any subtype (its level is its subtype's
       name; its text is kept);
       an AlBool record whose transition is ``boolean_raises`` ("L->H" by
       default; "H->L"; or "both": every transition raises).
    2. Acknowledge. An AlAckn of signal id S and subtype n acknowledges
       every not-yet-acknowledged episode of id S whose raising record has
       subtype n (so "Lo/L" acknowledges Lo and H->L, "Hi/H" Hi and L->H,
       LoLo LoLo, HiHi HiHi; for string alarms the subtype number), raised
       before it (time order; equal times: read order). An AlAckn that
       acknowledges nothing (its alarm was raised before what was read, or
       never) is counted in the report.
    3. Return to normal ("cleared"). Only where the archive says it: for
       AlBool with ``boolean_raises`` "L->H" the next H->L of the same id
       clears every L->H episode of that id raised before it (and the
       other way round for "H->L"). Value alarms, string alarms and "both"
       booleans: the archive does not say; ``cleared`` is NaT and
       ``return_known`` False. Never guessed.
    4. What is read. Episodes raised in [start, end]; acknowledgements and
       returns are looked for in the records up to end + ``follow``
       (default "1d", a duration of the one grammar, that of
       :meth:`Scan.align`; "0" for none). An ack or return later than that
       leaves NaT (and the report says how many episodes had none within
       the read).

    ``signals``: signal ids, or names and patterns of the catalog for their
    ids, as ``ids`` of :func:`events` (None: every alarm). ``catalog`` as
    for :func:`scan`: it gives each alarm's ``name`` and ``unit``, and its
    ``alarm_of`` column the name of the signal the alarm watches
    (``watches``). ``threads``, ``progress``, ``errors``,
    ``storage_options`` and ``tz`` as for :func:`scan`: in a zone the
    instants are instants, UTC in NumPy and the zone's in pandas and
    Arrow. A read that finds no alarm record at all warns so
    (UserWarning). :meth:`Alarms.report` gives the figures of the alarm
    system over the window.
    {bounds}"""
    from zentrail._alarms import episodes as _episodes

    return _episodes.alarms(root_dir, start, end, signals, follow=follow, boolean_raises=boolean_raises,
                            threads=threads, progress=progress, errors=errors, storage_options=storage_options,
                            catalog=catalog, tz=tz)


def lake_held(lake: PathLike) -> Tuple[int, Any]:
    """What a lake kept by :func:`sync` holds, as its state file says (no
    part is read): ``(rows, None)`` for a lake of rows; for a lake of
    aligned grids (``every=``), ``(grid rows, last)``, ``last`` the last
    grid instant (a ``numpy.datetime64``); ``(0, None)`` for a folder that
    holds no lake yet; a Delta lake's (``format="delta"``) as its newest
    state says."""
    from zentrail._live import delta_lake as _delta, grid_lake as _grid_lake, sync as _sync

    kept = _delta.delta_held(lake)
    if kept is None:
        rows = _sync.lake_rows(lake)
        if rows:
            return rows, None
        kept = _grid_lake.lake_grid(lake)
    total, last = kept
    if last is None:
        return total, None
    import numpy

    return total, numpy.datetime64(last, "ns")


scan.__doc__ = (scan.__doc__ or "").format(bounds=_BOUNDS_DOC, errors=_ERRORS_DOC)
inventory.__doc__ = (inventory.__doc__ or "").format(bounds=_BOUNDS_DOC)
events.__doc__ = (events.__doc__ or "").format(bounds=_BOUNDS_DOC)
find_files.__doc__ = (find_files.__doc__ or "").format(bounds=_BOUNDS_DOC)
gaps.__doc__ = (gaps.__doc__ or "").format(bounds=_BOUNDS_DOC)
availability.__doc__ = (availability.__doc__ or "").format(bounds=_BOUNDS_DOC)
alarms.__doc__ = (alarms.__doc__ or "").format(bounds=_BOUNDS_DOC)


def __getattr__(name: str) -> object:
    if name in ("Row", "PathLike", "Bound", "Columns"):
        from zentrail import _types

        return getattr(_types, name)
    if name == "__version__":
        # The installed distribution's, which pyproject.toml sets; looked up
        # on first use, since importlib.metadata costs more to import than
        # the package itself.
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("zentrail")
        except PackageNotFoundError:  # run from a source or build tree, not installed
            found = "0+unknown"
        globals()["__version__"] = found
        return found
    raise AttributeError(f"module 'zentrail' has no attribute {name!r}")
