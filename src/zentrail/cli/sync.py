"""zentrail sync: a Parquet lake (LAKE/day=YYYY-MM-DD/*.parquet) that holds the
rows of a scan of ROOT, or with --every its aligned grid, kept in step: a
rerun reads only what the archive gained, and a run killed at any moment
leaves a lake the next run completes. With --format delta the lake is a
Delta table, each run one commit."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict

import zentrail

from . import zone
from .arguments import (UsageError, add_series_options, catalog_of, duration_help, parse_signals, resolved_codes,
                        series_given, series_options)
from .outputs import NothingSelected

EXAMPLES = """examples:
  zentrail sync examples/sample-archive lake --all
  zentrail sync /plant/archive lake --signals 7:0-3,12 --from 2024-01-01
  zentrail sync /plant/archive lake --all --watch --commit-every 30s
  zentrail sync /plant/archive grid --signals 7:0-3,12 --every 1min --how linear
  zentrail sync /plant/archive delta-lake --all --format delta --compact

The lake reads as one table, the day a column from the folder names:
  duckdb -c "SELECT * FROM read_parquet('lake/*/*.parquet', hive_partitioning = true)"
  pyarrow.dataset.dataset("lake", partitioning="hive")
Its state file (_zentrail_sync.json, _zentrail_grid.json) and temporary files
(.part-*, .grid.*) are skipped by Parquet readers. Needs pyarrow: pip install "zentrail[arrow]".
A Delta lake (--format delta) reads with any Delta reader:
  deltalake.DeltaTable("delta-lake").to_pyarrow_dataset()
  polars.scan_delta("delta-lake")
"""


def add_parser(commands: Any, signals_help: str) -> None:
    sub = commands.add_parser("sync", help="keep a Parquet or Delta lake in step with an archive", epilog=EXAMPLES,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.add_argument("root", metavar="ROOT", help="the folder searched recursively for archive files")
    sub.add_argument("lake", metavar="LAKE", help="the lake's folder (made when missing)")
    sub.add_argument("--signals", metavar="CODES", help=signals_help)
    sub.add_argument("--all", action="store_true", help="every value of every signal")
    sub.add_argument("--from", dest="start", metavar="T", help="only rows from this time on")
    sub.add_argument("--watch", action="store_true", help="keep the lake in step until Ctrl-C")
    sub.add_argument("--commit-every", metavar="D", default="60s",
                     help=duration_help("with --watch: the most time between commits", "60s"))
    sub.add_argument("--allow-empty", action="store_true",
                     help="exit 0 when the archive gives no row (by default a lake of nothing exits 1)")
    sub.add_argument("--format", choices=("parquet", "delta"), default="parquet",
                     help="parquet (default): a part per source file's segment and day; delta: a Delta table, each "
                          "run one commit (needs deltalake: pip install \"zentrail[delta]\")")
    sub.add_argument("--compact", action="store_true",
                     help="with --format delta: then write each finished day's files into one (a commit of its "
                          "own, no row changed)")
    sub.add_argument("--threads", type=int, default=None, help="files read at once (default: the usable CPUs)")
    add_series_options(sub, "with --every and --signals: the aligned grid instead of the rows, a grid.parquet a day",
                       "the grid's start")
    sub.set_defaults(run=run, end=None)


def run(args: argparse.Namespace) -> None:
    if args.all == (args.signals is not None):
        raise UsageError("give exactly one of --signals CODES and --all")
    codes = None if args.all else resolved_codes(args, parse_signals(args.signals))
    series = grid_settings(args, codes)
    if args.compact and (args.format != "delta" or series):
        raise UsageError("--compact goes with --format delta, of rows (a grid's days are a file each already)")
    report = (lambda text: print(text, file=sys.stderr)) if sys.stderr.isatty() else None
    try:
        counts = zentrail.sync(args.root, args.lake, codes, start=args.start, watch=args.watch,
                               commit_every=args.commit_every, threads=args.threads, report=report, **series,
                               format=args.format, compact=args.compact, **zone.keywords(args))
    except zentrail.LakeMismatchError as error:
        raise UsageError(str(error)) from None
    if series:
        summarise_grid(args, counts)
        return
    total = zentrail.lake_held(args.lake)[0]
    if total == 0 and not args.allow_empty:
        chosen = "every signal" if args.all else f"--signals {args.signals}"
        raise NothingSelected(f"{chosen}: no value in {args.root}; the lake {args.lake} holds no row")
    compacted = f", {counts['compacted']} days compacted" if args.compact else ""
    print(f"{counts['files']} files read, {counts['rows']} rows written in {counts['parts']} parts{compacted}; "
          f"{args.lake} holds {total} rows", file=sys.stderr)


def grid_settings(args: argparse.Namespace, codes: Any) -> Dict[str, Any]:
    """The aligned grid's settings for sync, checked (their durations were
    before): none without --every."""
    if args.every is None:
        if series_given(args):
            raise UsageError("--how, --max-gap and --lookback go with --every")
        return {}
    if args.all:
        raise UsageError("--every makes a column per code, fixed before the first day: give --signals CODES, "
                         "not --all")
    settings = {"every": args.every, **series_options(args)}
    if settings["how"] is None:
        settings["how"] = lake_how(args, codes)
    return settings


def lake_how(args: argparse.Namespace, codes: Any) -> str:
    """--how catalog for a lake, whose grid has one kind: the kind the
    catalog gives the signals it names among CODES (step without a catalog,
    or where it names none linear); a usage error when it gives both."""
    catalog = zentrail.Catalog.of_root(args.root, catalog_of(args))
    if catalog is None:
        return "step"
    named, linear = catalog.kinds(codes)
    if not linear.any():
        return "step"
    if linear[named].all():
        return "linear"
    raise UsageError(f"--signals {args.signals}: the catalog interpolates some of these signals linearly and steps "
                     f"others, and a lake's grid has one kind: give --how step or --how linear (or sync each kind "
                     f"into a lake of its own)")


def summarise_grid(args: argparse.Namespace, counts: Dict[str, int]) -> None:
    from zentrail._base import time as _time

    total, last = zentrail.lake_held(args.lake)
    if total == 0 and not args.allow_empty:
        raise NothingSelected(f"--signals {args.signals}: no row in {args.root}; the lake {args.lake} holds no "
                              "grid row")
    held = f"{total} grid rows" + (f" to {_time.texts([last], zone.zone_of(args))[0]}" if last is not None else "")
    print(f"{counts['files']} files read, {counts['days']} days written ({counts['rows']} grid rows); "
          f"{args.lake} holds {held}", file=sys.stderr)
