"""The trend viewer in a real browser, and zentrail plot's files.

The viewer test starts `zentrail view` on the sample archive and drives a
headless Chromium through its driver: it skips where Chromium, its driver,
Selenium or Bokeh is missing (the light test runs have none of them)."""

from __future__ import annotations

import contextlib
import html
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.parse
from pathlib import Path

import numpy as np
import pytest

import zentrail

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = str(ROOT / "examples" / "sample-archive")
SCREENSHOT = ROOT / "build" / "viewer.png"


# Table rows drawn on the page; Bokeh draws inside shadow roots.
SHOWN_ROWS = """
function rows(root) {
    let n = root.querySelectorAll('.slick-row').length;
    for (const element of root.querySelectorAll('*')) if (element.shadowRoot) n += rows(element.shadowRoot);
    return n;
}
return rows(document);
"""


def wait_for(probe, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


def start_viewer(root, *options, preamble="", browser_command=None):
    """A `zentrail view` process and the address it printed (with its token);
    it starts `browser_command` as its browser when given, none otherwise."""
    pytest.importorskip("bokeh")
    command = [sys.executable, "-c", preamble + "import sys; from zentrail.cli import main; sys.exit(main())",
               "view", str(root), *(["--no-browser"] if browser_command is None else []), "--threads", "2", *options]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path))
    if browser_command is not None:
        env["BROWSER"] = browser_command  # what Python's webbrowser starts
    process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = process.stdout.readline()
    if "http://127.0.0.1:" not in line:
        process.kill()
        raise AssertionError((line, process.communicate(timeout=20)))
    return process, line.split()[2]


@contextlib.contextmanager
def running_viewer(root, *options, preamble=""):
    process, address = start_viewer(root, *options, preamble=preamble)
    try:
        yield address
    finally:
        process.terminate()
        process.communicate(timeout=20)  # and its pipes closed


@pytest.fixture
def viewer():
    with running_viewer(os.path.relpath(SAMPLE, ROOT)) as address:
        yield address


@pytest.fixture
def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        pytest.skip("needs chromium and chromedriver (scripts/install-deps.sh installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1400,1000"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    from selenium.webdriver.chrome.service import Service

    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def model(driver, name, expression="m", *arguments):
    """`expression` of the page's model named `name` (None until it exists)."""
    return driver.execute_script(
        "const d = window.Bokeh && Bokeh.documents[0]; const m = d && d.get_model_by_name(arguments[0]);"
        f"return m ? ({expression}) : null;", name, *arguments)


# The page's models whose names begin with arguments[0] ("lines:" gives every pane's line source).
NAMED = ("Array.from(Bokeh.documents[0].all_models).filter(m => (m.name || '').startsWith(arguments[0]))")


def named(driver, prefix, expression):
    """`expression` (of `m`) of each of the page's models named `prefix`..., in a list."""
    return driver.execute_script(f"return window.Bokeh ? {NAMED}.map(m => ({expression})) : [];", prefix)


def line_of(driver, label):
    """The line of `label` ("5:0") in its pane's line source, with the
    window, pixels and kind it was read at (None until it is drawn)."""
    found = named(driver, "lines:", "(k => k < 0 ? null : {tags: m.tags.concat([m.data.kind[k]]), "
                                    "time: Array.from(m.data.xs[k]), value: Array.from(m.data.ys[k])})"
                                    "(Array.from(m.data.code).indexOf(arguments[1]))".replace("arguments[1]",
                                                                                             repr(label)))
    return next((line for line in found if line), None)


def assert_line_is_the_overview(line, code):
    start, end, pixels, _steps, kind = line["tags"]
    scan = zentrail.scan(SAMPLE, start, end, [code])
    if kind == "values":
        rows = scan.to_numpy()
        assert line["value"] == rows["value"].tolist()
        assert np.allclose(line["time"], rows["time"].astype(np.int64) / 1e6)
        return
    cells = scan.overview(pixels).to_numpy()
    assert len(cells["count"]) > 0
    # Every bucket's first, minimum, maximum and last values are on the line,
    # in time order, and nothing else is.
    points = set()
    for field in ("first", "min", "max", "last"):
        points |= set(zip((cells[f"{field}_time"].astype(np.int64) / 1e6).tolist(), cells[field].tolist()))
    assert set(zip(line["time"], line["value"])) == points
    assert line["time"] == sorted(line["time"])


def choose(driver, *keys):
    """Chooses the list's rows of `keys` ("5" a signal, "7:3" an element)."""
    listed = wait_for(lambda: model(driver, "signal-data", "Array.from(m.data.key)"), "the signal list")
    model(driver, "signal-data", f"(m.selected.indices = {[listed.index(key) for key in keys]}, true)")


def test_the_viewer_lists_draws_zooms_and_shows_events(viewer, browser):
    browser.set_page_load_timeout(60)
    browser.get(viewer)
    ids = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
    assert sorted(set(ids)) == zentrail.inventory(SAMPLE).to_numpy()["signal_id"].tolist()
    assert wait_for(lambda: browser.execute_script(SHOWN_ROWS), "the list's rows on the page")

    # Choose signal 5 (its row): the server draws its lines.
    choose(browser, "5")
    line = wait_for(lambda: (lambda v: v if v and v["value"] else None)(line_of(browser, "5:0")), "the line of 5:0")
    assert_line_is_the_overview(line, 5 * 1024)
    # Its window's System records, on their row of the alarm lane.
    system = zentrail.events(SAMPLE, line["tags"][0], line["tags"][1], []).to_numpy()["time"]
    lane = wait_for(lambda: model(browser, "event-data", "Array.from(m.data.row)"), "the lane")
    assert lane == ["System"] * len(system)

    # Zoom into two hours: the server reads that window again.
    zoom_from = np.datetime64("2024-03-02T05:00").astype("datetime64[ms]").astype(np.int64).item()
    model(browser, "window", f"(m.setv({{start: {zoom_from}, end: {zoom_from + 2 * 3600 * 1000}}}), true)")
    zoomed = wait_for(lambda: (lambda v: v if v and v["tags"][0] != line["tags"][0] else None)(line_of(browser, "5:0")),
                      "the zoomed line")
    assert zoomed["tags"][0].startswith("2024-03-02 05:00:00")
    assert_line_is_the_overview(zoomed, 5 * 1024)

    # The alarm's value (12) with its records in the event table, named.
    choose(browser, "12")
    wait_for(lambda: "Tank1.LevelAlarm" in (model(browser, "event-rows", "Array.from(m.data.name)") or []),
             "the event rows")
    assert model(browser, "failure", "m.text") == ""
    # Its spells without a value are shaded, the first from the view's start to its first value there.
    bands = wait_for(lambda: model(browser, "gaps", "Array.from(m.data.x0)"), "the gaps of 12:0")
    assert bands[0] == zoom_from and len(bands) == len(zentrail.gaps(
        SAMPLE, "2024-03-02 05:00", "2024-03-02 07:00:00.000000001", [12 * 1024], min_gap="1min"))

    # The picture: levels, temperatures and the alarm's value over the whole sample, a pane per unit.
    choose(browser, "5", "7", "12")
    whole = zentrail.inventory(SAMPLE).to_numpy()
    first, last = (t.astype("datetime64[ms]").astype(np.int64).item() for t in (whole["first"].min(), whole["last"].max()))
    model(browser, "window", f"(m.setv({{start: {first}, end: {last}}}), true)")
    wait_for(lambda: (lambda v: v and v["value"] and v["tags"][0].startswith("2024-03-01"))(line_of(browser, "7:0")),
             "the whole sample drawn")
    # The alarm's value is held (the catalog says "step"): each value to the next, the last to the view's end.
    stepped = line_of(browser, "12:0")
    assert stepped["time"][1] == stepped["time"][2] and stepped["value"][0] == stepped["value"][1]
    assert stepped["value"][2] == stepped["value"][3] and stepped["time"][-1] >= last
    # Named by the sample's catalog: the legends' entries, the panes' units.
    catalog = zentrail.Catalog.from_csv(os.path.join(SAMPLE, "zentrail-catalog.csv"))
    labels = wait_for(lambda: sum(named(browser, "lines:", "Array.from(m.data.label)"), []), "the lines' labels")
    assert sorted(labels) == sorted(e.name for e in catalog if e.signal_id in (5, 7, 12))
    legends = " ".join(named(browser, "legend:", "m.text"))
    assert all(html.escape(label) in legends for label in labels)
    assert sorted(named(browser, "pane:", "m.left[0].axis_label")) == ["%", "cm", "°C"]
    SCREENSHOT.parent.mkdir(exist_ok=True)
    browser.save_screenshot(str(SCREENSHOT))
    model(browser, "search", "(m.value_input = 'zone4', true)")
    assert wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.key)") == ["7", "7:3"] or None,
                    "the list searched by name")
    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []


@pytest.mark.parametrize("name, needs, check", [
    ("trend.html", "bokeh", lambda data: b"cdn.bokeh.org" not in data and b"line-5:0" in data),
    ("trend.png", "matplotlib", lambda data: data.startswith(b"\x89PNG\r\n\x1a\n")),
])
def test_plot_writes_a_standalone_file(tmp_path, name, needs, check):
    pytest.importorskip(needs)
    out = tmp_path / name
    done = subprocess.run([sys.executable, "-m", "zentrail.cli", "plot", SAMPLE, "--from", "2024-03-01", "--to",
                           "2024-03-03", "--signals", "5:0,12", "-o", str(out)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert check(out.read_bytes())
    # Written beside the target and renamed: nothing else is left in the folder.
    assert [p.name for p in tmp_path.iterdir()] == [name]


def test_steps_open_with_the_value_in_force_and_hold_each_value(tmp_path):
    pytest.importorskip("matplotlib")
    from zentrail.plot import lines

    drawn = lines(SAMPLE, "2024-03-02 00:00:00", "2024-03-02 23:59:59", [12 * 1024], 1000, steps=True)[12 * 1024]
    rows = zentrail.scan(SAMPLE, "2024-03-02", "2024-03-02", [12 * 1024]).to_numpy()
    opening = zentrail.scan(SAMPLE, "2024-03-02", "2024-03-02", [12 * 1024], catalog=False).align("1d") \
        .to_numpy()["12:0"][0]
    assert drawn["time"][0] == np.datetime64("2024-03-02") and drawn["value"][0] == opening
    assert drawn["time"][-1] == np.datetime64("2024-03-02T23:59:59.999999999")
    # Each value holds until the next row: pairs of points share a time or a value.
    np.testing.assert_array_equal(drawn["time"][1::2], drawn["time"][2::2][:len(drawn["time"][1::2])])
    np.testing.assert_array_equal(drawn["value"][1::2], drawn["value"][0::2][:len(drawn["value"][1::2])])
    assert set(drawn["value"]) == {opening} | set(rows["value"])
    out = tmp_path / "steps.png"
    done = subprocess.run([sys.executable, "-m", "zentrail.cli", "plot", SAMPLE, "--from", "2024-03-02", "--to",
                           "2024-03-02", "--signals", "12:0", "--steps", "-o", str(out)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("pixels", [1, 7, 1000])
def test_markers_keep_one_system_record_per_pixel_column_and_one_alarm_per_column_and_id(pixels):
    from zentrail.plot import marker_rows

    rng = np.random.default_rng(pixels)
    first, last = 10**18, 10**18 + 10**12
    times = np.sort(rng.integers(first - 10**10, last + 10**10, 5000))
    item_class = np.where(rng.random(5000) < 0.5, 0, 9).astype(np.uint8)
    # Alarms of id 0 too: System's markers are not theirs.
    signal_id = np.where(item_class == 0, 0, rng.integers(0, 4, 5000)).astype(np.uint16)
    events = {"time": times.astype("datetime64[ns]"), "item_class": item_class, "signal_id": signal_id}
    rows = marker_rows(events, first, last, pixels)
    # The first row of each place (a pixel column of the window, and System's line or an id's), in order.
    first_of_place = {}
    for k, t in enumerate(times.tolist()):
        column = (t - first) * pixels // (last - first)
        if 0 <= column < pixels:
            first_of_place.setdefault((column, "System" if item_class[k] == 0 else int(signal_id[k])), k)
    assert rows.tolist() == sorted(first_of_place.values())
    assert len(rows) <= pixels * 5


def test_plot_refuses_other_file_kinds(tmp_path):
    done = subprocess.run([sys.executable, "-m", "zentrail.cli", "plot", SAMPLE, "--from", "2024-03-01", "--to",
                           "2024-03-03", "--signals", "5", "-o", str(tmp_path / "trend.svg")],
                          capture_output=True, text=True)
    assert done.returncode == 2 and ".html or .png" in done.stderr


def test_the_viewer_reports_a_failed_read_in_the_page(tmp_path, browser):
    import archive_builder as ab

    from conftest import day_file

    day_file(tmp_path, ab.alarm("AlByte", ab.at("01:00:00"), 5, 3), b"\x80\x01\x00\x00\x00\x00")
    with running_viewer(tmp_path, "--from", "2024-03-01", "--to", "2024-03-01") as address:
        browser.get(address)
        failure = wait_for(lambda: model(browser, "failure", "m.text"), "the failure in the page")
        assert "2024-03-01_a.vlx" in failure and "byte 17" in failure
        assert "Nothing drawn" in model(browser, "status", "m.text")


def test_a_vanished_archive_and_an_extreme_zoom_are_said_in_the_page(tmp_path, browser):
    root = tmp_path / "archive"
    shutil.copytree(SAMPLE, root)
    with running_viewer(root) as address:
        browser.get(address)
        ids = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
        model(browser, "signal-data", f"(m.selected.indices = [{ids.index(5)}], true)")
        wait_for(lambda: (lambda v: v and v["value"])(line_of(browser, "5:0")), "the line of 5:0")

        # Zoomed out from before year 1 to past year 9999: what times can name is drawn, and said.
        model(browser, "window", "(m.setv({start: -1e15, end: 1e15}), true)")
        wait_for(lambda: "years 1 to 9999" in (model(browser, "notice", "m.text") or ""), "the notice")
        line = wait_for(lambda: (lambda v: v if v and v["tags"][0].startswith("0001-01-01") else None)(
            line_of(browser, "5:0")), "the line over the years 1 to 9999")
        assert line["tags"][1].startswith("9999-12-31") and line["value"]
        assert model(browser, "failure", "m.text") == ""

        # The archive goes away: the next read fails in the page, and nothing stale stays drawn.
        root.rename(tmp_path / "gone")
        model(browser, "window", "(m.setv({start: Date.UTC(2024, 2, 2), end: Date.UTC(2024, 2, 3)}), true)")
        failure = wait_for(lambda: model(browser, "failure", "m.text"), "the failure in the page")
        assert failure.startswith("Reading the window 2024-03-02 00:00:00 to 2024-03-03 00:00:00 failed")
        assert named(browser, "lines:", "m.data.code.length") == [0]


def request(address, path="/", host=None, headers=(), method="GET"):
    """(status, headers) of one request to the viewer at `address`."""
    where = urllib.parse.urlsplit(address)
    connection = http.client.HTTPConnection(where.hostname, where.port, timeout=30)
    try:
        connection.putrequest(method, path, skip_host=True)
        connection.putheader("Host", host or where.netloc)
        for name, value in headers:
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        response.read()
        return response.status, dict(response.getheaders())
    finally:
        connection.close()


WEBSOCKET = (("Connection", "Upgrade"), ("Upgrade", "websocket"), ("Sec-WebSocket-Version", "13"),
             ("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="))


def test_the_viewer_answers_only_its_token_and_its_host():
    with running_viewer(SAMPLE) as address:
        token = urllib.parse.parse_qs(urllib.parse.urlsplit(address).query)["token"][0]
        port = urllib.parse.urlsplit(address).port
        status, headers = request(address, f"/?token={token}")
        assert status == 200 and "Access-Control-Allow-Origin" not in headers
        cookie = headers["Set-Cookie"].split(";")[0]
        assert request(address, "/")[0] == 403
        assert request(address, "/?token=" + "x" * len(token))[0] == 403
        assert request(address, f"/?token={token}", host=f"attacker.example:{port}")[0] == 403
        assert request(address, "/static/js/bokeh.min.js", host=f"attacker.example:{port}")[0] == 403
        # The websocket: refused without the token's cookie, and from another origin.
        assert request(address, "/ws", headers=WEBSOCKET + (("Origin", f"http://127.0.0.1:{port}"),))[0] == 403
        assert request(address, "/ws", headers=WEBSOCKET + (("Origin", "http://attacker.example"),
                                                           ("Cookie", cookie)))[0] == 403
        for method in ("GET", "OPTIONS"):
            status, headers = request(address, f"/autoload.js?bokeh-autoload-element=x&token={token}", method=method,
                                      headers=(("Origin", "http://attacker.example"),))
            assert not [name for name in headers if name.lower().startswith("access-control")], (method, headers)


def token_of(address):
    return urllib.parse.parse_qs(urllib.parse.urlsplit(address).query)["token"][0]


# Whatever the page's scripts can read that might hold the token.
READABLE_BY_SCRIPTS = """
return [document.cookie, location.href, document.referrer, document.documentElement.outerHTML,
        JSON.stringify(performance.getEntries().map(entry => entry.name))].join("\\n");
"""


def readable_by_scripts(driver):
    """What the page's scripts can read, with the session token Bokeh gave
    the page (in the page itself) decoded."""
    from bokeh.util.token import get_token_payload

    text = driver.execute_script(READABLE_BY_SCRIPTS)
    sessions = re.findall(r'"token":"([\w.-]+)"', text)
    assert sessions, "no session token on the page"
    return "\n".join([text] + [json.dumps(get_token_payload(session)) for session in sessions])


@pytest.mark.parametrize("opened_with", ["the printed address", "the cookie alone"])
def test_no_script_on_the_page_can_read_the_token(browser, opened_with):
    with running_viewer(SAMPLE) as address:
        browser.get(address)
        wait_for(lambda: model(browser, "signal-data", "m.data.signal_id.length"), "the signal list")
        if opened_with == "the cookie alone":
            browser.get(address.split("?")[0])
            wait_for(lambda: model(browser, "signal-data", "m.data.signal_id.length"), "the signal list again")
        assert browser.current_url == address.split("?")[0]
        assert token_of(address) not in readable_by_scripts(browser)


# A browser that writes what it was given, and what it could see of it, to a file beside it.
RECORDING_BROWSER = """#!{python}
import json, os, sys, urllib.parse
page = urllib.parse.unquote(urllib.parse.urlsplit(sys.argv[-1]).path)
seen = {{"argv": sys.argv, "environ": dict(os.environ)}}
try:
    seen.update(page=page, content=open(page, encoding="utf-8").read(), mode=os.stat(page).st_mode & 0o777,
                folder_mode=os.stat(os.path.dirname(page)).st_mode & 0o777)
except OSError as error:
    seen["error"] = str(error)
with open({record!r} + ".part", "w") as out:
    json.dump(seen, out)
os.replace({record!r} + ".part", {record!r})
"""


def test_the_browser_is_given_a_private_page_and_never_the_token(tmp_path, browser):
    record = tmp_path / "opened.json"
    recording_browser = tmp_path / "browser"
    recording_browser.write_text(RECORDING_BROWSER.format(python=sys.executable, record=str(record)))
    recording_browser.chmod(0o700)
    process, address = start_viewer(SAMPLE, browser_command=str(recording_browser))
    try:
        token = token_of(address)
        seen = json.loads(wait_for(lambda: record.exists() and record.read_text(), "the browser started"))
        # Nobody else reads the token in the browser's arguments or environment, nor in the server's.
        assert [argument for argument in seen["argv"] if token in argument] == []
        assert [value for value in seen["environ"].values() if token in value] == []
        for readable in ("cmdline", "environ"):
            assert token.encode() not in Path(f"/proc/{process.pid}/{readable}").read_bytes()
        # It is in a page only the user can read, which opens the viewer.
        assert "error" not in seen, seen
        assert (seen["mode"], seen["folder_mode"]) == (0o600, 0o700) and html.escape(address) in seen["content"]
        browser.get(seen["argv"][-1])
        wait_for(lambda: model(browser, "signal-data", "m.data.signal_id.length"), "the signal list")
        assert token not in readable_by_scripts(browser)
    finally:
        process.terminate()
        process.communicate(timeout=20)  # its pipes closed too
    # Gone with the server.
    assert not os.path.exists(os.path.dirname(seen["page"]))


# Every window read of the page below takes 8 s more.
SLOW_READS = ("import time, zentrail.plot as p\n"
              "read = p.lines\n"
              "p.lines = lambda *a, **k: (time.sleep(8), read(*a, **k))[1]\n")


def test_a_slow_read_of_one_page_does_not_hold_up_another_client(browser):
    with running_viewer(SAMPLE, preamble=SLOW_READS) as address:
        browser.get(address)
        ids = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
        model(browser, "signal-data", f"(m.selected.indices = [{ids.index(5)}], true)")
        wait_for(lambda: model(browser, "status", "m.text") == "Reading...", "the slow read to start")
        # Another client opens the page itself (with the cookie the token's address sets).
        where = urllib.parse.urlsplit(address)
        began = time.monotonic()
        cookie = request(address, f"{where.path}?{where.query}")[1]["Set-Cookie"].split(";")[0]
        status, _ = request(address, "/", headers=(("Cookie", cookie),))
        assert status == 200 and time.monotonic() - began < 6
        assert model(browser, "status", "m.text") == "Reading..."
        wait_for(lambda: (lambda v: v and v["value"])(line_of(browser, "5:0")), "the slow line", timeout=60)


def chattering_alarms(root, count, ids):
    """A day file of `count` AlBool alarms spread over the day, taking turns
    among `ids`, and a few System records."""
    import archive_builder as ab

    from conftest import day_file

    template = ab.alarm("AlBool", 0, ids[0], subtype="L->H")
    record = np.dtype([("high", ">u2"), ("low", ">u4"), ("item", "u1"), ("param", "u1"), ("id", ">u2")])
    assert record.itemsize == len(template)
    times = np.sort(np.random.default_rng(count).integers(0, 86_400 * 10**9, count)).astype(np.uint64)
    alarms = np.zeros(count, record)
    alarms["high"], alarms["low"] = times >> 32, times & 0xFFFFFFFF
    alarms["item"], alarms["param"] = template[6], template[7]
    alarms["id"] = np.resize(ids, count)
    day_file(root, *(ab.system(ab.at(f"{hour:02}:30:00")) for hour in range(3)), alarms.tobytes())


# Says on standard error which thread does each part of a redraw, and how
# many markers the page's show() puts in place.
WATCHED_REDRAWS = """
import sys, threading, zentrail.plot as drawing, zentrail.viewer._page as page
def watched(name, call):
    def run(*args, **kwargs):
        print("redraw-part", name, threading.current_thread().name, file=sys.stderr, flush=True)
        return call(*args, **kwargs)
    return run
for name in ("lines", "window_events", "marker_rows", "event_labels"):
    setattr(drawing, name, watched(name, getattr(drawing, name)))
page.TrendApp.read = watched("read", page.TrendApp.read)
show = page.TrendApp.show
def shown(self, wanted, result, error):
    print("redraw-shown", threading.current_thread().name, len(result["lane"]["time"]) if result else -1,
          file=sys.stderr, flush=True)
    show(self, wanted, result, error)
page.TrendApp.show = shown
"""


def test_a_window_of_a_million_alarms_is_capped_per_pixel_and_built_off_the_loop(tmp_path, browser):
    ids, count = [12, 13], 1_000_000
    chattering_alarms(tmp_path, count, ids)
    process, address = start_viewer(tmp_path, preamble=WATCHED_REDRAWS)
    try:
        browser.set_page_load_timeout(60)
        browser.get(address)
        listed = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
        # Rows of alarms alone, with no element to draw: their alarms are marked all the same.
        model(browser, "signal-data", f"(m.selected.indices = {[listed.index(i) for i in ids]}, true)")
        wait_for(lambda: f"{count:,} alarms raised, 3 System" in model(browser, "status", "m.text"), "the alarms",
                 timeout=60)
        start, end, pixels = model(browser, "event-data", "m.tags")[:3]
        marked = model(browser, "event-data", "[Array.from(m.data.time), Array.from(m.data.row)]")
    finally:
        process.terminate()
        errors = process.communicate(timeout=20)[1]
    # One marker per pixel column of each id's line (and of System's), and
    # one in nearly every column of these chattering ones.
    first, last = (np.datetime64(bound).astype("datetime64[ns]").astype(np.int64) for bound in (start, end))
    columns = np.floor((np.array(marked[0]) * 1e6 - first) / (last - first) * pixels).astype(np.int64)
    places = list(zip(columns.tolist(), marked[1]))
    assert len(places) == len(set(places)) <= pixels * (len(ids) + 1)
    assert all(marked[1].count(f"id {i}") > pixels * 0.9 for i in ids) and marked[1].count("System") == 3
    # The read and everything built from it on the read workers; the loop only hands over the capped markers.
    parts = [line.split() for line in errors.splitlines() if line.startswith("redraw-")]
    built = {(part[1], part[2].startswith("zentrail-view")) for part in parts if part[0] == "redraw-part"}
    assert {name for name, _ in built} >= {"read", "window_events", "marker_rows", "event_labels"}
    assert all(off_loop for _, off_loop in built), built
    shown = [part for part in parts if part[0] == "redraw-shown"]
    assert shown and all(thread == "MainThread" and int(markers) <= pixels * (len(ids) + 1)
                         for _, thread, markers in shown), shown


@pytest.mark.parametrize("arguments, message", [
    (["/nonexistent/archive"], "does not exist"),
    ([SAMPLE, "--from", "2024-13-01"], "--from"),
    ([SAMPLE, "--from", "2024-03-05", "--to", "2024-03-01"], "comes before"),
])
def test_view_refuses_bad_arguments_before_serving(arguments, message):
    pytest.importorskip("bokeh")
    done = subprocess.run([sys.executable, "-m", "zentrail.cli", "view", *arguments, "--no-browser"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and message in done.stderr and "http://" not in done.stdout, done


# What the eye would find wrong in the page's layout: sideways scrolling, table
# cells whose text is cut (but the alarm table's free text, l6), legend entries
# cut at the window's edge and legends that do not scroll. Bokeh draws inside shadow roots.
LAYOUT = """
function all(root, found) {
    for (const element of root.querySelectorAll('*')) {
        found.push(element);
        if (element.shadowRoot) all(element.shadowRoot, found);
    }
    return found;
}
const elements = all(document, []);
const cut = elements.filter(e => e.classList.contains('slick-cell') && !e.classList.contains('l6')
                             && e.scrollWidth > e.clientWidth + 1).map(e => e.textContent);
const entries = elements.filter(e => e.classList.contains('zt-entry'));
const hosts = elements.filter(e => e.shadowRoot && e.shadowRoot.querySelector('.zt-legend'));
return {sideways: document.documentElement.scrollWidth - window.innerWidth, cut: cut,
        entries: entries.length,
        outside: entries.filter(e => e.getBoundingClientRect().right > window.innerWidth).length,
        legends: hosts.map(h => getComputedStyle(h).overflowY)};
"""


@pytest.fixture(scope="module")
def plant(tmp_path_factory):
    """Two days of a simulated plant of 64 signals (furnaces, tanks, flows,
    pumps), its catalog naming the signal each alarm watches."""
    root = tmp_path_factory.mktemp("plant")
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "simulate_plant.py"), str(root), "--days", "2",
                           "--signals", "64", "--start", "2026-11-01", "--seed", "7"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with (root / "zentrail-catalog.csv").open(encoding="utf-8") as listed:
        assert "alarm_of" in listed.readline()
    return root


@pytest.mark.parametrize("width, height", [(1280, 800), (1920, 1080)])
def test_the_page_lays_out_a_pane_per_unit_without_cutting_or_sideways_scroll(plant, browser, width, height):
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                            {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
    with running_viewer(plant) as address:
        browser.get(address)
        # A furnace's temperatures, one tank level alone, a group of pump states.
        choose(browser, "100", "101:12", "103")
        wait_for(lambda: (line_of(browser, "103:15") or {}).get("value"), "the pump states drawn")
        panes = sorted(named(browser, "pane:", "[m.name, m.left[0].axis_label]"))
        assert panes == [["pane:states", "state"], ["pane:unit:degC", "degC"], ["pane:unit:mm", "mm"]]
        assert sorted(sum(named(browser, "lines:unit:mm", "Array.from(m.data.label)"), [])) == ["LI-10112"]
        # Each pump state on a row of its own, named on the axis.
        states = named(browser, "pane:states", "Array.from(m.left[0].major_label_overrides.values())")[0]
        assert sorted(states) == [f"XS-103{k:02}" for k in range(16)]
        time.sleep(1)  # the browser's layout after the last change
        layout = browser.execute_script(LAYOUT)
        shot = ROOT / "build" / f"viewer-{width}x{height}.png"
        shot.parent.mkdir(exist_ok=True)
        browser.save_screenshot(str(shot))
        assert layout["sideways"] <= 0 and layout["cut"] == [], layout
        assert layout["entries"] == 16 + 1 + 16 and layout["outside"] == 0, layout
        assert layout["legends"] == ["auto"] * 3, layout


def test_alarms_are_marked_on_the_line_they_watch_in_a_lane_of_names_and_reported(plant, browser):
    with running_viewer(plant) as address:
        browser.get(address)
        choose(browser, "100:12")
        wait_for(lambda: "read in" in (model(browser, "status", "m.text") or ""), "the alarms read")
        # The status may tell of the read before the lines' models reach the page (a busy machine).
        start, end = wait_for(lambda: next((t[:2] for t in named(browser, "lines:", "m.tags") if len(t) >= 2), None),
                              "the lines drawn")
        found = zentrail.alarms(plant, start, end, ["TI-10012.ALM"]).to_numpy()
        assert len(found["raised"]) > 0 and set(found["watches"]) == {"TI-10012"}
        # On the line of TI-10012, named by the alarm and its level, each at the line's value then.
        marks = wait_for(lambda: next((m for m in named(browser, "marks:unit:degC", "[Array.from(m.data.x), "
                                                        "Array.from(m.data.y), m.data.label]") if m[0]), None),
                         "the alarms marked")
        raised = set((found["raised"].astype(np.int64) / 1e6).tolist())
        assert marks[0] and set(marks[0]) <= raised
        assert all(label.startswith("TI-10012.ALM " + level) for label, level in zip(
            marks[2], [found["level"][(found["raised"].astype(np.int64) / 1e6).tolist().index(x)] for x in marks[0]]))
        line = line_of(browser, "100:12")
        assert all(min(line["value"]) <= y <= max(line["value"]) for y in marks[1])
        # The lane's rows are named by the signal watched; the table lists the episodes; the report is of the view.
        assert set(model(browser, "event-data", "Array.from(m.data.row)")) <= {"TI-10012", "System"}
        assert model(browser, "alarm-lane", "Array.from(m.y_range.factors)") == ["System", "TI-10012"]
        assert sorted(set(model(browser, "event-rows", "Array.from(m.data.name)"))) == ["TI-10012.ALM"]
        report = model(browser, "alarm-report", "m.text")
        assert "ISA-18.2" in report and f"alarms raised: {len(found['raised'])}" in report
