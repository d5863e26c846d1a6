"""zentrail.ArchiveRanges against an archive written in pieces that cut
records anywhere: the ranges between each offset and the next, read after
the file grew further, hold the final scan's rows once, in order; a batch
done again from its two offsets reads the same rows."""

import json
import random

import numpy as np
import pytest
import zentrail
from plant_pieces import append, plant_pieces

COLUMNS = [name for name, _ in zentrail._core.COLUMNS]


def rows_of(found, batches):
    """The rows of the batches' ranges, read now, column by column."""
    read = [rows for start, end in batches for part in found.ranges(start, end) for rows in part.rows()]
    return {name: np.concatenate([rows[name] for rows in read]) for name in COLUMNS}


@pytest.mark.parametrize("seed", [1, 2])
def test_ranges_between_offsets_hold_the_scan_once(tmp_path, seed):
    rng = random.Random(seed)
    pieces = plant_pieces(seconds=60, seed=seed, most=60)
    found = zentrail.ArchiveRanges(zentrail.scan(tmp_path, "2024-03-01", "9999-12-31").plan)
    offset, batches, written = found.initial(from_first=True), [], 0
    while written < len(pieces) or batches[-1][0] != batches[-1][1]:
        more = rng.randint(0, 12)
        append(tmp_path, pieces[written:written + more])
        written += more
        end = json.loads(json.dumps(found.latest(offset)))  # as Spark keeps it
        batches.append((offset, end))
        offset = end
    got, again = rows_of(found, batches), rows_of(zentrail.ArchiveRanges(found.plan), batches)
    expected = zentrail.scan(tmp_path, "2024-03-01", "2099-12-31").to_numpy()
    assert len(batches) > 10
    for name in COLUMNS:
        np.testing.assert_array_equal(got[name], expected[name], err_msg=name)
        np.testing.assert_array_equal(again[name], expected[name], err_msg=name)
