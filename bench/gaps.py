"""Gaps and availability against reading the rows, and the size of the files'
summaries they are made of.

    python bench/gaps.py [--tree bench/data/mix-1000/tree] [--repeats 3]

For three codes (two elements of a frequent group signal and an alarm) over
the window the tree spans and over one day of it, and for every code over
that day:
zentrail.gaps and zentrail.availability without an index (index=False) and
with the files' summaries held (as a warm index holds them, in memory here),
against scan(...).to_numpy() of the same codes; then the bytes of a file's
summary, in all and per code. Times are medians of the repeats, warm page
cache, one run.
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings
from pathlib import Path

import zentrail
from zentrail._series import gaps as _gaps

HERE = Path(__file__).resolve().parent
FEW = [100 * 1024, 100 * 1024 + 1, 5000 * 1024]


def median_of(repeats, call):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def holding(store):
    """per_file of the summaries held in `store`, made on first use."""
    def per_file(plan, section, compute, *, version=1, index=None):
        out = []
        for path in plan.files():
            if path not in store:
                store[path] = compute(plan.with_files([path]).widened(None, None))
            out.append((path, store[path]))
        return out
    return per_file


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", default=str(HERE / "data" / "mix-1000" / "tree"))
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    root = args.tree
    files = zentrail.find_files(root, "0001-01-01", "9999-12-31")
    first, last = Path(files[0]).name[:10], Path(files[-1]).name[:10]
    day = Path(files[len(files) // 2]).name[:10]
    store: dict = {}
    computed = _gaps.per_file
    # Every code over every day would hold all of their spells at once
    # (gigabytes on the benchmark tree, whose 140,000 codes are mostly
    # alarms logged a few dozen times a day): every code over one day.
    for signals, start, end, label in ((FEW, first, last, f"3 codes, {len(files)} days"),
                                       (FEW, day, day, "3 codes, 1 day"), (None, day, day, "every code, 1 day")):
        scan = median_of(args.repeats, lambda: zentrail.scan(root, start, end, signals).select(
            "time", "signal_id", "element").to_numpy())
        print(f"{label}: scan(...).to_numpy() {scan:.3f} s")
        for name, call in (("gaps", lambda index: zentrail.gaps(root, start, end, signals, index=index)),
                           ("availability", lambda index: zentrail.availability(root, start, end, "1d", signals,
                                                                                 index=index))):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                cold = median_of(args.repeats, lambda: call(False))
                _gaps.per_file = holding(store)
                try:
                    call(None)  # the summaries made, once
                    warm = median_of(args.repeats, lambda: call(None))
                finally:
                    _gaps.per_file = computed
            print(f"  {name:13s} without an index {cold:7.3f} s ({cold / scan:5.1f}x)   "
                  f"summaries held {warm:7.3f} s ({warm / scan:5.1f}x)")
    sizes = [(sum(array.nbytes for array in part.values()), len(part["code"])) for part in store.values()]
    total = sum(size for size, _ in sizes)
    archive = sum(Path(path).stat().st_size for path in store)
    print(f"summaries: {len(sizes)} files, {total / 1e6:.1f} MB, {100 * total / archive:.0f}% of their files; "
          f"{total / max(sum(codes for _, codes in sizes), 1):.0f} bytes a code a file")


if __name__ == "__main__":
    main()
