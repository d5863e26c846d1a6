"""The plant simulator of the examples: its catalog names every signal it
writes, so the pages' reads by name work on its archives; it writes a day at
a time, the bytes of the whole run cut at midnight, and a run stopped midway
leaves whole days and no part of one."""

import datetime as dt
import os
import pty
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import zentrail
from archive_format import END

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
    names = ["TI-10000", "LI-101*", "XS-10300", "TIC-100.SP", "TI-10000.ALM", "FIC-102.MSG"]
    rows = zentrail.scan(root, "2024-03-01", "2024-03-02", names).to_numpy()
    assert len(rows["time"]) > 0
    read = set(rows["signal_id"].astype(np.int64) * 1024 + rows["element"])
    assert {catalog.entry(code).name for code in read} == {"TI-10000", "XS-10300", "TIC-100.SP", "TI-10000.ALM",
                                                           "FIC-102.MSG"} | set(catalog.find("LI-101*"))


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


@pytest.mark.parametrize("start, days, period", [
    ("2024-03-01T05:00", 1.5, 300),
    ("2024-03-01", 2, 3600),
    ("2024-03-01T23:00", 1 / 24, 600),
    ("2024-03-01T23:59:59", 1 / 86400, 7),
    ("2024-03-01T12:00", 0.75, 86400),
    ("2024-03-01", 0, 10),
])
def test_the_days_the_progress_counts_are_the_days_written(start, days, period):
    plant = simulate_plant.Plant(1, period, seed=1)
    start = dt.datetime.fromisoformat(start)
    assert plant.days_touched(start, days) == len({day for _, day, _ in plant.run(start, days)})


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


@pytest.mark.parametrize("zone, start, hours", [("Europe/Berlin", "2024-10-26", (24, 25)),
                                                ("Europe/Berlin", "2024-03-30", (24, 23)),
                                                ("America/New_York", "2024-11-02", (24, 25))])
def test_a_plant_on_local_time_writes_each_days_wall_times_as_its_clock_shows_them(tmp_path, zone, start, hours):
    simulate_plant.main([str(tmp_path), "--tz", zone, "--start", start, "--days", "3", "--signals", "1",
                         "--period", "600"])
    assert (tmp_path / "zentrail-zone.txt").read_text() == zone + "\n"
    walls = zentrail.scan(tmp_path, start, "2100-01-01", ["TI-10000"], tz=False).to_numpy()["time"]
    days, counts = np.unique(walls.astype("datetime64[D]"), return_counts=True)
    assert (counts[:2] // 6).tolist() == list(hours)  # a sample every ten minutes, 72 hours in all
    assert counts.sum() == 72 * 6
    went_back = np.flatnonzero(np.diff(walls.astype(np.int64)) < 0)
    assert len(went_back) == (1 if 25 in hours else 0)
    instants = zentrail.scan(tmp_path, start, "2100-01-01", ["TI-10000"]).to_numpy()["time"]
    assert (np.diff(instants.astype(np.int64)) == 600 * 10**9).all()
