"""Inventories and events of an archive written on Berlin's clock through a
change of its offset: instants against the rows' true instants, local days,
the zone carried by pandas and Arrow, wall times without a zone."""

import datetime as dt
import pickle
import zoneinfo

import numpy as np
import pytest

import zentrail
from archive_builder import END, alarm, date_mark, group, write_archive

ZONE = "Europe/Berlin"
BERLIN = zoneinfo.ZoneInfo(ZONE)
NS = 1_000_000_000
SIGNALS = (7, 8)
ALARM = 9
STEP_S = 600
# The day of each change of 2024 and its length in hours.
CHANGES = {"autumn": (dt.date(2024, 10, 27), 25), "spring": (dt.date(2024, 3, 31), 23)}


def wall_of(ns):
    return dt.datetime.fromtimestamp(ns // NS, BERLIN).replace(tzinfo=None)


@pytest.fixture(scope="module", params=list(CHANGES))
def archive(request, tmp_path_factory):
    """The local days before, of and after a change, logged every STEP_S as
    a runtime on Berlin's clock logs: at each true instant two signals and
    an alarm, stamped with the wall time, in the file of the wall day; the
    root names its zone. Gives the root, the change's day and hours, and
    the instants (ns since 1970 UTC)."""
    day, hours = CHANGES[request.param]
    root = tmp_path_factory.mktemp(request.param)
    start, end = (int(dt.datetime.combine(day + dt.timedelta(days=d), dt.time(), BERLIN).timestamp()) for d in (-1, 2))
    instants = np.arange(start, end, STEP_S, dtype=np.int64) * NS
    files = {}
    for k, ns in enumerate(instants.tolist()):
        wall = wall_of(ns)
        of_day = (wall - dt.datetime.combine(wall.date(), dt.time())) // dt.timedelta(seconds=1) * NS
        files.setdefault(wall.date(), [date_mark(wall.date())]).extend(
            [group("GrDouble", of_day, SIGNALS[0], [float(k)]), group("GrDouble", of_day, SIGNALS[1], [-float(k)]),
             alarm("AlByte", of_day, ALARM, value=k % 256)])
    for wall_day, records in files.items():
        write_archive(root / f"{wall_day:%Y}" / f"{wall_day:%Y-%m-%d}_plant.vlx", records + [END])
    (root / "zentrail-zone.txt").write_text(ZONE + "\n")
    return root, day, hours, instants


def test_first_and_last_are_the_true_instants(archive):
    root, _, _, instants = archive
    whole = zentrail.inventory(root).to_numpy()
    assert whole["signal_id"].tolist() == [*SIGNALS, ALARM]
    assert (whole["first"].astype(np.int64) == instants[0]).all()
    assert (whole["last"].astype(np.int64) == instants[-1]).all()
    assert (whole["records"] == len(instants)).all()


@pytest.mark.parametrize("by", ["day", "file"])
def test_rows_of_each_local_day_count_under_that_day(archive, by):
    root, day, hours, instants = archive
    local_days = np.array([np.datetime64(wall_of(ns).date(), "ns") for ns in instants.tolist()])
    found = zentrail.inventory(root, by=by).to_numpy()
    assert len(found["day"]) == 3 * 3  # three local days of three (signal, class)
    for row in range(len(found["day"])):
        mine = instants[local_days == found["day"][row]]
        assert found["records"][row] == len(mine)
        assert found["first"][row].astype(np.int64) == mine[0] and found["last"][row].astype(np.int64) == mine[-1]
        if by == "file":
            assert str(found["day"][row])[:10] in found["file"][row]
    on_the_day = found["records"][found["day"] == np.datetime64(day, "ns")]
    assert on_the_day.tolist() == [hours * 3600 // STEP_S] * 3


def test_event_times_are_the_true_instants_and_bounds_are_wall_times(archive):
    root, day, _, instants = archive
    assert (zentrail.events(root, "2024-01-01", "2024-12-31").to_numpy()["time"].astype(np.int64) == instants).all()
    local_day = [ns for ns in instants.tolist() if wall_of(ns).date() == day]
    assert zentrail.events(root, day, day).to_numpy()["time"].astype(np.int64).tolist() == local_day
    if day.month == 10:  # both passes of the repeated hour: from the first's 02:00 to the second's 02:59 (whole)
        start, end = (int(dt.datetime.combine(day, time, BERLIN).timestamp()) * NS
                      for time in (dt.time(2), dt.time(3)))
        found = zentrail.events(root, f"{day} 02:00", dt.datetime.combine(day, dt.time(2, 59)).replace(fold=1))
        assert found.to_numpy()["time"].astype(np.int64).tolist() == [ns for ns in local_day if start <= ns < end]
        assert len(found.to_numpy()["time"]) == 2 * 3600 // STEP_S


def read_inventory(root, tz):
    return zentrail.inventory(root, by="day", tz=tz)


def read_events(root, tz):
    return zentrail.events(root, "2024-01-01", "2024-12-31", tz=tz)


@pytest.mark.parametrize(("read", "instant_columns"), [(read_inventory, ["first", "last"]), (read_events, ["time"])])
@pytest.mark.parametrize("tz", [None, ZONE, False])
def test_instant_columns_carry_the_zone_in_pandas_and_arrow_and_stay_utc_in_numpy(archive, read, instant_columns, tz):
    pytest.importorskip("pandas")
    root, _, _, instants = archive
    result = read(root, tz)
    zoned = tz is not False
    numpy_columns = result.to_numpy()
    utc = np.datetime64(dt.datetime.fromtimestamp(instants[0] // NS, dt.timezone.utc).replace(tzinfo=None), "ns")
    wall = np.datetime64(wall_of(instants[0]), "ns")
    assert numpy_columns[instant_columns[0]].min() == (utc if zoned else wall)
    frame = result.to_pandas()
    for name in instant_columns:
        assert str(frame[name].dtype) == (f"datetime64[ns, {ZONE}]" if zoned else "datetime64[ns]")
        assert (frame[name].to_numpy(dtype="datetime64[ns]") == numpy_columns[name]).all()
    if "day" in frame:
        assert str(frame["day"].dtype) == "datetime64[ns]"  # a date label, naive
    pyarrow = pytest.importorskip("pyarrow")
    table = pyarrow.table(result)
    for name in instant_columns:
        assert str(table.schema.field(name).type) == (f"timestamp[ns, tz={ZONE}]" if zoned else "timestamp[ns]")
        assert table.column(name).to_numpy().astype("datetime64[ns]").tolist() == numpy_columns[name].tolist()


@pytest.mark.parametrize("read", [read_inventory, read_events])
def test_pickles_keep_the_zone_and_one_made_before_zones_loads_without(archive, read):
    pytest.importorskip("pandas")
    result = read(archive[0], None)
    again = pickle.loads(pickle.dumps(result))
    assert str(again.to_pandas()["last" if read is read_inventory else "time"].dtype) == f"datetime64[ns, {ZONE}]"
    old = type(result).__new__(type(result))
    old.__setstate__(result.__getstate__()[:-1])  # the state before the zone's slot
    assert str(old.to_pandas()["last" if read is read_inventory else "time"].dtype) == "datetime64[ns]"
