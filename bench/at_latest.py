"""Values at instants and the latest values, on a generated archive of many
small day files, in one run.

    python bench/at_latest.py [--size-mb 365] [--days 3650] [--repeats 5] [--smoke]

- zentrail.latest of every code: without the index, the run that builds
  it, and warm; and of the 256 output-heavy codes, warm;
- zentrail.at of one instant for those 256 codes (the default look back of
  7 days), and of one instant a day for 30 days, without the index and warm;
- the index's size against the archive's.

Each figure is the median of the repeats (the build is timed once).
"""

from __future__ import annotations

import argparse
import datetime
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import ensure_tree  # noqa: E402


def median_time(repeats: int, call) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def folder_bytes(folder: Path) -> int:
    return sum(os.path.getsize(os.path.join(base, name)) for base, _, names in os.walk(folder) for name in names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--size-mb", type=float, default=365)
    parser.add_argument("--days", type=int, default=3650)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 3, 30, 1
        args.data = args.data / "smoke"
    stats = ensure_tree(args.data / f"days-{args.size_mb:g}-{args.days}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    middle = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY + args.days // 2)
    instant = f"{middle} 12:00:00"
    daily = [f"{middle + datetime.timedelta(days=k)} 12:00:00" for k in range(min(30, args.days // 2))]
    index = Path(tempfile.mkdtemp(prefix="zentrail-bench-index-"))
    print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, {stats.records:,} records, "
          f"Python {sys.version.split()[0]}", flush=True)
    rows = []

    def add(name: str, seconds: float) -> None:
        rows.append((name, f"{seconds * 1000:,.1f} ms"))
        print(*rows[-1], sep="  ", flush=True)

    add("latest, every code, no index", median_time(args.repeats, lambda: zentrail.latest(root, index=False).to_numpy()))
    add("latest, every code, building the index", median_time(1, lambda: zentrail.latest(root, index=index).to_numpy()))
    add("latest, every code, warm", median_time(args.repeats, lambda: zentrail.latest(root, index=index).to_numpy()))
    add("latest, 256 codes, warm", median_time(args.repeats, lambda: zentrail.latest(root, codes, index=index).to_numpy()))
    for name, at in (("at, one instant, 256 codes", instant), (f"at, {len(daily)} daily instants, 256 codes", daily)):
        add(f"{name}, no index", median_time(args.repeats, lambda: zentrail.at(root, at, codes, index=False).to_numpy()))
        add(f"{name}, warm", median_time(args.repeats, lambda: zentrail.at(root, at, codes, index=index).to_numpy()))
    share = folder_bytes(index) / max(stats.bytes, 1)
    rows.append(("index size / archive size", f"{share:.2%}"))
    print()
    width = max(len(row[0]) for row in rows)
    for name, figure in rows:
        print(f"{name:<{width}}  {figure:>12}")


if __name__ == "__main__":
    main()
