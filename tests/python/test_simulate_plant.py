"""The plant simulator of the examples: its catalog names every signal it
writes, so the pages' reads by name work on its archives; it writes a day at
a time, the bytes of the whole run cut at midnight, and a run stopped midway
leaves whole days and no part of one."""

import datetime as dt
import os
import pty
import subprocess
import sys
import zoneinfo
from pathlib import Path

import numpy as np
import pytest
import zentrail
from archive_format import END
from zoned_archive import NS, write_zoned_archive

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import simulate_plant  # noqa: E402

SIMULATOR = EXAMPLES / "simulate_plant.py"
# A furnace, a tank, a line and a pump, sampled every five minutes over two days.
SIGNALS, PERIOD, LIMITS, START, DAYS = 49, 300, 0.3, "2024-03-01T05:00", 1.5
ARGUMENTS = ["--signals", str(SIGNALS), "--period", str(PERIOD), "--limits", str(LIMITS), "--start", START,
             "--days", str(DAYS)]


def simulate(root, **streams):
    return subprocess.run([sys.executable, str(SIMULATOR), str(root), *ARGUMENTS], check=True, **streams)


@pytest.fixture(scope="module")
def plant(tmp_path_factory):
    root = tmp_path_factory.mktemp("simulated") / "plant"
    printed = simulate(root, capture_output=True, text=True).stdout
    return root, printed


def test_every_signal_written_has_a_name_and_names_read_their_rows(plant):
    root, _ = plant
    catalog = zentrail.Catalog.load(root / "zentrail-catalog.csv")
    everything = zentrail.scan(root, "2024-03-01", "2024-03-02").to_numpy()
    written = {int(s) * 1024 + int(e) for s, e in zip(everything["signal_id"], everything["element"]) if s != 0}
    assert [code for code in sorted(written) if catalog.entry(code) is None] == []
    names = ["TI-10000", "LI-101*", "XS-10300", "TIC-100.SP", "TI-10000.ALM"]
    rows = zentrail.scan(root, "2024-03-01", "2024-03-02", names).to_numpy()
    assert len(rows["time"]) > 0
    read = set(rows["signal_id"].astype(np.int64) * 1024 + rows["element"])
    assert {catalog.entry(code).name for code in read} == {"TI-10000", "XS-10300", "TIC-100.SP", "TI-10000.ALM"} \
        | set(catalog.find("LI-101*"))


def test_a_live_run_writes_the_same_catalog(plant, tmp_path):
    subprocess.run([sys.executable, str(SIMULATOR), str(tmp_path), "--live", "--start", START, "--days", "0.001",
                    "--period", "1", "--speed", "1000", "--signals", str(SIGNALS)],
                   check=True, stderr=subprocess.DEVNULL)
    assert (tmp_path / "zentrail-catalog.csv").read_bytes() == (plant[0] / "zentrail-catalog.csv").read_bytes()


@pytest.mark.parametrize("name, unit, interpolation", [
    ("TI-10000", "degC", "linear"),
    ("FI-10200", "m3/h", "linear"),
    ("XS-10300", None, "step"),
    ("LIC-101.SP", "mm", "step"),
    ("LI-10100.ALM", "%", "step"),
])
def test_values_are_linear_and_states_setpoints_and_alarms_step(plant, name, unit, interpolation):
    entry = zentrail.Catalog.load(plant[0] / "zentrail-catalog.csv")[name]
    assert (entry.unit, entry.interpolation) == (unit, interpolation)


def test_the_day_files_hold_the_whole_run_cut_at_midnight(plant):
    root, printed = plant
    reference = simulate_plant.Plant(SIGNALS, PERIOD, seed=1, limits=LIMITS)
    days = {}
    for _, day, records in reference.run(dt.datetime.fromisoformat(START), DAYS):
        days.setdefault(day, bytearray()).extend(b"".join(records))
    paths = [simulate_plant.day_path(root, day) for day in sorted(days)]
    assert printed.split() == [str(path) for path in paths]
    for n, (path, data) in enumerate(zip(paths, (days[day] for day in sorted(days)))):
        assert path.read_bytes() == bytes(data) + (END if n < len(paths) - 1 else b""), path
    assert sorted(p for p in root.rglob("*") if p.is_file()) == sorted(paths + [root / "zentrail-catalog.csv"])


def test_a_run_stopped_midday_leaves_the_days_before_and_no_part(tmp_path):
    class StopAtNoonOfTheSecondDay:
        def reached(self, moment):
            if moment >= dt.datetime(2024, 3, 2, 12):
                raise KeyboardInterrupt

    written = []
    with pytest.raises(KeyboardInterrupt):
        for path in simulate_plant.write_at_once(tmp_path, simulate_plant.Plant(4, 600, seed=1),
                                                 dt.datetime(2024, 3, 1), 3, StopAtNoonOfTheSecondDay()):
            written.append(path)
    first_day = simulate_plant.day_path(tmp_path, dt.date(2024, 3, 1))
    assert [p for p in tmp_path.rglob("*") if p.is_file()] == written == [first_day]


@pytest.mark.parametrize("start, days, period, zone", [
    ("2024-03-01T05:00", 1.5, 300, None),
    ("2024-03-01", 2, 3600, None),
    ("2024-03-01T23:00", 1 / 24, 600, None),
    ("2024-03-01T23:59:59", 1 / 86400, 7, None),
    ("2024-03-01T12:00", 0.75, 86400, None),
    ("2024-03-01", 0, 10, None),
    ("2024-03-30", 3, 3600, "Europe/Berlin"),
    ("2024-03-31T00:30", 1, 5400, "Europe/Berlin"),
    ("2024-11-02T23:30", 1 / 24, 600, "America/New_York"),
])
def test_the_days_the_progress_counts_are_the_days_written(start, days, period, zone):
    plant = simulate_plant.Plant(1, period, seed=1)
    start, zone = dt.datetime.fromisoformat(start), zone and zoneinfo.ZoneInfo(zone)
    assert plant.days_touched(start, days, zone) == len({day for _, day, _ in plant.run(start, days, zone)})


def test_a_terminal_is_told_the_days_written(tmp_path):
    controller, terminal = pty.openpty()
    try:
        simulate(tmp_path / "plant", stdout=subprocess.DEVNULL, stderr=terminal)
    finally:
        os.close(terminal)
    shown = bytearray()
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # the terminal's last holder closed it
            break
        if not chunk:
            break
        shown.extend(chunk)
    os.close(controller)
    assert "2/2 days written in" in shown.decode()


def simulate_in(root, zone, start, days, *more):
    simulate_plant.main([str(root), *(["--tz", zone] if zone else []), "--start", start, "--days", str(days),
                         "--signals", "1", "--period", "60", *more])
    return {p.relative_to(root): p.read_bytes() for p in root.rglob("*") if p.is_file()}


@pytest.mark.parametrize("zone, first_day, hours, clock_leaves, clock_shows", [
    ("Europe/Berlin", "2024-10-26", [24, 25, 24], "02:59", "02:00"),
    ("Europe/Berlin", "2024-03-30", [24, 23, 24], "01:59", "03:00"),
    ("America/New_York", "2024-11-02", [24, 25, 24], "01:59", "01:00"),
    ("America/New_York", "2024-03-09", [24, 23, 24], "01:59", "03:00"),
])
def test_a_plant_on_local_time_writes_each_days_wall_times_as_its_clock_shows_them(
        tmp_path, zone, first_day, hours, clock_leaves, clock_shows):
    simulate_in(tmp_path, zone, first_day, 3)
    assert (tmp_path / "zentrail-zone.txt").read_text() == zone + "\n"
    days = [dt.date.fromisoformat(first_day) + dt.timedelta(days=n) for n in range(3)]
    assert sorted(tmp_path.rglob("*.vlx")) == [simulate_plant.day_path(tmp_path, day) for day in days]
    walls = zentrail.scan(tmp_path, days[0], days[-1], ["TI-10000"], tz=False).to_numpy()["time"]
    per_day = np.unique(walls.astype("datetime64[D]"), return_counts=True)
    assert (per_day[0].tolist(), per_day[1].tolist()) == (days, [60 * h for h in hours])
    steps = np.diff(walls)
    changed = np.flatnonzero(steps != np.timedelta64(60, "s"))
    assert len(changed) == 1  # the one change of the clock, the rest a minute at a time
    assert [str(walls[k + n])[11:16] for k in changed for n in (0, 1)] == [clock_leaves, clock_shows]
    instants = zentrail.scan(tmp_path, days[0], days[-1], ["TI-10000"]).to_numpy()["time"]
    assert len(instants) == len(walls) and (np.diff(instants) == np.timedelta64(60, "s")).all()
    # The tests' own archives on a local clock stamp the same wall times, and know each row's instant.
    rows = write_zoned_archive(tmp_path / "tests", zone, days[0], 3, 60 * NS)
    helper_walls = zentrail.scan(tmp_path / "tests", days[0], days[-1], tz=False).to_numpy()["time"]
    assert np.array_equal(helper_walls, walls.astype("datetime64[s]"))
    read = zentrail.scan(tmp_path / "tests", days[0], days[-1], tz=zone).to_numpy()
    assert read["time"].astype(np.int64).tolist() == rows.instants and read["value"].tolist() == rows.values


def test_a_plant_on_utc_writes_the_bytes_of_a_naive_clock(tmp_path):
    naive = simulate_in(tmp_path / "naive", None, "2024-03-30T20:00", 1.5, "--signals", "40", "--seed", "5")
    utc = simulate_in(tmp_path / "utc", "UTC", "2024-03-30T20:00", 1.5, "--signals", "40", "--seed", "5")
    assert utc.pop(Path("zentrail-zone.txt")) == b"UTC\n"
    assert utc == naive


def test_a_live_plant_on_local_time_writes_the_bytes_written_at_once(tmp_path):
    night = ("Europe/Berlin", "2024-10-26T23:00", 5 / 24, "--signals", "40", "--limits", "0.2")
    at_once = simulate_in(tmp_path / "at-once", *night)
    live = simulate_in(tmp_path / "live", *night, "--live", "--speed", "1e9", "--chunk-bytes", "100")
    assert live == at_once and len(at_once) == 4  # two day files, the catalog, the zone
