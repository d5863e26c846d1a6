"""Archives written on a local clock, read as instants: scans, bounds and
grids against a reference built on zoneinfo from the rows' true instants."""

import datetime as dt
import random
import warnings
import zoneinfo

import numpy as np
import pytest

import zentrail
from zoned_archive import NS, SIGNAL, instants_between, write_local_archive

ZONES = ["Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "America/Sao_Paulo", "Asia/Kolkata", "UTC"]


def changes_of(zone, year):
    """The days of `year` on which `zone`'s offset changes."""
    info = zoneinfo.ZoneInfo(zone)
    days, day = [], dt.date(year, 1, 1)
    before = dt.datetime.combine(day, dt.time(12), info).utcoffset()
    while day.year == year:
        day += dt.timedelta(days=1)
        now = dt.datetime.combine(day, dt.time(12), info).utcoffset()
        if now != before:
            days.append(day)
        before = now
    return days


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    """Per zone: an archive logging every minute over the three days around
    each change of 2024 (or three days of March in a zone without one), and
    the true instants of its rows by value."""
    made = {}
    for zone in ZONES:
        root = tmp_path_factory.mktemp(zone.replace("/", "_"))
        instants = []
        for day in changes_of(zone, 2024) or [dt.date(2024, 3, 31)]:
            instants += instants_between(zone, day - dt.timedelta(days=1), day + dt.timedelta(days=1), 60)
        write_local_archive(root, zone, instants)
        made[zone] = (root, np.array(instants, dtype=np.int64))
    return made


def scanned(root, zone, start, end):
    columns = zentrail.scan(root, start, end, [SIGNAL * 1024], tz=zone).to_numpy()
    return columns["time"].astype(np.int64), columns["value"].astype(np.int64)


@pytest.mark.parametrize("zone", ZONES)
def test_every_row_is_read_at_its_true_instant(archives, zone):
    root, truth = archives[zone]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing was guessed
        times, values = scanned(root, zone, "2024-01-01", "2024-12-31")
    assert len(values) == len(truth)
    assert (times == truth[values]).all()


@pytest.mark.parametrize("zone", ZONES)
def test_windows_around_the_changes_hold_the_rows_of_their_instants(archives, zone):
    root, truth = archives[zone]
    info = zoneinfo.ZoneInfo(zone)
    rng = random.Random(zone)
    for _ in range(6):
        first, last = sorted(rng.sample(range(len(truth)), 2))
        start_ns = int(truth[first]) + rng.choice([0, -1, 1]) * rng.randrange(60) * NS
        end_ns = int(truth[last])
        utc = dt.datetime.fromtimestamp(start_ns // NS, dt.timezone.utc)
        end = dt.datetime.fromtimestamp(end_ns // NS, info)
        want = truth[(truth >= start_ns) & (truth <= end_ns)]
        # The same instant as a bound of every kind that states one.
        for start in (utc, utc.astimezone(info), utc.isoformat().replace("+00:00", "Z"),
                      utc.astimezone(info).isoformat(), pandas_timestamp(start_ns, zone)):
            times, _ = scanned(root, zone, start, end)
            assert np.array_equal(np.sort(times), want), start


def pandas_timestamp(ns, zone):
    pandas = pytest.importorskip("pandas")
    return pandas.Timestamp(ns, tz="UTC").tz_convert(zone)


def test_a_naive_bound_in_the_repeated_hour_is_its_first_pass_unless_fold_says_the_second(archives):
    root, truth = archives["Europe/Berlin"]
    first = scanned(root, "Europe/Berlin", dt.datetime(2024, 10, 27, 2, 30), "2024-10-27 02:30:59")[0]
    second = scanned(root, "Europe/Berlin", dt.datetime(2024, 10, 27, 2, 30, fold=1),
                     dt.datetime(2024, 10, 27, 2, 30, 59, fold=1))[0]
    assert first.tolist() == [dt.datetime(2024, 10, 27, 0, 30, tzinfo=dt.timezone.utc).timestamp() * NS]
    assert second.tolist() == [dt.datetime(2024, 10, 27, 1, 30, tzinfo=dt.timezone.utc).timestamp() * NS]


def test_outputs_carry_the_zone(archives):
    pytest.importorskip("pandas")
    root, _ = archives["Europe/Berlin"]
    scan = zentrail.scan(root, "2024-10-27 01:59", "2024-10-27 03:00", [SIGNAL * 1024], tz="Europe/Berlin")
    frame = scan.to_pandas()
    assert str(frame["time"].dtype) == "datetime64[ns, Europe/Berlin]"
    assert frame["time"].is_monotonic_increasing and len(frame) == 122
    offsets = {str(t.utcoffset()) for t in frame["time"]}
    assert offsets == {"2:00:00", "1:00:00"}
    pyarrow = pytest.importorskip("pyarrow")
    assert str(pyarrow.table(scan).schema.field("time").type) == "timestamp[ns, tz=Europe/Berlin]"


def test_the_zone_file_in_the_root_is_the_default_and_false_reads_wall_times(archives, tmp_path):
    root, truth = archives["America/New_York"]
    (root / "zentrail-zone.txt").write_text("# the plant's clock\nAmerica/New_York\n")
    try:
        times, values = scanned(root, None, "2024-11-03", "2024-11-03")
        assert (times == truth[values]).all()
        walls = zentrail.scan(root, "2024-11-03", "2024-11-03", [SIGNAL * 1024], tz=False).to_numpy()["time"]
        assert not np.array_equal(walls.astype(np.int64), times)
    finally:
        (root / "zentrail-zone.txt").unlink()
    with pytest.raises(ValueError, match="Mars/Olympus"):
        zentrail.scan(root, "2024-11-03", "2024-11-03", tz="Mars/Olympus")


def reference_grid(truth_times, values, grid, how):
    """The value in force (step) or interpolated (linear) at each grid instant."""
    order = np.argsort(truth_times, kind="stable")
    t, v = truth_times[order], values[order].astype(float)
    out = []
    for g in grid:
        k = np.searchsorted(t, g, side="right") - 1
        if how == "step" or (k >= 0 and t[k] == g):
            out.append(v[k] if k >= 0 else np.nan)
        elif k < 0 or k + 1 >= len(t):
            out.append(np.nan)
        else:
            out.append(v[k] + (v[k + 1] - v[k]) * (g - t[k]) / (t[k + 1] - t[k]))
    return np.array(out)


@pytest.mark.parametrize("zone", ["Europe/Berlin", "America/New_York"])
@pytest.mark.parametrize("every, how", [("1h", "step"), ("7min", "linear"), ("1d", "step")])
def test_grids_step_in_elapsed_time_and_whole_days_by_the_local_calendar(archives, zone, every, how):
    root, truth = archives[zone]
    day = changes_of(zone, 2024)[1]  # the autumn change
    aligned = zentrail.scan(root, day - dt.timedelta(days=1), day + dt.timedelta(days=1), [SIGNAL * 1024],
                            tz=zone).align(every, how=how)
    frame = aligned.to_numpy()
    grid = frame["time"].astype(np.int64)
    info = zoneinfo.ZoneInfo(zone)
    midnight = int(dt.datetime.combine(day - dt.timedelta(days=1), dt.time(), info).timestamp()) * NS
    if every == "1d":
        want = [int(dt.datetime.combine(day + dt.timedelta(days=k), dt.time(), info).timestamp()) * NS
                for k in (-1, 0, 1)]
        assert grid.tolist() == want  # days of 24, 25 and 24 hours
    else:
        step = 3600 * NS if every == "1h" else 420 * NS
        assert (np.diff(grid) == step).all() and grid[0] == midnight
        assert len(grid) == (24 + 25 + 24) * 3600 * NS // step + (1 if (73 * 3600 * NS) % step else 0)
    values = np.arange(len(truth))
    assert np.allclose(frame[f"{SIGNAL}:0"], reference_grid(truth, values, grid, how), equal_nan=True)


def test_rows_whose_pass_cannot_be_proven_are_counted_in_one_warning(tmp_path):
    # The day's file starts inside the repeated hour's second pass.
    zone = "Europe/Berlin"
    second_pass = dt.datetime(2024, 10, 27, 1, 10, tzinfo=dt.timezone.utc).timestamp()
    instants = [int(second_pass + 60 * k) * NS for k in range(60)]
    write_local_archive(tmp_path, zone, instants)
    with pytest.warns(UserWarning, match=r"50 row\(s\) of an hour the clock repeated"):
        zentrail.scan(tmp_path, "2024-10-27", "2024-10-27", tz=zone).to_numpy()


TOKYO = "Asia/Tokyo"  # nine hours ahead: a wall day 2000-01-01 begins nine hours before the origin


@pytest.mark.parametrize("read", [
    lambda root: zentrail.scan(root, "2000-01-01", "2000-01-01", tz=TOKYO).to_numpy(),
    lambda root: zentrail.latest(root, tz=TOKYO).to_numpy(),
    lambda root: zentrail.at(root, ["2000-01-01 12:00"], [SIGNAL * 1024], tz=TOKYO).to_numpy(),
    lambda root: zentrail.scan(root, "2000-01-01", "2000-01-01", tz=TOKYO).align("1h").to_numpy(),
    lambda root: zentrail.scan(root, "2000-01-01", "2000-01-01", tz=TOKYO).overview(
        every="6h", time_weighted=True).to_numpy(),
], ids=["scan", "latest", "at", "align", "weighted"])
def test_rows_before_the_origin_are_told_once_however_many_passes_a_read_makes(tmp_path, read):
    first = int(dt.datetime(1999, 12, 31, 15, tzinfo=dt.timezone.utc).timestamp())
    write_local_archive(tmp_path, TOKYO, [(first + 3600 * k) * NS for k in range(24)])
    with pytest.warns(UserWarning, match=r"(?<![\d,])9 row\(s\) whose instant lies before 2000-01-01"):
        read(tmp_path)


@pytest.mark.parametrize("every, seconds", [("1h", [3600] * 73), ("1d", [86400, 90000, 86400])])
def test_time_weighted_buckets_are_elapsed_time_and_local_days(archives, every, seconds):
    root, truth = archives["Europe/Berlin"]
    overview = zentrail.scan(root, "2024-10-26", "2024-10-28", [SIGNAL * 1024], tz="Europe/Berlin").overview(
        every=every, time_weighted=True).to_numpy()
    assert overview["in_force"].tolist() == seconds
    # Each row counts once, in the bucket of its instant.
    starts = overview["bucket"].astype(np.int64)
    inside = truth[(truth >= starts[0])]
    counts = np.bincount(np.searchsorted(starts, inside, side="right") - 1, minlength=len(starts))
    assert overview["count"].tolist() == counts[:len(starts)].tolist()


def test_polars_and_duckdb_see_instants_and_filter_on_them(archives):
    pl = pytest.importorskip("polars")
    root, truth = archives["Europe/Berlin"]
    scan = zentrail.scan(root, "2024-10-27", "2024-10-27", [SIGNAL * 1024], tz="Europe/Berlin")
    second_pass = dt.datetime(2024, 10, 27, 2, 30, fold=1, tzinfo=zoneinfo.ZoneInfo("Europe/Berlin"))
    frame = scan.lazy().filter(pl.col("time") >= second_pass).collect()
    assert frame.schema["time"] == pl.Datetime("ns", "Europe/Berlin")
    values = frame["value"].cast(pl.Int64).to_numpy()
    assert (frame["time"].dt.epoch("ns").to_numpy() == truth[values]).all()
    assert truth[values[0]] == int(second_pass.timestamp()) * NS and len(values) == 21 * 60 + 30
    duckdb = pytest.importorskip("duckdb")
    [(first, count)] = duckdb.sql("select min(time), count(*) from scan").fetchall()
    assert first == dt.datetime(2024, 10, 26, 22, 0, tzinfo=dt.timezone.utc) and count == 25 * 60
