"""zentrail.alarms and Alarms.report against a small reference: a loop over
the records (as zentrail.events gives them) applying the four rules one
record at a time, and each figure of the report counted naively."""

from __future__ import annotations

import math
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import archive_builder as ab
import zentrail
from test_property import written_tree
from test_viewer import browser  # noqa: F401 (a fixture: headless Chromium)

S = 10**9
MIN, HOUR, DAY = 60 * S, 3600 * S, 86_400 * S
DAYS = (8826, 8827, 8828)  # 2024-03-01 to 2024-03-03
NAT = np.iinfo(np.int64).min
RAISING = {"L->H": (1,), "H->L": (0,), "both": (0, 1)}


# -- the reference ----------------------------------------------------------

def reference(rows, first, last, boolean_raises):
    """The episodes (dicts, in raise order) and the counts of unmatched
    acknowledgements and of records raising nothing, record by record."""
    t = rows["time"].view(np.int64)
    order = sorted(range(len(t)), key=lambda k: (t[k], k))
    episodes, unacked, uncleared = [], {}, {}
    unmatched = nothing = 0
    for k in order:
        time, ident, cls, sub = int(t[k]), int(rows["signal_id"][k]), int(rows["item_class"][k]), \
            int(rows["subtype"][k])
        inside = first <= time <= last
        raises = (2 <= cls <= 11 and sub <= 3) or cls == 12 or (cls == 1 and sub in RAISING[boolean_raises])
        returns = cls == 1 and sub <= 1 and not raises and boolean_raises != "both"
        if raises and inside:
            known = cls == 1 and boolean_raises != "both"
            episode = {"raised": time, "signal_id": ident, "item_class": cls, "subtype": sub,
                       "value": float(rows["value"][k]), "text": rows["text"][k], "acknowledged": NAT,
                       "ack_value": math.nan, "cleared": NAT, "return_known": known}
            episodes.append(episode)
            unacked.setdefault((ident, sub), []).append(episode)
            if known:
                uncleared.setdefault(ident, []).append(episode)
        elif cls == 31:
            acknowledged = unacked.pop((ident, sub), [])
            for episode in acknowledged:
                episode["acknowledged"], episode["ack_value"] = time, float(rows["value"][k])
            unmatched += inside and not acknowledged
        elif returns:
            for episode in uncleared.pop(ident, []):
                episode["cleared"] = time
        elif 1 <= cls <= 12 and inside:
            nothing += 1
    return episodes, unmatched, nothing


# -- random alarm streams ---------------------------------------------------

@st.composite
def streams(draw):
    """Day files (one or two a day) of alarm records of ids 3, 4 and 5 at
    times on a coarse grid (so that equal times occur, across files too),
    each file's records in no particular time order."""
    files = {}
    for day in draw(st.lists(st.sampled_from(DAYS), min_size=1, max_size=3, unique=True)):
        for name in draw(st.sampled_from([("a",), ("a", "b")])):
            out = [ab.date_mark(day)]
            for _ in range(draw(st.integers(0, 25))):
                t = draw(st.integers(0, 47)) * 30 * MIN
                ident = draw(st.sampled_from([3, 4, 5]))
                kind = draw(st.sampled_from(["AlByte", "AlFloat", "AlBool", "AlString", "AlAckn", "AlAckn"]))
                if kind == "AlString":
                    out.append(ab.string_alarm(t, ident, draw(st.sampled_from(["door", "fire"])),
                                               draw(st.integers(0, 3))))
                elif kind == "AlBool":
                    out.append(ab.alarm(kind, t, ident, subtype=draw(st.sampled_from([0, 1, 0, 1, 2]))))
                else:
                    top = 3 if kind == "AlAckn" else 5
                    out.append(ab.alarm(kind, t, ident, value=draw(st.integers(0, 9)),
                                        subtype=draw(st.integers(0, top))))
            when = np.datetime64("2000-01-01") + np.timedelta64(day, "D")
            files[f"{when}_{name}.vlx"] = ab.archive(*out, ab.END)
    first = draw(st.integers(0, 47)) * 30 * MIN
    last = first + draw(st.integers(0, 96)) * 30 * MIN
    start, end = (str(np.datetime64("2024-03-01", "ns") + np.timedelta64(t, "ns"))[:19] for t in (first, last))
    return files, start, end, draw(st.sampled_from(["0", "1h", "1d"])), draw(st.sampled_from(list(RAISING)))


def quiet_alarms(*args, **kwargs):
    """zentrail.alarms of a random stream, which may hold no alarm record."""
    import warnings

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "zentrail.alarms: no alarm record", UserWarning)
        return zentrail.alarms(*args, **kwargs)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams())
def test_episodes_match_the_reference(stream):
    files, start, end, follow, boolean_raises = stream
    root = written_tree(files)
    got = quiet_alarms(root, start, end, follow=follow, boolean_raises=boolean_raises)
    first = int(np.datetime64(start.replace(" ", "T"), "ns").astype(np.int64))
    last = int(np.datetime64(end.replace(" ", "T"), "ns").astype(np.int64)) + S - 1
    assert got.window == (np.datetime64(first, "ns"), np.datetime64(last, "ns"))
    reach = {"0": 0, "1h": HOUR, "1d": DAY}[follow]
    rows = zentrail.events(root, start, np.datetime64(last + reach, "ns"), system=False).to_numpy()
    want, unmatched, nothing = reference(rows, first, last, boolean_raises)
    columns = got.to_numpy()
    assert (got.unmatched_acks, got.raising_nothing) == (unmatched, nothing)
    for name in ("raised", "acknowledged", "cleared"):
        assert columns[name].view(np.int64).tolist() == [e[name] for e in want], name
    for name in ("signal_id", "item_class", "subtype", "return_known", "text"):
        assert columns[name].tolist() == [e[name] for e in want], name
    for name in ("value", "ack_value"):
        np.testing.assert_array_equal(columns[name], [e[name] for e in want])
    assert columns["level"].tolist() == [zentrail.subtype_name(e["item_class"], e["subtype"]) for e in want]
    np.testing.assert_array_equal(columns["to_acknowledge"], columns["acknowledged"] - columns["raised"])
    np.testing.assert_array_equal(columns["active"], columns["cleared"] - columns["raised"])


# -- the report -------------------------------------------------------------

def ns(text):
    return int(np.datetime64(text.replace(" ", "T"), "ns").astype(np.int64))


def percentile(values, q):
    ordered = sorted(values)
    at = q * (len(ordered) - 1)
    low = int(at)
    return ordered[low] + (at - low) * (ordered[min(low + 1, len(ordered) - 1)] - ordered[low])


def naive_report(episodes, first, last, follow, width, flood, chatter, chatter_window, standing, top):
    """The figures of the report, counted one episode at a time."""
    span, n = last - first + 1, len(episodes)
    times = [e["raised"] for e in episodes]
    out = {"count": n, "rate": {}}
    for name, length in (("window", width), ("hour", HOUR), ("day", DAY)):
        bins = [0] * -(-span // length)
        for t in times:
            bins[(t - first) // length] += 1
        out["rate"][name] = {"average": n * length / span, "peak": max(bins)}
        if name == "window":
            per_window = bins
    floods, run = [], None
    for k, c in enumerate(per_window + [0]):
        if c > flood:
            run = [k, k + 1, c] if run is None else [run[0], k + 1, run[2] + c]
        elif run is not None:
            floods.append((first + run[0] * width, min(first + run[1] * width, last + 1), run[2]))
            run = None
    out["floods"] = floods
    out["flood_share"] = sum(c > flood for c in per_window) / len(per_window)
    by_alarm = {}
    for e in episodes:
        by_alarm.setdefault((e["signal_id"], e["item_class"], e["subtype"]), []).append(e["raised"])
    ranked = sorted(by_alarm, key=lambda k: (-len(by_alarm[k]), k))[:top]
    out["top"] = [(k[0], len(by_alarm[k])) for k in ranked]
    most = {k: max(sum(t <= u < t + chatter_window for u in ts) for t in ts) for k, ts in by_alarm.items()}
    out["chattering"] = sorted(((k[0], len(by_alarm[k]), m) for k, m in most.items() if m >= chatter),
                               key=lambda row: -row[2])
    end_of_read = last + follow
    stale = [(e["raised"], e["cleared"]) for e in episodes if e["return_known"] and e["cleared"] != NAT
             and e["cleared"] - e["raised"] > standing]
    still = [(e["raised"], end_of_read) for e in episodes if e["return_known"] and e["cleared"] == NAT
             and end_of_read - e["raised"] > standing]
    out["standing"] = (len(stale), len(still))
    days = range(first, first + -(-span // DAY) * DAY, DAY)
    out["most_on_a_day"] = max(sum(r + standing < d + DAY and until > d for r, until in stale + still) for d in days)
    acknowledge = {}  # levels in the order of their first class and subtype
    for e in sorted(episodes, key=lambda e: e["item_class"] * 8 + e["subtype"]):
        level = acknowledge.setdefault(zentrail.subtype_name(e["item_class"], e["subtype"]), [0, []])
        level[0] += 1
        if e["acknowledged"] != NAT:
            level[1].append((e["acknowledged"] - e["raised"]) / S)
    out["acknowledge"] = {level: (count, len(d), percentile(d, 0.5) if d else None, percentile(d, 0.9) if d else None)
                          for level, (count, d) in acknowledge.items()}
    return out


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams(), st.sampled_from([("10min", 10 * MIN), ("30min", 30 * MIN), ("1h", HOUR)]), st.integers(0, 2),
       st.integers(1, 3), st.sampled_from([("1min", MIN), ("1h", HOUR)]), st.sampled_from([("1h", HOUR), ("1d", DAY)]),
       st.sampled_from([1, 3, 10]))
def test_report_matches_the_naive_figures(stream, window, flood, chatter, chatter_window, standing, top):
    files, start, end, follow, boolean_raises = stream
    root = written_tree(files)
    got = quiet_alarms(root, start, end, follow=follow, boolean_raises=boolean_raises)
    first, last = (int(t.astype(np.int64)) for t in got.window)
    columns = got.to_numpy()
    plain = {name: (column.view(np.int64) if column.dtype.kind in "Mm" else column).tolist()
             for name, column in columns.items()}
    episodes = [{name: column[k] for name, column in plain.items()} for k in range(len(got))]
    report = got.report(window[0], flood=flood, chatter=chatter, chatter_window=chatter_window[0],
                        standing=standing[0], top=top).to_dict()
    want = naive_report(episodes, first, last, {"0": 0, "1h": HOUR, "1d": DAY}[follow], window[1], flood, chatter,
                        chatter_window[1], standing[1], top)
    assert report["count"] == want["count"]
    for name in ("window", "hour", "day"):
        assert report["rate"][name]["peak"] == want["rate"][name]["peak"]
        assert report["rate"][name]["average"] == pytest.approx(want["rate"][name]["average"])
    assert [(ns(f["start"]), ns(f["end"]), f["count"]) for f in report["floods"]] == want["floods"]
    assert report["flood_share"] == pytest.approx(want["flood_share"])
    assert [(a["signal_id"], a["count"]) for a in report["top"]["alarms"]] == want["top"]
    assert sorted((a["signal_id"], a["count"], a["most"]) for a in report["chattering"]) == sorted(want["chattering"])
    standing_found = report["standing"]
    assert (len(standing_found["cleared"]), len(standing_found["still_active"])) == want["standing"]
    assert standing_found["most_on_a_day"] == want["most_on_a_day"]
    assert list(report["acknowledge"]) == list(want["acknowledge"])
    for level, a in report["acknowledge"].items():
        assert [a["count"], a["acknowledged"], a["median_s"], a["p90_s"]] == pytest.approx(want["acknowledge"][level])
    assert (report["unmatched_acks"], report["raising_nothing"]) == (got.unmatched_acks, got.raising_nothing)


# -- a small shift, read every way ------------------------------------------

CATALOG = "signal_id,element,name,unit,alarm_of\n21,,Tank1.LevelHigh,cm,Tank1.Level\n22,,Pump1.Trip,,\n"


@pytest.fixture
def shift(tmp_path):
    """Alarms across two days: a boolean raised before midnight returning
    after it, acknowledged on the next day's file; a level alarm, and an
    acknowledgement of one raised before the window."""
    ab.write_archive(tmp_path / "2024-03-01_a.vlx", [
        ab.date_mark(8826), ab.alarm("AlAckn", "21:00:00", 21, 1, "Hi/H"),
        ab.alarm("AlFloat", "22:00:00", 21, 7, "Hi"), ab.alarm("AlBool", "23:00:00", 22, subtype="L->H"), ab.END])
    ab.write_archive(tmp_path / "2024-03-02_a.vlx", [
        ab.date_mark(8827), ab.alarm("AlAckn", "00:30:00", 22, 4, "Hi/H"), ab.alarm("AlBool", "01:00:00", 22),
        ab.alarm("AlFloat", "02:00:00", 21, 9, "data"), ab.END])
    (tmp_path / "zentrail-catalog.csv").write_text(CATALOG)
    return tmp_path


@pytest.mark.parametrize("tz, offset_h", [(False, 0), ("UTC", 0), ("America/New_York", -5), ("Asia/Kolkata", 5.5)])
def test_instants_in_a_zone_and_every_consumer(shift, tz, offset_h):
    pyarrow = pytest.importorskip("pyarrow")
    got = zentrail.alarms(shift, "2024-03-01 21:30", "2024-03-01 23:59", tz=tz)
    hours = np.timedelta64(int(offset_h * 3600), "s")
    columns = got.to_numpy()
    assert columns["raised"].tolist() == (np.array(["2024-03-01T22:00", "2024-03-01T23:00"], "datetime64[ns]")
                                          - hours).tolist()
    assert columns["cleared"][1] == np.datetime64("2024-03-02T01:00", "ns") - hours
    assert columns["acknowledged"][1] == np.datetime64("2024-03-02T00:30", "ns") - hours
    assert columns["watches"].tolist() == ["Tank1.Level", None]
    assert (got.unmatched_acks, got.raising_nothing) == (0, 0)  # the 21:00 ack and 02:00 data lie outside
    table = pyarrow.table(got)
    assert table.column("watches").to_pylist() == ["Tank1.Level", None]
    assert table.column("return_known").to_pylist() == [False, True]
    assert table.column("active").null_count == 1
    assert str(table.schema.field("raised").type) == ("timestamp[ns]" if tz is False else f"timestamp[ns, tz={tz}]")
    again = pickle.loads(pickle.dumps(got))
    assert again.report().to_dict() == got.report().to_dict()
    report = pickle.loads(pickle.dumps(got.report()))
    assert report.to_dict()["window"]["zone"] == (None if tz is False else tz)


@pytest.mark.parametrize("call, message", [
    (lambda root: zentrail.alarms(root, "2024-03-01", "2024-03-02", boolean_raises="up"), "boolean_raises"),
    (lambda root: zentrail.alarms(root, "2024-03-01", "2024-03-02", follow="soon"), "follow"),
    (lambda root: zentrail.alarms(root, "2024-03-01", "2024-03-02").report("0"), "window"),
    (lambda root: zentrail.alarms(root, "2024-03-01", "2024-03-02").report(flood=-1), "flood"),
    (lambda root: zentrail.alarms(root, "2024-03-01", "2024-03-02", ["Nope*"]), "Nope"),
])
def test_mistakes_say_what(shift, call, message):
    with pytest.raises(ValueError, match=message):
        call(shift)


def test_a_read_of_no_alarm_says_so(shift):
    with pytest.warns(UserWarning, match="no alarm record"):
        found = zentrail.alarms(shift, "2024-03-05", "2024-03-05")
    assert len(found) == 0 and found.report().to_dict()["count"] == 0


def test_the_command_prints_json_and_writes_the_page(shift, tmp_path):
    import json
    import re
    import subprocess
    import sys

    page = tmp_path / "out" / "alarms.html"
    page.parent.mkdir()
    command = [sys.executable, "-m", "zentrail.cli", "alarms", str(shift), "--from", "2024-03-01", "--to", "2024-03-01",
               "--signals", "Pump1.*", "--json", "--html", str(page), "--no-index"]
    done = subprocess.run(command, capture_output=True, text=True)
    try:
        import bokeh  # noqa: F401
    except ImportError:  # the light run: the page's package missing is said as a usage error, nothing written
        assert done.returncode == 2 and 'pip install "zentrail[view]"' in done.stderr and not page.exists()
        assert "Traceback" not in done.stderr
        del command[command.index("--html"):command.index("--html") + 2]
        done = subprocess.run(command, capture_output=True, text=True)
        page = None
    assert done.returncode == 0, done.stderr
    want = zentrail.alarms(shift, "2024-03-01", "2024-03-01", ["Pump1.*"]).report().to_dict()
    assert json.loads(done.stdout) == json.loads(json.dumps(want))
    assert want["count"] == 1 and want["acknowledge"]["L->H"]["median_s"] == 5400
    if page is None:
        return
    html = page.read_text()
    # One file: no script, style or image fetched from elsewhere.
    assert not re.findall(r"""<(?:script|link|img)[^>]*(?:src|href)=["']?(?:https?:)?//""", html)
    assert "benchmark (ISA-18.2)" in html and "benchmark (EEMUA 191)" in html


def test_the_page_draws_its_plots_offline(shift, tmp_path, browser):
    page = tmp_path / "alarms.html"
    zentrail.alarms(shift, "2024-03-01", "2024-03-02").report().to_html(page)
    browser.get(page.as_uri())
    import time

    names = None
    for _ in range(100):  # Bokeh builds its documents once its inline scripts ran
        names = browser.execute_script(
            "return window.Bokeh && Bokeh.documents.length ? ['rate', 'pareto', 'acknowledge'].map("
            "n => Bokeh.documents[0].get_model_by_name(n) !== null) : null")
        if names:
            break
        time.sleep(0.1)
    assert names == [True, True, True]
    assert not [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
