"""Benchmarks of following a live archive and of keeping a lake in step.

    python bench/live.py                  # all three, on the 1 GB benchmark tree for sync
    python bench/live.py --smoke          # tiny sizes: checks that the suite runs
    python bench/live.py --only latency   # or cpu, or sync

- latency: a record appended to today's file, until follow (poll 1 s)
  yields it; median and worst of --samples records written at random moments
  (target: under poll + 100 ms).
- cpu: the processor time of a follower of 1,000 signals written every
  second by the plant simulator, as a share of one core (target: under 2%).
- viewer: a value appended to today's file, until `zentrail view --live`
  (poll 1 s) draws it in headless Chromium (target: under poll + 1 s); needs
  selenium, chromium and chromedriver, skipped without them.
- sync: `zentrail sync` of the benchmark tree into an empty lake against
  `zentrail export` of the same rows to one Parquet file (target: within
  1.5x), and a rerun with nothing new (target: under 1 s).
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT / "tools"), str(ROOT / "examples")]

import archive_format as fmt  # noqa: E402
import simulate_plant  # noqa: E402


def latency(samples: int, poll: float) -> list:
    """(written, yielded) delays in seconds of `samples` records, each written
    at a random moment of the poll cycle."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "2024" / "2024-03-01_plant.vlx"
        path.parent.mkdir()
        path.write_bytes(fmt.date_mark(fmt.day_number(simulate_plant.dt.date(2024, 3, 1))))
        written = []
        rng = random.Random(1)

        def writer() -> None:
            time.sleep(0.5)
            with open(path, "ab", buffering=0) as out:
                for n in range(samples):
                    time.sleep(poll * (1 + rng.random()))
                    record = fmt.group("GrFloat", n * 1_000_000_000, id=7, values=[float(n)] * 16)
                    written.append(time.perf_counter())
                    out.write(record)

        thread = threading.Thread(target=writer)
        thread.start()
        delays = []
        with zentrail.follow(folder, [7 * 1024], poll=poll, idle_timeout=4 * poll + 2) as follower:
            for batch in follower:
                now = time.perf_counter()
                for value in batch["value"]:
                    delays.append(now - written[int(value)])
                if len(delays) == samples:
                    break
        thread.join()
        return delays


def follower_cpu(seconds: float, signals: int) -> tuple:
    """(share of one core, rows) of a follower beside a live plant of `signals`
    values sampled every second."""
    with tempfile.TemporaryDirectory() as folder:
        writer = subprocess.Popen([sys.executable, str(ROOT / "examples" / "simulate_plant.py"), folder, "--live",
                                   "--signals", str(signals), "--period", "1", "--seed", "2"],
                                  stderr=subprocess.DEVNULL)
        try:
            rows = 0
            with zentrail.follow(folder, poll="1s", idle_timeout=10) as follower:
                began, cpu = time.monotonic(), time.process_time()
                for batch in follower:
                    rows += len(batch["time"])
                    if time.monotonic() - began >= seconds:
                        break
                share = (time.process_time() - cpu) / (time.monotonic() - began)
        finally:
            writer.kill()
            writer.wait()
    return share, rows


def viewer_latency(samples: int, poll: float) -> list:
    """Delays in seconds from a value written to it drawn by a live viewer,
    or [] when there is no browser to draw it in."""
    import shutil

    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return []
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        return []
    delays = []
    with tempfile.TemporaryDirectory() as folder:
        now = simulate_plant.dt.datetime.now()
        midnight = simulate_plant.dt.datetime.combine(now.date(), simulate_plant.dt.time())

        def record(value: float) -> bytes:
            ns = (simulate_plant.dt.datetime.now() - midnight) // simulate_plant.dt.timedelta(microseconds=1) * 1000
            return fmt.group("GrFloat", ns, id=7, values=[value])

        path = Path(folder) / f"{now:%Y-%m-%d}_live.vlx"
        path.write_bytes(fmt.date_mark(now.date()) + record(-1.0))
        server = subprocess.Popen([sys.executable, "-m", "zentrail.cli", "view", folder, "--live", "--poll", f"{poll}s",
                                   "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service(driver_path), options=options)
        try:
            driver.get(server.stdout.readline().split()[2])
            model = ("const d = window.Bokeh && Bokeh.documents[0]; const m = d && d.get_model_by_name(arguments[0]);"
                     "return m ? ({}) : null;")
            while not driver.execute_script(model.format("m.data.signal_id.length"), "signal-data"):
                time.sleep(0.05)
            # The row of signal 7 (the list may begin with others, such as System).
            driver.execute_script(model.format("(m.selected.indices = [Array.from(m.data.key).indexOf('7')], true)"),
                                  "signal-data")
            # Its line, in whichever pane's line source ("lines:...") holds it.
            values = ("return window.Bokeh ? Array.from(Bokeh.documents[0].all_models)"
                      ".filter(m => (m.name || '').startsWith(arguments[0]))"
                      ".flatMap(m => m.data.ys && m.data.ys.length ? Array.from(m.data.ys[0]) : []) : [];")
            rng = random.Random(3)
            with open(path, "ab", buffering=0) as out:
                for n in range(samples):
                    time.sleep(poll * rng.random() + 0.5)
                    out.write(record(float(n)))
                    written = time.perf_counter()
                    while float(n) not in (driver.execute_script(values, "lines:") or []):
                        if time.perf_counter() - written > 30:
                            raise RuntimeError(f"value {n} not drawn within 30 s")
                        time.sleep(0.02)
                    delays.append(time.perf_counter() - written)
        finally:
            driver.quit()
            server.terminate()
            server.wait()
    return delays


def timed(command: list) -> tuple:
    """(seconds, processor seconds) of the command: on a machine others share
    the processor time (user and system, of the command's process) is the
    steadier of the two."""
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.perf_counter() - began, after.ru_utime + after.ru_stime - used.ru_utime - used.ru_stime


def sync_tree(tree: "Path | None", smoke: bool) -> Path:
    """The tree to sync: the one given, or bench/data's benchmark tree (made by bench/run.py)."""
    if tree is not None:
        return tree
    import run

    size = 4 if smoke else 1000
    data = HERE / "data" / ("smoke" if smoke else "")
    return run.ensure_tree(data / f"mix-{size:g}", size, 2 if smoke else 16).files[0].parents[2]


def sync_against_export(tree: Path, work: Path, *sync_options: str) -> dict:
    """Times `zentrail export` of every row to one Parquet file, `zentrail
    sync` (with `sync_options`) into an empty lake, and a rerun of the sync
    with nothing new; each a (seconds, processor seconds)."""
    zentrail_command = [sys.executable, "-m", "zentrail.cli"]
    out, lake = work / "all.parquet", work / "lake"
    shutil.rmtree(lake, ignore_errors=True)
    export_s = timed(zentrail_command + ["export", str(tree), "--from", "2000-01-01", "--to", "2099-12-31", "--all",
                                         "-o", str(out)])
    sync = zentrail_command + ["sync", str(tree), str(lake), "--all", *sync_options]
    sync_s = timed(sync)
    rerun_s = timed(sync)
    sizes = sum(p.stat().st_size for p in lake.rglob("*.parquet"))
    result = {"export_s": export_s, "sync_s": sync_s, "rerun_s": rerun_s,
              "export_mb": out.stat().st_size / 1e6, "lake_mb": sizes / 1e6}
    out.unlink()
    shutil.rmtree(lake)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--only", choices=("latency", "cpu", "viewer", "sync"))
    parser.add_argument("--samples", type=int, default=12)
    parser.add_argument("--cpu-seconds", type=float, default=60)
    parser.add_argument("--tree", type=Path, default=None,
                        help="the archive tree for sync (default: bench/data's 1 GB tree, made by bench/run.py)")
    args = parser.parse_args()
    if args.smoke:
        args.samples, args.cpu_seconds = 3, 3
    rows = []
    if args.only in (None, "latency"):
        delays = latency(args.samples, 1.0)
        rows.append(("latency, poll 1 s", f"median {statistics.median(delays) * 1000:,.0f} ms",
                     f"worst {max(delays) * 1000:,.0f} ms of {len(delays)} (target < 1,100 ms)"))
    if args.only in (None, "cpu"):
        share, count = follower_cpu(args.cpu_seconds, 100 if args.smoke else 1000)
        rows.append(("follower CPU, 1,000 signals at 1 s", f"{share:.2%} of a core",
                     f"{count:,} rows in {args.cpu_seconds:g} s (target < 2%)"))
    if args.only in (None, "viewer"):
        delays = viewer_latency(args.samples, 1.0)
        if delays:
            rows.append(("viewer --live, poll 1 s", f"median {statistics.median(delays) * 1000:,.0f} ms",
                         f"worst {max(delays) * 1000:,.0f} ms of {len(delays)} (target < 2,000 ms)"))
        else:
            rows.append(("viewer --live", "skipped", "needs selenium, chromium and chromedriver"))
    if args.only in (None, "sync"):
        (HERE / "data").mkdir(exist_ok=True)
        with tempfile.TemporaryDirectory(dir=HERE / "data") as work:  # beside the trees, on the same disk
            r = sync_against_export(sync_tree(args.tree, args.smoke), Path(work))
        (sync_s, _), (export_s, _) = r["sync_s"], r["export_s"]
        rows.append(("sync from empty", f"{sync_s:,.1f} s",
                     f"{sync_s / export_s:.2f}x export's {export_s:,.1f} s (target <= 1.5x); "
                     f"{r['lake_mb']:,.0f} MB of parts, export {r['export_mb']:,.0f} MB"))
        rows.append(("sync rerun, nothing new", f"{r['rerun_s'][0]:,.2f} s", "target < 1 s (process start included)"))
    width = max(len(r[0]) for r in rows)
    for label, figure, note in rows:
        print(f"{label:<{width}}  {figure:>22}  {note}")


if __name__ == "__main__":
    main()
