"""Reads in a zone against the same reads without one, on the benchmark
tree, in one run.

    python bench/zones.py [--size-mb 1000] [--repeats 5] [--smoke]

The tree's wall times read as Europe/Berlin instants (the engine turns each
record's wall time into an instant with a per-day table of the zone's
changes): a whole scan of every code to_numpy(), a scan of the 64 frequent
codes, and align('1s') of 256 codes streamed. Each ratio is the median of
pairs timed one after the other, the order alternating.
"""

from __future__ import annotations

import argparse
import datetime
import statistics
import sys
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import ensure_tree  # noqa: E402

ZONE = "Europe/Berlin"


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def pair(repeats: int, zoned, naive) -> tuple:
    """Median times of both calls and the median of their ratios, the call
    that runs first alternating from repeat to repeat."""
    a, b = [], []
    for k in range(repeats):
        if k % 2:
            b.append(timed(naive))
            a.append(timed(zoned))
        else:
            a.append(timed(zoned))
            b.append(timed(naive))
    return statistics.median(a), statistics.median(b), statistics.median(x / y for x, y in zip(a, b))


def drain(stream) -> None:
    import pyarrow

    for batch in pyarrow.RecordBatchReader.from_stream(stream):
        del batch


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=16)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 3, 1
        args.data = args.data / "smoke"
    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    first_day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY)
    span = (str(first_day), str(first_day + datetime.timedelta(days=args.days - 1)))
    codes64 = [ident * 1024 for ident in generate.FREQUENT_GROUP_IDS]
    codes256 = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, {stats.records:,} records, "
          f"Python {sys.version.split()[0]}", flush=True)
    reads = (
        ("scan, every code, to_numpy()", lambda tz: zentrail.scan(root, *span, tz=tz).to_numpy()),
        ("scan, 64 codes, to_numpy()", lambda tz: zentrail.scan(root, *span, codes64, tz=tz).to_numpy()),
        ("align('1s'), 256 codes, Arrow stream", lambda tz: drain(zentrail.scan(root, *span, codes256, tz=tz)
                                                                .align("1s"))),
    )
    # The zone's table of changes is made once per process: not part of a read.
    zentrail.scan(root, span[0], span[0], codes64[:1], tz=ZONE).to_numpy()
    rows = []
    for name, read in reads:
        zoned, naive, ratio = pair(args.repeats, lambda: read(ZONE), lambda: read(False))
        rows.append((name, f"{ratio:.2f}x", f"{zoned:.2f} s in {ZONE} against {naive:.2f} s naive"))
        print(*rows[-1], sep="  ", flush=True)
    print()
    width = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>8}  {note}")


if __name__ == "__main__":
    main()
