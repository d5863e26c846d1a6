"""The alarm episodes and their report against reading the alarm records.

    python bench/alarms.py [--data bench/data] [--plant bench/data/plant-365] [--repeats 5] [--smoke]

On the 1 GB mixed tree (bench/data/mix-1000, made by bench/generate.py when
missing), over all of its days and over one day: zentrail.alarms(...)
.report() against zentrail.events(..., system=False).to_numpy() of the same
window (the records the episodes are made of), and the two parts apart
(the episodes, the report of them). The target is at most 1.5 times the
read. A one-day window reads the day after too (follow="1d"), so it is
also timed with follow="0". With --plant (a tree written by
examples/simulate_plant.py, e.g. --days 365 --signals 40 --period 60), the
same over its whole span. Times are medians of the repeats, warm page
cache.
"""

from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

from at_latest import median_time  # noqa: E402
from run import ensure_tree  # noqa: E402


def compare(root: str, start: str, end: str, label: str, repeats: int, follow: str = "1d") -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a window of no alarm says so; timed all the same
        read = median_time(repeats, lambda: zentrail.events(root, start, end, system=False).to_numpy())
        episodes = median_time(repeats, lambda: zentrail.alarms(root, start, end, follow=follow))
        found = zentrail.alarms(root, start, end, follow=follow)
        report = median_time(repeats, lambda: found.report())
        both = median_time(repeats, lambda: zentrail.alarms(root, start, end, follow=follow).report())
    print(f"{label} (follow {follow}): {len(found):,} episodes\n"
          f"  events(system=False).to_numpy() {read:7.3f} s\n"
          f"  alarms(...)                     {episodes:7.3f} s ({episodes / read:4.2f}x)\n"
          f"  .report() of them               {report:7.3f} s\n"
          f"  alarms(...).report()            {both:7.3f} s ({both / read:4.2f}x; target at most 1.5x)",
          flush=True)


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
        files = zentrail.find_files(str(args.plant), "0001-01-01", "9999-12-31")
        compare(str(args.plant), Path(files[0]).name[:10], Path(files[-1]).name[:10],
                f"plant, {len(files)} days", args.repeats)


if __name__ == "__main__":
    main()
