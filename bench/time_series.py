"""Time series against reading the rows, on the benchmark tree, in one run.

    python bench/time_series.py [--size-mb 1000] [--repeats 3] [--before ../old/src] [--smoke]

On the output-heavy codes (4 elements of each of the 64 frequent group
signals, 256 codes):

- align(every="1s") over the whole tree, its Arrow stream consumed batch by
  batch, against scan(...).to_numpy(); and the peak resident memory of that
  consumption above a fresh interpreter with NumPy, pyarrow and zentrail
  imported;
- align("1s").to_numpy() against draining the same grid's Arrow stream, over
  at most the tree's first 8 days (a month would exceed MAX_GRID_CELLS);
- a one-day align with the default lookback (7 days) in the middle of the
  tree (every code has values the day before) against a two-day
  to_numpy() of the same codes;
- overview(every="1h", time_weighted=True) against overview(every="1h"), and
  the plain overview of 2,000 buckets against to_numpy();
- scan(...).to_pandas(names=True) against names=False;
- the stream and the weighted overview again with the tree's index built
  (a fresh folder, by this checkout's package): the pairs above read with
  no index.

Each pair runs in a fresh interpreter; each repeat times its two calls one
after the other, and a figure is the median of the repeats (the ratio the
median of the pairs'). With ``--before SRC`` (a ``src`` folder whose
``zentrail`` has its compiled core beside it, as bench/read_plan.py takes)
every pair runs for that package and for this checkout's, alternating, so
that both meet the same page cache and load: the ratios before and after
stand side by side.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import ensure_tree, this_checkout_src  # noqa: E402


# name, what runs once before, our call, the call it is held against
PAIRS = (
    ("align('1s') Arrow stream / to_numpy()", "", "drain(scan.align('1s'))", "scan.to_numpy()"),
    ("align('1s').to_numpy() / its Arrow stream, <= 8 days", "", "first_days.align('1s').to_numpy()",
     "drain(first_days.align('1s'))"),
    ("one-day align('1s'), lookback 7d / two-day to_numpy()", "", "drain(one_day.align('1s'))", "two_days.to_numpy()"),
    ("overview(every='1h', time_weighted) / overview(every='1h')", "",
     "scan.overview(every='1h', time_weighted=True).to_numpy()", "scan.overview(every='1h').to_numpy()"),
    ("overview(2000) / to_numpy()", "", "scan.overview(2000).to_numpy()", "scan.to_numpy()"),
    ("to_pandas(names=True) / names=False", "scan.to_pandas()", "scan.to_pandas(names=True)", "scan.to_pandas()"),
)
# The same series with the tree's index built (`zentrail index`): the files
# it knows lie wholly after a series' start have no heads read. The pairs
# above run with no index.
INDEXED_PAIRS = (
    ("indexed: align('1s') Arrow stream / to_numpy()", "", "drain(scan.align('1s'))", "scan.to_numpy()"),
    ("indexed: overview(every='1h', time_weighted) / overview(every='1h')", "",
     "scan.overview(every='1h', time_weighted=True).to_numpy()", "scan.overview(every='1h').to_numpy()"),
)


def child_script(root: Path, days: int, repeats: int, setup: str, ours: str, theirs: str) -> str:
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    first_day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY)
    day = lambda n: str(first_day + datetime.timedelta(days=n))  # noqa: E731
    middle = days // 2
    return (
        "import json, time, warnings\nwarnings.simplefilter('ignore')\nimport pyarrow, zentrail\n"
        "def drain(stream):\n"
        "    for batch in pyarrow.RecordBatchReader.from_stream(stream):\n"
        "        del batch\n"
        f"root, codes = {str(root)!r}, {codes!r}\n"
        # The tree's own days: a grid over a century would be all the work.
        f"scan = zentrail.scan(root, {day(0)!r}, {day(days - 1)!r}, codes)\n"
        f"first_days = zentrail.scan(root, {day(0)!r}, {day(min(days, 8) - 1)!r}, codes)\n"
        f"one_day = zentrail.scan(root, {day(middle)!r}, {day(middle)!r}, codes)\n"
        f"two_days = zentrail.scan(root, {day(middle - 1)!r}, {day(middle)!r}, codes)\n"
        f"{setup}\n"
        "ours, theirs = [], []\n"
        f"for _ in range({repeats}):\n"
        "    start = time.perf_counter()\n"
        f"    {ours}\n"
        "    ours.append(time.perf_counter() - start)\n"
        "    start = time.perf_counter()\n"
        f"    {theirs}\n"
        "    theirs.append(time.perf_counter() - start)\n"
        "print(json.dumps([ours, theirs]))\n")


def run_pair(src: str, script: str, index: str = "off") -> tuple[float, float, float]:
    """Median times of both calls and the median of their ratios, in a fresh
    interpreter with `src` first on the path ("" for this interpreter's) and
    `index` its index folder ("off": none)."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([path for path in (src, str(HERE.parent / "tools")) if path]),
           "ZENTRAIL_INDEX": index}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True)
    a, b = json.loads(done.stdout.strip().splitlines()[-1])
    return statistics.median(a), statistics.median(b), statistics.median(x / y for x, y in zip(a, b))


def stream_peak(root: Path, span: tuple, codes: list, every: str, index: str = "off") -> float:
    """MiB of VmHWM a fresh interpreter adds consuming align's Arrow stream
    (with `index` its index folder, "off": none)."""
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
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                         env={**os.environ, "ZENTRAIL_INDEX": index}).stdout.split()
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
    parser.add_argument("--before", help="the src folder of a package to compare with, pair by pair")
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 3, 1
        args.data = args.data / "smoke"
    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    # This checkout's sources where their core is built beside them, else
    # the package installed in this interpreter.
    after = this_checkout_src()
    rows = []
    print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, {stats.records:,} records, "
          f"Python {sys.version.split()[0]}; load {os.getloadavg()[0]:.1f}"
          + (f"; before: {args.before}" if args.before else ""), flush=True)
    index_folder = tempfile.mkdtemp(prefix="zentrail-bench-index-")
    for k, (name, setup, ours, theirs) in enumerate(PAIRS + INDEXED_PAIRS):
        if k == len(PAIRS):
            # Built by this checkout's package, whose index holds what its
            # series take (the package before reads what it knows of it).
            subprocess.run([sys.executable, "-c", f"import zentrail; zentrail.build_index({str(root)!r})"],
                           check=True, env={**os.environ, "ZENTRAIL_INDEX": index_folder, "PYTHONPATH": os.pathsep.join(
                               [path for path in (after, str(HERE.parent / "tools")) if path])})
        folder = index_folder if k >= len(PAIRS) else "off"
        script = child_script(root, args.days, args.repeats, setup, ours, theirs)
        if args.before is not None:
            previous = run_pair(args.before, script, folder)
        now = run_pair(after, script, folder)
        note = f"{now[0]:.2f} s against {now[1]:.2f} s"
        if args.before is not None:
            note = f"before {previous[2]:.2f}x ({previous[0]:.2f} s against {previous[1]:.2f} s); {note}"
        add(rows, (name, f"{now[2]:.2f}x", note))
    first_day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY)
    span = (str(first_day), str(first_day + datetime.timedelta(days=args.days - 1)))
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    add(rows, ("align('1s') stream: peak RSS", f"{stream_peak(root, span, codes, '1s'):,.1f} MiB",
               "above numpy, pyarrow and zentrail imported"))
    add(rows, ("indexed: align('1s') stream: peak RSS", f"{stream_peak(root, span, codes, '1s', index_folder):,.1f} MiB",
               "the files after the start read in an order not known before"))

    shutil.rmtree(index_folder, ignore_errors=True)
    print(f"\nload {os.getloadavg()[0]:.1f}")
    width = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>12}  {note}")


if __name__ == "__main__":
    main()
