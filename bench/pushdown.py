"""The memory a negative or whole id condition costs when pushed into a scan.

    python bench/pushdown.py [--root examples/sample-archive]

Each query runs in a fresh interpreter, which prints its peak resident
memory (ru_maxrss) and its time; the figure reported is that peak above a
fresh interpreter that imports the same modules and reads nothing. On the
same small archive, in one run:

- before: what a condition "every id but 5" cost when pushed as codes: the
  explicit codes of every element of every other id (67 M codes), set as
  the scan's codes as where() set them;
- after: ``scan.lazy().filter(pl.col("signal_id") != 5)`` and
  ``scan.where(signal_ids=range(65536))``, which push a set of ids (8 KiB
  of bits) instead.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
WINDOW = ("2024-03-01", "2024-03-03")

SETUP = """
import json, resource, sys, time
import numpy, polars as pl, zentrail
root, start, end = sys.argv[1:4]
began = time.perf_counter()
"""
QUERIES = {
    "nothing read (the floor)": "rows = 0",
    # What where() made of the ids before: every code of each id, set as
    # the scan's codes (the same array, handed to the read as it was).
    "before: codes of every id but 5": """
ids = numpy.array([i for i in range(65536) if i != 5], dtype=numpy.int32)
plan = zentrail.scan(root, start, end).plan
scan = zentrail.Scan(plan.with_codes((ids[:, None] * 1024 + numpy.arange(1024, dtype=numpy.int32)).ravel()))
rows = len(scan.to_numpy()["time"])
""",
    "after: lazy filter signal_id != 5": """
rows = zentrail.scan(root, start, end).lazy().filter(pl.col("signal_id") != 5).collect().height
""",
    "after: where(signal_ids=range(65536))": """
rows = len(zentrail.scan(root, start, end).where(signal_ids=range(65536)).to_numpy()["time"])
""",
}
REPORT = """
print(json.dumps({"rows": rows, "seconds": time.perf_counter() - began,
                  "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def measure(code: str, root: str) -> dict:
    done = subprocess.run([sys.executable, "-c", SETUP + code + REPORT, root, *WINDOW], capture_output=True,
                          text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--root", default=str(HERE.parent / "examples" / "sample-archive"))
    args = options.parse_args()
    results = {name: measure(code, args.root) for name, code in QUERIES.items()}
    floor = results["nothing read (the floor)"]["peak_kib"]
    print(f"{'query':42} {'rows':>6} {'peak above floor':>17} {'time':>8}")
    for name, got in results.items():
        print(f"{name:42} {got['rows']:>6} {(got['peak_kib'] - floor) / 1024:>13.1f} MiB {got['seconds']:>7.2f}s")


if __name__ == "__main__":
    main()
