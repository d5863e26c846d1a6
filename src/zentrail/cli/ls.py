"""zentrail ls: what an archive holds, one row per signal id and class (per
day, id and class with --by-day)."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict

import zentrail

from .outputs import NothingSelected
from .text import write_table


def run(args: argparse.Namespace) -> None:
    inventory = zentrail.inventory(args.root, args.start, args.end, by="day" if args.by_day else None,
                                   threads=args.threads)
    columns: Dict[str, Any] = {}
    for name, column in inventory.to_numpy().items():
        columns[name] = column
        if name == "item_class":
            import numpy

            columns["class_name"] = numpy.asarray(zentrail.CLASS_NAMES)[column]
    if len(inventory) == 0 and not args.allow_empty:
        raise NothingSelected(nothing_found(args))
    write_table(columns, sys.stdout, args.form, dates=("day",))


def nothing_found(args: argparse.Namespace) -> str:
    """Why an inventory is empty: no archive file at all, or none of the
    window's records."""
    if args.start is None and args.end is None or not zentrail.find_files(args.root, "0001-01-01", "9999-12-31"):
        return f"no archive file (YYYY-MM-DD_*.vlx) under {args.root}"
    return f"no record from {args.start or 'the first'} to {args.end or 'the last'}"
