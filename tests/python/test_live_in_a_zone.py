"""Following an archive and keeping a lake through the autumn night of a
plant whose clock runs on local time: the repeated hour is written twice into
one growing file, and each row comes out once, at its true instant, however
the file's growth is cut and wherever a cursor or a lake's state stops."""

import datetime as dt
import importlib
import json
import random

import numpy as np
import pytest

import zentrail
from zentrail._live import cursor as _cursor, lake_state as _lake_state
from zentrail._read.tail import ResumePoint
from zoned_archive import NS, SIGNAL, day_records, instants_between, write_local_archive

ZONE = "Europe/Berlin"
DAY = dt.date(2024, 10, 27)
CODES = [SIGNAL * 1024]


class Autumn:
    """The day of the autumn change logged every minute, its file to grow:
    `data` its bytes, `ends[k]` the offset after its k-th record (0: the date
    mark), `instants` the rows' true instants (row k holds the value k)."""

    def __init__(self, root):
        self.root = root
        self.instants = instants_between(ZONE, DAY, DAY, 60)
        [records] = day_records(ZONE, self.instants).values()
        self.data = b"".join(records)
        self.ends = np.cumsum([len(record) for record in records]).tolist()
        self.path = root / "2024" / "2024-10-27_plant.vlx"
        self.path.parent.mkdir(parents=True)
        self.written = 0

    def inside_the_repeated_hour(self):
        """The offsets after the rows at 02:30 of its first pass, and at
        02:30 and 02:45 of its second (a growth that ends where it began)."""
        first_pass = int(dt.datetime(2024, 10, 27, 0, 30, tzinfo=dt.timezone.utc).timestamp()) * NS
        row = self.instants.index(first_pass)
        return [self.ends[row + 1], self.ends[row + 61], self.ends[row + 76]]

    def cuts(self, pieces):
        """Where the file's growth stops: at random bytes (inside records
        too), inside both passes of the repeated hour, and at its end."""
        chosen = random.Random(pieces).sample(range(1, len(self.data)), pieces)
        return sorted(set(chosen + self.inside_the_repeated_hour() + [len(self.data)]))

    def grow_to(self, cut):
        with open(self.path, "ab") as file:
            file.write(self.data[self.written:cut])
        self.written = cut


@pytest.fixture
def autumn(tmp_path):
    return Autumn(tmp_path / "archive")


def drained(follower):
    """(value, time) of the rows the follower has now."""
    rows = []
    while (batch := follower.poll()) is not None:
        rows += zip(batch["value"].astype(int).tolist(), batch["time"].astype(np.int64).tolist())
    return rows


@pytest.mark.parametrize("pieces", [4, 60])
@pytest.mark.parametrize("resumed", [False, True])
def test_a_follower_through_the_autumn_change_gives_each_row_once_at_its_instant(autumn, pieces, resumed):
    got, follower, folds = [], None, []
    for cut in autumn.cuts(pieces):
        autumn.grow_to(cut)
        if follower is None:
            follower = zentrail.follow(autumn.root, CODES, start="2024-10-27", tz=ZONE)
        elif resumed:  # a new follower from the last one's cursor: the repeated hour's state travels in it
            follower = zentrail.follow(autumn.root, CODES, cursor=follower.cursor, tz=ZONE)
        got += drained(follower)
        if cut in autumn.inside_the_repeated_hour():
            folds.append(_cursor.decode(follower.cursor).fold)
    assert [value for value, _ in got] == list(range(len(autumn.instants)))
    assert [time for _, time in got] == autumn.instants
    assert len(folds) == 3 and None not in folds  # the cursors taken inside the repeated hour carry its state


@pytest.mark.parametrize("tz, message", [("UTC", "made by a follower reading in Europe/Berlin; this one reads in UTC"),
                                         (False, "reading in Europe/Berlin; this one reads in no zone")])
def test_a_cursor_resumes_only_in_the_zone_it_was_made_in(autumn, tz, message):
    autumn.grow_to(autumn.inside_the_repeated_hour()[1])
    follower = zentrail.follow(autumn.root, CODES, start="2024-10-27", tz=ZONE)
    drained(follower)
    with pytest.raises(ValueError, match=message):
        zentrail.follow(autumn.root, CODES, cursor=follower.cursor, tz=tz)


@pytest.mark.parametrize("zone_file", [False, True])
def test_a_followers_arrow_batches_carry_the_zone(autumn, zone_file):
    pyarrow = pytest.importorskip("pyarrow")
    autumn.grow_to(len(autumn.data))
    if zone_file:  # the root names its zone: the default of tz=
        (autumn.root / "zentrail-zone.txt").write_text(f"{ZONE}\n")
    follower = zentrail.follow(autumn.root, CODES, start="2024-10-27", poll=0.001, idle_timeout=0.01,
                               tz=None if zone_file else ZONE)
    table = follower.arrow().read_all()
    assert table.schema.field("time").type == pyarrow.timestamp("ns", tz=ZONE)
    assert table.column("time").cast(pyarrow.int64()).to_pylist() == autumn.instants


def kept_place(lake, every):
    """The place in the archive's one file that the lake's state keeps."""
    name = _lake_state.ROWS_STATE_NAME if every is None else _lake_state.GRID_STATE_NAME
    [kept] = json.loads((lake / name).read_text())["files"].values()
    return ResumePoint.from_list(kept["segments"][-1]["end"] if every is None else kept["end"])


def day_table(lake):
    import pyarrow.parquet

    return pyarrow.parquet.read_table(lake / "day=2024-10-27").sort_by("time")


@pytest.mark.parametrize("every", [None, "5min"])
def test_a_lake_kept_in_step_through_the_autumn_change_holds_each_row_once_at_its_instant(autumn, tmp_path,
                                                                                          monkeypatch, every):
    pytest.importorskip("pyarrow")
    # Each run reads on from the place the state keeps, not again from the last part's start.
    monkeypatch.setattr(importlib.import_module("zentrail._live.sync"), "REOPEN_BYTES", 0)
    lake = tmp_path / "lake"
    for cut in autumn.cuts(6):
        autumn.grow_to(cut)
        zentrail.sync(autumn.root, lake, CODES, every=every, tz=ZONE)
        if cut not in autumn.inside_the_repeated_hour() + [len(autumn.data)]:
            continue
        assert cut == len(autumn.data) or kept_place(lake, every).fold is not None
        table = day_table(lake)
        if every is None:
            assert table.column("time").cast("int64").to_pylist() == autumn.instants[:autumn.ends.index(cut)]
        else:  # the grid of a lake made at once from the file as it stands
            at_once = tmp_path / f"at-once-{cut}"
            zentrail.sync(autumn.root, at_once, CODES, every=every, tz=ZONE)
            assert table.equals(day_table(at_once)) and table.num_rows > 0


@pytest.mark.parametrize("every", [None, "1h"])
def test_a_lake_in_a_zone_holds_instants_in_local_day_folders(tmp_path, every):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet  # noqa: F401

    root = tmp_path / "archive"
    instants = instants_between(ZONE, dt.date(2024, 10, 26), dt.date(2024, 10, 28), 600)
    write_local_archive(root, ZONE, instants)
    lake = tmp_path / "lake"
    zentrail.sync(root, lake, CODES, every=every, tz=ZONE)
    days = sorted(p.name for p in lake.iterdir() if p.name.startswith("day="))
    assert days == ["day=2024-10-26", "day=2024-10-27", "day=2024-10-28"]
    table = pyarrow.parquet.read_table(lake / "day=2024-10-27")
    assert str(table.schema.field("time").type) == f"timestamp[ns, tz={ZONE}]"
    times = table.column("time").cast("int64").to_numpy()
    if every is None:  # the local day: 25 hours from local midnight
        assert times.tolist() == [t for t in instants if instants[0] + 86400 * NS <= t < instants[0] + 49 * 3600 * NS]
    else:
        assert len(times) == 25 and (np.diff(times) == 3600 * NS).all()
    with pytest.raises(zentrail.LakeMismatchError, match="zone"):
        zentrail.sync(root, lake, CODES, every=every, tz="UTC")
