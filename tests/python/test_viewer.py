"""The trend viewer in a real browser, and zentrail plot's files.

The viewer test starts `zentrail view` on the sample archive and drives a
headless Chromium through its driver: it skips where Chromium, its driver,
Selenium or Bokeh is missing (the light test runs have none of them)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
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


@pytest.fixture
def viewer():
    pytest.importorskip("bokeh")
    process = subprocess.Popen([sys.executable, "-m", "zentrail.cli", "view", os.path.relpath(SAMPLE, ROOT),
                                "--no-browser", "--threads", "2"], cwd=ROOT,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path)))
    try:
        line = process.stdout.readline()
        assert "http://127.0.0.1:" in line, (line, process.stderr.read() if process.poll() is not None else "")
        yield line.split()[2]
    finally:
        process.terminate()
        process.wait(timeout=20)


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


def model(driver, name, expression="m"):
    """`expression` of the page's model named `name` (None until it exists)."""
    return driver.execute_script(
        "const d = window.Bokeh && Bokeh.documents[0]; const m = d && d.get_model_by_name(arguments[0]);"
        f"return m ? ({expression}) : null;", name)


def line_of(driver, label):
    return model(driver, f"data-{label}",
                 "{tags: m.tags, time: Array.from(m.data.time), value: Array.from(m.data.value)}")


def assert_line_is_the_overview(line, code):
    start, end, pixels, kind = line["tags"]
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


def test_the_viewer_lists_draws_zooms_and_shows_events(viewer, browser):
    browser.set_page_load_timeout(60)
    browser.get(viewer)
    ids = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
    assert ids == zentrail.inventory(SAMPLE).to_numpy()["signal_id"].tolist()
    assert wait_for(lambda: browser.execute_script(SHOWN_ROWS), "the list's rows on the page")

    # Choose signal 5 (its first row): the server draws its line.
    row = ids.index(5)
    model(browser, "signal-data", f"(m.selected.indices = [{row}], true)")
    line = wait_for(lambda: line_of(browser, "5:0"), "the line of 5:0")
    line = wait_for(lambda: (lambda v: v if v and v["value"] else None)(line_of(browser, "5:0")), "its points")
    assert_line_is_the_overview(line, 5 * 1024)
    events = wait_for(lambda: model(browser, "event-data", "Array.from(m.data.signal_id)"), "the event markers")
    assert len(events) == len(zentrail.events(SAMPLE, line["tags"][0], line["tags"][1], [5]).to_numpy()["time"])

    # Zoom into two hours: the server reads that window again.
    zoom_from = np.datetime64("2024-03-02T05:00").astype("datetime64[ms]").astype(np.int64).item()
    model(browser, "window", f"(m.setv({{start: {zoom_from}, end: {zoom_from + 2 * 3600 * 1000}}}), true)")
    zoomed = wait_for(lambda: (lambda v: v if v and v["tags"][0] != line["tags"][0] else None)(line_of(browser, "5:0")),
                      "the zoomed line")
    assert zoomed["tags"][0].startswith("2024-03-02 05:00:00")
    assert_line_is_the_overview(zoomed, 5 * 1024)

    # Alarms of signal 12 come with their rows in the event table.
    model(browser, "signal-data", f"(m.selected.indices = [{ids.index(12)}], true)")
    wait_for(lambda: 12 in (model(browser, "event-data", "Array.from(m.data.signal_id)") or []), "alarms of 12")
    wait_for(lambda: 12 in (model(browser, "event-rows", "Array.from(m.data.signal_id)") or []), "the event rows")
    assert model(browser, "failure", "m.text") == ""

    # The picture: three signals over the whole sample.
    model(browser, "signal-data", f"(m.selected.indices = {[ids.index(i) for i in (5, 7, 12)]}, true)")
    whole = zentrail.inventory(SAMPLE).to_numpy()
    first, last = (t.astype("datetime64[ms]").astype(np.int64).item() for t in (whole["first"].min(), whole["last"].max()))
    model(browser, "window", f"(m.setv({{start: {first}, end: {last}}}), true)")
    wait_for(lambda: (lambda v: v and v["value"] and v["tags"][0].startswith("2024-03-01"))(line_of(browser, "7:0")),
             "the whole sample drawn")
    SCREENSHOT.parent.mkdir(exist_ok=True)
    browser.save_screenshot(str(SCREENSHOT))
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


def test_plot_refuses_other_file_kinds(tmp_path):
    done = subprocess.run([sys.executable, "-m", "zentrail.cli", "plot", SAMPLE, "--from", "2024-03-01", "--to",
                           "2024-03-03", "--signals", "5", "-o", str(tmp_path / "trend.svg")],
                          capture_output=True, text=True)
    assert done.returncode == 2 and ".html or .png" in done.stderr


def test_the_viewer_reports_a_failed_read_in_the_page(tmp_path):
    pytest.importorskip("bokeh")
    import archive_builder as ab
    from bokeh.document import Document

    from conftest import day_file
    from zentrail._viewer import TrendApp

    day_file(tmp_path, ab.alarm("AlByte", ab.at("01:00:00"), 5, 3), b"\x80\x01\x00\x00\x00\x00")
    app = TrendApp(Document(), str(tmp_path), "2024-03-01", "2024-03-01", 1)
    assert "2024-03-01_a.vlx" in app.failure.text and "byte 17" in app.failure.text
    assert "Nothing drawn" in app.status.text
