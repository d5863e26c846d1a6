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

from zentrail import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    import datetime
    from typing import Any, Optional, Tuple

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


# The units a duration text may end with, in nanoseconds.
_DURATION_UNITS = {"ns": 1, "us": 1_000, "ms": 1_000_000, "s": NS_PER_SECOND, "m": 60 * NS_PER_SECOND,
                   "min": 60 * NS_PER_SECOND, "h": 3_600 * NS_PER_SECOND, "d": NS_PER_DAY}
_DURATION_KINDS = ("a datetime.timedelta, numpy.timedelta64, pandas.Timedelta or a text <integer><unit> "
                   "with unit ns, us, ms, s, m or min, h or d")


def duration_ns(duration: Any, name: str) -> int:
    """A duration as a positive int of nanoseconds, or ValueError naming
    `name` and what was given: a datetime.timedelta (pandas.Timedelta too),
    a numpy.timedelta64 or a text such as "15min" or "7d"."""
    import datetime
    import re

    ns = None
    if isinstance(duration, str):
        match = re.fullmatch(r"\s*(-?\d+)\s*(ns|us|ms|s|min|m|h|d)\s*", duration)
        if match is not None:
            ns = int(match.group(1)) * _DURATION_UNITS[match.group(2)]
    elif isinstance(duration, datetime.timedelta):
        if hasattr(duration, "value"):  # pandas.Timedelta: whole nanoseconds; NaT compares unequal
            ns = int(duration.value) if duration == duration else None
        else:
            ns = ((duration.days * 86_400 + duration.seconds) * 1_000_000 + duration.microseconds) * 1_000
    elif type(duration).__name__ == "timedelta64" and type(duration).__module__ == "numpy":
        import numpy

        unit = numpy.datetime_data(duration.dtype)[0]
        if not numpy.isnat(duration) and unit not in ("Y", "M", "generic"):
            ns = int(duration.astype("timedelta64[ns]").astype(numpy.int64))
    if ns is None:
        raise ValueError(f"{name} must be {_DURATION_KINDS}, not {duration!r}")
    if ns <= 0:
        raise ValueError(f"{name} must be longer than zero, not {duration!r}")
    return ns


def duration_text(ns: int) -> str:
    """A duration in the largest unit that states it exactly ("90s", "7d")."""
    for unit in ("d", "h", "min", "s", "ms", "us"):
        if ns % _DURATION_UNITS[unit] == 0:
            return f"{ns // _DURATION_UNITS[unit]}{unit}"
    return f"{ns}ns"


def _ordinal(bound: BoundTuple) -> int:
    import datetime

    return datetime.date(bound[0], bound[1], bound[2]).toordinal()


def _from_datetime(moment: datetime.datetime, name: str) -> BoundTuple:
    if moment != moment:  # pandas.NaT
        raise ValueError(f"{name} is not a time (NaT)")
    if moment.tzinfo is not None:
        raise ValueError(f"{name} has a time zone; archive times are naive wall-clock times")
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


def duration_seconds(value: Any, name: str) -> float:
    """Seconds of a duration: a number of seconds, a datetime.timedelta, or a
    text of a number and a unit ("500ms", "1s", "2min", "1h"); ValueError or
    TypeError naming `name` for anything else, or a duration not above 0."""
    import datetime
    import math
    import re

    if isinstance(value, datetime.timedelta):
        seconds = value.total_seconds()
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    elif isinstance(value, str):
        match = re.fullmatch(r"\s*([0-9]+(?:\.[0-9]*)?)\s*(ms|s|min|h)\s*", value)
        if match is None:
            raise ValueError(f"{name}: {value!r} is not a duration such as '500ms', '1s', '2min' or '1h'")
        seconds = float(match.group(1)) * _DURATION_UNITS[match.group(2)] / NS_PER_SECOND
    else:
        raise TypeError(f"{name} must be a number of seconds, a datetime.timedelta or a text such as '1s', "
                        f"not {type(value).__name__}")
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"{name} must be a duration above 0, not {value!r}")
    return seconds


def now_ns() -> int:
    """The present as an instant: this machine's wall-clock time, naive, as
    the runtime stamps the records it writes now."""
    import datetime

    return first_ns(_from_datetime(datetime.datetime.now(), "now"))
