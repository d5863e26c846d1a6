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
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]


def timed(command: list) -> tuple:
    """(seconds, processor seconds) of the command."""
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.perf_counter() - began, after.ru_utime + after.ru_stime - used.ru_utime - used.ru_stime


def sync_against_export(tree: Path, work: Path) -> dict:
    zentrail_command = [sys.executable, "-m", "zentrail.cli"]
    out, lake = work / "all.parquet", work / "lake"
    export_s = timed(zentrail_command + ["export", str(tree), "--from", "2000-01-01", "--to", "2099-12-31", "--all",
                                         "-o", str(out)])
    sync = zentrail_command + ["sync", str(tree), str(lake), "--all", "--format", "delta"]
    sync_s = timed(sync)
    rerun_s = timed(sync)
    sizes = sum(p.stat().st_size for p in lake.rglob("*.parquet"))
    result = {"export_s": export_s, "sync_s": sync_s, "rerun_s": rerun_s,
              "export_mb": out.stat().st_size / 1e6, "lake_mb": sizes / 1e6}
    out.unlink()
    shutil.rmtree(lake)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--tree", type=Path, default=None,
                        help="the archive tree (default: bench/data's 1 GB tree, made by bench/run.py)")
    args = parser.parse_args()
    (HERE / "data").mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(dir=HERE / "data") as work:  # beside the trees, on the same disk
        tree = args.tree
        if tree is None:
            import run

            size = 4 if args.smoke else 1000
            data = HERE / "data" / ("smoke" if args.smoke else "")
            stats = run.ensure_tree(data / f"mix-{size:g}", size, 2 if args.smoke else 16)
            tree = stats.files[0].parents[2]
        r = sync_against_export(tree, Path(work))
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
