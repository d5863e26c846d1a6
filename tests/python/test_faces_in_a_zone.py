"""The zentrail command, plots and the viewer in an archive's zone (--tz, or
the zone file in its root): times written with their offsets, the repeated
autumn hour told apart, and every output as before without a zone."""

from __future__ import annotations

import csv
import datetime as dt
import io
import shutil
import zoneinfo
from pathlib import Path

import numpy as np
import pytest

import archive_format as af
import zentrail
from zentrail import cli
from zentrail._base import time as _time
from zentrail.cli import parser as _parser

ZONE = "Europe/Berlin"
# Every 10 minutes from 23:00 (+02:00) on the eve of the autumn change to
# 03:50 (+01:00): the hour from 02:00 is written twice.
FIRST = dt.datetime(2024, 10, 26, 21, 0, tzinfo=dt.timezone.utc)
STEP = dt.timedelta(minutes=10)
COUNT = 36
INSTANTS = [FIRST + k * STEP for k in range(COUNT)]
WINDOW = ["--from", "2024-10-26", "--to", "2024-10-27"]


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """The archive a runtime on Berlin's clock writes through the autumn
    change: a value every 10 minutes and an alarm at 02:30:00.25 (twice),
    each record in the file of its wall day, in the order written."""
    root = tmp_path_factory.mktemp("berlin")
    zone = zoneinfo.ZoneInfo(ZONE)
    files = {}
    for k, instant in enumerate(INSTANTS):
        wall = instant.astimezone(zone).replace(tzinfo=None)
        records = files.setdefault(wall.date(), [af.date_mark(wall.date())])
        ns = (wall - dt.datetime.combine(wall.date(), dt.time())) // dt.timedelta(microseconds=1) * 1000
        records.append(af.group("GrDouble", ns, 7, [float(k)]))
        if (wall.hour, wall.minute) == (2, 30):
            records.append(af.alarm("AlByte", ns + 250_000_000, 12, value=k))
    for day, records in files.items():
        af.write_archive(root / f"{day:%Y}" / f"{day:%Y-%m-%d}_t.vlx", records + [af.END])
    return root


@pytest.fixture
def zoned_archive(archive, tmp_path):
    """The same archive, its zone named by the zone file in its root."""
    root = tmp_path / "zoned"
    shutil.copytree(archive, root)
    (root / _time.ZONE_FILE).write_text(f"# the plant's clock\n{ZONE}\n")
    return root


def zentrail_says(capsys, *args):
    status = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert status == 0, err
    return out


def rows_of(text):
    return list(csv.DictReader(io.StringIO(text)))


def zoned_texts(instants):
    return [t.astimezone(zoneinfo.ZoneInfo(ZONE)).isoformat() for t in instants]


def naive_texts(instants):
    return [str(t.astimezone(zoneinfo.ZoneInfo(ZONE)).replace(tzinfo=None)) for t in instants]


@pytest.mark.parametrize(("where", "options", "zoned"), [
    ("archive", [], False),
    ("archive", ["--tz", ZONE], True),
    ("zoned_archive", [], True),
    ("zoned_archive", ["--tz", "none"], False),
    ("zoned_archive", ["--tz", "UTC"], "UTC"),
])
def test_export_writes_each_rows_instant_in_the_zone_or_as_before(request, capsys, tmp_path, where, options, zoned):
    root = request.getfixturevalue(where)
    out = tmp_path / "values.csv"
    zentrail_says(capsys, "export", root, *WINDOW, "--signals", "7", "-o", out, *options)
    times = [row["time"] for row in rows_of(out.read_text())]
    if zoned == "UTC":
        # A zone other than the archive's: its wall times read in UTC.
        assert times[0] == "2024-10-26T23:00:00+00:00"
        return
    assert times == (zoned_texts(INSTANTS) if zoned else naive_texts(INSTANTS))


def test_the_repeated_hour_prints_its_first_pass_then_its_second(archive, capsys):
    printed = zentrail_says(capsys, "export", archive, *WINDOW, "--signals", "7", "-o", "-", "--tz", ZONE)
    repeated = [row["time"] for row in rows_of(printed) if row["time"].startswith("2024-10-27T02:")]
    assert repeated == [f"2024-10-27T02:{m}0:00+02:00" for m in range(6)] + \
        [f"2024-10-27T02:{m}0:00+01:00" for m in range(6)]


@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
def test_arrow_outputs_carry_the_zone(archive, capsys, tmp_path, suffix):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.ipc
    import pyarrow.parquet

    out = tmp_path / f"values{suffix}"
    zentrail_says(capsys, "export", archive, *WINDOW, "--signals", "7", "-o", out, "--tz", ZONE)
    table = pyarrow.parquet.read_table(out) if suffix == ".parquet" else pyarrow.ipc.open_file(out).read_all()
    assert table.schema.field("time").type == pyarrow.timestamp("ns", tz=ZONE)
    assert table.column("time").to_pylist() == [t.astimezone(zoneinfo.ZoneInfo(ZONE)) for t in INSTANTS]


@pytest.mark.parametrize(("options", "first", "last"), [
    (["--tz", ZONE], "2024-10-26T23:00:00+02:00", "2024-10-27T03:50:00+01:00"),
    ([], "2024-10-26 23:00:00", "2024-10-27 03:50:00"),
])
def test_ls_prints_first_and_last_with_their_offsets(archive, capsys, options, first, last):
    (row,) = [r for r in rows_of(zentrail_says(capsys, "ls", archive, "--csv", *options)) if r["signal_id"] == "7"]
    assert (row["first"], row["last"]) == (first, last)


@pytest.mark.parametrize(("options", "times"), [
    (["--tz", ZONE], ["2024-10-27T02:30:00.25+02:00", "2024-10-27T02:30:00.25+01:00"]),
    ([], ["2024-10-27 02:30:00.25", "2024-10-27 02:30:00.25"]),
])
def test_events_print_the_repeated_hours_alarms_apart(archive, capsys, options, times):
    printed = zentrail_says(capsys, "events", archive, *WINDOW, "--csv", *options)
    assert [row["time"] for row in rows_of(printed)] == times


def test_every_command_takes_tz_and_refuses_an_unknown_zone(archive, capsys):
    top = _parser.parser()
    listed = top.format_help().split("  COMMAND\n", 1)[1].split("\n\n")[0]
    commands = [line.split()[0] for line in listed.splitlines()]
    assert len(commands) >= 6
    for command in commands:
        with pytest.raises(SystemExit):
            top.parse_args([command, "--help"])
        assert "--tz ZONE" in capsys.readouterr().out, command
    assert cli.main(["ls", str(archive), "--tz", "Mars/Olympus"]) == 2
    assert "--tz: 'Mars/Olympus' is no time zone" in capsys.readouterr().err


@pytest.mark.parametrize("suffix", [".png", ".html"])
def test_plots_draw_the_zones_wall_clock(archive, capsys, tmp_path, suffix):
    pytest.importorskip("bokeh" if suffix == ".html" else "matplotlib")
    out = tmp_path / f"trend{suffix}"
    assert cli.main(["plot", str(archive), *WINDOW, "--signals", "7,12", "-o", str(out), "--tz", ZONE]) == 0
    assert "2 trends and 2 events drawn" in capsys.readouterr().err
    if suffix == ".html":
        assert f"local time ({ZONE})" in out.read_text(encoding="utf-8")


def test_a_line_on_the_wall_clock_breaks_where_the_clock_goes_back():
    from zentrail.plot import on_wall_clock

    instants = np.array([t.replace(tzinfo=None) for t in INSTANTS], dtype="datetime64[ns]")
    wall, values = on_wall_clock(instants, np.arange(COUNT, dtype=float), _time.Zone(ZONE))
    # The first pass runs on to 03:00 (+02:00), the second starts at 02:00 (+01:00); the line never runs back.
    assert np.flatnonzero(np.isnan(values)).tolist() == [25]
    assert (wall[24:27] == np.array(["2024-10-27T03:00", "2024-10-27T03:00", "2024-10-27T02:00"],
                                    dtype="datetime64[ns]")).all()
    assert np.diff(wall[:25]).min() > np.timedelta64(0, "ns") and np.diff(wall[26:]).min() >= np.timedelta64(0, "ns")
    walls = np.array([t.astimezone(zoneinfo.ZoneInfo(ZONE)).replace(tzinfo=None) for t in INSTANTS],
                     dtype="datetime64[ns]")
    assert (np.delete(wall, [24, 25, 26]) == walls).all()
    assert values[24] == values[26] == 24.0


@pytest.mark.parametrize(("first", "last", "bounds"), [
    # The repeated hour on the axis: its first pass to its second.
    ("2024-10-27T02:00", "2024-10-27T02:59", ("2024-10-27 00:00:00.000000000Z", "2024-10-27 01:59:00.000000000Z")),
    ("2024-10-27T04:00", "2024-10-27T05:00", ("2024-10-27 03:00:00.000000000Z", "2024-10-27 04:00:00.000000000Z")),
])
def test_a_view_reads_every_instant_its_wall_times_cover(first, last, bounds):
    from zentrail.viewer import _page

    ns = [int(np.datetime64(t, "ns").astype(np.int64)) for t in (first, last)]
    assert _page.read_window(_time.Zone(ZONE), *ns) == bounds
    assert _page.read_window(None, *ns) == tuple(_time.instant_text(n) for n in ns)


@pytest.mark.parametrize(("times", "texts"), [
    (["2024-10-27T00:30:00.250", "2024-10-27T01:30:00", "NaT"],
     ["2024-10-27T02:30:00.25+02:00", "2024-10-27T02:30:00+01:00", "NaT"]),
    (["2024-03-31T00:59:59.999999999", "2024-03-31T01:00:00"],
     ["2024-03-31T01:59:59.999999999+01:00", "2024-03-31T03:00:00+02:00"]),
    ([], []),
])
def test_zoned_texts_of_instants(times, texts):
    instants = np.array(times, dtype="datetime64[ns]")
    assert _time.texts(instants, _time.Zone(ZONE)).tolist() == texts
