"""The simulated plant's bytes over midnight in pieces that cut records
anywhere, and their appending to an archive as the runtime writes them: for
the tests of readers that follow a growing archive in batches."""

import random
import sys
from pathlib import Path

from archive_format import END

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import simulate_plant  # noqa: E402

START = "2024-03-01T23:59:00"


def plant_pieces(seconds, seed=3, most=400):
    """The bytes the plant writes over midnight, as (day, piece) in order:
    pieces of 1 to `most` bytes that cut records anywhere, the first day
    closed by its end byte before the second begins."""
    rng = random.Random(seed)
    plant = simulate_plant.Plant(16, 1.0, seed, limits=0.01)
    days = {}
    start = simulate_plant.dt.datetime.fromisoformat(START)
    for _, day, records in plant.run(start, seconds / 86400):
        days.setdefault(day, bytearray()).extend(b"".join(records))
    ordered = sorted(days.items())
    pieces = []
    for n, (day, data) in enumerate(ordered):
        data = bytes(data) + (END if n < len(ordered) - 1 else b"")
        at = 0
        while at < len(data):
            step = rng.randint(1, most)
            pieces.append((day, data[at:at + step]))
            at += step
    return pieces


def append(root, pieces):
    for day, piece in pieces:
        path = simulate_plant.day_path(root, day)
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "ab") as out:
            out.write(piece)
