"""Time in zentrail, in one place: the bounds a caller writes, the instants
they stand for, and the texts that name instants.

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

from . import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    import datetime
    from typing import Any, Optional, Tuple

    _BoundTuple = Tuple[int, int, int, int, int]

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


def bound_tuple(bound: Any, name: str) -> _BoundTuple:
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


def window(dt_start: Any, dt_end: Any, names: Tuple[str, str] = ("dt_start", "dt_end")) -> Tuple[_BoundTuple, _BoundTuple]:
    """The bound tuples of a window, or ValueError naming both when its end
    comes before its start (a window that could hold nothing is a mistake,
    not an empty result)."""
    start = bound_tuple(dt_start, names[0])
    end = bound_tuple(dt_end, names[1])
    check_order(start, end, dt_start, dt_end, names)
    return start, end


def check_order(start: _BoundTuple, end: _BoundTuple, shown_start: Any, shown_end: Any,
                names: Tuple[str, str] = ("dt_start", "dt_end")) -> None:
    """ValueError naming both bounds when `end` ends before `start` begins."""
    if last_ns(end) < first_ns(start):
        raise ValueError(f"{names[1]} {shown_end!s} comes before {names[0]} {shown_start!s}: the window holds no time")


def first_ns(bound: _BoundTuple) -> int:
    """The first instant of a bound (where a start begins)."""
    return (_ordinal(bound) - _EPOCH_ORDINAL) * NS_PER_DAY + bound[3]


def last_ns(bound: _BoundTuple) -> int:
    """The last instant of a bound (where an end ends)."""
    return first_ns(bound) + bound[4] - 1


def instant_bound(ns: int) -> Optional[_BoundTuple]:
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


def instants_ns(values: Any) -> Any:
    """Times (datetime64 of any unit, or anything NumPy makes one of) as int64 ns."""
    import numpy

    return numpy.asarray(values).astype("datetime64[ns]").astype(numpy.int64)


def texts(column: Any) -> Any:
    """A datetime64[ns] column as texts "YYYY-MM-DD hh:mm:ss" with the
    fraction's trailing zeros dropped ("2024-03-01 05:00:00.002"), made by
    whole-array operations (no Python call per element)."""
    import numpy

    full = numpy.datetime_as_string(numpy.asarray(column, dtype="datetime64[ns]"), unit="ns")
    if full.size == 0:  # numpy.char.replace fails on an empty array (NumPy 2)
        return full
    full = numpy.char.replace(full, "T", " ")
    trimmed = numpy.char.rstrip(numpy.char.rstrip(full, "0"), ".")
    # A whole second keeps its seconds: "…:00" rather than "…:" after the strip.
    whole = numpy.char.endswith(full, ".000000000")
    return numpy.where(whole, numpy.char.replace(full, ".000000000", ""), trimmed)


def _ordinal(bound: _BoundTuple) -> int:
    import datetime

    return datetime.date(bound[0], bound[1], bound[2]).toordinal()


def _from_datetime(moment: datetime.datetime, name: str) -> _BoundTuple:
    if moment != moment:  # pandas.NaT
        raise ValueError(f"{name} is not a time (NaT)")
    if moment.tzinfo is not None:
        raise ValueError(f"{name} has a time zone; archive times are naive wall-clock times")
    fraction = moment.microsecond * 1_000 + getattr(moment, "nanosecond", 0)
    ns_of_day = (moment.hour * 3_600 + moment.minute * 60 + moment.second) * NS_PER_SECOND + fraction
    return (moment.year, moment.month, moment.day, ns_of_day, 1 if fraction else NS_PER_SECOND)


def _from_datetime64(moment: Any, name: str) -> _BoundTuple:
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
