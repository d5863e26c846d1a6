"""`zentrail sync --format delta` against `zentrail export` of the same rows
to one Parquet file.

    python bench/delta.py                 # on bench/run.py's 1 GB tree
    python bench/delta.py --tree PATH     # on another archive tree
    python bench/delta.py --smoke         # tiny sizes: checks that the script runs

- sync from empty: one Delta commit of every row, against export (target:
  within 1.5x), in time and in processor time (user and system, of the
  command's process: on a machine others share, the steadier of the two).
- a rerun with nothing new: no file opened, no commit (target: under 1 s,
  process start included).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

from live import sync_against_export, sync_tree  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--tree", type=Path, default=None,
                        help="the archive tree (default: bench/data's 1 GB tree, made by bench/run.py)")
    args = parser.parse_args()
    (HERE / "data").mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(dir=HERE / "data") as work:  # beside the trees, on the same disk
        r = sync_against_export(sync_tree(args.tree, args.smoke), Path(work), "--format", "delta")
    (sync_s, sync_cpu), (export_s, export_cpu) = r["sync_s"], r["export_s"]
    rows = [("delta sync from empty", f"{sync_s:,.1f} s",
             f"{sync_s / export_s:.2f}x export's {export_s:,.1f} s (target <= 1.5x); "
             f"{r['lake_mb']:,.0f} MB of parts, export {r['export_mb']:,.0f} MB"),
            ("  in processor time", f"{sync_cpu:,.1f} s", f"{sync_cpu / export_cpu:.2f}x export's {export_cpu:,.1f} s"),
            ("delta sync rerun, nothing new", f"{r['rerun_s'][0]:,.2f} s", "target < 1 s (process start included)")]
    width = max(len(row[0]) for row in rows)
    for label, figure, note in rows:
        print(f"{label:<{width}}  {figure:>10}  {note}")


if __name__ == "__main__":
    main()
