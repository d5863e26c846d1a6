"""The alarm episodes and their report against reading the alarm records.

    python bench/alarms.py [--data bench/data] [--plant bench/data/plant-365] [--repeats 5] [--smoke]

On the 1 GB mixed tree (bench/data/mix-1000, made by bench/generate.py when
missing), over all of its days and over one day: zentrail.alarms(...)
.report() against zentrail.events(..., system=False).to_numpy() of the
same window (the records the episodes are made of), timed in pairs whose
order alternates, and the report of the episodes alone. The target is at
most 1.5 times the read. A one-day window reads the day after too
(follow="1d"), so it is also timed with follow="0". With --plant (a tree
written by examples/simulate_plant.py; written there with --days 365
--signals 40 --period 60 when missing), the same over its whole span.
Times and ratios are medians of the repeats, warm page cache.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path
from typing import Any, List, Tuple

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

from at_latest import median_time  # noqa: E402
from run import ensure_tree  # noqa: E402


def compare(root: str, start: str, end: str, label: str, repeats: int, follow: str = "1d") -> None:
    """The read and the report timed in pairs, the one that runs first
    alternating, so that a machine busy with other work weighs on both."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a window of no alarm says so; timed all the same
        read, report = pair(repeats, lambda: zentrail.events(root, start, end, system=False).to_numpy(),
                            lambda: zentrail.alarms(root, start, end, follow=follow).report())
        found = zentrail.alarms(root, start, end, follow=follow)
        alone = median_time(repeats, lambda: found.report())
    print(f"{label} (follow {follow}): {len(found):,} episodes\n"
          f"  events(system=False).to_numpy()  {statistics.median(read):7.3f} s\n"
          f"  alarms(...).report()             {statistics.median(report):7.3f} s, "
          f"{statistics.median(r / e for r, e in zip(report, read)):4.2f}x the read (target at most 1.5x)\n"
          f"  of which .report()               {alone:7.3f} s", flush=True)


def pair(repeats: int, first: Any, second: Any) -> Tuple[List[float], List[float]]:
    a: List[float] = []
    b: List[float] = []
    for k in range(repeats):
        for call, into in ((first, a), (second, b)) if k % 2 == 0 else ((second, b), (first, a)):
            began = time.perf_counter()
            call()
            into.append(time.perf_counter() - began)
    return a, b


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--plant", type=Path, default=None, help="a simulated plant's tree, timed over its span")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--smoke", action="store_true", help="a tiny tree of its own; checks that the suite runs")
    args = parser.parse_args()
    size, days = (1000, 30) if not args.smoke else (3, 4)
    if args.smoke:
        args.data, args.repeats = args.data / "smoke", 1
    stats = ensure_tree(args.data / f"mix-{size}", size, days)
    root = str(stats.files[0].parents[2])
    first, last = stats.files[0].name[:10], stats.files[-1].name[:10]
    middle = stats.files[len(stats.files) // 2].name[:10]
    print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, Python {sys.version.split()[0]}", flush=True)
    compare(root, first, last, f"mix, {first} to {last}", args.repeats)
    compare(root, middle, middle, f"mix, {middle}", args.repeats)
    compare(root, middle, middle, f"mix, {middle}", args.repeats, "0")
    if args.plant is not None:
        if not args.plant.exists():
            import subprocess

            print(f"simulating a plant's year under {args.plant} ...", flush=True)
            subprocess.run([sys.executable, str(HERE.parent / "examples" / "simulate_plant.py"), str(args.plant),
                            "--days", "365", "--signals", "40", "--period", "60"], check=True)
        files = zentrail.find_files(str(args.plant), "0001-01-01", "9999-12-31")
        compare(str(args.plant), Path(files[0]).name[:10], Path(files[-1]).name[:10],
                f"plant, {len(files)} days", args.repeats)


if __name__ == "__main__":
    main()
