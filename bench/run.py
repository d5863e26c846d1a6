"""Benchmarks of zentrail.read, printed as one table.

    python bench/run.py            # about 1 GB of archives (generated once under bench/data)
    python bench/run.py --smoke    # a tiny run that only checks the suite works

Measured in one run on the same files: the selective read against the raw
read floor, an output-heavy read, the pure-Python baseline, the fixed cost
of a call (ten-year tree, one-day window; one 1 MB file) and the peak
resident memory of the selective read.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

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


def raw_read(paths) -> int:
    chunk = bytearray(1 << 20)
    total = 0
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while n := f.readinto(chunk):
                total += n
    return total


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
    stats = generate.generate_tree(root / "tree", size_mb, days)
    marker.write_text(json.dumps({"params": params, "files": [str(p) for p in stats.files],
                                  "bytes": stats.bytes, "records": stats.records}))
    return stats


def peak_rss_of_selective_read(root: Path, code: int) -> tuple[float, float]:
    """Peak resident MiB of a fresh interpreter that imports zentrail, before
    and after one selective read."""
    script = (
        "import resource, zentrail, sys\n"
        "base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        f"rows = zentrail.read({str(root)!r}, *{WHOLE_RANGE!r}, [{code}])\n"
        "peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "print(base / 1024, peak / 1024)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    base, peak = (float(x) for x in out.stdout.split())
    return base, peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=16)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 2, 1
        args.data = args.data / "smoke"
    years = 1 if args.smoke else 10

    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    mb = stats.bytes / 1e6
    rows = []

    raw_read(stats.files)  # warm the page cache for both sides
    raw_s, _ = best_of(args.repeats, lambda: raw_read(stats.files))
    rare = generate.RARE_ID * 1024
    sel_s, sel_rows = best_of(args.repeats, lambda: zentrail.read(str(root), *WHOLE_RANGE, [rare]))
    rows.append(("raw read floor (1 MiB chunks)", f"{mb / raw_s:,.0f} MB/s", ""))
    rows.append(("selective read, 1 code", f"{mb / sel_s:,.0f} MB/s",
                 f"{stats.records / sel_s / 1e6:,.1f} M records/s, {len(sel_rows)} rows, "
                 f"{raw_s / sel_s:.0%} of raw floor"))

    heavy_codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    heavy_s, heavy_rows = best_of(args.repeats, lambda: zentrail.read(str(root), *WHOLE_RANGE, heavy_codes))
    heavy_count = len(heavy_rows)
    del heavy_rows
    rows.append(("output-heavy read, 256 codes", f"{heavy_count / heavy_s / 1e6:,.2f} M rows/s",
                 f"{heavy_count:,} rows in {heavy_s:.2f} s"))

    subset = stats.files[:1]
    subset_mb = sum(p.stat().st_size for p in subset) / 1e6
    py_s, _ = best_of(1, lambda: pure_python_reader.read_files(subset, [rare]))
    rows.append(("pure-Python decoder, 1 code", f"{subset_mb / py_s:,.1f} MB/s",
                 f"zentrail is {(mb / sel_s) / (subset_mb / py_s):,.0f}x faster"))
    py_heavy_s, py_heavy_rows = best_of(1, lambda: pure_python_reader.read_files(subset, heavy_codes))
    py_rate = len(py_heavy_rows) / py_heavy_s
    del py_heavy_rows
    rows.append(("pure-Python decoder, 256 codes", f"{py_rate / 1e6:,.2f} M rows/s",
                 f"zentrail is {heavy_count / heavy_s / py_rate:,.1f}x faster"))

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

    print(f"\n{len(stats.files)} files, {mb:,.0f} MB, {stats.records:,} records, Python {sys.version.split()[0]}")
    width = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>16}  {note}")


if __name__ == "__main__":
    main()
