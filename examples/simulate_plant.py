"""A simulated plant that writes archives as the runtime does.

    python examples/simulate_plant.py plant --days 3 --signals 200
    python examples/simulate_plant.py plant --live --speed 1

Sampled groups of furnace temperatures (GrFloat), tank levels (GrWord),
flows (GrDouble) and pump states (GrBool), one group per unit every
--period seconds, with daily trends, slow drifts and noise; setpoints
(GrDouble, one element) written when an operator changes them; system
events (the archive opening the day's file, now and then an I/O driver
warning); and an alarm system worth measuring:

- level alarms (AlByte Lo, Hi, LoLo, HiHi, the value in percent of the
  swing) when a value crosses a limit; a value back inside its limits is
  written as a "data" record, which raises nothing;
- operators acknowledging them (AlAckn of the alarm's level, the value
  the operator's number) after a delay of about a minute, longer in a
  flood, now and then never;
- trips: every few days a unit trips, its values fall through both low
  limits at once (a flood of alarms) with a text on its message signal
  (AlString), and come back half an hour later;
- a tank's high-level switch (AlBool L->H, H->L) that chatters while the
  level hovers at it;
- a maintenance bypass (AlBool) that stands for two days and more each
  week. Each day is a file ROOT/YYYY/MM/YYYY-MM-DD_plant.vlx that begins
with its date mark and ends with the end byte when the next day begins.
ROOT/zentrail-catalog.csv names every signal written by its tag (TI-10000,
LI-10100, FI-10200, XS-10300, the setpoints TIC-100.SP, the alarms
TI-10000.ALM, the texts TIC-100.MSG, the switches LSH-101, the bypass
XA-900), with its unit and interpolation; the catalog's alarm_of column
names the signal an alarm watches.

At once (the default) it writes --days days from --start, a day at a time:
each day's file is written beside its place and renamed into it when whole,
its path printed then (and a progress line drawn on a terminal). With --live it
appends each record to today's file as its moment comes, --speed simulated
seconds per second, from --start (default: now), for --days days (0: until
stopped); with --chunk-bytes it writes in pieces of random size up to that
many bytes instead of whole records, as a writer whose appends a reader may
see half done. The same --seed gives the same bytes either way.

With --tz ZONE (an IANA name such as Europe/Berlin) the plant's clock runs
on that zone's local time, as most plants' do, at once and live alike:
real time goes on evenly and each record carries the wall time its moment
shows there, in the file of that local day. The autumn night's repeated
hour is written twice, the second pass after the first in the same file;
the spring hour the clock skips has no records. --start and --days are
wall times and local days there (--start 2024-10-26 --days 3 writes three
whole local days, 73 hours). ROOT/zentrail-zone.txt names the zone, so that
readers take the times as instants. Without --tz the clock is naive: its
wall time is the run's time, with no change in a year.

    python examples/simulate_plant.py night --tz Europe/Berlin --start 2024-10-26 --days 3
"""

from __future__ import annotations

import argparse
import csv
import datetime as dt
import heapq
import io
import math
import os
import random
import sys
import time
from pathlib import Path
from typing import Iterator, List, Optional, TextIO, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from archive_format import END, alarm, date_mark, group, string_alarm, system  # noqa: E402

NS_PER_SECOND = 1_000_000_000
SECONDS_PER_DAY = 86_400
ELEMENTS_PER_GROUP = 16

# kind, archive class, tag prefix, unit, quantity, base, daily amplitude, noise
UNIT_KINDS = (
    ("furnace", "GrFloat", "TI", "degC", "temperature", 820.0, 40.0, 1.5),
    ("tank", "GrWord", "LI", "mm", "level", 1500.0, 600.0, 8.0),
    ("line", "GrDouble", "FI", "m3/h", "flow", 120.0, 35.0, 0.8),
    ("pumps", "GrBool", "XS", "", "state", 0.0, 0.0, 0.0),
)
# States are held until they change; the measured values move in between.
STATE_CLASSES = ("GrBool",)
SETPOINT_ID_BASE = 500
ALARM_ID_BASE = 2000
TEXT_ID_BASE = 4000
SWITCH_ID_BASE = 4500
BYPASS_ID = 4900
# The alarm levels by the subtype number an alarm and its acknowledgement carry.
LEVELS = {"Lo": 0, "Hi": 1, "LoLo": 2, "HiHi": 3}
LOW_TO_HIGH, HIGH_TO_LOW = 1, 0
# The states of a value by how far they lie from normal, and the deadband
# (in parts of its swing) a value must clear to leave a state for a better one.
RANK = {"LoLo": -2, "Lo": -1, "Norm": 0, "Hi": 1, "HiHi": 2}
RANK_NAMES = {rank: name for name, rank in RANK.items()}
DEADBAND = 0.3
# Operators: the median seconds to acknowledge, its spread (of the logarithm),
# how much longer in a flood, and the share of alarms never acknowledged.
ACK_MEDIAN, ACK_SPREAD, ACK_IN_FLOOD, NEVER_ACKNOWLEDGED = 45.0, 0.9, 4.0, 0.05
OPERATORS = 3
# A trip: one in TRIP_DAYS days per unit, the fall's seconds, and how long it lasts.
TRIP_DAYS, TRIP_FALL, TRIP_LENGTH = 6.0, 120.0, 1800.0
# The bypass: raised BYPASS_FROM seconds into each week, for BYPASS_FOR seconds.
WEEK, BYPASS_FROM, BYPASS_FOR = 7 * 86_400, 6 * 3600, 50 * 3600
# A system event's second byte: level in the tens, module in the units.
ARCHIVE_INFO = 45
IODRIVER_WARNING = 56
# Where zentrail looks for the plant's names, and the columns it reads.
CATALOG_NAME = "zentrail-catalog.csv"
CATALOG_COLUMNS = ("signal_id", "element", "name", "unit", "description", "interpolation", "alarm_of")


class Signal:
    """One sampled value of a unit: a trend, a drift, noise and limits."""

    def __init__(self, tag: str, unit: str, base: float, amplitude: float, noise: float, rng: random.Random,
                 limits: float = 0.85):
        self.tag, self.unit = tag, unit
        self.base, self.amplitude, self.noise = base, amplitude, noise
        self.phase = rng.uniform(0, 2 * math.pi)
        self.drift = 0.0
        self.low = base - limits * amplitude
        self.high = base + limits * amplitude
        self.state: Optional[str] = None  # taken from the first value, which raises nothing

    def sample(self, seconds_of_day: float, rng: random.Random) -> float:
        self.drift = 0.999 * self.drift + rng.gauss(0, self.amplitude * 0.02)
        trend = self.amplitude * math.sin(2 * math.pi * seconds_of_day / SECONDS_PER_DAY + self.phase)
        return self.base + trend + self.drift + rng.gauss(0, self.noise)

    def limit_state(self, value: float) -> str:
        if value > self.high + 0.1 * self.amplitude:
            return "HiHi"
        if value > self.high:
            return "Hi"
        if value < self.low - 0.1 * self.amplitude:
            return "LoLo"
        if value < self.low:
            return "Lo"
        return "Norm"

    def next_state(self, value: float) -> str:
        """The alarm state after `value`: a worse state at once, a better one
        only once the value is back past its limit by a deadband, as alarm
        limits are set so that noise at a limit does not chatter."""
        state = self.limit_state(value)
        if self.state is None:
            return state
        now, new = RANK[self.state], RANK[state]
        if now > 0 and 0 <= new < now:
            held = RANK[self.limit_state(value + DEADBAND * self.amplitude)]
            return RANK_NAMES[min(now, max(new, held))]
        if now < 0 and now < new <= 0:
            held = RANK[self.limit_state(value - DEADBAND * self.amplitude)]
            return RANK_NAMES[max(now, min(new, held))]
        return state


class Unit:
    """One group of the archive: up to ELEMENTS_PER_GROUP signals of a kind."""

    def __init__(self, number: int, kind: tuple, size: int, rng: random.Random, limits: float):
        self.id = 100 + number
        self.kind, self.archive_class, prefix, unit, self.quantity, base, amplitude, noise = kind
        self.controller = f"{prefix}C-{self.id}"
        self.measure = unit
        self.signals = [Signal(f"{prefix}-{self.id}{k:02d}", unit, base, amplitude, noise, rng, limits) for k in range(size)]
        self.setpoint = round(base + rng.uniform(-0.1, 0.1) * max(amplitude, 1.0), 1)
        self.pumps = [rng.random() < 0.5 for _ in range(size)]
        self.tripped_at: Optional[float] = None  # the plant's seconds its last trip began
        self.switch = False  # a tank's high-level switch

    def trip_depth(self, elapsed: float) -> float:
        """How far a trip has pulled the values down, in parts of their
        swing: falling fast, held, then back within the last third."""
        if self.tripped_at is None:
            return 0.0
        since = elapsed - self.tripped_at
        if since >= TRIP_LENGTH:
            self.tripped_at = None
            return 0.0
        depth = 2.2 * min(since / TRIP_FALL, 1.0)
        return depth * min(1.0, 3 * (TRIP_LENGTH - since) / TRIP_LENGTH)

    def values(self, seconds_of_day: float, rng: random.Random, elapsed: float = 0.0) -> list:
        if self.archive_class == "GrBool":
            self.pumps = [(not p) if rng.random() < 0.002 else p for p in self.pumps]
            return list(self.pumps)
        values = [s.sample(seconds_of_day, rng) for s in self.signals]
        depth = self.trip_depth(elapsed)
        if depth:
            values = [v - depth * s.amplitude for v, s in zip(values, self.signals)]
        if self.archive_class == "GrWord":
            return [min(max(int(v), 0), 0xFFFF) for v in values]
        if self.archive_class == "GrFloat":
            return [round(v, 2) for v in values]
        return values


class Plant:
    """The plant's records, moment by moment, with the files they go to."""

    def __init__(self, signals: int, period: float, seed: int, limits: float = 0.85):
        rng = random.Random(seed)
        self.rng = rng
        self.period = period
        self.units: List[Unit] = []
        left, number = max(signals, 1), 0
        while left > 0:
            size = min(ELEMENTS_PER_GROUP, left)
            self.units.append(Unit(number, UNIT_KINDS[number % len(UNIT_KINDS)], size, rng, limits))
            left -= size
            number += 1
        # The alarm system draws from its own stream, so that the values
        # stay those of the same seed whatever the operators do.
        self.alarm_rng = random.Random(seed * 7919 + 17)
        self.elapsed = 0.0  # the plant's seconds since its first moment
        self.acks: List[Tuple[float, int, int]] = []  # (due, alarm id, level), a heap
        self.bypass = False

    def day_start(self, day: dt.date) -> List[bytes]:
        """What the runtime writes first in a day's file: the date mark, the
        archive's opening event and the setpoints as they stand."""
        records = [date_mark(day), system(0, subtype=1, param=ARCHIVE_INFO)]
        for unit in self.units:
            if unit.archive_class != "GrBool":
                records.append(group("GrDouble", 0, id=SETPOINT_ID_BASE + unit.id, values=[unit.setpoint]))
        return records

    def moment(self, ns_of_day: int) -> List[bytes]:
        """The records of one sampling moment, in the order they are written."""
        rng, seconds = self.rng, ns_of_day / NS_PER_SECOND
        records = []
        raised = 0
        for unit in self.units:
            t = ns_of_day + unit.id * 1000
            if unit.archive_class == "GrFloat" and unit.tripped_at is None \
                    and self.alarm_rng.random() < self.period / (TRIP_DAYS * SECONDS_PER_DAY):
                unit.tripped_at = self.elapsed
                records.append(string_alarm(t + 3, id=TEXT_ID_BASE + unit.id, subtype="User",
                                            text=f"{unit.controller} {unit.kind} trip: fuel valve closed"))
            values = unit.values(seconds, rng, self.elapsed)
            records.append(group(unit.archive_class, t, id=unit.id, values=values))
            if unit.archive_class == "GrBool":
                continue
            for k, (signal, value) in enumerate(zip(unit.signals, values)):
                state = signal.next_state(value)
                if state == signal.state or signal.state is None:
                    signal.state = state
                    continue
                signal.state = state
                span = 2 * signal.amplitude
                percent = min(max(int(100 * (value - signal.base + signal.amplitude) / span), 0), 255)
                alarm_id = ALARM_ID_BASE + unit.id * ELEMENTS_PER_GROUP + k
                records.append(alarm("AlByte", t + 1, id=alarm_id, value=percent,
                                     subtype="data" if state == "Norm" else state))
                if state != "Norm":
                    raised += 1
                    self._acknowledge_later(alarm_id, LEVELS[state], unit.tripped_at is not None)
            if unit.archive_class == "GrWord":
                records.extend(self._level_switch(unit, values[0], t + 2))
            if rng.random() < 0.0005:
                unit.setpoint = round(unit.setpoint + rng.choice((-1, 1)) * rng.uniform(0.5, 5.0), 1)
                records.append(group("GrDouble", ns_of_day + 5000, id=SETPOINT_ID_BASE + unit.id,
                                     values=[unit.setpoint]))
        if rng.random() < 0.0003:
            records.append(system(ns_of_day + 9000, subtype=1, param=IODRIVER_WARNING))
        records.extend(self._bypass(ns_of_day + 9500))
        records.extend(self._acknowledgements(ns_of_day + 9900))
        self.elapsed += self.period
        return records

    def _acknowledge_later(self, alarm_id: int, level: int, in_flood: bool) -> None:
        rng = self.alarm_rng
        if rng.random() < NEVER_ACKNOWLEDGED:
            return
        delay = ACK_MEDIAN * math.exp(rng.gauss(0, ACK_SPREAD)) * (ACK_IN_FLOOD if in_flood else 1.0)
        heapq.heappush(self.acks, (self.elapsed + min(delay, 4 * 3600), alarm_id, level))

    def _acknowledgements(self, t: int) -> List[bytes]:
        """The acknowledgements whose moment has come, each at this moment."""
        records = []
        while self.acks and self.acks[0][0] <= self.elapsed:
            _, alarm_id, level = heapq.heappop(self.acks)
            operator = 1 + self.alarm_rng.randrange(OPERATORS)
            records.append(alarm("AlAckn", t + len(records), id=alarm_id, value=operator, subtype=level))
        return records

    def _level_switch(self, unit: Unit, level: float, t: int) -> List[bytes]:
        """A tank's high-level switch, set a little below its high limit: the
        level's ripple makes it chatter while the level hovers there."""
        signal = unit.signals[0]
        wet = level + self.alarm_rng.gauss(0, 4 * signal.noise) > signal.high - 0.15 * signal.amplitude
        if wet == unit.switch:
            return []
        unit.switch = wet
        switch_id = SWITCH_ID_BASE + unit.id
        if wet:
            self._acknowledge_later(switch_id, LOW_TO_HIGH, False)
        return [alarm("AlBool", t, id=switch_id, subtype=LOW_TO_HIGH if wet else HIGH_TO_LOW)]

    def _bypass(self, t: int) -> List[bytes]:
        """The maintenance bypass, standing for two days of each week."""
        on = BYPASS_FROM <= self.elapsed % WEEK < BYPASS_FROM + BYPASS_FOR
        if on == self.bypass:
            return []
        self.bypass = on
        if on:
            self._acknowledge_later(BYPASS_ID, LOW_TO_HIGH, False)
        return [alarm("AlBool", t, id=BYPASS_ID, subtype=LOW_TO_HIGH if on else HIGH_TO_LOW)]

    def run(self, start: dt.datetime, days: Optional[float],
            zone: Optional[dt.tzinfo] = None) -> Iterator[Tuple[dt.datetime, dt.date, List[bytes]]]:
        """(the moment, its day, the records written then) from `start`, for
        `days` days (None: for ever). A new day's first moment carries its
        file's opening records. With `zone` the plant's clock runs on that
        zone's local time: `start` and `start` + `days` are wall times there
        (three days from a midnight are three whole local days, 71 to 73
        hours), the moments follow each other in real time, and each is
        stamped with its wall time in the file of its wall day (the hour
        clocks go back is written twice, the hour they go forward not at
        all); the moment yielded is `start` plus the real time elapsed."""
        step = dt.timedelta(seconds=self.period)
        first, end = run_bounds(start, days, zone)
        moment = first
        day = None
        while end is None or moment < end:
            wall = wall_time(moment, zone)
            records = []
            if wall.date() != day:
                if day is not None and wall.date() < day:
                    # Each day's file is written once: a clock going back over midnight would rewrite one.
                    raise ValueError(f"{zone}: the clock goes back from {day} to {wall}, over midnight")
                day = wall.date()
                records.extend(self.day_start(day))
            midnight = dt.datetime.combine(day, dt.time())
            ns = (wall - midnight) // dt.timedelta(microseconds=1) * 1000
            records.extend(self.moment(ns))
            yield start + (moment - first), day, records
            moment += step

    def days_touched(self, start: dt.datetime, days: float, zone: Optional[dt.tzinfo] = None) -> int:
        """How many day files run(start, days, zone) writes to."""
        step = dt.timedelta(seconds=self.period)
        first, end = run_bounds(start, days, zone)
        moments = -(-(end - first) // step) if end > first else 0
        if moments <= 0:
            return 0
        last = first + (moments - 1) * step
        return (wall_time(last, zone).date() - wall_time(first, zone).date()).days + 1


def run_bounds(start: dt.datetime, days: Optional[float],
               zone: Optional[dt.tzinfo]) -> Tuple[dt.datetime, Optional[dt.datetime]]:
    """The first moment of a run and the moment it ends before (None: never):
    naive wall times without a zone, UTC instants with one. A wall time
    the clock shows twice is its first pass, one it skips is read with the
    offset before the change, as Python's fold=0 does."""
    end = None if days is None else start + dt.timedelta(days=days)
    if zone is None:
        return start, end
    utc = dt.timezone.utc
    return (start.replace(tzinfo=zone).astimezone(utc),
            None if end is None else end.replace(tzinfo=zone).astimezone(utc))


def wall_time(moment: dt.datetime, zone: Optional[dt.tzinfo]) -> dt.datetime:
    """What the plant's clock shows at `moment` (naive, as the records store it)."""
    return moment if zone is None else moment.astimezone(zone).replace(tzinfo=None)


def catalog_rows(plant: Plant) -> List[tuple]:
    """A row per signal the plant writes (the runtime's own events, id 0,
    aside): each sampled value by its tag, each unit's setpoint, each
    value's level alarm and each unit's alarm texts."""
    values, setpoints, alarms, texts = [], [], [], []
    for unit in plant.units:
        states = unit.archive_class in STATE_CLASSES
        for k, signal in enumerate(unit.signals):
            values.append((unit.id, k, signal.tag, signal.unit, f"{unit.quantity} {k} of {unit.kind} {unit.id}",
                           "step" if states else "linear"))
            if not states:
                alarms.append((ALARM_ID_BASE + unit.id * ELEMENTS_PER_GROUP + k, None, f"{signal.tag}.ALM", "%",
                               f"limit alarm of {signal.tag} (percent of its daily swing)", "step", signal.tag))
        if not states:
            setpoints.append((SETPOINT_ID_BASE + unit.id, 0, f"{unit.controller}.SP", unit.measure,
                              f"setpoint of {unit.kind} {unit.id}", "step"))
            texts.append((TEXT_ID_BASE + unit.id, None, f"{unit.controller}.MSG", None,
                          f"alarm texts of {unit.kind} {unit.id}", "step"))
        if unit.archive_class == "GrWord":
            alarms.append((SWITCH_ID_BASE + unit.id, None, f"LSH-{unit.id}", None,
                           f"high-level switch of {unit.kind} {unit.id}", "step", unit.signals[0].tag))
    alarms.append((BYPASS_ID, None, "XA-900", None, "maintenance bypass", "step"))
    return values + setpoints + alarms + texts


def write_catalog(root: Path, plant: Plant) -> Path:
    text = io.StringIO()
    table = csv.writer(text, lineterminator="\n")
    table.writerow(CATALOG_COLUMNS)
    width = len(CATALOG_COLUMNS)
    table.writerows(["" if field is None else field for field in row + (None,) * (width - len(row))]
                    for row in catalog_rows(plant))
    with WholeFile(root / CATALOG_NAME) as catalog:
        catalog.file.write(text.getvalue().encode("utf-8"))
    return catalog.path


def day_path(root: Path, day: dt.date) -> Path:
    return root / f"{day:%Y}" / f"{day:%m}" / f"{day:%Y-%m-%d}_plant.vlx"


class WholeFile:
    """A file written under a name beside its place and renamed into it when
    whole: a reader sees the old file or the new one, never a part. The
    temporary name begins with a dot and holds no ".vlx", so no reader of
    the archive takes it for a day's file. As a context, it is renamed into
    place when the block ends and removed when it raises."""

    def __init__(self, path: Path):
        self.path = path
        self.temporary = path.with_name(f".{path.stem}.partial")
        path.parent.mkdir(parents=True, exist_ok=True)
        self.file = open(self.temporary, "wb")

    def commit(self) -> Path:
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()
        os.replace(self.temporary, self.path)
        return self.path

    def discard(self) -> None:
        self.file.close()
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass

    def __enter__(self) -> "WholeFile":
        return self

    def __exit__(self, kind, error, trace) -> None:
        if kind is None:
            self.commit()
        else:
            self.discard()


class DayFileWriter:
    """Appends to the file of the current day, as the runtime does: each
    write reaches the file at once; the file before is ended with the end
    byte when the next day begins."""

    def __init__(self, root: Path, chunk_bytes: int = 0, rng: Optional[random.Random] = None):
        self.root, self.chunk_bytes = root, chunk_bytes
        self.rng = rng or random.Random(0)
        self.day: Optional[dt.date] = None
        self.fd: Optional[int] = None
        self.pending = bytearray()  # bytes of a cut write, written with the next

    def write(self, day: dt.date, data: bytes, pause=None) -> None:
        if day != self.day:
            self._flush_pending()
            if self.fd is not None:
                os.write(self.fd, END)
                os.close(self.fd)
            path = day_path(self.root, day)
            path.parent.mkdir(parents=True, exist_ok=True)
            self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            self.day = day
        if not self.chunk_bytes:
            os.write(self.fd, data)
            return
        self.pending += data
        while self.pending:
            n = self.rng.randint(1, self.chunk_bytes)
            if n > len(self.pending):
                return  # the rest waits for the next write: a record stays cut meanwhile
            os.write(self.fd, bytes(self.pending[:n]))
            del self.pending[:n]
            if pause is not None:
                pause()

    def _flush_pending(self) -> None:
        if self.fd is not None and self.pending:
            os.write(self.fd, bytes(self.pending))
        self.pending.clear()

    def close(self, end_byte: bool = False) -> None:
        self._flush_pending()
        if self.fd is not None:
            if end_byte:
                os.write(self.fd, END)
            os.close(self.fd)
            self.fd = None


def write_at_once(root: Path, plant: Plant, start: dt.datetime, days: float,
                  progress: Optional["Progress"] = None, zone: Optional[dt.tzinfo] = None) -> Iterator[Path]:
    """Writes the days' files in turn, each whole (ended by the end byte
    but the last), and yields each one's path once it is in place. A
    moment's records go to their file as they are made: the memory held is
    a moment's, whatever the number of days."""
    day_file: Optional[WholeFile] = None
    day = None
    try:
        for moment, moment_day, records in plant.run(start, days, zone):
            if moment_day != day:
                if day_file is not None:
                    day_file.file.write(END)
                    done, day_file = day_file, None
                    yield done.commit()
                day = moment_day
                day_file = WholeFile(day_path(root, day))
            day_file.file.write(b"".join(records))
            if progress is not None:
                progress.reached(moment)
        if day_file is not None:
            done, day_file = day_file, None
            yield done.commit()
    finally:
        if day_file is not None:
            day_file.discard()


class Progress:
    """Days written, the pace and the time left, on one line of a terminal
    drawn again at most every `every` seconds."""

    def __init__(self, stream: TextIO, start: dt.datetime, days: float, total: int, every: float = 0.5):
        self.stream, self.start, self.every = stream, start, every
        self.span = dt.timedelta(days=days)
        self.total, self.written = total, 0
        self.began = self.drawn = time.monotonic()
        self.moment = start

    def reached(self, moment: dt.datetime) -> None:
        self.moment = moment
        if time.monotonic() - self.drawn >= self.every:
            self.draw()

    def day_written(self) -> None:
        self.written += 1
        self.draw()

    def clear(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()

    def draw(self) -> None:
        self.drawn = time.monotonic()
        elapsed = self.drawn - self.began
        simulated = (self.moment - self.start) / dt.timedelta(days=1)
        line = f"{self.written}/{self.total} days written"
        if elapsed > 0 and simulated > 0:
            pace = simulated / elapsed
            left = (self.span / dt.timedelta(days=1) - simulated) / pace
            line += f", {pace * 60:.3g} days/min, about {duration_text(left)} left"
        self.stream.write(f"\r\x1b[K{line}")
        self.stream.flush()

    def finish(self) -> None:
        elapsed = time.monotonic() - self.began
        self.stream.write(f"\r\x1b[K{self.written}/{self.total} days written in {duration_text(elapsed)}\n")
        self.stream.flush()


def duration_text(seconds: float) -> str:
    if seconds < 120:
        return f"{seconds:.0f} s"
    minutes = round(seconds / 60)
    return f"{minutes} min" if minutes < 120 else f"{minutes // 60} h {minutes % 60} min"


def write_live(root: Path, plant: Plant, start: dt.datetime, days: Optional[float], speed: float,
               chunk_bytes: int, seed: int, zone: Optional[dt.tzinfo] = None) -> None:
    writer = DayFileWriter(root, chunk_bytes, random.Random(seed + 1))
    began = time.monotonic()
    try:
        for moment, day, records in plant.run(start, days, zone):
            due = began + (moment - start).total_seconds() / speed
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            writer.write(day, b"".join(records))
    finally:
        writer.close()


def parse_args(argv=None) -> argparse.Namespace:
    summary, _, details = __doc__.partition("\n\n")
    parser = argparse.ArgumentParser(description=summary, epilog=details,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root", type=Path, help="the archive tree to write")
    parser.add_argument("--days", type=float, default=None,
                        help="days to write (default: 3 at once, 0 = until stopped live)")
    parser.add_argument("--signals", type=int, default=100, help="sampled values, 16 to a group (default 100)")
    parser.add_argument("--period", type=float, default=None,
                        help="seconds between samples (default 10 at once, 1 live)")
    parser.add_argument("--start", default=None,
                        help="first moment, YYYY-MM-DD[THH:MM:SS] (default: 3 days ago at midnight, live: now)")
    parser.add_argument("--live", action="store_true", help="append records as their moments come")
    parser.add_argument("--speed", type=float, default=1.0, help="live: simulated seconds per second")
    parser.add_argument("--chunk-bytes", type=int, default=0,
                        help="live: write pieces of 1 to this many bytes, cutting records")
    parser.add_argument("--limits", type=float, default=0.85,
                        help="alarm limits in parts of a signal's daily swing (smaller: more alarms)")
    parser.add_argument("--seed", type=int, default=1, help="the same seed writes the same bytes")
    parser.add_argument("--tz", default=None, metavar="ZONE",
                        help="the plant's clock runs on this zone's local time (an IANA name such as "
                             "Europe/Berlin): records carry its wall times, through both changes of a year, "
                             "--start and --days are local, and ROOT/zentrail-zone.txt names it")
    args = parser.parse_args(argv)
    if args.signals < 1 or args.speed <= 0 or args.chunk_bytes < 0:
        parser.error("--signals, --speed must be positive and --chunk-bytes not negative")
    if args.tz is not None:
        import zoneinfo

        try:
            zoneinfo.ZoneInfo(args.tz)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            parser.error(f"--tz: {args.tz!r} is no time zone this machine knows")
    return args


def main(argv=None) -> None:
    args = parse_args(argv)
    now = dt.datetime.now().replace(microsecond=0)
    if args.start is not None:
        start = dt.datetime.fromisoformat(args.start)
    elif args.live:
        start = now
    else:
        start = dt.datetime.combine(now.date() - dt.timedelta(days=3), dt.time())
    period = args.period if args.period is not None else (1.0 if args.live else 10.0)
    plant = Plant(args.signals, period, args.seed, args.limits)
    write_catalog(args.root, plant)
    zone = None
    if args.tz is not None:
        import zoneinfo

        zone = zoneinfo.ZoneInfo(args.tz)
        (args.root / "zentrail-zone.txt").write_text(args.tz + "\n")
        if args.live and args.start is None:
            start = dt.datetime.now(zone).replace(tzinfo=None, microsecond=0)
    if args.live:
        days = None if not args.days else args.days
        print(f"writing {len(plant.units)} groups every {period:g} s under {args.root}; Ctrl-C stops",
              file=sys.stderr)
        try:
            write_live(args.root, plant, start, days, args.speed, args.chunk_bytes, args.seed, zone)
        except KeyboardInterrupt:
            pass
        return
    days = 3 if args.days is None else args.days
    progress = None
    if sys.stderr.isatty():
        first, end = run_bounds(start, days, zone)
        progress = Progress(sys.stderr, start, (end - first) / dt.timedelta(days=1),
                            plant.days_touched(start, days, zone))
    try:
        for path in write_at_once(args.root, plant, start, days, progress, zone):
            if progress is not None:
                progress.clear()
            print(path, flush=True)
            if progress is not None:
                progress.day_written()
    finally:
        if progress is not None:
            progress.finish()


if __name__ == "__main__":
    main()
