"""Time series against reading the rows, on the benchmark tree, in one run.

    python bench/time_series.py [--size-mb 1000] [--repeats 3] [--smoke]

On the output-heavy codes (4 elements of each of the 64 frequent group
signals, 256 codes):

- align(every="1s") over the whole tree, its Arrow stream consumed batch by
  batch, against scan(...).to_numpy(); and the peak resident memory of that
  consumption above a fresh interpreter with NumPy, pyarrow and zentrail
  imported;
- a one-day align with the default lookback (7 days) in the middle of the
  tree (every code has values the day before) against a two-day
  to_numpy() of the same codes;
- overview(every="1h", time_weighted=True) against overview(every="1h"), and
  the plain overview of 2,000 buckets against to_numpy().

Each figure is the median of the repeats; each repeat times the two calls of
a pair one after the other, and the ratio is the median of the pairs'.
"""

from __future__ import annotations

import argparse
import datetime
import statistics
import subprocess
import sys
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import ensure_tree  # noqa: E402


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def pair(repeats: int, ours, theirs) -> tuple[float, float, float]:
    """Median times of both calls and the median of their ratios."""
    a, b = [], []
    for _ in range(repeats):
        a.append(timed(ours))
        b.append(timed(theirs))
    return statistics.median(a), statistics.median(b), statistics.median(x / y for x, y in zip(a, b))


def drain(stream) -> None:
    import pyarrow

    for batch in pyarrow.RecordBatchReader.from_stream(stream):
        del batch


def stream_peak(root: Path, span: tuple, codes: list, every: str) -> float:
    """MiB of VmHWM a fresh interpreter adds consuming align's Arrow stream."""
    script = (
        "import sys, numpy, pyarrow, zentrail\n"
        "def peak():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'): return int(line.split()[1]) / 1024\n"
        "base = peak()\n"
        f"aligned = zentrail.scan({str(root)!r}, *{span!r}, {codes!r}).align({every!r})\n"
        "rows = 0\n"
        "for batch in pyarrow.RecordBatchReader.from_stream(aligned):\n"
        "    rows += batch.num_rows\n"
        "    del batch\n"
        "print(peak() - base, rows)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout.split()
    return float(out[0])


def add(rows: list, row: tuple) -> None:
    rows.append(row)
    print(*row, sep="  ", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=16)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 3, 1
        args.data = args.data / "smoke"
    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    # The tree's own days: a grid over a century would be all the work.
    first_day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY)
    span = (str(first_day), str(first_day + datetime.timedelta(days=args.days - 1)))
    scan = zentrail.scan(root, *span, codes)
    rows = []
    print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, {stats.records:,} records, "
          f"Python {sys.version.split()[0]}", flush=True)

    ours, theirs, ratio = pair(args.repeats, lambda: drain(scan.align("1s")), scan.to_numpy)
    add(rows, ("align('1s') Arrow stream / to_numpy()", f"{ratio:.2f}x", f"{ours:.2f} s against {theirs:.2f} s"))
    add(rows, ("align('1s') stream: peak RSS", f"{stream_peak(root, span, codes, '1s'):,.1f} MiB",
                 "above numpy, pyarrow and zentrail imported"))

    middle = generate.ORIGIN_DAY + args.days // 2
    day = str(generate.fmt.ORIGIN + datetime.timedelta(days=middle))
    before = str(generate.fmt.ORIGIN + datetime.timedelta(days=middle - 1))
    one_day = zentrail.scan(root, day, day, codes)
    two_days = zentrail.scan(root, before, day, codes)
    ours, theirs, ratio = pair(args.repeats, lambda: drain(one_day.align("1s")), two_days.to_numpy)
    add(rows, ("one-day align('1s'), lookback 7d / two-day to_numpy()", f"{ratio:.2f}x",
                 f"{ours:.2f} s against {theirs:.2f} s"))

    ours, theirs, ratio = pair(args.repeats, lambda: scan.overview(every="1h", time_weighted=True).to_numpy(),
                               lambda: scan.overview(every="1h").to_numpy())
    add(rows, ("overview(every='1h', time_weighted) / overview(every='1h')", f"{ratio:.2f}x",
                 f"{ours:.2f} s against {theirs:.2f} s"))
    ours, theirs, ratio = pair(args.repeats, lambda: scan.overview(2000).to_numpy(), scan.to_numpy)
    add(rows, ("overview(2000) / to_numpy()", f"{ratio:.2f}x", f"{ours:.2f} s against {theirs:.2f} s"))

    print()
    width = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>12}  {note}")


if __name__ == "__main__":
    main()
