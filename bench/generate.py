"""Generates a reproducible archive tree for the benchmarks.

The mix imitates a plant archive: mostly groups of 8 to 64 elements of every
width, alarms of every class, system events, some string alarms, and a date
mark at the start of each day file (plus an occasional repeated one);
thousands of signal ids. The same seed and size give the same bytes.
"""

from __future__ import annotations

import datetime as dt
import random
import struct
from dataclasses import dataclass, field
from pathlib import Path

import archive_format as fmt

NS_PER_DAY = fmt.NS_PER_DAY
ORIGIN_DAY = 8766  # 2024-01-01

GROUP_CODES = [fmt.CLASS_BY_NAME[name].code for name in fmt.GROUP_CLASSES]
ALARM_CODES = [fmt.CLASS_BY_NAME[name].code for name in fmt.ALARM_CLASSES]
STRING_CODE = fmt.CLASS_BY_NAME["AlString"].code
RARE_CODE = fmt.CLASS_BY_NAME["GrWord"].code

# Ids by role. Frequent group signals are what an output-heavy read selects.
FREQUENT_GROUP_IDS = range(100, 164)
GROUP_IDS = range(100, 4100)
ALARM_IDS = range(5000, 7000)
STRING_IDS = range(7000, 7100)
RARE_ID = 4099  # a group signal that appears about once in every 4000 groups


@dataclass
class TreeStats:
    files: list = field(default_factory=list)
    bytes: int = 0
    records: int = 0


def _record_body(rng: random.Random, signal_id: int | None = None) -> bytes:
    """Code, second byte, id and payload of one random item."""
    roll = rng.random()
    if roll < 0.80:  # group
        cls = rng.choice(GROUP_CODES)
        count = rng.randint(8, 64)
        ident = signal_id if signal_id is not None else _group_id(rng)
        return struct.pack(">BBH", cls, count, ident) + rng.randbytes(fmt.payload_size(cls, count))
    if roll < 0.97:  # single-value alarm
        cls = rng.choice(ALARM_CODES)
        return struct.pack(">BBH", fmt.item_code(cls, rng.randrange(4)), rng.randint(1, 2),
                           rng.choice(ALARM_IDS)) + rng.randbytes(fmt.payload_size(cls, 1))
    if roll < 0.99:  # system event
        return struct.pack(">BB", fmt.item_code(0, rng.randrange(4)), rng.randrange(70))
    text = rng.randbytes(rng.randint(0, 200))
    return struct.pack(">BBHH", STRING_CODE, 1, rng.choice(STRING_IDS), len(text)) + text


def _group_id(rng: random.Random) -> int:
    # Half of the groups come from the 64 frequent signals.
    return rng.choice(FREQUENT_GROUP_IDS) if rng.random() < 0.5 else rng.choice(GROUP_IDS)


def _body_pool(rng: random.Random, size: int) -> list[bytes]:
    pool = [_record_body(rng) for _ in range(size)]
    # The rare signal: a handful of templates, so selective reads find a few rows.
    for _ in range(max(1, size // 4000)):
        pool[rng.randrange(size)] = struct.pack(">BBH", RARE_CODE, 16, RARE_ID) + rng.randbytes(32)
    return pool


def write_day_file(path: Path, day: int, target_bytes: int, pool: list[bytes], rng: random.Random) -> int:
    """Writes one day file of about target_bytes; returns its record count."""
    chunks = [fmt.date_mark(day)]
    size = 6
    records = 0
    n = 0
    # Times spread over the day, increasing.
    while size < target_bytes:
        body = pool[rng.randrange(len(pool))]
        n += 1
        tod = (n * 997_331_111) % NS_PER_DAY
        chunks.append(fmt.TIME.pack(tod >> 32, tod & 0xFFFFFFFF))
        chunks.append(body)
        size += 6 + len(body)
        records += 1
        if records % 500_000 == 0:  # a repeated date mark now and then
            chunks.append(fmt.date_mark(day))
            size += 6
    chunks.append(fmt.END)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"".join(chunks))
    return records


def generate_tree(root: Path, total_mb: float, days: int, seed: int = 1) -> TreeStats:
    """Writes `days` day files (year/month folders) holding about total_mb MB."""
    rng = random.Random(seed)
    pool = _body_pool(rng, 20_000)
    stats = TreeStats()
    per_file = int(total_mb * 1_000_000 / days)
    for k in range(days):
        day = ORIGIN_DAY + k
        path = day_path(root, day)
        stats.records += write_day_file(path, day, per_file, pool, rng)
        stats.bytes += path.stat().st_size
        stats.files.append(path)
    return stats


def generate_calendar_tree(root: Path, years: int = 10) -> int:
    """A tree of one small file per day over `years` years; returns the count."""
    record = fmt.group("GrWord", 0, id=100, values=[1]) + fmt.END
    count = 0
    for day in range(ORIGIN_DAY - 365 * years, ORIGIN_DAY):
        fmt.write_archive(day_path(root, day), [fmt.date_mark(day), record])
        count += 1
    return count


def day_path(root: Path, day: int) -> Path:
    date = fmt.ORIGIN + dt.timedelta(days=day)
    return root / f"{date:%Y}" / f"{date:%m}" / f"{date:%Y-%m-%d}_plant.vlx"


def generate_years_tree(root: Path, days: int, signals: int = 40, elements: int = 8, every_s: int = 100,
                        seed: int = 1) -> TreeStats:
    """Years of day files as a plant logs them: `signals` GrFloat groups of
    `elements` values, each logged every `every_s` seconds (staggered), a
    pump's state (id 900) every 20 minutes; one signal (id 100 + signals - 1) stops for the
    first five days of every 97. Each day's records come from one of a few
    day bodies made once, so that thousands of days take seconds to write."""
    rng = random.Random(seed)

    def body(with_last: bool) -> bytes:
        records = []
        for second in range(0, 86_400, every_s):
            for k in range(signals if with_last else signals - 1):
                ticks = (second + k * every_s // signals) * 1_000_000_000
                values = [round(rng.uniform(0, 1000), 2) for _ in range(elements)]
                records.append(fmt.group("GrFloat", ticks, id=100 + k, values=values))
            if second % 1200 == 0:
                records.append(fmt.group("GrBool", second * 1_000_000_000, id=900, values=[second % 2400 == 0]))
        return b"".join(records)

    bodies = [body(True) for _ in range(3)]
    quiet = body(False)
    stats = TreeStats()
    for k in range(days):
        day = ORIGIN_DAY - days + k
        path = day_path(root, day)
        path.parent.mkdir(parents=True, exist_ok=True)
        data = fmt.date_mark(day) + (quiet if k % 97 < 5 else bodies[k % 3]) + fmt.END
        path.write_bytes(data)
        stats.bytes += len(data)
        stats.files.append(path)
    return stats
