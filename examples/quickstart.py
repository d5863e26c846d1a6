"""Reads one day of the bundled sample archive and prints what it found.

    python examples/quickstart.py [ROOT_DIR]
"""

import sys
from collections import defaultdict
from pathlib import Path

import zentrail

given = len(sys.argv) > 1
root = sys.argv[1] if given else str(Path(__file__).resolve().parent / "sample-archive")

# A signal code selects one element of one signal: id * 1024 + index.
FURNACE_TEMPERATURES = [7 * 1024 + index for index in range(4)]  # GrFloat group, id 7
TANK_3_LEVEL = 5 * 1024 + 2                                       # GrWord group, id 5, third element
LEVEL_ALARM = 12 * 1024                                           # AlByte alarm, id 12
OPERATOR_NOTES = 13 * 1024                                        # AlString alarm, id 13

CODES = FURNACE_TEMPERATURES + [TANK_3_LEVEL, LEVEL_ALARM, OPERATOR_NOTES]

rows = zentrail.read(root, "2024-03-02 00:00:00", "2024-03-02 23:59:59", CODES)

print(f"{len(rows)} values read from {root if given else 'the sample archive'}")
print("first rows (year, month, day, hour, minute, second, ms, value, -, -, 1, id):")
for row in rows[:5]:
    print("  ", row)

# The plant's names of the codes, from the catalog beside the archive, if there is one.
catalog_file = Path(root) / "zentrail-catalog.csv"
catalog = zentrail.Catalog.from_csv(catalog_file) if catalog_file.exists() else None


def names_of(signal_id):
    entries = [catalog.entry(code) for code in CODES if code // 1024 == signal_id] if catalog else []
    names = [entry.name for entry in entries if entry is not None]
    if not names:
        return ""
    return f" ({names[0]}" + (f" and {len(names) - 1} more)" if len(names) > 1 else ")")


values = defaultdict(list)
for year, month, day, hour, minute, second, ms, value, _, _, _, signal_id in rows:
    values[signal_id].append(value)
for signal_id, found in sorted(values.items()):
    numbers = [v for v in found if not isinstance(v, str)]
    summary = f"min {min(numbers):g}, max {max(numbers):g}" if numbers else "no numeric value"
    print(f"signal id {signal_id}{names_of(signal_id)}: {len(found)} values, {summary}")
