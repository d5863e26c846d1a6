"""Time in zentrail, in one place: the bounds a caller writes, the instants
they stand for, the texts that name instants, and durations (one grammar for
every duration argument; see DURATION_UNITS).

Every bound becomes the tuple ``(year, month, day, ns_of_day, unit_ns)``: the
point it states and the precision it states it to, in nanoseconds. A start is
the instant itself; an end runs to the end of its precision (a date: the whole
day; ``hh:mm``: the whole minute; whole seconds: the whole second; a fraction:
exactly that instant).

An instant is an int of nanoseconds since 1970-01-01 00:00, naive wall-clock
time, as the ``time`` columns hold it (datetime64[ns]). Bounds reach the years
1 to 9999; instants that a datetime64[ns] can hold lie within 1678 to 2262.
"""

from __future__ import annotations

from zentrail import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    import datetime
    from typing import Any, Dict, List, Optional, Tuple

# A bound as (year, month, day, ns_of_day, unit_ns): see the module's text.
BoundTuple = tuple[int, int, int, int, int]

NS_PER_SECOND = 1_000_000_000
NS_PER_DAY = 86_400 * NS_PER_SECOND
# The precision of a NumPy datetime64 of each unit; units below a nanosecond
# state an instant too.
_DATETIME64_UNITS = {"D": NS_PER_DAY, "h": 3_600 * NS_PER_SECOND, "m": 60 * NS_PER_SECOND, "s": NS_PER_SECOND}
_KINDS = "a str, datetime.datetime, datetime.date, numpy.datetime64 or pandas.Timestamp"
_EPOCH_ORDINAL = 719_163  # datetime.date(1970, 1, 1).toordinal()
_LAST_ORDINAL = 3_652_059  # datetime.date(9999, 12, 31).toordinal()
# The first and the last instant a bound can state.
FIRST_NS = (1 - _EPOCH_ORDINAL) * NS_PER_DAY
LAST_NS = (_LAST_ORDINAL + 1 - _EPOCH_ORDINAL) * NS_PER_DAY - 1


def bound_tuple(bound: Any, name: str) -> BoundTuple:
    """The bound tuple of `bound`, or TypeError / ValueError naming `name`."""
    import datetime

    if isinstance(bound, str):
        try:
            return _core.parse_bound(bound)
        except ValueError as error:
            raise ValueError(f"{name}: {error}") from None
    if isinstance(bound, datetime.datetime):  # pandas.Timestamp too
        return _from_datetime(bound, name)
    if isinstance(bound, datetime.date):
        return (bound.year, bound.month, bound.day, 0, NS_PER_DAY)
    if type(bound).__name__ == "datetime64" and type(bound).__module__ == "numpy":
        return _from_datetime64(bound, name)
    raise TypeError(f"{name} must be {_KINDS}, not {type(bound).__name__}")


def window(dt_start: Any, dt_end: Any, names: Tuple[str, str] = ("dt_start", "dt_end")) -> Tuple[BoundTuple, BoundTuple]:
    """The bound tuples of a window, or ValueError naming both when its end
    comes before its start (a window that could hold nothing is a mistake,
    not an empty result)."""
    start = bound_tuple(dt_start, names[0])
    end = bound_tuple(dt_end, names[1])
    check_order(start, end, dt_start, dt_end, names)
    return start, end


def check_order(start: BoundTuple, end: BoundTuple, shown_start: Any, shown_end: Any,
                names: Tuple[str, str] = ("dt_start", "dt_end")) -> None:
    """ValueError naming both bounds when `end` ends before `start` begins."""
    if last_ns(end) < first_ns(start):
        raise ValueError(f"{names[1]} {shown_end!s} comes before {names[0]} {shown_start!s}: the window holds no time")


def first_ns(bound: BoundTuple) -> int:
    """The first instant of a bound (where a start begins)."""
    return (_ordinal(bound) - _EPOCH_ORDINAL) * NS_PER_DAY + bound[3]


def last_ns(bound: BoundTuple) -> int:
    """The last instant of a bound (where an end ends)."""
    return first_ns(bound) + bound[4] - 1


def instant_bound(ns: int) -> Optional[BoundTuple]:
    """The bound of exactly the instant `ns`, or None outside the years 1 to 9999."""
    import datetime

    days, ns_of_day = divmod(int(ns), NS_PER_DAY)
    ordinal = _EPOCH_ORDINAL + days
    if not 1 <= ordinal <= _LAST_ORDINAL:
        return None
    date = datetime.date.fromordinal(ordinal)
    return (date.year, date.month, date.day, ns_of_day, 1)


def clamp_ns(ns: int) -> int:
    """`ns` moved into the instants a bound can state."""
    return min(max(int(ns), FIRST_NS), LAST_NS)


def instant_text(ns: int) -> str:
    """An instant as a bound text exact to the nanosecond
    ("2024-03-01 12:00:00.000000000"); ValueError outside the years 1 to 9999."""
    bound = instant_bound(ns)
    if bound is None:
        raise ValueError(f"the instant {ns} ns after 1970-01-01 lies outside the years 1 to 9999")
    seconds, fraction = divmod(bound[3], NS_PER_SECOND)
    return (f"{bound[0]:04}-{bound[1]:02}-{bound[2]:02} "
            f"{seconds // 3600:02}:{seconds // 60 % 60:02}:{seconds % 60:02}.{fraction:09}")


def day_text(ns: int) -> str:
    """The day ("2024-03-01") that holds the instant `ns`; ValueError outside
    the years 1 to 9999."""
    return instant_text(ns)[:10]


def day_first_ns(text: str) -> int:
    """The first instant (midnight) of a day text such as "2024-03-01"."""
    return first_ns(bound_tuple(text, "day"))


def instants_ns(values: Any) -> Any:
    """Times (datetime64 of any unit, or anything NumPy makes one of) as int64 ns."""
    import numpy

    return numpy.asarray(values).astype("datetime64[ns]").astype(numpy.int64)


def texts(column: Any, zone: Optional[Zone] = None) -> Any:
    """A datetime64[ns] column as texts "YYYY-MM-DD hh:mm:ss" with the
    fraction's trailing zeros dropped ("2024-03-01 05:00:00.002"), made by
    whole-array operations (no Python call per element).

    With a zone the column holds instants (UTC), and each text is the
    zone's wall time with its offset, ISO 8601: "2024-10-27T02:30:00+01:00",
    the offset telling the two passes of a repeated hour apart. NaT is
    "NaT"."""
    import numpy

    values = numpy.asarray(column, dtype="datetime64[ns]")
    if zone is None:
        full = _trimmed(numpy.datetime_as_string(values, unit="ns"), " ")
    else:
        offsets = zone.offsets_ns(values)
        full = _trimmed(numpy.datetime_as_string(values + offsets.astype("timedelta64[ns]"), unit="ns"), "T")
        if full.size:
            # A column holds a handful of offsets: each is written once.
            distinct, inverse = numpy.unique(offsets, return_inverse=True)
            suffixes = numpy.array([offset_text(ns) for ns in distinct.tolist()])[inverse.reshape(offsets.shape)]
            full = numpy.char.add(full, suffixes)
    return numpy.where(numpy.isnat(values), "NaT", full) if full.size else full


def _trimmed(full: Any, separator: str) -> Any:
    """Texts of numpy.datetime_as_string(unit="ns") with `separator` between
    the day and the time, and the fraction's trailing zeros dropped."""
    import numpy

    if full.size == 0:  # numpy.char.replace fails on an empty array (NumPy 2)
        return full
    if separator != "T":
        full = numpy.char.replace(full, "T", separator)
    trimmed = numpy.char.rstrip(numpy.char.rstrip(full, "0"), ".")
    # A whole second keeps its seconds: "…:00" rather than "…:" after the strip.
    whole = numpy.char.endswith(full, ".000000000")
    return numpy.where(whole, numpy.char.replace(full, ".000000000", ""), trimmed)


def offset_text(ns: int) -> str:
    """An offset from UTC as ISO 8601 writes it: "+01:00", "-03:30", and
    the seconds of an offset that has them ("+00:53:28")."""
    minutes, seconds = divmod(abs(ns) // NS_PER_SECOND, 60)
    text = f"{'-' if ns < 0 else '+'}{minutes // 60:02}:{minutes % 60:02}"
    return text + f":{seconds:02}" if seconds else text


# Durations: one grammar for every duration zentrail takes (a grid's step,
# a gap, a look back, a poll, a timeout, and the command line's options):
#   - a text "<number><unit>" with a decimal number ("15min", "1.5s", "7d"),
#     or a number alone, which counts seconds ("0.5");
#   - an int or a float: seconds;
#   - a datetime.timedelta, pandas.Timedelta or numpy.timedelta64 (of a
#     fixed unit: not years or months, whose lengths vary).
# Each is rounded to the nearest nanosecond and must lie within 1ns and
# MAX_DURATION_NS: anything else is a ValueError (a TypeError for an object
# of no duration kind) naming the argument.

# The units of a duration text, in nanoseconds; of two names for one
# length, the first is the one durations are written with.
DURATION_UNITS = {"ns": 1, "us": 1_000, "ms": 1_000_000, "s": NS_PER_SECOND, "min": 60 * NS_PER_SECOND,
                  "m": 60 * NS_PER_SECOND, "h": 3_600 * NS_PER_SECOND, "d": NS_PER_DAY}
# The longest duration: within what a numpy.timedelta64[ns] holds (about
# 106,751 days) and time.sleep() takes, and longer than any span a grid or a
# look back over instants of datetime64[ns] (about 584 years) can need.
MAX_DURATION_NS = 100_000 * NS_PER_DAY
# numpy.timedelta64's units of a fixed length: in nanoseconds, or (below
# one) as units per nanosecond.
_TIMEDELTA64_UNITS = {"W": 7 * NS_PER_DAY, "D": NS_PER_DAY, "h": 3_600 * NS_PER_SECOND, "m": 60 * NS_PER_SECOND,
                      "s": NS_PER_SECOND, "ms": 1_000_000, "us": 1_000, "ns": 1}
_TIMEDELTA64_PER_NS = {"ps": 1_000, "fs": 1_000_000, "as": 1_000_000_000}


def _written_units() -> Tuple[Tuple[str, int], ...]:
    """(name, length) of each length's first name, longest first."""
    first: Dict[int, str] = {}
    for unit, length in DURATION_UNITS.items():
        first.setdefault(length, unit)
    return tuple(sorted(((unit, length) for length, unit in first.items()), key=lambda item: -item[1]))


def _unit_names() -> str:
    """The units as texts list them: "ns, us, ms, s, min or m, h, d"."""
    by_length: Dict[int, List[str]] = {}
    for unit, length in DURATION_UNITS.items():
        by_length.setdefault(length, []).append(unit)
    return ", ".join(" or ".join(names) for names in by_length.values())


_WRITTEN_UNITS = _written_units()
UNIT_NAMES = _unit_names()
# A duration text, as help texts and messages describe it.
DURATION_TEXTS = f"a number and a unit ({UNIT_NAMES}) such as '15min' or '1.5s', or a number of seconds"
_DURATION_KINDS = (f"a text of {DURATION_TEXTS}; an int or float of seconds; a datetime.timedelta, "
                   f"pandas.Timedelta or numpy.timedelta64")
_DURATION_PATTERN = (r"(?a)\s*([+-]?)(\d+(?:\.\d*)?|\.\d+)\s*(" +
                     "|".join(sorted(DURATION_UNITS, key=len, reverse=True)) + r")?\s*")


def duration_ns(duration: Any, name: str) -> int:
    """A duration as an int of nanoseconds, 1 to MAX_DURATION_NS, in any of
    the forms above; ValueError naming `name` and what was given for a text
    that is no duration or a duration out of range, TypeError for an object
    of no duration kind."""
    exact = _exact_ns(duration, name)
    if exact <= 0:
        raise ValueError(f"{name} must be longer than zero, not {duration!r}")
    if exact > MAX_DURATION_NS:
        raise ValueError(f"{name} must be at most {duration_text(MAX_DURATION_NS)} (about 273 years), "
                         f"not {duration!r}")
    ns = round(exact)
    if ns < 1:
        raise ValueError(f"{name} must be at least 1ns, not {duration!r}")
    return ns


def reach_ns(duration: Any, name: str) -> int:
    """A reach beyond a window (how far to look for what follows): a duration
    as duration_ns takes it, or zero ("0", 0, a zero timedelta) for none."""
    exact = _exact_ns(duration, name)
    return 0 if exact == 0 else duration_ns(duration, name)


def duration_seconds(duration: Any, name: str) -> float:
    """A duration as seconds (for a wait), as duration_ns takes it."""
    return duration_ns(duration, name) / NS_PER_SECOND


def duration_text(ns: int) -> str:
    """A duration in the largest unit that states it exactly ("90s", "7d")."""
    for unit, length in _WRITTEN_UNITS:
        if ns % length == 0:
            return f"{ns // length}{unit}"
    return f"{ns}ns"


def _exact_ns(duration: Any, name: str) -> Any:
    """The nanoseconds a duration states, exactly: an int or a Fraction."""
    import datetime
    import fractions
    import numbers
    import re

    if isinstance(duration, str):
        match = re.fullmatch(_DURATION_PATTERN, duration)
        if match is None:
            raise ValueError(f"{name}: {duration!r} is not a duration; give {DURATION_TEXTS}")
        sign, number, unit = match.groups()
        exact = fractions.Fraction(number) * DURATION_UNITS[unit or "s"]
        return -exact if sign == "-" else exact
    if isinstance(duration, datetime.timedelta):
        if hasattr(duration, "value"):  # pandas.Timedelta: whole nanoseconds
            return int(duration.value)
        return ((duration.days * 86_400 + duration.seconds) * 1_000_000 + duration.microseconds) * 1_000
    if type(duration).__module__ == "numpy" and type(duration).__name__ == "timedelta64":
        return _timedelta64_ns(duration, name)
    if isinstance(duration, numbers.Real) and not isinstance(duration, bool):  # numpy's numbers too, not its bool
        if isinstance(duration, numbers.Integral):
            return int(duration) * NS_PER_SECOND
        seconds = float(duration)
        if seconds != seconds or abs(seconds) == float("inf"):
            raise ValueError(f"{name} must be a duration, not {duration!r}")
        return fractions.Fraction(seconds) * NS_PER_SECOND
    raise TypeError(f"{name} must be {_DURATION_KINDS}; not {type(duration).__name__} {duration!r}")


def _timedelta64_ns(duration: Any, name: str) -> Any:
    import fractions

    import numpy

    if numpy.isnat(duration):
        raise ValueError(f"{name} is not a duration (NaT)")
    unit, count = numpy.datetime_data(duration.dtype)
    amount = int(duration.astype(numpy.int64)) * count  # in its own unit: exact, where a cast to ns may wrap
    if unit in _TIMEDELTA64_UNITS:
        return amount * _TIMEDELTA64_UNITS[unit]
    if unit in _TIMEDELTA64_PER_NS:
        return fractions.Fraction(amount, _TIMEDELTA64_PER_NS[unit])
    raise ValueError(f"{name} is a numpy.timedelta64 in {unit!r}, of no fixed length; give it in weeks or a finer "
                     f"unit (for example numpy.timedelta64(7, 'D'))")


def _ordinal(bound: BoundTuple) -> int:
    import datetime

    return datetime.date(bound[0], bound[1], bound[2]).toordinal()


def _from_datetime(moment: datetime.datetime, name: str) -> BoundTuple:
    if moment != moment:  # pandas.NaT
        raise ValueError(f"{name} is not a time (NaT)")
    if moment.tzinfo is not None:
        raise ValueError(f"{name} has a time zone: give the archive's zone too (tz=), or a naive time, which is a "
                         f"wall-clock time as the archive writes them")
    fraction = moment.microsecond * 1_000 + getattr(moment, "nanosecond", 0)
    ns_of_day = (moment.hour * 3_600 + moment.minute * 60 + moment.second) * NS_PER_SECOND + fraction
    return (moment.year, moment.month, moment.day, ns_of_day, 1 if fraction else NS_PER_SECOND)


def _from_datetime64(moment: Any, name: str) -> BoundTuple:
    import datetime

    import numpy

    if numpy.isnat(moment):
        raise ValueError(f"{name} is not a time (NaT)")
    unit, count = numpy.datetime_data(moment.dtype)
    if unit in ("Y", "M", "W") or count != 1:
        raise ValueError(f"{name} is a datetime64[{count if count != 1 else ''}{unit}]; give it in days or a finer "
                         f"unit (for example numpy.datetime64('2024-03-01'))")
    day = moment.astype("datetime64[D]")
    ns_of_day = int((moment - day) // numpy.timedelta64(1, "ns"))
    try:
        date = day.astype(object)
    except OverflowError:
        date = None
    if not isinstance(date, datetime.date):
        raise ValueError(f"{name} lies outside the years 1 to 9999: {moment}")
    return (date.year, date.month, date.day, ns_of_day, _DATETIME64_UNITS.get(unit, 1))


def now_ns() -> int:
    """The present as an instant: this machine's wall-clock time, naive, as
    the runtime stamps the records it writes now."""
    import datetime

    return first_ns(_from_datetime(datetime.datetime.now(), "now"))


# Zones. The runtime writes wall-clock times with no offset; a read told the
# archive's zone (tz=, or the zone file in its root) reads them as instants.
# The core turns each record's wall time into an instant by a table of the
# zone's clock changes made here once per zone (ZoneTable); bounds and the
# days of files are converted here.

# The file in an archive root that names its zone: an IANA name on its first
# line ("Europe/Berlin"); lines starting with "#" are comments.
ZONE_FILE = "zentrail-zone.txt"
_ZONE_KINDS = "an IANA zone name such as 'Europe/Berlin' or 'UTC', or a zoneinfo.ZoneInfo"
# The instants the core's table covers: every wall time a record can state
# (days 0 to 65,543 after 2000-01-01) and a week on either side.
_TABLE_FIRST_S = 946_684_800 - 8 * 86_400
_TABLE_DAYS = 65_544 + 16


class Zone:
    """An archive's zone, by its IANA name: what a plan carries (it pickles
    as its name) and what converts wall times and instants (ns since
    1970-01-01; wall times naive, instants UTC)."""

    __slots__ = ("name", "_info")

    def __init__(self, name: str) -> None:
        import zoneinfo

        self.name = name
        try:
            self._info = zoneinfo.ZoneInfo(name)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            raise ValueError(f"tz: {name!r} is no time zone this machine knows; give {_ZONE_KINDS} "
                             f"(on a machine without the zone database: pip install tzdata)") from None

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:
        return (Zone, (self.name,))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Zone) and other.name == self.name

    def __hash__(self) -> int:
        return hash(self.name)

    def __repr__(self) -> str:
        return f"Zone({self.name!r})"

    @property
    def info(self) -> Any:
        """The zoneinfo.ZoneInfo."""
        return self._info

    def offset_ns(self, wall_ns: int, fold: int = 0) -> int:
        """The offset (wall minus instant) at a wall time; in a repeated hour
        the first pass's for fold 0, the second's for fold 1; in a skipped
        hour the offset before the change for fold 0 (Python's rule)."""
        import datetime

        seconds = min(max(wall_ns // NS_PER_SECOND, -62_135_596_800 + 86_400 * 2), 253_402_300_799 - 86_400 * 2)
        moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
        offset = moment.replace(tzinfo=self._info, fold=fold).utcoffset()
        return _timedelta_ns(offset)

    def instant_ns(self, wall_ns: int, fold: int = 0) -> int:
        """The instant of a wall time (see offset_ns for the fold)."""
        return wall_ns - self.offset_ns(wall_ns, fold)

    def wall_ns(self, instant_ns: int) -> int:
        """The wall time of an instant."""
        import datetime

        seconds = min(max(instant_ns // NS_PER_SECOND, -62_135_596_800 + 86_400 * 2), 253_402_300_799 - 86_400 * 2)
        utc = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=seconds)
        return instant_ns + _timedelta_ns(utc.astimezone(self._info).utcoffset())

    def table(self) -> Any:
        """A _core.ZoneTable of this zone with counts of its own, for one read."""
        return _zone_table(self.name).fresh()

    def wall_times(self, instants: Any) -> Any:
        """An array of instants (datetime64[ns], UTC) as this zone's wall
        times (datetime64[ns], naive), by whole-array operations."""
        import numpy

        values = numpy.asarray(instants, dtype="datetime64[ns]")
        return values + self.offsets_ns(values).astype("timedelta64[ns]")

    def last_changes_ns(self, instants: Any) -> Any:
        """The instant (int64 ns) of the zone's last change of offset at or
        before each instant (datetime64[ns], UTC), of the changes an archive
        can meet (1999 to 2179); before the first, the first instant looked at."""
        import numpy

        ns = numpy.asarray(instants, dtype="datetime64[ns]").view(numpy.int64)
        _, changes = _zone_changes(self.name)
        at = numpy.concatenate([[_TABLE_FIRST_S * NS_PER_SECOND],
                                numpy.frombuffer(changes, dtype=numpy.int64).reshape(-1, 3)[:, 0]])
        return at[numpy.maximum(numpy.searchsorted(at, ns, side="right") - 1, 0)]

    def offsets_ns(self, instants: Any) -> Any:
        """The offsets (int64 ns) at an array of instants (datetime64[ns],
        UTC), by whole-array lookups in the zone's changes; 0 at NaT."""
        import numpy

        values = numpy.asarray(instants, dtype="datetime64[ns]")
        ns = values.view(numpy.int64)
        first, changes = _zone_changes(self.name)
        triples = numpy.frombuffer(changes, dtype=numpy.int64).reshape(-1, 3)
        offsets = numpy.concatenate([[first], triples[:, 2]])[numpy.searchsorted(triples[:, 0], ns, side="right")]
        # Outside the changes found (before 1999, after 2179): each asked of zoneinfo.
        missing = numpy.isnat(values)
        outside = ~missing & ((ns < _TABLE_FIRST_S * NS_PER_SECOND) |
                              (ns >= (_TABLE_FIRST_S + _TABLE_DAYS * 86_400) * NS_PER_SECOND))
        for at in numpy.unique(ns[outside]).tolist():
            offsets[ns == at] = self.wall_ns(at) - at
        offsets[missing] = 0
        return offsets


def _timedelta_ns(delta: Any) -> int:
    return ((delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds) * 1_000


def zone_of(tz: Any) -> Optional[Zone]:
    """The Zone of a tz= argument (None: none), or ValueError/TypeError."""
    if tz is None or isinstance(tz, Zone):
        return tz
    if isinstance(tz, str):
        return Zone(tz.strip())
    key = getattr(tz, "key", None)  # a zoneinfo.ZoneInfo
    if isinstance(key, str) and type(tz).__module__ == "zoneinfo":
        return Zone(key)
    raise TypeError(f"tz must be {_ZONE_KINDS}, not {type(tz).__name__}")


def zone_in_text(text: str, where: str) -> Zone:
    """The zone a zone file's text names, or ValueError naming the file."""
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            try:
                return Zone(line)
            except ValueError as error:
                raise ValueError(f"{where}: {error}") from None
    raise ValueError(f"{where}: names no zone; write an IANA name such as Europe/Berlin on its first line")


_TABLES: Dict[str, Any] = {}
_CHANGES: Dict[str, Tuple[int, Any]] = {}


def _zone_table(name: str) -> Any:
    """The core's table of a zone's changes over every instant an archive
    can state, made once per process."""
    table = _TABLES.get(name)
    if table is None:
        first, changes = _zone_changes(name)
        table = _TABLES[name] = _core.zone_table(name, first, changes.tobytes())
    return table


def _zone_changes(name: str) -> Tuple[int, Any]:
    """A zone's offset at the table's first instant, and its changes over
    every instant an archive can state as (instant ns, offset before, offset
    after) triples in an array.array("q"), found once per process: the
    offset sampled at each day, each change then found to the second by
    halving."""
    found = _CHANGES.get(name)
    if found is not None:
        return found
    import array
    import datetime

    info = Zone(name).info

    def offset_at(seconds: int) -> int:
        return _timedelta_ns(datetime.datetime.fromtimestamp(seconds, info).utcoffset())

    changes = array.array("q")
    first = previous = offset_at(_TABLE_FIRST_S)
    for day in range(1, _TABLE_DAYS):
        at = _TABLE_FIRST_S + day * 86_400
        now = offset_at(at)
        if now == previous:
            continue
        low, high = at - 86_400, at  # previous at low, now at high
        while high - low > 1:
            middle = (low + high) // 2
            if offset_at(middle) == previous:
                low = middle
            else:
                high = middle
        changes.extend((high * NS_PER_SECOND, previous, now))
        previous = now
    found = _CHANGES[name] = (first, changes)
    return found


def local_day(zone: Zone, instant_ns: int) -> BoundTuple:
    """The whole local day (a bound tuple) on which an instant falls in `zone`."""
    wall = zone.wall_ns(clamp_ns(instant_ns))
    bound = instant_bound(clamp_ns(wall))
    assert bound is not None
    return (bound[0], bound[1], bound[2], 0, NS_PER_DAY)


# Bounds in a zone: a naive bound is a wall time of the zone (in a repeated
# hour its first pass, or with datetime's fold=1 its second); a bound with an
# offset (a datetime with tzinfo, a pandas Timestamp with a zone, a text
# ending in "Z" or "+01:00") states an instant. Either becomes the bound
# tuple of an instant (UTC), exact to the nanosecond.
_OFFSET_PATTERN = r"(?a)(.*\d\d:\d\d(?::\d\d(?:\.\d+)?)?)\s*(Z|z|[+-]\d\d(?::?\d\d)?)"


def window_in(zone: Optional[Zone], dt_start: Any, dt_end: Any,
              names: Tuple[str, str] = ("dt_start", "dt_end")) -> Tuple[BoundTuple, BoundTuple]:
    """The bound tuples of a window read in `zone` (None: naive bounds, as
    window gives them), or ValueError naming both when its end comes first."""
    if zone is None:
        return window(dt_start, dt_end, names)
    first = bound_instant(zone, dt_start, names[0], False)
    last = bound_instant(zone, dt_end, names[1], True)
    if last < first:
        raise ValueError(f"{names[1]} {dt_end!s} comes before {names[0]} {dt_start!s}: the window holds no time")
    return exact_bound(first), exact_bound(last)


def bound_in(zone: Optional[Zone], bound: Any, name: str, is_end: bool) -> BoundTuple:
    """One bound read in `zone` (None: naive, as bound_tuple gives it)."""
    if zone is None:
        return bound_tuple(bound, name)
    return exact_bound(bound_instant(zone, bound, name, is_end))


def exact_bound(ns: int) -> BoundTuple:
    """The bound of exactly the instant `ns`, moved into the years 1 to 9999."""
    bound = instant_bound(clamp_ns(ns))
    assert bound is not None
    return bound


def bound_instant(zone: Zone, bound: Any, name: str, is_end: bool) -> int:
    """The instant (UTC ns) where a start begins or an end ends, read in `zone`."""
    stated, fold, offset = _bound_parts(bound, name)
    wall = last_ns(stated) if is_end else first_ns(stated)
    return wall - offset if offset is not None else zone.instant_ns(wall, fold)


def _bound_parts(bound: Any, name: str) -> Tuple[BoundTuple, int, Optional[int]]:
    """A bound's tuple as written, its fold, and its offset in ns (None: naive)."""
    import datetime
    import re

    if isinstance(bound, str):
        match = re.fullmatch(_OFFSET_PATTERN, bound.strip())
        if match is None:
            return bound_tuple(bound, name), 0, None
        text, offset = match.groups()
        if offset in ("Z", "z"):
            return bound_tuple(text, name), 0, 0
        digits = offset[1:].replace(":", "")
        minutes = int(digits[:2]) * 60 + (int(digits[2:]) if len(digits) > 2 else 0)
        return bound_tuple(text, name), 0, (-1 if offset[0] == "-" else 1) * minutes * 60 * NS_PER_SECOND
    if isinstance(bound, datetime.datetime) and bound.tzinfo is not None:
        offset = bound.utcoffset()
        if offset is None:
            raise ValueError(f"{name} has a tzinfo that gives no offset: {bound!r}")
        return _from_datetime(bound.replace(tzinfo=None), name), 0, _timedelta_ns(offset)
    fold = getattr(bound, "fold", 0) if isinstance(bound, datetime.datetime) else 0
    return bound_tuple(bound, name), fold, None
