"""Archives written on a local clock, for the tests of reads in a zone: rows
at true instants (ns since 1970 UTC), stamped with their wall times."""

import datetime as dt
import zoneinfo

from archive_builder import END, alarm, date_mark, group, write_archive

NS = 1_000_000_000
SIGNAL = 7


def write_local_archive(root, zone, instants, ident=SIGNAL, first_value=0, alarms=False):
    """Writes one row per instant (ns since 1970 UTC, in time order) as a
    runtime on `zone`'s clock does: the wall time, in the file of its wall
    day; the row's value is its place in `instants`, so rows can be matched."""
    info = zoneinfo.ZoneInfo(zone)
    files = {}
    for k, ns in enumerate(instants):
        wall = dt.datetime.fromtimestamp(ns // NS, info).replace(tzinfo=None)
        day = wall.date()
        of_day = (wall - dt.datetime.combine(day, dt.time())) // dt.timedelta(seconds=1) * NS + ns % NS
        files.setdefault(day, [date_mark(day)]).append(group("GrDouble", of_day, ident, [float(first_value + k)]))
        if alarms:
            files[day].append(alarm("AlByte", of_day, ident + 1, value=k % 256))
    for day, records in files.items():
        write_archive(root / f"{day:%Y}" / f"{day:%Y-%m-%d}_plant.vlx", records + [END])


def instants_between(zone, first_day, last_day, step_s):
    info = zoneinfo.ZoneInfo(zone)
    start = int(dt.datetime.combine(first_day, dt.time(), info).timestamp())
    end = int(dt.datetime.combine(last_day + dt.timedelta(days=1), dt.time(), info).timestamp())
    return [s * NS for s in range(start, end, step_s)]


