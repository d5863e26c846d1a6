"""Archives written on a local clock, for the tests of reads in a zone: rows
at true instants (ns since 1970 UTC), stamped with their wall times."""

import datetime as dt
import zoneinfo
from typing import List, NamedTuple

from archive_builder import END, alarm, date_mark, group, write_archive

NS = 1_000_000_000
SIGNAL = 7


def write_local_archive(root, zone, instants, ident=SIGNAL, first_value=0, alarms=False):
    """Writes one row per instant (ns since 1970 UTC, in time order) as a
    runtime on `zone`'s clock does: the wall time, in the file of its wall
    day; the row's value is its place in `instants`, so rows can be matched."""
    for day, records in day_records(zone, instants, ident, first_value, alarms).items():
        write_archive(root / f"{day:%Y}" / f"{day:%Y-%m-%d}_plant.vlx", records + [END])


def day_records(zone, instants, ident=SIGNAL, first_value=0, alarms=False):
    """The records of each wall day's file, in write order (a date mark,
    then the rows), without the end byte: a file still being written."""
    info = zoneinfo.ZoneInfo(zone)
    files = {}
    for k, ns in enumerate(instants):
        day, of_day = wall_stamp(ns, info)
        files.setdefault(day, [date_mark(day)]).append(group("GrDouble", of_day, ident, [float(first_value + k)]))
        if alarms:
            files[day].append(alarm("AlByte", of_day, ident + 1, value=k % 256))
    return files


def instants_between(zone, first_day, last_day, step_s):
    info = zoneinfo.ZoneInfo(zone)
    start = int(dt.datetime.combine(first_day, dt.time(), info).timestamp())
    end = int(dt.datetime.combine(last_day + dt.timedelta(days=1), dt.time(), info).timestamp())
    return [s * NS for s in range(start, end, step_s)]




class ZonedRows(NamedTuple):
    """The rows an archive holds, in the order its files give them: each
    one's true instant (ns since 1970 UTC), signal id and value."""

    instants: List[int]
    signals: List[int]
    values: List[float]


def write_zoned_archive(root, zone, first_day, days, every_ns, signals=(SIGNAL,)) -> ZonedRows:
    """Writes `days` local days of `zone` from `first_day`, a GrDouble of one
    element per signal every `every_ns` of real time from local midnight, as
    a runtime on that clock does: rows in time order, each stamped with its
    wall time in the file of its wall day. Every row's value is its place in
    file order, so a read's rows can be matched with their true instants."""
    info = zoneinfo.ZoneInfo(zone)
    start, end = (int(dt.datetime.combine(first_day + dt.timedelta(days=n), dt.time(), info).timestamp()) * NS
                  for n in (0, days))
    rows = ZonedRows([], [], [])
    files = {}
    for ns in range(start, end, every_ns):
        day, of_day = wall_stamp(ns, info)
        records = files.setdefault(day, [date_mark(day)])
        for ident in signals:
            value = float(len(rows.values))
            records.append(group("GrDouble", of_day, ident, [value]))
            rows.instants.append(ns)
            rows.signals.append(ident)
            rows.values.append(value)
    for day, records in files.items():
        write_archive(root / f"{day:%Y}" / f"{day:%Y-%m-%d}_plant.vlx", records + [END])
    return rows


def wall_stamp(ns, info):
    """The wall day and time of day (ns) a clock on `info` shows at instant `ns`."""
    wall = dt.datetime.fromtimestamp(ns // NS, info).replace(tzinfo=None)
    day = wall.date()
    return day, (wall - dt.datetime.combine(day, dt.time())) // dt.timedelta(seconds=1) * NS + ns % NS
