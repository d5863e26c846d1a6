"""Gaps and availability against reading the rows, with and without the
index of the files' summaries.

    python bench/gaps.py [--tree bench/data/mix-1000/tree] [--repeats 3] [--days 30] [--smoke]

For three codes (two elements of a group signal and an alarm, or what the
tree holds) over the last --days days of the tree and over one day of it,
and for every code over that day: zentrail.gaps and zentrail.availability
without an index (index=False) and warm (an index folder of this run's own,
made by a first call), against scan(...).to_numpy() of the same codes; then
the index's size against the archive's. Times are medians of the repeats,
warm page cache, one run. A summary larger than the index keeps (0.3% of its
file) is made again at each read, as without an index.
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import warnings
from pathlib import Path

import zentrail
from at_latest import median_time  # (bench/ is the script's own folder on the path)

HERE = Path(__file__).resolve().parent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", default=str(HERE / "data" / "mix-1000" / "tree"))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--smoke", action="store_true", help="a tiny tree of its own; checks that the suite runs")
    args = parser.parse_args()
    if args.smoke:
        import sys

        sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]
        import generate

        args.tree, args.repeats, args.days = str(HERE / "data" / "smoke" / "gaps-years" / "tree"), 1, 6
        if not Path(args.tree).exists():
            generate.generate_years_tree(Path(args.tree), 12)
    root = args.tree
    files = zentrail.find_files(root, "0001-01-01", "9999-12-31")
    first, last = Path(files[-args.days]).name[:10], Path(files[-1]).name[:10]
    day = Path(files[-(args.days // 2) - 1]).name[:10]
    held = zentrail.inventory(root, day, day, index=False).to_numpy()
    groups = held["signal_id"][held["elements"] > 1]
    alarms = held["signal_id"][(held["elements"] == 1) & (held["signal_id"] > 0)]
    few = ([int(groups[0]) * 1024, int(groups[0]) * 1024 + 1] if len(groups) else []) + \
        ([int(alarms[0]) * 1024] if len(alarms) else [])
    folder = tempfile.mkdtemp(prefix="zentrail-bench-index-")
    try:
        # Every code over every day would hold all of their spells at once
        # (gigabytes on the mix tree, whose 140,000 codes are mostly alarms
        # logged a few dozen times a day): every code over one day.
        for signals, start, end, label in ((few, first, last, f"{len(few)} codes, {args.days} days"),
                                           (few, day, day, f"{len(few)} codes, 1 day"),
                                           (None, day, day, "every code, 1 day")):
            scan = median_time(args.repeats, lambda: zentrail.scan(root, start, end, signals, index=False).select(
                "time", "signal_id", "element").to_numpy())
            print(f"{label}: scan(...).to_numpy() {scan:.3f} s")
            for name, call in (("gaps", lambda index: zentrail.gaps(root, start, end, signals, index=index)),
                               ("availability", lambda index: zentrail.availability(root, start, end, "1d", signals,
                                                                                     index=index))):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    cold = median_time(args.repeats, lambda: call(False))
                    call(folder)  # the summaries made, once
                    warm = median_time(args.repeats, lambda: call(folder))
                print(f"  {name:13s} without an index {cold:7.3f} s ({cold / scan:5.1f}x)   "
                      f"warm index {warm:7.3f} s ({warm / scan:5.1f}x)")
        kept = sum(os.path.getsize(os.path.join(where, name)) for where, _, names in os.walk(folder) for name in names)
        archive = sum(os.path.getsize(path) for path in files)
        print(f"index: {kept / 1e6:.2f} MB, {100 * kept / archive:.3f}% of the archive ({archive / 1e9:.2f} GB)")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
