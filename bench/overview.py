"""Overviews against reading the rows, and the viewer's redraw, on one tree.

    python bench/overview.py [--tree bench/data/mix-1000/tree] [--repeats 5] [--browser [--browser-repeats 1]]

On the output-heavy codes of the benchmark tree (4 elements of each of the
64 frequent group signals, 256 codes), over the window the tree spans:
scan(...).overview(buckets=2000).to_numpy() against scan(...).to_numpy(),
same run, warm page cache; the peak resident memory of each above a fresh
interpreter with NumPy and zentrail imported; and the time the viewer takes
to read what it draws (lines of one signal's 4 elements at 1000 pixels, and
the window's events) for the whole window and for one hour.

With --browser (needs selenium, chromium and chromedriver): the viewer's
redraw in headless Chromium, from choosing rows to the page painted, with 200
codes chosen (25 group rows of 8 elements) and with one row chosen, over the
whole window, the first time and again (median of the repeats after the first); for the viewer of this checkout and for the one at --before (a
git revision, default the last commit before the viewer's rework), one after
the other in the same run.

Times are medians of the repeats. On a shared machine a figure alone drifts
with the load, so each repeat times the two reads one after the other and
the ratio reported is the median of those pairs' ratios.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import zentrail
from zentrail._base import time as _time
from zentrail import plot as trends

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402

BUCKETS = 2000


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def median_of(repeats, call):
    times, result = [], None
    for _ in range(repeats):
        result = None
        took, result = timed(call)
        times.append(took)
    return statistics.median(times), result


def peak_above_imports(root: Path, window, codes, what: str) -> float:
    """MiB of VmHWM a fresh interpreter adds by `what` (overview or to_numpy)."""
    call = f"scan.overview({BUCKETS}).to_numpy()" if what == "overview" else "scan.to_numpy()"
    script = (
        "import numpy, zentrail\n"
        "def peak():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'): return int(line.split()[1]) / 1024\n"
        "base = peak()\n"
        f"scan = zentrail.scan({str(root)!r}, *{window!r}, {codes!r})\n"
        f"result = {call}\n"
        "print(peak() - base)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    return float(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tree", type=Path, default=HERE / "data" / "mix-1000" / "tree")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--browser", action="store_true", help="also time the viewer's redraw in headless Chromium")
    parser.add_argument("--before", default=BEFORE, help="git revision of the viewer to compare with")
    parser.add_argument("--browser-only", action="store_true", help="only the viewer's redraw in the browser")
    parser.add_argument("--browser-repeats", type=int, default=1,
                        help="redraws timed in the browser (the viewer before its rework takes minutes for 200 codes)")
    args = parser.parse_args()
    if args.browser_only:
        print_lines(args.tree, browser_redraws(args.tree, args.before, args.browser_repeats))
        return
    root = args.tree
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    inventory = zentrail.inventory(root).to_numpy()
    first, last = inventory["first"].min(), inventory["last"].max()
    window = (_time.instant_text(int(first.astype("int64"))), _time.instant_text(int(last.astype("int64"))))
    mb = sum(p.stat().st_size for p in root.rglob("*.vlx")) / 1e6

    scan = zentrail.scan(root, *window, codes)
    scan.to_numpy()  # warm the page cache
    pairs, rows, cells = [], 0, None
    for _ in range(args.repeats):
        rows_took, columns = timed(scan.to_numpy)
        rows = len(columns["time"])
        del columns
        cells = None
        over_took, cells = timed(scan.overview(BUCKETS).to_numpy)
        pairs.append((rows_took, over_took))
    rows_s = statistics.median(r for r, _ in pairs)
    over_s = statistics.median(o for _, o in pairs)
    ratio = statistics.median(o / r for r, o in pairs)
    if int(cells["count"].sum()) > rows:
        raise SystemExit("the overview counted more values than the scan has rows")
    lines = [
        ("scan(...).to_numpy(), 256 codes", f"{rows_s:.2f} s", f"{rows:,} rows, {mb / rows_s:,.0f} MB/s"),
        (f"scan(...).overview({BUCKETS}).to_numpy()", f"{over_s:.2f} s",
         f"{len(cells['count']):,} cells, {ratio:.2f}x the to_numpy time (median of {args.repeats} pairs)"),
    ]
    for what in ("to_numpy", "overview"):
        lines.append((f"peak RSS of {what}", f"{peak_above_imports(root, window, codes, what):,.1f} MiB",
                      "above a fresh interpreter with numpy and zentrail imported"))

    signal = [generate.FREQUENT_GROUP_IDS[0] * 1024 + n for n in range(4)]
    hour_start = int(first.astype("int64")) + 5 * 86400 * 10**9
    for label, start, end in (("whole window", *window),
                              ("one hour", _time.instant_text(hour_start), _time.instant_text(hour_start + 3600 * 10**9 - 1))):
        def redraw():
            drawn = trends.lines(root, start, end, signal, 1000)
            events = trends.window_events(root, start, end, {c // 1024 for c in signal})
            return drawn, events
        took, (drawn, events) = median_of(args.repeats, redraw)
        kinds = ",".join(sorted({line["kind"] for line in drawn.values()}))
        lines.append((f"viewer redraw data, {label}", f"{took:.2f} s",
                      f"4 codes at 1000 px ({kinds}), {len(events['time']):,} events"))

    if args.browser:
        lines += browser_redraws(root, args.before, args.browser_repeats)
    print(f"tree: {root} ({mb:,.0f} MB), window {window[0]} to {window[1]}")
    print_lines(root, lines)


def print_lines(root: Path, lines) -> None:
    width = max(len(name) for name, _, _ in lines)
    for name, value, note in lines:
        print(f"{name:<{width}}  {value:>12}  {note}")


# The viewer before its rework: one renderer per code, every System event a marker, reads on the event loop.
BEFORE = "b08d3c9"

# The redraw as the user sees it: from the rows chosen to the page painted
# after the status line says it drew them (each row: a signal's first 8 elements).
TIME_REDRAW = """
const [rows, codes, done] = arguments;
const doc = Bokeh.documents[0], status = doc.get_model_by_name("status");
const began = performance.now();
doc.get_model_by_name("signal-data").selected.indices = rows;
(function poll() {
    if (status.text.includes(` of ${codes} chosen codes drawn`))
        requestAnimationFrame(() => requestAnimationFrame(() => done(performance.now() - began)));
    else setTimeout(poll, 10);
})();
"""


def before_package(revision: str, folder: Path) -> None:
    """The viewer and plot modules at `revision`, as the package zentrail_before
    beside today's zentrail (whose _time and _extras they use)."""
    package = folder / "zentrail_before"
    package.mkdir()
    for name in ("_viewer.py", "_plot.py"):
        text = subprocess.run(["git", "show", f"{revision}:src/zentrail/{name}"], cwd=HERE, check=True,
                              capture_output=True, text=True).stdout
        (package / name).write_text(text)
    (package / "__init__.py").write_text("from zentrail import _time\n")
    (package / "_extras.py").write_text("from zentrail._base.extras import import_extra\n")


def start_server(script: str, folder: Path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(folder)] + [os.path.abspath(p) for p in sys.path if p]))
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True, env=env)
    line = process.stdout.readline()
    if "http://" not in line:
        process.kill()
        raise SystemExit(f"the viewer did not start: {line!r}")
    return process, line.split()[2]


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or shutil.which("chromium-browser")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    # The viewer before its rework takes minutes for some redraws on a loaded machine.
    driver.command_executor.client_config.timeout = 1800
    driver.set_script_timeout(1800)
    driver.set_page_load_timeout(600)
    return driver


def redraw_times(address: str, repeats: int):
    """Ms from the address opened to the page drawn, and median ms of the
    redraw with 200 codes, and with one row, chosen."""
    driver = browser()
    try:
        began = time.monotonic()
        driver.get(address)
        rows = None
        deadline = time.monotonic() + 600
        while rows is None and time.monotonic() < deadline:
            rows = driver.execute_script(
                "const d = window.Bokeh && Bokeh.documents[0]; const m = d && d.get_model_by_name('signal-data');"
                "const s = d && d.get_model_by_name('status');"
                "if (!m || !m.data.signal_id.length || !s.text || s.text.startsWith('Reading')) return null;"
                "const seen = new Set();"
                "return Array.from(m.data.elements).map((n, k) => [n, m.data.class_name[k], m.data.signal_id[k], k])"
                ".filter(([n, c, id]) => n >= 8 && c.startsWith('Gr') && !seen.has(id) && seen.add(id))"
                ".map(([n, c, id, k]) => k);")
            time.sleep(0.2)
        if rows is None:
            raise SystemExit("the viewer's page did not load")
        out = {"page load": (time.monotonic() - began) * 1000}
        for label, chosen in (("200 codes", rows[:25]), ("one row", rows[25:26])):
            took = []
            for _ in range(repeats):
                took.append(driver.execute_async_script(TIME_REDRAW, chosen, 8 * len(chosen)))
                driver.execute_async_script(TIME_REDRAW, [], 0)
            # The first time codes are chosen differs from the next (the viewer
            # before its rework made their renderers then): both are given.
            out[f"{label}, first"] = took[0]
            if len(took) > 1:
                out[f"{label}, again"] = statistics.median(took[1:])
        return out
    finally:
        driver.quit()


def browser_redraws(root: Path, revision: str, repeats: int):
    lines = []
    with tempfile.TemporaryDirectory() as folder:
        before_package(revision, Path(folder))
        servers = {
            "before": "import zentrail_before._viewer as v\n"
                      f"v.serve({str(root)!r}, open_browser=False, threads=2)\n",
            "after": "import zentrail.viewer as v\n"
                     f"v.serve({str(root)!r}, open_browser=False, threads=2)\n",
        }
        figures = {}
        for name, script in servers.items():
            process, address = start_server(script, Path(folder))
            try:
                figures[name] = redraw_times(address, repeats)
            finally:
                process.terminate()
                process.wait(timeout=30)
        for label in figures["after"]:
            before, after = figures["before"][label] / 1000, figures["after"][label] / 1000
            lines.append((f"viewer in Chromium, {label}", f"{after:.2f} s",
                          f"before ({revision}): {before:.2f} s, {before / after:.1f}x"
                          + (f" (median of {repeats - 1})" if label.endswith("again") else "")))
    return lines


if __name__ == "__main__":
    main()
