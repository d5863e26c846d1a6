"""Overviews against reading the rows, and the viewer's redraw, on one tree.

    python bench/overview.py [--tree bench/data/mix-1000/tree] [--repeats 5]

On the output-heavy codes of the benchmark tree (4 elements of each of the
64 frequent group signals, 256 codes), over the window the tree spans:
scan(...).overview(buckets=2000).to_numpy() against scan(...).to_numpy(),
same run, warm page cache; the peak resident memory of each above a fresh
interpreter with NumPy and zentrail imported; and the time the viewer takes
to read what it draws (lines of one signal's 4 elements at 1000 pixels, and
the window's events) for the whole window and for one hour.

Times are medians of the repeats. On a shared machine a figure alone drifts
with the load, so each repeat times the two reads one after the other and
the ratio reported is the median of those pairs' ratios.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

import zentrail
from zentrail import _plot, _time

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
    args = parser.parse_args()
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
            drawn = _plot.lines(root, start, end, signal, 1000)
            events = _plot.window_events(root, start, end, {c // 1024 for c in signal})
            return drawn, events
        took, (drawn, events) = median_of(args.repeats, redraw)
        kinds = ",".join(sorted({line["kind"] for line in drawn.values()}))
        lines.append((f"viewer redraw data, {label}", f"{took:.2f} s",
                      f"4 codes at 1000 px ({kinds}), {len(events['time']):,} events"))

    print(f"tree: {root} ({mb:,.0f} MB), window {window[0]} to {window[1]}")
    width = max(len(name) for name, _, _ in lines)
    for name, value, note in lines:
        print(f"{name:<{width}}  {value:>12}  {note}")


if __name__ == "__main__":
    main()
