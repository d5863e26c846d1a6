"""zentrail.at, Scan.at and zentrail.latest against a reference made of the
rows of scans, and the commands zentrail at and zentrail latest."""

from __future__ import annotations

import pickle
import shutil
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import archive_builder as ab
import series_reference as ref
import zentrail
from conftest import NO_ROW
from test_property import written_tree
from test_series_damage import BAD
from test_index import answer, change, same, spoil
from test_time_series import CODES, DAY_NS, day_before_tree, ns, trees
from zentrail._base.time import duration_ns, instant_text
from zentrail._index import store
from zentrail._series.at import groups

NAT = np.iinfo(np.int64).min
# Instants around the trees' days (2024-02-29 to 2024-03-02), on their
# 15-minute lattice, off it, and days away.
INSTANTS = [ns(t) for t in ("2024-02-29T00:00", "2024-03-01T00:00", "2024-03-01T06:15", "2024-03-01T12:07:00.000000003",
                            "2024-03-02T23:59:59.999999999", "2024-03-20T00:00", "2024-02-10T00:00")]


def rows_within(root, first, last, codes):
    """The rows of a scan from `first` to `last` (ns), as the reference takes them."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", NO_ROW, UserWarning)
        return zentrail.scan(root, instant_text(max(first, ns("2000-01-01T00:00"))), instant_text(last),
                             codes).to_numpy()


def expected_at(root, instants, codes, how, lookback):
    """The reference's long table: each instant a grid of one instant over
    the rows within its look back (and ahead), of the files its run of
    instants reads (those whose look-back windows overlap: a file may hold
    rows of other days than its name's, seen when it is read)."""
    out = {name: [] for name in ("time", "signal_id", "element", "value", "row_time", "next_row_time")}
    asked = sorted(set(instants))
    reach = None if lookback is None else lookback * (1 if how == "step" else 2)
    run_of = {}
    for t in asked:
        run_of[t] = run_of[asked[asked.index(t) - 1]] if t != asked[0] and (
            reach is None or t - asked[asked.index(t) - 1] <= reach) else t
    for t in instants:
        run = [u for u in asked if run_of[u] == run_of[t]]
        first = ns("2000-01-01T00:00") if lookback is None else run[0] - lookback
        last = run[-1] if how == "step" else ns("2100-01-01T00:00") if lookback is None else run[-1] + lookback
        rows = rows_within(root, first, last, codes)
        if lookback is not None:
            keep = (rows["time"].astype(np.int64) >= t - lookback) & (
                rows["time"].astype(np.int64) <= (t if how == "step" else t + lookback))
            rows = {name: column[keep] for name, column in rows.items()}
        grid = ref.aligned(rows, codes, t, t, 1, how)
        held = ref.value_rows(rows)
        for code in sorted(codes):
            times = held.get(code, (np.zeros(0, np.int64), None))[0]
            value = grid[f"{code >> 10}:{code & 1023}"][0]
            row = nxt = NAT
            if not np.isnan(value):
                row = int(times[times <= t][-1])
                if how == "linear" and row != t:
                    nxt = int(times[times > t][0])
            for name, x in zip(out, (t, code >> 10, code & 1023, value, row, nxt)):
                out[name].append(x)
    kinds = {"time": "datetime64[ns]", "signal_id": np.uint16, "element": np.uint16, "value": np.float64,
             "row_time": "datetime64[ns]", "next_row_time": "datetime64[ns]"}
    return {name: np.array(values, dtype=np.int64 if "time" in name else None).astype(kinds[name])
            for name, values in out.items()}


def same_table(got, expected):
    assert list(got) == list(expected)
    for name in expected:
        np.testing.assert_array_equal(got[name], expected[name], err_msg=name)


@pytest.mark.slow
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.lists(st.sampled_from(INSTANTS), min_size=1, max_size=5), st.sampled_from(["step", "linear"]),
       st.sampled_from(["7d", "1h", None]), st.sampled_from([CODES, [7 * 1024 + 1, 5 * 1024]]))
def test_at_matches_the_reference(files, instants, how, lookback, codes):
    root = written_tree(files)
    try:
        back = None if lookback is None else duration_ns(lookback, "lookback")
        got = zentrail.at(root, np.array(instants, dtype="datetime64[ns]"), codes, how, lookback=lookback).to_numpy()
        same_table(got, expected_at(root, instants, codes, how, back))
    finally:
        shutil.rmtree(root)


@pytest.mark.slow
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from([CODES, None, [3 * 1024 + 1, 9 * 1024]]), st.sampled_from([False, None]))
def test_latest_matches_the_reference(files, codes, index):
    root = written_tree(files)
    try:
        held = ref.value_rows(rows_within(root, ns("2000-01-01T00:00"), ns("2100-01-01T00:00"), codes))
        chosen = sorted(held)
        expected = {"signal_id": np.array([c >> 10 for c in chosen], dtype=np.uint16),
                    "element": np.array([c & 1023 for c in chosen], dtype=np.uint16),
                    "time": np.array([held[c][0][-1] for c in chosen], dtype=np.int64).astype("datetime64[ns]"),
                    "value": np.array([held[c][1][-1] for c in chosen], dtype=np.float64)}
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "zentrail.latest: no value row", UserWarning)
            same_table(zentrail.latest(root, codes, index=index).to_numpy(), expected)
    finally:
        shutil.rmtree(root)


@pytest.mark.slow
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(trees(), st.sampled_from(["warm", "torn", "flipped", "appended", "rewritten", "renamed"]),
       st.sampled_from(["raise", "warn"]), st.sampled_from([None, "Europe/Berlin"]))
def test_latest_and_at_are_the_same_with_the_index_in_any_state(tmp_path_factory, monkeypatch, files, state, errors,
                                                                tz):
    monkeypatch.setattr(store, "SHARES", {name: 1e9 for name in store.SHARES})  # small trees: every entry kept
    root = written_tree(files)
    folder = str(tmp_path_factory.mktemp("index"))
    instants = np.array(INSTANTS[:5], dtype="datetime64[ns]")
    try:
        def ask(index):
            # latest makes the files' parts, which at then takes its values in force from
            return (answer(lambda: zentrail.latest(root, errors=errors, tz=tz, index=index)),
                    answer(lambda: zentrail.at(root, instants, CODES, errors=errors, tz=tz, index=index)))

        def same_both(a, b):
            same(a[0], b[0])
            same(a[1], b[1])
        same_both(ask(False), ask(folder))  # built
        if state in ("torn", "flipped"):
            spoil(folder, state)
        elif state != "warm":
            change(root, state)
        same_both(ask(False), ask(folder))
        same_both(ask(False), ask(folder))  # built again, or warm
    finally:
        shutil.rmtree(root)


@pytest.mark.parametrize("how, values, rows, nexts", [
    ("step", [1.0, 3.0, np.nan, 9.0], ["2024-02-29T22:00", "2024-03-01T06:00", "NaT", "2024-03-01T12:00"],
     ["NaT"] * 4),
    ("linear", [1.0 + 2.0 * 2 / 8, 3.0, np.nan, np.nan], ["2024-02-29T22:00", "2024-03-01T06:00", "NaT", "NaT"],
     ["2024-03-01T06:00", "NaT", "NaT", "NaT"]),
])
def test_values_in_force_before_any_row_and_as_asked(tmp_path, how, values, rows, nexts):
    """Instants out of order and repeated are answered as asked; before any
    row there is none."""
    scan = day_before_tree(tmp_path)
    asked = ["2024-03-01 00:00", "2024-03-01 06:00", "2024-02-29 21:00", "2024-03-01 13:00"]
    got = scan.at(asked + asked[:1], how=how).to_numpy()
    assert got["time"].tolist() == np.repeat(np.array(asked + asked[:1], dtype="datetime64[ns]"), 2).tolist()
    assert got["element"].tolist() == [0, 1] * 5
    np.testing.assert_array_equal(got["value"][0:8:2], values)
    np.testing.assert_array_equal(got["row_time"][0:8:2], np.array(rows, dtype="datetime64[ns]"))
    np.testing.assert_array_equal(got["next_row_time"][0:8:2], np.array(nexts, dtype="datetime64[ns]"))
    np.testing.assert_array_equal(got["value"][8:], got["value"][:2])


def test_instants_far_apart_are_read_apart(tmp_path, monkeypatch):
    """One instant a day with a look back of an hour: a read per instant,
    each of its own day's files, never of the days between."""
    for day in range(10):
        name = f"{np.datetime64('2024-03-01') + np.timedelta64(day, 'D')}_a.vlx"
        (tmp_path / name).write_bytes(ab.archive(ab.date_mark(8826 + day),
                                                 ab.group("GrDouble", ab.at("06:00:00"), 7, [float(day)]),
                                                 ab.group("GrDouble", ab.at("18:00:00"), 7, [-float(day)])))
    asked = np.datetime64("2024-03-01T12:00", "ns") + np.arange(0, 10, 3) * np.timedelta64(1, "D")
    assert groups(asked.astype(np.int64), duration_ns("1h", "lookback"), "step") == [(0, 0), (1, 1), (2, 2), (3, 3)]
    assert groups(asked.astype(np.int64), duration_ns("7d", "lookback"), "step") == [(0, 3)]
    assert groups(asked.astype(np.int64), duration_ns("2d", "lookback"), "linear") == [(0, 3)]  # 1.5d would not
    spans = []
    real = zentrail.ReadPlan.request

    def noted(plan, *args, **kwargs):
        spans.append(plan.last_ns - plan.first_ns)
        return real(plan, *args, **kwargs)

    monkeypatch.setattr(zentrail.ReadPlan, "request", noted)
    got = zentrail.at(tmp_path, asked, [7 * 1024], lookback="7h").to_numpy()
    assert max(spans) < DAY_NS and got["value"].tolist() == [0.0, 3.0, 6.0, 9.0]
    assert np.isnan(zentrail.at(tmp_path, asked, [7 * 1024], lookback="5h").to_numpy()["value"]).all()


def test_in_a_zone_times_are_wall_times_and_instants_come_out(tmp_path):
    pandas = pytest.importorskip("pandas")
    pyarrow = pytest.importorskip("pyarrow")
    day_before_tree(tmp_path)
    codes = [7 * 1024, 7 * 1024 + 1]
    naive = zentrail.at(tmp_path, ["2024-03-01 00:00"], codes, tz=False).to_numpy()
    zoned = zentrail.at(tmp_path, ["2024-03-01 00:00", "2024-02-29T23:00Z"], codes, tz="Europe/Berlin")
    got = zoned.to_numpy()
    hour = np.timedelta64(1, "h")
    np.testing.assert_array_equal(got["time"], np.tile(naive["time"] - hour, 2))
    np.testing.assert_array_equal(got["row_time"][:2], naive["row_time"] - hour)
    frame = zoned.to_pandas()
    assert str(frame["row_time"].dt.tz) == "Europe/Berlin" and frame["row_time"][0] == pandas.Timestamp(
        "2024-02-29 22:00", tz="Europe/Berlin")
    assert pyarrow.table(zoned).schema.field("next_row_time").type == pyarrow.timestamp("ns", tz="Europe/Berlin")
    latest = zentrail.latest(tmp_path, codes, tz="Europe/Berlin")
    np.testing.assert_array_equal(latest.to_numpy()["time"],
                                  zentrail.latest(tmp_path, codes, tz=False).to_numpy()["time"] - hour)


def test_results_pickle_name_and_stream(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    day_before_tree(tmp_path)
    (tmp_path / "zentrail-catalog.csv").write_text("signal_id,element,name,unit,interpolation\n"
                                                   "7,0,Furnace.T,degC,linear\n")
    values = zentrail.at(tmp_path, "2024-03-01 03:00", [7 * 1024, 7 * 1024 + 1])
    got = values.to_numpy()
    np.testing.assert_array_equal(got["value"], [1.0 + 2.0 * 5 / 8, 5.0])  # 7:0 interpolates, as its entry says
    same_table(pickle.loads(pickle.dumps(values)).to_numpy(), got)
    table = pyarrow.table(values)
    assert table.column("next_row_time").null_count == 1 and table.column("value").to_pylist() == got["value"].tolist()
    frame = values.to_pandas(names=True)
    assert list(frame.columns)[3:5] == ["name", "unit"] and frame["name"].tolist()[0] == "Furnace.T"
    assert frame["name"].isna().tolist() == [False, True]
    latest = zentrail.latest(tmp_path, ["Furnace.T"])
    assert latest.to_pandas(names=True)["unit"].tolist() == ["degC"]
    same_table(pickle.loads(pickle.dumps(latest)).to_numpy(), latest.to_numpy())


def test_nothing_found_says_so(tmp_path):
    with pytest.warns(UserWarning, match="no archive file"):
        assert len(zentrail.latest(tmp_path).to_numpy()["time"]) == 0
    day_before_tree(tmp_path)
    with pytest.warns(UserWarning, match="no value row of the 1024 codes"):
        assert len(zentrail.at(tmp_path, "2024-03-01", zentrail.parse_signals("5")).to_numpy()["time"]) == 0
    with pytest.raises(ValueError, match="no instant"):
        zentrail.at(tmp_path, [], [7 * 1024])
    with pytest.raises(ValueError, match="how must be"):
        zentrail.at(tmp_path, "2024-03-01", [7 * 1024], "nearest")


def test_a_damaged_file_is_passed_over_and_no_value_carried_across_it(tmp_path):
    day_before_tree(tmp_path)
    (tmp_path / "2024-03-02_a.vlx").write_bytes(ab.archive(ab.date_mark(8827), BAD))
    (tmp_path / "2024-03-03_a.vlx").write_bytes(ab.archive(ab.date_mark(8828),
                                                            ab.group("GrDouble", ab.at("06:00:00"), 7, [4.0, 4.0])))
    asked = ["2024-03-01 13:00", "2024-03-03 03:00", "2024-03-03 07:00"]
    with pytest.warns(UserWarning, match="2024-03-02_a.vlx"):
        values = zentrail.at(tmp_path, asked, [7 * 1024], errors="warn")
        got = values.to_numpy()
    np.testing.assert_array_equal(got["value"], [9.0, np.nan, 4.0])
    assert [s.path.endswith("2024-03-02_a.vlx") for s in values.skipped] == [True]
    latest = zentrail.latest(tmp_path, [7 * 1024], errors="skip")
    assert latest.to_numpy()["value"].tolist() == [4.0] and len(latest.skipped) == 1
    with pytest.raises(ValueError, match="2024-03-02_a.vlx"):
        zentrail.at(tmp_path, asked, [7 * 1024]).to_numpy()


@pytest.mark.parametrize("command, output", [
    (["at", "{root}", "2024-03-01 03:00", "2024-03-01T13:00", "--signals", "7", "--csv"],
     "time,signal_id,element,value,row_time,next_row_time\n"
     "2024-03-01 03:00:00,7,0,1,2024-02-29 22:00:00,\n2024-03-01 03:00:00,7,1,5,2024-02-29 22:00:00,\n"
     "2024-03-01 13:00:00,7,0,9,2024-03-01 12:00:00,\n2024-03-01 13:00:00,7,1,7,2024-03-01 06:00:00,\n"),
    (["at", "{root}", "2024-03-01 03:00", "--signals", "7:0", "--how", "linear", "--tz", "UTC", "--no-index",
      "--csv"],
     "time,signal_id,element,value,row_time,next_row_time\n"
     "2024-03-01T03:00:00+00:00,7,0,2.25,2024-02-29T22:00:00+00:00,2024-03-01T06:00:00+00:00\n"),
    (["latest", "{root}", "--csv"],
     "signal_id,element,time,value\n7,0,2024-03-01 12:00:00,9\n7,1,2024-03-01 06:00:00,7\n"),
])
def test_commands(tmp_path, capsys, command, output):
    from zentrail.cli import main

    day_before_tree(tmp_path)
    assert main([part.format(root=tmp_path) for part in command]) == 0
    assert capsys.readouterr().out == output


def test_commands_write_files_and_refuse_nothing(tmp_path, capsys):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet  # noqa: F401

    from zentrail.cli import main

    day_before_tree(tmp_path)
    out = tmp_path / "latest.parquet"
    assert main(["latest", str(tmp_path), "--signals", "7:1", "-o", str(out)]) == 0
    assert pyarrow.parquet.read_table(out).column("value").to_pylist() == [7.0]
    assert main(["at", str(tmp_path), "2024-02-29 12:00", "--signals", "7:0-1"]) == 1
    assert "no value in force" in capsys.readouterr().err
    assert main(["at", str(tmp_path), "2024-02-30", "--signals", "7"]) == 2
