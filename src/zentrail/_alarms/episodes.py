"""zentrail.alarms: the alarm episodes of an archive, from its alarm records.

The records say when an alarm was raised, when an operator acknowledged it
and, for a boolean alarm alone, when its signal went back. An episode is
made of those three and of nothing guessed: what the records do not say
stays NaT. Every episode is found at once in NumPy (the records in time
order, then by id and subtype, where the first acknowledgement or return
after each raise is the next one of its run), so that a year of alarms
costs a few sorts, not a loop over records.
"""

from __future__ import annotations

from zentrail._alarms.codes import by_codes
from zentrail._base import arguments as _arguments, classes as _classes, time as _time
from zentrail._elsewhere import remote as _remote
from zentrail._read import request as _request
from zentrail._read.events import Events, codes_of
from zentrail._read.result import Result

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterable, List, Optional, Tuple

    _Columns = Dict[str, Any]

BOOL, STRING, ACK = 1, 12, 31
# The value alarms (AlByte .. AlError), whose subtypes 0 to 3 are levels.
VALUE_FIRST, VALUE_LAST = 2, 11
LEVELS = 4
# What boolean_raises may say: which transition of an AlBool raises.
BOOLEAN_RAISES = {"L->H": (1,), "H->L": (0,), "both": (0, 1)}
ORDER = ("raised", "signal_id", "name", "unit", "watches", "item_class", "class_name", "level", "subtype", "value",
         "text", "acknowledged", "ack_value", "cleared", "return_known", "to_acknowledge", "active")


class Episodes:
    """The episodes of some alarm records, as columns in raise order, and
    the counts a report tells beside them: ``unmatched_acks`` (the
    acknowledgements within the window that acknowledge no episode) and
    ``raising_nothing`` (the alarm records within it that raise nothing)."""

    __slots__ = ("columns", "unmatched_acks", "raising_nothing")

    def __init__(self, columns: _Columns, unmatched_acks: int, raising_nothing: int) -> None:
        self.columns = columns
        self.unmatched_acks = unmatched_acks
        self.raising_nothing = raising_nothing


def _first_after(codes: Any, raises: Any, found: Any) -> Any:
    """For each raise (``raises``, a mask over the records in time order;
    equal times in read order), the place of the first record of ``found``
    (a mask too) after it with the same codes (a tuple of code columns of
    the records), -1 if none: in the records of both ordered by codes, then
    place, the next found one of its run."""
    import numpy

    places = numpy.flatnonzero(raises | found)
    order = by_codes(*(column[places] for column in codes))
    seq = places[order]  # by codes, then place
    n = len(seq)
    # Where each run of equal codes ends, for every position of the sequence.
    ordered = [column[seq] for column in codes]
    new_run = numpy.zeros(n, dtype=bool)
    new_run[:1] = True
    for column in ordered:
        new_run[1:] |= column[1:] != column[:-1]
    run_ends = numpy.append(numpy.flatnonzero(new_run[1:]) + 1, n)
    run_end = run_ends[numpy.cumsum(new_run) - 1] if n else run_ends[:0]
    is_found = found[seq]
    # The first found record at or after each position of the sequence.
    at = numpy.where(is_found, numpy.arange(n), n)
    after = numpy.minimum.accumulate(at[::-1])[::-1]
    mine = numpy.flatnonzero(~is_found)  # the raises, in the sequence
    target = after[mine]
    good = target < run_end[mine]
    out = numpy.full(len(raises), -1, dtype=numpy.int64)  # by the raise's place
    out[seq[mine[good]]] = seq[target[good]]
    return out[raises]


def episodes_of(rows: _Columns, first: int, last: int, boolean_raises: str) -> Episodes:
    """The episodes raised within [first, last] (ns, as the rows' times) of
    rows as zentrail.events gives them (system=False), in read order,
    which may run past ``last`` (where acknowledgements and returns are
    looked for)."""
    import numpy

    time = rows["time"].view(numpy.int64)
    # By time, equal times in read order; records mostly come so already.
    order = None if bool((time[1:] >= time[:-1]).all()) else numpy.argsort(time, kind="stable")

    def ordered(column: Any) -> Any:
        return column if order is None else column[order]

    t, ident, cls, sub = (ordered(rows[name]) for name in ("time", "signal_id", "item_class", "subtype"))
    t = t.view(numpy.int64)
    inside = (t >= first) & (t <= last)
    valued = (cls >= VALUE_FIRST) & (cls <= VALUE_LAST)
    is_bool = cls == BOOL
    raising_subtypes = numpy.zeros(256, dtype=bool)
    raising_subtypes[list(BOOLEAN_RAISES[boolean_raises])] = True
    bool_raises = raising_subtypes[sub]
    raising = (valued & (sub < LEVELS)) | (cls == STRING) | (is_bool & bool_raises)
    # A boolean's other transition is its return where returns are known.
    returns_known = boolean_raises != "both"
    returning = is_bool & ~bool_raises & (sub <= 1) & returns_known
    alarm = (cls >= BOOL) & (cls <= STRING)
    raising_nothing = int(numpy.count_nonzero(alarm & inside & ~raising & ~returning))
    raises = raising & inside
    raised = numpy.flatnonzero(raises)

    # An acknowledgement names its id and, by its subtype, the subtype of
    # the raising records it acknowledges: every one not yet acknowledged,
    # so each raise's acknowledgement is the first of its id and subtype
    # after it.
    is_ack = cls == ACK
    ack = _first_after((ident, sub), raises, is_ack)
    acked = numpy.zeros(len(t), dtype=bool)
    acked[ack[ack >= 0]] = True
    unmatched = int(numpy.count_nonzero(is_ack & inside & ~acked))

    known = is_bool[raised] & returns_known
    back = numpy.full(len(raised), -1, dtype=numpy.int64)
    if returns_known:
        bool_raised = raises & is_bool
        back[known] = _first_after((ident,), bool_raised, returning)

    def instants(which: Any) -> Any:
        out = numpy.full(len(which), numpy.iinfo(numpy.int64).min, dtype=numpy.int64)
        out[which >= 0] = t[which[which >= 0]]
        return out.view("datetime64[ns]")

    raised_at = t[raised].view("datetime64[ns]")
    acknowledged, cleared = instants(ack), instants(back)
    pick = raised if order is None else order[raised]
    values = rows["value"]
    ack_value = numpy.full(len(raised), numpy.nan)
    ack_value[ack >= 0] = values[ack[ack >= 0] if order is None else order[ack[ack >= 0]]]
    classes, subtypes = cls[raised], sub[raised]
    columns = {
        "raised": raised_at, "signal_id": ident[raised], "item_class": classes,
        "class_name": _classes.class_name_array(classes, object),
        "level": _classes.subtype_name_array(classes, subtypes, object),
        "subtype": subtypes, "value": values[pick], "text": rows["text"][pick],
        "acknowledged": acknowledged, "ack_value": ack_value, "cleared": cleared, "return_known": known,
        "to_acknowledge": acknowledged - raised_at, "active": cleared - raised_at}
    return Episodes(columns, unmatched, raising_nothing)


def labels(catalog: Any, ids: Any) -> _Columns:
    """The catalog's name, unit and alarm_of of each signal id (object
    arrays, None where it says nothing): of the entry of the whole signal,
    else of its element 0."""
    import numpy

    fields = {"name": "name", "unit": "unit", "watches": "alarm_of"}
    if catalog is None:
        return {column: numpy.full(len(ids), None, dtype=object) for column in fields}
    lookup = catalog.lookup()
    ids = numpy.asarray(ids, dtype=numpy.int64)
    rows = lookup.whole[ids].astype(numpy.int64)
    alone = rows < 0
    rows[alone] = lookup.rows(ids[alone], numpy.zeros(int(alone.sum()), dtype=numpy.int64))
    out = {}
    for column, field in fields.items():
        try:
            values = catalog.column(field)
        except KeyError:  # a catalog without that column says it of no signal
            values = [None] * len(catalog)
        table = numpy.empty(len(values) + 1, dtype=object)
        table[:-1] = values
        table[-1] = None  # a row of -1: no entry
        out[column] = table[rows]
    return out


class Alarms(Result):
    """The alarm episodes of an archive, made by :func:`zentrail.alarms`
    (read when made), one row per episode in raise order (by time; at equal
    times in read order). Columns:

    - ``raised``: datetime64[ns], the time of the raising record.
    - ``signal_id``: uint16, the alarm's id.
    - ``name``, ``unit``: the catalog's name and unit of the id (None where
      it has none).
    - ``watches``: the catalog's ``alarm_of`` of the id: the name of the
      signal the alarm watches (None where it says none).
    - ``item_class``: uint8, the raising record's class, with ``class_name``.
    - ``level``: the raising record's subtype name: Lo, Hi, LoLo, HiHi for a
      value alarm, L->H or H->L for a boolean one, Norm, LogF, Arch, User,
      ... for a string alarm; ``subtype``: uint8, its number.
    - ``value``: float64, the value at the raise (NaN for AlBool, AlString).
    - ``text``: a string alarm's text (None for the others).
    - ``acknowledged``: datetime64[ns], NaT where not acknowledged within
      the read; ``ack_value``: float64, the acknowledging record's value.
    - ``cleared``: datetime64[ns], the return to normal where the archive
      says it and it lies within the read, else NaT; ``return_known``:
      bool, whether the archive says returns for the alarm at all.
    - ``to_acknowledge``, ``active``: timedelta64[ns], ``acknowledged -
      raised`` and ``cleared - raised`` (NaT where either is).

    The name columns (name, unit, watches, class_name, level) are str
    objects in ``to_numpy()``, categorical in ``to_pandas()``,
    dictionary-encoded in the Arrow stream. Read in a zone, the instants
    are UTC in NumPy, the zone's in pandas and Arrow. :meth:`report` gives
    the figures of the alarm system over the window read."""

    __slots__ = ("_columns", "_read_zone", "_catalog", "_first", "_last", "_follow", "_unmatched",
                 "_raising_nothing", "_shown")
    _NAME_COLUMNS = ("name", "unit", "watches", "class_name", "level")
    _INSTANT_COLUMNS = ("raised", "acknowledged", "cleared")

    def __init__(self, found: Episodes, window: Tuple[int, int], follow: int, errors: str, catalog: Any, zone: Any,
                 skipped: List[Any], shown: Tuple[str, str]) -> None:
        """Made by zentrail.alarms."""
        self._set_errors(errors)
        self._skipped = skipped
        self._columns = found.columns
        self._catalog = catalog
        self._read_zone = zone
        self._first, self._last = window
        self._follow = follow
        self._unmatched = found.unmatched_acks
        self._raising_nothing = found.raising_nothing
        self._shown = shown

    def _read(self) -> _Columns:
        return dict(self._columns)

    def __len__(self) -> int:
        return len(self._columns["raised"])

    @property
    def catalog(self) -> Any:
        """The :class:`zentrail.Catalog` that named the alarms, or None."""
        return self._catalog

    @property
    def window(self) -> Tuple[Any, Any]:
        """The first and last instant of the window read (numpy.datetime64,
        UTC in a zone): the episodes are those raised within it."""
        import numpy

        return numpy.datetime64(self._first, "ns"), numpy.datetime64(self._last, "ns")

    @property
    def unmatched_acks(self) -> int:
        """The acknowledgements within the window that acknowledge no
        episode (their alarm was raised before the window, or never)."""
        return self._unmatched

    @property
    def raising_nothing(self) -> int:
        """The alarm records within the window that raise nothing (a value
        alarm's "data" and unnamed subtypes, an AlBool's unnamed ones)."""
        return self._raising_nothing

    def report(self, window: Any = "10min", *, flood: int = 10, chatter: int = 3, chatter_window: Any = "1min",
               standing: Any = "24h", top: int = 10) -> Any:
        """The figures of the alarm system over the window read (an
        :class:`zentrail.AlarmReport`): rates per ``window`` (a duration),
        hour and day; the floods (``window`` bins of more than ``flood``
        alarms); the ``top`` most frequent alarms; the chattering ones
        (``chatter`` or more raises within ``chatter_window``); the standing
        ones (active longer than ``standing``); the times to acknowledge
        per level; each beside its benchmark values (ISA-18.2, EEMUA 191)."""
        from zentrail._alarms import report as _report

        return _report.report(self, window, flood=flood, chatter=chatter, chatter_window=chatter_window,
                              standing=standing, top=top)

    def spans(self) -> Dict[str, Any]:
        """What a report is made of: the window (``first``, ``last``, ns), the
        ``follow`` read past it (ns), the counts, the zone read in (or None)."""
        return {"first": self._first, "last": self._last, "follow": self._follow, "shown": self._shown,
                "unmatched_acks": self._unmatched, "raising_nothing": self._raising_nothing, "zone": self._zone()}

    def __repr__(self) -> str:
        return f"<zentrail.Alarms: {len(self)} episodes from {self._shown[0]} to {self._shown[1]}>"


def _listed(signals: Any) -> Any:
    return signals if isinstance(signals, (list, tuple, str, bytes)) else \
        list(signals) if hasattr(signals, "__iter__") else signals


def alarms(root_dir: Any, start: Any, end: Any, signals: Optional[Iterable[Any]] = None, *, follow: Any = "1d",
           boolean_raises: str = "L->H", threads: Optional[int] = None, progress: Any = None, errors: str = "raise",
           storage_options: Optional[Dict[str, Any]] = None, catalog: Any = None, tz: Any = None) -> Alarms:
    """zentrail.alarms (its text is there)."""
    import warnings

    from zentrail._names import catalog as _catalog
    from zentrail._read.plan import archive_zone

    root = _remote.root_of(root_dir, storage_options)
    zone = archive_zone(tz, root)
    first_bound, last_bound = _time.window_in(zone, start, end, ("start", "end"))
    reach = _time.reach_ns(follow, "follow")
    if not isinstance(boolean_raises, str) or boolean_raises not in BOOLEAN_RAISES:
        raise ValueError(f"boolean_raises must be one of {', '.join(map(repr, BOOLEAN_RAISES))}, "
                         f"not {boolean_raises!r}")
    names = _catalog.resolve(catalog, root)
    chosen = None if signals is None else _arguments.id_list(_listed(signals), names)
    first, last = _time.first_ns(first_bound), _time.last_ns(last_bound)
    errors = _request.check_errors(errors)
    records = Events(root, first_bound, _time.exact_bound(last + reach), chosen, False,
                     None if threads is None else _arguments.count(threads, "threads", 1),
                     _arguments.check_progress(progress), errors, zone)
    rows = codes_of(records)
    found = episodes_of(rows, first, last, boolean_raises)
    found.columns.update(labels(names, found.columns["signal_id"]))
    found.columns = {name: found.columns[name] for name in ORDER}
    shown = (str(start), str(end))
    if not len(rows["time"]):
        warnings.warn(f"zentrail.alarms: no alarm record of {'the signals given' if chosen is not None else 'any signal'}"
                      f" from {shown[0]} to {shown[1]}, so no episode to tell of", UserWarning,
                      stacklevel=_request.outside_the_package())
    return Alarms(found, (first, last), reach, errors, names, zone, records.skipped, shown)
