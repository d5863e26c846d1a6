"""zentrail.dask.read_archive against scan on the same files.

    python bench/dask_read.py           # the 1 GB tree of bench/run.py (generated once under bench/data)
    python bench/dask_read.py --smoke   # a tiny tree; checks that the script works

In one run, for bench/run.py's selective call (1 code) and its output-heavy
one (256 codes): zentrail.scan(...).to_pandas() on this process's CPUs, and
the Dask frame of one partition per day file on a LocalCluster of two worker
processes (one thread each), computed whole into this process and reduced on
the workers (the mean of the values). Cluster start-up is timed apart.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import zentrail.dask  # noqa: E402
import generate  # noqa: E402
import run  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402


def seconds(s: float) -> str:
    return f"{s:,.2f} s" if s >= 1 else f"{s * 1e3:,.1f} ms"


def forgotten(client) -> None:
    """Waits until the scheduler holds no task: from_map's keys are the same
    for the same call, so a repetition would otherwise take the last one's
    results, still held while their release travels, instead of reading."""
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        time.sleep(0.01)


def best_compute(client, repeats: int, make):
    """Best wall time of computing a fresh collection from make(), each time
    on a cluster that holds nothing, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        result = None
        forgotten(client)
        start = time.perf_counter()
        future = client.compute(make())
        result = future.result()
        best = min(best, time.perf_counter() - start)
        del future
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="a tiny tree; checks that the script works")
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    size_mb, days = 1000, 16  # bench/run.py's tree
    if args.smoke:
        size_mb, days, args.repeats, args.data = 4, 2, 1, args.data / "smoke"

    stats = run.ensure_tree(args.data / f"mix-{size_mb:g}", size_mb, days)
    root = str(stats.files[0].parents[2])
    mb = stats.bytes / 1e6
    calls = (("1 code", [generate.RARE_ID * 1024]),
             ("256 codes", [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]))
    run.raw_read(stats.files)  # warm the page cache for both sides

    rows = []
    started = time.perf_counter()
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        rows.append(("LocalCluster start, 2 worker processes", seconds(time.perf_counter() - started), ""))
        for label, codes in calls:
            scan_s, frame = run.best_of(args.repeats, lambda: zentrail.scan(root, *run.WHOLE_RANGE, codes).to_pandas())
            count = len(frame)
            del frame
            dask_s, frame = best_compute(client, args.repeats,
                                         lambda: zentrail.dask.read_archive(root, *run.WHOLE_RANGE, codes))
            if len(frame) != count:
                raise SystemExit(f"{label}: the Dask frame has {len(frame):,} rows, scan {count:,}")
            del frame
            mean_s, _ = best_compute(client, args.repeats,
                                     lambda: zentrail.dask.read_archive(root, *run.WHOLE_RANGE, codes)["value"].mean())
            rows.append((f"scan(...).to_pandas(), {label}", seconds(scan_s),
                         f"{mb / scan_s:,.0f} MB/s, {count:,} rows"))
            rows.append((f"Dask, {len(stats.files)} partitions, to this process, {label}", seconds(dask_s),
                         f"{mb / dask_s:,.0f} MB/s, {dask_s / scan_s:,.2f}x scan's time"))
            rows.append((f"Dask, mean on the workers, {label}", seconds(mean_s),
                         f"{mb / mean_s:,.0f} MB/s, {mean_s / scan_s:,.2f}x scan's time"))

    print(f"\n{len(stats.files)} files, {mb:,.0f} MB, {stats.records:,} records, Python {sys.version.split()[0]}, "
          f"best of {args.repeats}")
    width = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>10}  {note}")


if __name__ == "__main__":
    main()
