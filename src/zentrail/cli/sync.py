"""zentrail sync: a Parquet lake (LAKE/day=YYYY-MM-DD/*.parquet) that holds the
rows of a scan of ROOT, kept in step: a rerun reads only what the archive
gained, and a run killed at any moment leaves a lake the next run completes."""

from __future__ import annotations

import argparse
import sys

from .. import _sync
from .arguments import UsageError, parse_signals, resolved_codes
from .outputs import NothingSelected

EXAMPLES = """examples:
  zentrail sync examples/sample-archive lake --all
  zentrail sync /plant/archive lake --signals 7:0-3,12 --from 2024-01-01
  zentrail sync /plant/archive lake --all --watch --commit-every 30s

The lake reads as one table, the day a column from the folder names:
  duckdb -c "SELECT * FROM read_parquet('lake/*/*.parquet', hive_partitioning = true)"
  pyarrow.dataset.dataset("lake", partitioning="hive")
Its state file (_zentrail_sync.json) and temporary files (.part-*) are skipped by
Parquet readers. Needs pyarrow: pip install "zentrail[arrow]".
"""


def add_parser(commands: argparse._SubParsersAction, signals_help: str) -> None:
    sub = commands.add_parser("sync", help="keep a Parquet lake in step with an archive", epilog=EXAMPLES,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.add_argument("root", metavar="ROOT", help="the folder searched recursively for archive files")
    sub.add_argument("lake", metavar="LAKE", help="the lake's folder (made when missing)")
    sub.add_argument("--signals", metavar="CODES", help=signals_help)
    sub.add_argument("--all", action="store_true", help="every value of every signal")
    sub.add_argument("--from", dest="start", metavar="T", help="only rows from this time on")
    sub.add_argument("--watch", action="store_true", help="keep the lake in step until Ctrl-C")
    sub.add_argument("--commit-every", metavar="D", default="60s",
                     help="with --watch: the most time between commits (default 60s)")
    sub.add_argument("--allow-empty", action="store_true",
                     help="exit 0 when the archive gives no row (by default a lake of nothing exits 1)")
    sub.add_argument("--threads", type=int, default=None, help="files read at once (default: the usable CPUs)")
    sub.set_defaults(run=run, end=None)


def run(args: argparse.Namespace) -> None:
    if args.all == (args.signals is not None):
        raise UsageError("give exactly one of --signals CODES and --all")
    codes = None if args.all else resolved_codes(args, parse_signals(args.signals))
    from .. import _time

    try:
        _time.duration_seconds(args.commit_every, "--commit-every")
    except ValueError as error:
        raise UsageError(str(error)) from None
    report = (lambda text: print(text, file=sys.stderr)) if sys.stderr.isatty() else None
    try:
        counts = _sync.sync(args.root, args.lake, codes, start=args.start, watch=args.watch,
                            commit_every=args.commit_every, threads=args.threads, report=report)
    except _sync.LakeMismatchError as error:
        raise UsageError(str(error)) from None
    total = _sync.lake_rows(args.lake)
    if total == 0 and not args.allow_empty:
        chosen = "every signal" if args.all else f"--signals {args.signals}"
        raise NothingSelected(f"{chosen}: no value in {args.root}; the lake {args.lake} holds no row")
    print(f"{counts['files']} files read, {counts['rows']} rows written in {counts['parts']} parts; "
          f"{args.lake} holds {total} rows", file=sys.stderr)
