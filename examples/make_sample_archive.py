"""Writes the small sample archive tree under examples/sample-archive/.

Three days of a made-up plant: every ten minutes a group of four furnace
temperatures (GrFloat, id 7) and a group of three tank levels (GrWord, id 5);
now and then a level alarm (AlByte, id 12), an operator note (AlString,
id 13) and a system log event. Deterministic: running it again writes the
same bytes. The plant's names and units of these signals are in
sample-archive/zentrail-catalog.csv, kept beside the files by hand.
"""

import math
import random
import sys
from datetime import date, timedelta
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))

from archive_format import END, alarm, date_mark, group, string_alarm, system, write_archive  # noqa: E402

FIRST_DAY = date(2024, 3, 1)
DAYS = 3
NS_PER_MINUTE = 60 * 1_000_000_000


def day_records(day: date, rng: random.Random):
    yield date_mark(day)
    yield system(0, subtype=1, param=42)  # Core, Info: the day's file opens
    for step in range(24 * 6):
        minute = step * 10
        tod = minute * NS_PER_MINUTE
        phase = 2 * math.pi * minute / (24 * 60)
        temperatures = [round(820 + 40 * math.sin(phase + k) + rng.uniform(-2, 2), 2) for k in range(4)]
        yield group("GrFloat", tod, id=7, values=temperatures)
        levels = [int(500 + 300 * math.sin(phase + k / 2) + rng.randint(-10, 10)) for k in range(3)]
        yield group("GrWord", tod + 1_000_000, id=5, values=levels)
        if levels[0] > 790:
            yield alarm("AlByte", tod + 2_000_000, id=12, value=levels[0] // 10, subtype="HiHi")
        if step % 36 == 17:
            yield string_alarm(tod + 3_000_000, id=13, text="shift handover checked")
    yield END


def main() -> None:
    rng = random.Random(20240301)
    root = HERE / "sample-archive"
    for offset in range(DAYS):
        day = FIRST_DAY + timedelta(days=offset)
        path = root / f"{day:%Y}" / f"{day:%m}" / f"{day:%Y-%m-%d}_plant.vlx"
        write_archive(path, day_records(day, rng))
        print(path.relative_to(HERE.parent))


if __name__ == "__main__":
    main()
