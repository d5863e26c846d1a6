"""How long the viewer takes to draw a choice, in a real (headless) Chromium.

    python bench/view.py [--plant bench/data/plant30] [--repeats 5] [--size 1280x800] [--smoke]

On a simulated plant of 30 days and 240 signals (examples/simulate_plant.py,
made once under --plant when missing), the whole month in view, the page
chooses 25 codes of two units (the 16 temperatures of furnace 100 and 9
levels of tank 101, one element row each). Times are taken in the page
(performance.now()) from the choice to the frame after both panes hold
their lines (the server's read, the websocket both ways and Bokeh's
drawing), and to the frame after the alarms, read after the lines, are in
too (markers, lane, table, report). The first draw makes the panes'
figures; the repeats (the choice cleared and made again) show them again.
Also printed: the server's own read time, as its status line says it.
Needs Chromium, chromedriver, Selenium and Bokeh.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
KEYS = ["100"] + [f"101:{k}" for k in range(9)]

MODEL = ("const d = window.Bokeh && Bokeh.documents[0]; const m = d && d.get_model_by_name(arguments[0]);"
         "return m ? ({}) : null;")
# Times (performance.now(), ms) in the page: of the frame after both panes
# have their lines (16 and 9), and of the frame after the status line says
# that the alarms are in too.
HOOK = """
const doc = Bokeh.documents[0];
const lines = () => Array.from(doc.all_models).filter(m => (m.name || '').startsWith('lines:'))
    .map(m => m.data.code.length).filter(n => n > 0).sort((a, b) => a - b).join();
const after = (name) => requestAnimationFrame(() => requestAnimationFrame(() => { window.zt[name] = performance.now(); }));
doc.on_change(() => {
    const zt = window.zt;
    if (!zt || zt.began === undefined) return;
    if (!zt.seen_lines && lines() === '9,16') { zt.seen_lines = true; after('lines'); }
    if (zt.seen_lines && !zt.seen_alarms && doc.get_model_by_name('status').text.includes('read in')) {
        zt.seen_alarms = true; after('alarms');
    }
});
"""


def wait_for(probe, what, timeout=120.0, pause=0.005):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(pause)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--plant", default=str(HERE / "data" / "plant30"))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--size", default="1280x800")
    parser.add_argument("--smoke", action="store_true", help="a two-day plant of its own; checks that it runs")
    args = parser.parse_args()
    days, signals = (2, 64) if args.smoke else (30, 240)
    if args.smoke:
        args.plant, args.repeats = str(HERE / "data" / "smoke" / "plant2"), 1
    if not (Path(args.plant) / "zentrail-catalog.csv").exists():
        subprocess.run([sys.executable, str(HERE.parent / "examples" / "simulate_plant.py"), args.plant, "--days",
                        str(days), "--signals", str(signals), "--start", "2026-11-01", "--seed", "1"], check=True,
                       stdout=subprocess.DEVNULL)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    chromium, driver_path = shutil.which("chromium") or shutil.which("chromium-browser"), shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        raise SystemExit("needs chromium and chromedriver")
    width, height = (int(n) for n in args.size.split("x"))
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(flag)
    server = subprocess.Popen([sys.executable, "-m", "zentrail.cli", "view", args.plant, "--no-browser"],
                              stdout=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                                  os.path.abspath(p) for p in sys.path)))
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    try:
        address = server.stdout.readline().split()[2]
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        driver.get(address)

        def model(name, expression):
            return driver.execute_script(MODEL.format(expression), name)

        keys = wait_for(lambda: model("signal-data", "Array.from(m.data.key)"), "the signal list")
        rows = [keys.index(key) for key in KEYS]
        wait_for(lambda: "chosen codes" in (model("status", "m.text") or ""), "the first, empty, draw")
        times, complete, reads = [], [], []
        driver.execute_script(HOOK)
        for _ in range(args.repeats + 1):
            model("signal-data", "(m.selected.indices = [], true)")
            wait_for(lambda: " 0 of 0 chosen" in model("status", "m.text"), "the choice cleared")
            time.sleep(0.5)  # the page settled
            driver.execute_script(f"window.zt = {{began: performance.now()}}; Bokeh.documents[0]"
                                  f".get_model_by_name('signal-data').selected.indices = {rows};")
            marks = wait_for(lambda: driver.execute_script("return window.zt.alarms && window.zt;"), "the alarms drawn")
            times.append((marks["lines"] - marks["began"]) / 1000)
            complete.append((marks["alarms"] - marks["began"]) / 1000)
            status = model("status", "m.text")
            reads.append(float(re.search(r"read in ([\d.]+) s", status).group(1)))
        print(f"{args.plant}: 25 codes of two units over {days} days at {width} x {height} px "
              f"({status.split(': ', 1)[1].split(';')[0]})")
        print(f"  {status.split('; ', 1)[1]}")
        print(f"  lines drawn: first (panes made) {times[0]:.2f} s; again, median of {args.repeats} "
              f"{statistics.median(times[1:]):.2f} s, worst {max(times[1:]):.2f} s")
        print(f"  with the alarms: first {complete[0]:.2f} s; again, median {statistics.median(complete[1:]):.2f} s, "
              f"worst {max(complete[1:]):.2f} s (the server's whole read {statistics.median(reads[1:]):.2f} s)")
    finally:
        driver.quit()
        server.terminate()
        server.communicate(timeout=20)


if __name__ == "__main__":
    main()
