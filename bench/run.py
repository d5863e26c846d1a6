"""Benchmarks of zentrail.read, printed as one table.

    python bench/run.py            # about 1 GB of archives (generated once under bench/data)
    python bench/run.py --smoke    # a tiny run that only checks the suite works
    python bench/run.py --inventory  # the inventory beside the one-code scan only
    sudo python bench/run.py --cold  # cold page cache: cat, read and scan, median of 3


Measured in one run on the same files: the selective read against the raw
read floor, the inventory beside a one-code scan, the peak memory of
iterating a scan of every signal, an output-heavy read, the pure-Python baseline on the same calls
(checked equal to zentrail.read; the run fails if it is not), the fixed cost
of a call (ten-year tree, one-day window; one 1 MB file) and the peak
resident memory of the selective read.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
import pure_python_reader  # noqa: E402

WHOLE_RANGE = ("2000-01-01 00:00:00", "2099-12-31 23:59:59")


def best_of(repeats: int, call):
    """Best wall time of `repeats` calls, and the last result (earlier
    results are dropped before the next call, so that each call starts with
    the same free memory)."""
    best, result = float("inf"), None
    for _ in range(repeats):
        result = None
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def best_cpu_of(repeats: int, call) -> float:
    """Least processor time (all threads of this process) of `repeats`
    calls: on a shared machine it wavers less than the wall time."""
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        call()
        best = min(best, time.process_time() - start)
    return best


def raw_read(paths) -> int:
    chunk = bytearray(1 << 20)
    total = 0
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while n := f.readinto(chunk):
                total += n
    return total


def day_window(path: Path) -> tuple[str, str]:
    day = path.name[:10]
    return f"{day} 00:00:00", f"{day} 23:59:59"


def drop_page_cache() -> None:
    """Writes every dirty page out and drops the clean ones (root only)."""
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as control:
        control.write("3\n")


def median_cold(repeats: int, call) -> float:
    """Median wall time of `repeats` calls, each with the page cache dropped."""
    times = []
    for _ in range(repeats):
        drop_page_cache()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return sorted(times)[len(times) // 2]


def cold_rows(root: Path, stats, repeats: int) -> list:
    """The one-code read and scan with the files on the disk, not in the page
    cache, against cat reading the same files in the same run."""
    mb = stats.bytes / 1e6
    rare = [generate.RARE_ID * 1024]
    cat_s = median_cold(repeats, lambda: subprocess.run(["cat", *map(str, stats.files)], check=True,
                                                          stdout=subprocess.DEVNULL))
    rows = [("cold: cat of the files", f"{mb / cat_s:,.0f} MB/s", f"median of {repeats}, page cache dropped before each")]
    calls = [("cold: read, 1 code", lambda: zentrail.read(str(root), *WHOLE_RANGE, rare))]
    for threads in (None, 1, 4):
        calls.append((f"cold: scan, 1 code, threads={threads}",
                       lambda threads=threads: zentrail.scan(root, *WHOLE_RANGE, rare, threads=threads).to_numpy()))
    for label, call in calls:
        seconds = median_cold(repeats, call)
        rows.append((label, f"{mb / seconds:,.0f} MB/s", f"{cat_s / seconds:.2f}x cat's"))
    return rows


def check_same_rows(label: str, expected: list, actual: list) -> None:
    """Stops the run unless the rows are equal (a NaN equal to a NaN)."""
    def same(a, b):
        return a == b or all(x == y or (isinstance(x, float) and isinstance(y, float) and math.isnan(x)
                                        and math.isnan(y)) for x, y in zip(a, b))
    if len(expected) == len(actual) and all(same(a, b) for a, b in zip(expected, actual)):
        return
    first = next((n for n, (a, b) in enumerate(zip(expected, actual)) if not same(a, b)), min(len(expected), len(actual)))
    sys.exit(f"pure-Python reader differs from zentrail.read ({label}): {len(actual):,} rows against "
             f"{len(expected):,}, first difference at row {first}: "
             f"{actual[first:first + 1]} against {expected[first:first + 1]}")


def this_checkout_src() -> str:
    """This checkout's src folder when its compiled core lies beside the
    package (a development build), else "" for the installed package: the
    "after" side of the benches that compare two packages."""
    from importlib.machinery import EXTENSION_SUFFIXES

    package = HERE.parent / "src" / "zentrail"
    built = [path for path in package.glob("_core*") if path.name.endswith(tuple(EXTENSION_SUFFIXES))]
    return str(package.parent) if built else ""


def ensure_tree(root: Path, size_mb: float, days: int) -> generate.TreeStats:
    marker = root / "tree.json"
    params = {"size_mb": size_mb, "days": days, "seed": 1, "version": 1}
    if marker.exists():
        saved = json.loads(marker.read_text())
        if saved["params"] == params:
            stats = generate.TreeStats([Path(p) for p in saved["files"]], saved["bytes"], saved["records"])
            if all(p.exists() for p in stats.files):
                return stats
    print(f"generating {size_mb:g} MB of archives under {root} ...", flush=True)
    # From an empty folder: a tree of other parameters made here before (other
    # benchmarks ask for the same size over other days) would leave its extra
    # days among this one's files, and a read of the folder would read them.
    shutil.rmtree(root / "tree", ignore_errors=True)
    stats = generate.generate_tree(root / "tree", size_mb, days)
    marker.write_text(json.dumps({"params": params, "files": [str(p) for p in stats.files],
                                  "bytes": stats.bytes, "records": stats.records}))
    return stats


def peak_rss_of_selective_read(root: Path, code: int) -> tuple[float, float]:
    """Peak resident MiB of a fresh interpreter that imports zentrail, before
    and after one selective read. The process reads its own high-water mark:
    a child's ru_maxrss would carry this process's peak across fork and exec."""
    script = (
        "import zentrail\n"
        "def peak():\n"
        "    with open('/proc/self/status') as status:\n"
        "        return next(int(line.split()[1]) for line in status if line.startswith('VmHWM:'))\n"
        "base = peak()\n"
        f"rows = zentrail.read({str(root)!r}, *{WHOLE_RANGE!r}, [{code}])\n"
        "print(base / 1024, peak() / 1024)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    base, peak = (float(x) for x in out.stdout.split())
    return base, peak


def scan_memory(root: Path, codes: list) -> tuple[float, float, float]:
    """In a fresh process: VmHWM with numpy and zentrail imported, after
    iterating a scan, and the bytes per row of a to_numpy() after that."""
    script = (
        "import sys, numpy, zentrail\n"
        "def peak():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'): return int(line.split()[1]) / 1024\n"
        "base = peak()\n"
        f"scan = zentrail.scan({str(root)!r}, *{WHOLE_RANGE!r}, {codes!r})\n"
        "n = sum(len(b['time']) for b in scan)\n"
        "it = peak()\n"
        "cols = scan.to_numpy()\n"
        "print(base, it, (peak() - base) * 1048576 / max(n, 1))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    base, it, per_row = (float(x) for x in out.stdout.split())
    return base, it, per_row


def scan_every_memory(root: Path) -> tuple[float, float, int]:
    """In a fresh process: VmHWM with numpy and zentrail imported, and after
    iterating a scan of every signal (signals=None); and its rows."""
    script = (
        "import numpy, zentrail\n"
        "def peak():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'): return int(line.split()[1]) / 1024\n"
        "base = peak()\n"
        f"n = sum(len(b['time']) for b in zentrail.scan({str(root)!r}, *{WHOLE_RANGE!r}, None))\n"
        "print(base, peak(), n)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    base, peak, n = out.stdout.split()
    return float(base), float(peak), int(n)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=16)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cold", action="store_true",
                        help="only the cold-cache figures (needs root: drops the page cache before each run)")
    parser.add_argument("--inventory", action="store_true",
                        help="only the raw read floor, the one-code scan and the inventory")
    args = parser.parse_args()
    if args.cold and not os.access("/proc/sys/vm/drop_caches", os.W_OK):
        sys.exit("--cold needs root: it drops the page cache (/proc/sys/vm/drop_caches) before each run")
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 2, 1
        args.data = args.data / "smoke"
    years = 1 if args.smoke else 10

    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    mb = stats.bytes / 1e6
    rows = []

    if args.cold:
        print_rows(stats, mb, cold_rows(root, stats, args.repeats))
        return
    raw_read(stats.files)  # warm the page cache for both sides
    raw_s, _ = best_of(args.repeats, lambda: raw_read(stats.files))
    rare = generate.RARE_ID * 1024
    sel_s, sel_rows = best_of(args.repeats, lambda: zentrail.read(str(root), *WHOLE_RANGE, [rare]))
    rows.append(("raw read floor (1 MiB chunks)", f"{mb / raw_s:,.0f} MB/s", ""))
    rows.append(("selective read, 1 code", f"{mb / sel_s:,.0f} MB/s",
                 f"{stats.records / sel_s / 1e6:,.1f} M records/s, {len(sel_rows)} rows, "
                 f"{raw_s / sel_s:.0%} of raw floor"))

    zentrail.scan(root, *WHOLE_RANGE, [rare]).to_numpy()  # the first scan's one-time costs (imports) apart
    scan_sel_s, _ = best_of(args.repeats, lambda: zentrail.scan(root, *WHOLE_RANGE, [rare]).to_numpy())
    rows.append(("scan, 1 code", f"{mb / scan_sel_s:,.0f} MB/s", f"{sel_s / scan_sel_s:,.2f}x read's GB/s"))
    # What is in the archive: the inventory reads every record's head, on the
    # same files, beside the one-code scan just measured.
    inventory_s, inventory = best_of(args.repeats, lambda: zentrail.inventory(root))
    counted = int(inventory.to_numpy()["records"].sum())
    if counted != stats.records:
        raise SystemExit(f"the inventory counted {counted:,} records, the tree holds {stats.records:,}")
    rows.append(("inventory, every record", f"{mb / inventory_s:,.0f} MB/s",
                 f"{stats.records / inventory_s / 1e6:,.1f} M records/s, {len(inventory)} rows, "
                 f"{scan_sel_s / inventory_s:,.2f}x the 1-code scan's GB/s"))
    scan_cpu = best_cpu_of(args.repeats, lambda: zentrail.scan(root, *WHOLE_RANGE, [rare]).to_numpy())
    inventory_cpu = best_cpu_of(args.repeats, lambda: zentrail.inventory(root))
    rows.append(("processor time: scan 1 code, inventory", f"{scan_cpu * 1e3 / (mb / 1e3):,.0f} ms/GB",
                 f"{inventory_cpu * 1e3 / (mb / 1e3):,.0f} ms/GB, {scan_cpu / inventory_cpu:,.2f}x the scan's GB "
                 f"per processor second"))
    if args.inventory:
        print_rows(stats, mb, rows)
        return
    heavy_codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    heavy_s, heavy_rows = best_of(args.repeats, lambda: zentrail.read(str(root), *WHOLE_RANGE, heavy_codes))
    heavy_count = len(heavy_rows)
    del heavy_rows
    rows.append(("output-heavy read, 256 codes", f"{heavy_count / heavy_s / 1e6:,.2f} M rows/s",
                 f"{heavy_count:,} rows in {heavy_s:.2f} s"))

    # The columnar path on the same calls: rows per second and GB/s against
    # read's, and its memory (to_numpy per row; iteration above the
    # interpreter with NumPy imported).
    scan_heavy_s, columns = best_of(args.repeats, lambda: zentrail.scan(root, *WHOLE_RANGE, heavy_codes).to_numpy())
    if len(columns["time"]) != heavy_count:
        raise SystemExit(f"scan gave {len(columns['time']):,} rows, read {heavy_count:,}")
    del columns
    rows.append(("scan(...).to_numpy(), 256 codes", f"{heavy_count / scan_heavy_s / 1e6:,.2f} M rows/s",
                 f"{heavy_s / scan_heavy_s:,.1f}x read's rows/s"))
    every_base, every_peak, every_rows = scan_every_memory(root)
    rows.append(("scan(signals=None) iteration: peak RSS", f"{every_peak - every_base:,.1f} MiB",
                 f"above numpy and zentrail imported, {every_rows:,} rows"))
    base, peak, per_row = scan_memory(root, heavy_codes)
    rows.append(("scan iteration, 256 codes: peak RSS", f"{peak - base:,.1f} MiB", "above numpy and zentrail imported"))
    rows.append(("scan to_numpy memory per row", f"{per_row:,.1f} B", "beyond the interpreter's fixed amount"))

    # The pure-Python reader makes the same calls, on the first day (the
    # whole tree in a smoke run): each result must equal zentrail.read's.
    window_files = stats.files if args.smoke else stats.files[:1]
    window = WHOLE_RANGE if args.smoke else day_window(window_files[0])
    window_mb = sum(p.stat().st_size for p in window_files) / 1e6
    every_class_codes = ([ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS[:32] for index in (0, 1, 63)]
                         + [ident * 1024 for ident in generate.ALARM_IDS[:100]]
                         + [ident * 1024 + 1 for ident in generate.ALARM_IDS[:30]]
                         + [ident * 1024 for ident in generate.STRING_IDS[:30]])
    for label, codes in (("1 code", [rare]), ("256 codes", heavy_codes), ("every class, 256 codes", every_class_codes)):
        ours_s, ours = best_of(args.repeats, lambda: zentrail.read(str(root), *window, codes))
        py_s, theirs = best_of(1, lambda: pure_python_reader.read(str(root), *window, codes))
        check_same_rows(label, ours, theirs)
        rows.append((f"pure-Python reader, {label}", f"{window_mb / py_s:,.1f} MB/s",
                     f"zentrail is {py_s / ours_s:,.0f}x faster on the same call ({len(ours):,} rows)"))
        del ours, theirs

    calendar_root = args.data / f"calendar-{years}y"
    if not (calendar_root / "done").exists():
        generate.generate_calendar_tree(calendar_root / "tree", years)
        (calendar_root / "done").write_text("")
    day_s, _ = best_of(max(5, args.repeats), lambda: zentrail.read(
        str(calendar_root / "tree"), "2023-06-15 00:00:00", "2023-06-15 23:59:59", [100 * 1024]))
    rows.append((f"one-day call, {years}-year tree", f"{day_s * 1e3:,.2f} ms", ""))

    one_mb_root = args.data / "one-mb"
    if not (one_mb_root / "done").exists():
        import random
        generate.write_day_file(generate.day_path(one_mb_root / "tree", generate.ORIGIN_DAY), generate.ORIGIN_DAY,
                                1_000_000, generate._body_pool(random.Random(2), 2000), random.Random(3))
        (one_mb_root / "done").write_text("")
    one_s, _ = best_of(max(5, args.repeats), lambda: zentrail.read(str(one_mb_root / "tree"), *WHOLE_RANGE, [rare]))
    rows.append(("call on one 1 MB file", f"{one_s * 1e3:,.2f} ms", ""))

    base, peak = peak_rss_of_selective_read(root, rare)
    rows.append(("peak RSS of the selective read", f"{peak:,.1f} MiB",
                 f"{peak - base:,.1f} MiB above the interpreter with zentrail imported"))

    print_rows(stats, mb, rows)


def print_rows(stats: generate.TreeStats, mb: float, rows: list) -> None:
    print(f"\n{len(stats.files)} files, {mb:,.0f} MB, {stats.records:,} records, Python {sys.version.split()[0]}")
    width = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>16}  {note}")


if __name__ == "__main__":
    main()
