"""Memory and speed of each consumer of a scan, each in a fresh process.

    python bench/consumers.py              # the 1 GB tree of bench/run.py (made once under bench/data)
    python bench/consumers.py --smoke      # a tiny run that only checks the suite works
    python bench/consumers.py --rows 50e6  # also a tree of at least that many rows of the 256 codes

For each consumer of the 256-code output-heavy scan: wall time, and peak
resident memory (VmHWM) above what the process held after importing
everything the consumer needs, less the size of its own result. The first
batch of the streamed export is timed from the call. PYTHONPATH chooses the
zentrail measured, so one script measures a build before and after a change.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

WHOLE_RANGE = ("2000-01-01", "2099-12-31")

# Each consumer: the imports it needs, and a statement that consumes `scan`
# and sets `result_bytes` (the size of what it keeps).
CONSUMERS = {
    "for batch in scan": ("", "rows = sum(len(b['time']) for b in scan); result_bytes = 0"),
    "pyarrow RecordBatchReader, batch by batch": (
        "import pyarrow as pa",
        "reader = pa.RecordBatchReader.from_stream(scan)\n"
        "rows = sum(b.num_rows for b in reader); result_bytes = 0"),
    "pyarrow.table(scan)": ("import pyarrow as pa", "t = pa.table(scan); rows = t.num_rows; result_bytes = t.nbytes"),
    "duckdb count(*), avg(value)": (
        "import duckdb", "rows = duckdb.sql('select count(*), avg(value) from scan').fetchall()[0][0]; result_bytes = 0"),
    "polars.DataFrame(scan)": (
        "import polars as pl", "df = pl.DataFrame(scan); rows = df.height; result_bytes = df.estimated_size()"),
    "polars.DataFrame(scan).filter(id)": (
        "import polars as pl",
        "df = pl.DataFrame(scan).filter(pl.col('signal_id') == X).select('time', 'value')\n"
        "rows = df.height; result_bytes = df.estimated_size()"),
    "lazy filter(id).select(time, value)": (
        "import polars as pl",
        "df = scan.lazy().filter(pl.col('signal_id') == X).select('time', 'value').collect()\n"
        "rows = df.height; result_bytes = df.estimated_size()"),
    "scan(one code).to_numpy()": (
        "", "cols = zentrail.scan(ROOT, *WHOLE, [X * 1024]).to_numpy(); rows = len(cols['time'])\n"
            "result_bytes = sum(c.nbytes for c in cols.values())"),
    "to_numpy() (256 codes)": (
        "", "cols = scan.to_numpy(); rows = len(cols['time']); result_bytes = sum(c.nbytes for c in cols.values())"),
}

SCRIPT = """
import sys, time, json
import numpy, zentrail
{imports}
def peak():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM:'):
            return int(line.split()[1]) / 1024
ROOT, WHOLE, CODES, X = {root!r}, {whole!r}, {codes!r}, {x!r}
scan = zentrail.scan(ROOT, *WHOLE, CODES)
base = peak()
start = time.perf_counter()
{statement}
seconds = time.perf_counter() - start
print(json.dumps({{"seconds": seconds, "peak": peak() - base, "result": result_bytes / 2**20, "rows": rows}}))
"""

FIRST_BATCH = """
import time, json, zentrail
import pyarrow as pa
scan = zentrail.scan({root!r}, *{whole!r}, {codes!r})
start = time.perf_counter()
reader = pa.RecordBatchReader.from_stream(scan)
batch = reader.read_next_batch()
print(json.dumps({{"seconds": time.perf_counter() - start}}))
"""


def run(script: str) -> dict:
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def measure(root: Path, codes: list, x: int, only: list) -> list:
    rows = []
    for name, (imports, statement) in CONSUMERS.items():
        if only and name not in only:
            continue
        try:
            got = run(SCRIPT.format(imports=imports, statement=statement, root=str(root), whole=WHOLE_RANGE,
                                    codes=codes, x=x))
        except subprocess.CalledProcessError as error:
            lines = error.stderr.strip().splitlines()
            rows.append((name, None, lines[-1] if lines else "failed"))
            continue
        rows.append((name, got, ""))
    try:
        first = min(run(FIRST_BATCH.format(root=str(root), whole=WHOLE_RANGE, codes=codes))["seconds"]
                    for _ in range(3))
        rows.append(("first batch of the streamed export", {"seconds": first}, ""))
    except subprocess.CalledProcessError as error:
        rows.append(("first batch of the streamed export", None, error.stderr.strip().splitlines()[-1]))
    return rows


def show(title: str, rows: list) -> None:
    print(f"\n{title}")
    print(f"{'consumer':<42} {'seconds':>8} {'peak above imports':>19} {'its result':>11} {'beyond result':>14}")
    for name, got, note in rows:
        if got is None:
            print(f"{name:<42} {'—':>8}  {note}")
        elif "peak" not in got:
            print(f"{name:<42} {got['seconds']:>8.3f}")
        else:
            print(f"{name:<42} {got['seconds']:>8.2f} {got['peak']:>15.0f} MiB {got['result']:>7.0f} MiB "
                  f"{got['peak'] - got['result']:>10.0f} MiB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--rows", type=float, default=0, help="also a tree of at least this many rows")
    parser.add_argument("--only", action="append", default=[], help="only this consumer (repeatable)")
    args = parser.parse_args()
    import generate
    import run as bench_run

    size_mb, days = (4, 2) if args.smoke else (1000, 16)
    data = args.data / "smoke" if args.smoke else args.data
    stats = bench_run.ensure_tree(data / f"mix-{size_mb:g}", size_mb, days)
    root = stats.files[0].parents[2]
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    x = generate.FREQUENT_GROUP_IDS[3]
    show(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, 256 codes, Python {sys.version.split()[0]}, "
         f"zentrail from {os.environ.get('PYTHONPATH') or 'site-packages'}", measure(root, codes, x, args.only))
    if args.rows and not args.smoke:
        # The same tree's files, more days: bench/run.py's generator at a
        # size that gives the rows asked for (11.5 M rows per GB).
        big_mb = args.rows / 11.5e6 * 1000
        stats = bench_run.ensure_tree(args.data / f"mix-{big_mb:.0f}", round(big_mb), max(16, round(16 * big_mb / 1000)))
        root = stats.files[0].parents[2]
        show(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, 256 codes", measure(root, codes, x, args.only))


if __name__ == "__main__":
    main()
