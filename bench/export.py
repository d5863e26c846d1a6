"""`zentrail export` to Parquet against pyarrow writing the same scan itself.

    python bench/export.py                  # bench/run.py's tree (about 1 GB)
    python bench/export.py --size-mb 300    # a smaller tree of the same mix
    python bench/export.py --smoke          # a tiny run that only checks the script works
    python bench/export.py --before REV     # also the command as it was at git revision REV

The 256 output-heavy codes of bench/run.py (elements 0 to 3 of ids 100 to
163), their names included, into a Parquet file, measured in one run on the
same files: the command (a fresh process, as a user runs it) against
``pyarrow.parquet.write_table(pyarrow.table(scan.select(...)))`` in this
process, which holds the whole table in memory. Both files are read back and
must hold the same table.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pyarrow
import pyarrow.parquet

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import WHOLE_RANGE, ensure_tree  # noqa: E402

COLUMNS = ("time", "signal_id", "element", "value", "item_class", "subtype", "class_name", "subtype_name")
SIGNALS = f"{generate.FREQUENT_GROUP_IDS[0]}-{generate.FREQUENT_GROUP_IDS[-1]}:0-3"
SIGNALS_LISTED = ",".join(f"{ident}:0-3" for ident in generate.FREQUENT_GROUP_IDS)  # before id ranges
# pyarrow's write in a fresh process, which starts and imports as the command does.
FRESH = ("import sys, pyarrow, pyarrow.parquet, zentrail\n"
         "from zentrail.cli.arguments import parse_signals\n"
         "scan = zentrail.scan(sys.argv[1], *sys.argv[2:4], parse_signals(sys.argv[4])).select(*sys.argv[6:])\n"
         "pyarrow.parquet.write_table(pyarrow.table(scan), sys.argv[5])\n")
# The command as it was at another revision, run from its own source text as
# a module of the installed package (so that its relative imports resolve).
BEFORE = ("import importlib.util, subprocess, sys, zentrail\n"
          "source = subprocess.run(['git', 'show', sys.argv[1] + ':src/zentrail/cli.py'], check=True,\n"
          "                        capture_output=True, cwd=sys.argv[2]).stdout\n"
          "module = importlib.util.module_from_spec(importlib.util.spec_from_loader('zentrail._cli_before', None))\n"
          "module.__package__ = 'zentrail'\n"
          "exec(compile(source, 'cli.py@' + sys.argv[1], 'exec'), module.__dict__)\n"
          "sys.exit(module.main(sys.argv[3:]))\n")


def command(root: Path, out: Path, signals: str = SIGNALS) -> list:
    return ["export", str(root), "--from", WHOLE_RANGE[0], "--to", WHOLE_RANGE[1], "--signals", signals, "-o", str(out)]


def same_table(a: pyarrow.Table, b: pyarrow.Table) -> bool:
    """Equal schemas and columns, floats compared by their bits (NaN is a value here)."""
    if not a.schema.equals(b.schema):
        return False
    for name in a.column_names:
        x, y = a.column(name), b.column(name)
        if pyarrow.types.is_floating(x.type):
            if not (x.to_numpy().view("u8") == y.to_numpy().view("u8")).all():
                return False
        elif not x.equals(y):
            return False
    return True


def interleaved(repeats: int, calls: dict) -> dict:
    """The best wall time of each call over `repeats` rounds, each round
    making every call once: on a shared machine a slow spell then slows all
    of them alike instead of one."""
    best = {name: float("inf") for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def run_command(argv: list) -> None:
    done = subprocess.run(argv, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(argv[:4])} ... failed: {done.stderr}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the script runs")
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=16)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--before", metavar="REV", help="also time the command of this git revision")
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 2, 1
        args.data = args.data / "smoke"
    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    from zentrail.cli.arguments import parse_signals

    scan = zentrail.scan(root, *WHOLE_RANGE, parse_signals(SIGNALS)).select(*COLUMNS)
    rows = []
    with tempfile.TemporaryDirectory(dir=args.data) as scratch:
        ours, theirs, before = Path(scratch, "command.parquet"), Path(scratch, "pyarrow.parquet"), \
            Path(scratch, "before.parquet")
        calls = {
            "command": lambda: run_command([sys.executable, "-m", "zentrail.cli", *command(root, ours)]),
            "startup": lambda: run_command([sys.executable, "-m", "zentrail.cli", "--version"]),
            "pyarrow": lambda: pyarrow.parquet.write_table(pyarrow.table(scan), theirs),
            "fresh": lambda: run_command([sys.executable, "-c", FRESH, str(root), *WHOLE_RANGE, SIGNALS, str(theirs),
                                          *COLUMNS]),
        }
        if args.before:
            calls["before"] = lambda: run_command([sys.executable, "-c", BEFORE, args.before, str(HERE.parent),
                                                   *command(root, before, SIGNALS_LISTED)])
        best = interleaved(args.repeats, calls)
        command_s, startup_s, pyarrow_s, fresh_s = (best[k] for k in ("command", "startup", "pyarrow", "fresh"))
        written = pyarrow.parquet.read_table(ours)
        if not same_table(written, pyarrow.parquet.read_table(theirs)):
            sys.exit("the command's file and pyarrow's hold different tables")
        count = written.num_rows
        rows.append(("pyarrow write_table(table(scan))", pyarrow_s, f"{os.path.getsize(theirs) / 1e6:,.1f} MB file"))
        rows.append(("the same in a fresh process", fresh_s, f"python -c: the interpreter's start and imports too"))
        rows.append(("zentrail export", command_s, f"{command_s / pyarrow_s:.2f}x pyarrow's time in this process, "
                     f"{command_s / fresh_s:.2f}x in a fresh one, "
                     f"{os.path.getsize(ours) / 1e6:,.1f} MB file, {startup_s:.2f} s of it the interpreter's start "
                     f"(zentrail --version)"))
        if args.before:
            before_s = best["before"]
            rows.append((f"zentrail export at {args.before}", before_s, f"{before_s / command_s:.1f}x the command's "
                         f"time now"))
    mb = stats.bytes / 1e6
    print(f"\n{len(stats.files)} files, {mb:,.0f} MB, {count:,} rows of {SIGNALS} with their names, "
          f"best of {args.repeats}, Python {sys.version.split()[0]}, pyarrow {pyarrow.__version__}")
    width = max(len(r[0]) for r in rows)
    for name, seconds, note in rows:
        print(f"{name:<{width}}  {seconds:8.2f} s  {count / seconds / 1e6:6.2f} M rows/s  {note}")


if __name__ == "__main__":
    main()
