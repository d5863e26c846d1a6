"""The value in force on a grid, zentrail against the recipes a data team
would write with pandas, polars and DuckDB, end to end from the archive.

    python bench/peers.py [--size-mb 1000] [--days 30] [--codes 256] [--repeats 3] [--smoke]

The job: the values of the output-heavy codes (4 elements of the frequent
group signals) in force at every second of one day in the middle of the
benchmark tree, as one wide table (a column per code). zentrail does it with
`scan(...).align("1s").to_numpy()`. The others cannot read the archive: they
start from zentrail's rows (a scan from the day before, so that every code
has a value at the day's first second), leave out the rows without a number
(texts, times: NaN in a scan's values, which hold no value in force), and then

- pandas: `merge_asof` of the grid with each code's rows;
- polars: `join_asof` of the grid with each code's rows;
- DuckDB: one `ASOF LEFT JOIN` of the grid crossed with the codes against
  the rows, pivoted to a column per code.

Each recipe's result is checked cell by cell against zentrail's before it is
timed (ties at one instant: the last row read is in force, as a stable sort
keeps it). Each runs in a fresh interpreter, its imports done before the
clock starts; a figure is the median of the repeats.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import ensure_tree  # noqa: E402

PRELUDE = """
import json, sys, time, warnings
warnings.simplefilter("ignore")
import numpy as np
import zentrail
root, codes, before, start, end = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
names = [f"{c >> 10}:{c & 1023}" for c in codes]
grid = np.arange(np.datetime64(start.replace(" ", "T"), "ns"), np.datetime64(end.replace(" ", "T"), "ns")
                 + np.timedelta64(1, "s"), np.timedelta64(1, "s"))
"""

# Each recipe leaves `table`: a dict of the grid's times and a column per code.
RECIPES = {
    "zentrail": """
import pyarrow
def job():
    return zentrail.scan(root, start, end, codes).align("1s").to_numpy()
""",
    "pandas": """
import pandas as pd
def job():
    rows = zentrail.scan(root, before, end, codes).to_pandas()
    rows = rows[rows["value"].notna()]
    left = pd.DataFrame({"time": grid})
    table = {"time": grid}
    for (signal, element), part in rows.groupby(["signal_id", "element"], sort=False):
        part = part[["time", "value"]].sort_values("time", kind="stable")
        table[f"{signal}:{element}"] = pd.merge_asof(left, part, on="time")["value"].to_numpy()
    return table
""",
    "polars": """
import polars as pl
import pyarrow
def job():
    rows = pl.from_arrow(pyarrow.table(zentrail.scan(root, before, end, codes))).filter(pl.col("value").is_not_nan())
    left = pl.DataFrame({"time": grid})
    table = {"time": grid}
    for (signal, element), part in rows.partition_by(["signal_id", "element"], as_dict=True).items():
        part = part.select("time", "value").sort("time", maintain_order=True)
        table[f"{signal}:{element}"] = left.join_asof(part, on="time", strategy="backward")["value"].to_numpy()
    return table
""",
    "DuckDB": """
import duckdb
import pyarrow
def job():
    rows = pyarrow.table(zentrail.scan(root, before, end, codes))
    points = pyarrow.table({"time": grid})
    found = duckdb.sql(
        "with r as (select * from rows where not isnan(value)), "
        "c as (select distinct signal_id, element from r) "
        "select c.signal_id, c.element, p.time, r.value from points p cross join c "
        "asof left join r on r.signal_id = c.signal_id and r.element = c.element and r.time <= p.time "
        "order by c.signal_id, c.element, p.time").fetchnumpy()
    table = {"time": grid}
    cells = len(grid)
    for k in range(0, len(found["time"]), cells):
        table[f"{found['signal_id'][k]}:{found['element'][k]}"] = np.asarray(found["value"][k:k + cells],
                                                                              dtype=np.float64)
    return table
""",
}

RUN = """
check = json.loads(sys.argv[6])
table = job()
if check:
    reference = zentrail.scan(root, start, end, codes).align("1s").to_numpy()
    assert np.array_equal(table["time"], reference["time"]), "grids differ"
    for name in names:
        if not np.array_equal(np.asarray(table[name], dtype=np.float64), reference[name], equal_nan=True):
            print(json.dumps({"differs": name}))
            sys.exit(0)
took = []
for _ in range(int(sys.argv[7])):
    began = time.perf_counter()
    job()
    took.append(time.perf_counter() - began)
print(json.dumps({"seconds": took}))
"""


def run_recipe(name: str, root: Path, codes: list, span: tuple, repeats: int) -> dict:
    script = PRELUDE + RECIPES[name] + RUN
    done = subprocess.run([sys.executable, "-c", script, str(root), json.dumps(codes), *span,
                           json.dumps(name != "zentrail"), str(repeats)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--codes", type=int, default=256, help="how many of the 256 output-heavy codes")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.codes, args.repeats = 4, 2, 8, 1
        args.data = args.data / "smoke"
    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)][:args.codes]
    first_day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY)
    middle = first_day + datetime.timedelta(days=args.days // 2)
    span = (f"{middle - datetime.timedelta(days=1)} 00:00:00", f"{middle} 00:00:00", f"{middle} 23:59:59")
    print(f"{len(codes)} codes on a 1 s grid over {middle}; load {os.getloadavg()[0]:.1f}")
    figures = {}
    for name in RECIPES:
        try:
            result = run_recipe(name, root, codes, span, args.repeats)
        except subprocess.CalledProcessError as error:
            missing = "No module named" in error.stderr
            print(f"{name:10} {'skipped: not installed' if missing else 'failed'}")
            if not missing:
                raise SystemExit(error.stderr)
            continue
        if "differs" in result:
            raise SystemExit(f"{name}: its values differ from zentrail's in column {result['differs']}")
        figures[name] = statistics.median(result["seconds"])
    ours = figures["zentrail"]
    for name, seconds in figures.items():
        note = "" if name == "zentrail" else f"zentrail takes {ours / seconds:.2f}x its time"
        print(f"{name:10} {seconds:8.3f} s  {note}")


if __name__ == "__main__":
    main()
