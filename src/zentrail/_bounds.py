"""The bounds of a scan's window, from what a caller may write them as.

Every bound becomes the tuple ``(year, month, day, ns_of_day, unit_ns)``: the
point it states and the precision it states it to, in nanoseconds. A start is
the instant itself; an end runs to the end of its precision (a date: the whole
day; ``hh:mm``: the whole minute; whole seconds: the whole second; a fraction:
exactly that instant).
"""

from __future__ import annotations

from . import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    import datetime
    from typing import Any, Tuple

    _BoundTuple = Tuple[int, int, int, int, int]

NS_PER_SECOND = 1_000_000_000
NS_PER_DAY = 86_400 * NS_PER_SECOND
# The precision of a NumPy datetime64 of each unit; units below a nanosecond
# state an instant too.
_DATETIME64_UNITS = {"D": NS_PER_DAY, "h": 3_600 * NS_PER_SECOND, "m": 60 * NS_PER_SECOND, "s": NS_PER_SECOND}
_KINDS = "a str, datetime.datetime, datetime.date, numpy.datetime64 or pandas.Timestamp"


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
