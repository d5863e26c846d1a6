"""zentrail ls: what an archive holds, one row per signal id and class (per
day, id and class with --by-day, and then the share of the day its rows
cover), with the catalog's names and units; with --unmatched, what the
archive and its catalog do not share."""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import Any, Dict

import zentrail

from . import damaged, zone
from .arguments import UsageError, catalog_of
from .outputs import NothingSelected
from .text import write_table


def run(args: argparse.Namespace) -> None:
    try:
        inventory = zentrail.inventory(args.root, args.start, args.end, by="day" if args.by_day else None,
                                       threads=args.threads, errors=damaged.errors_of(args),
                                       catalog=catalog_of(args), **zone.keywords(args))
    except (ValueError, TypeError) as error:
        if isinstance(error, ValueError) and "catalog" not in str(error):
            raise
        raise UsageError(str(error)) from None
    damaged.report(args, inventory.skipped)
    if args.unmatched:
        if inventory.catalog is None:
            raise UsageError(f"--unmatched: no catalog (zentrail-catalog.csv or .json in {args.root}, or --catalog)")
        write_table(inventory.unmatched(), sys.stdout, args.form)
        return
    columns: Dict[str, Any] = {}
    held = inventory.to_numpy()
    labels = None if inventory.catalog is None else inventory.labels()
    for name, column in held.items():
        columns[name] = column
        if name == "item_class":
            import numpy

            columns["class_name"] = numpy.asarray(zentrail.CLASS_NAMES)[column]
            if labels is not None:
                shown = labels["name"] if args.form != "table" else [_short(n) for n in labels["name"]]
                columns["name"] = numpy.array([n or "" for n in shown], dtype=object)
                columns["unit"] = numpy.array([u or "" for u in labels["unit"]], dtype=object)
    if len(inventory) == 0 and not args.allow_empty:
        raise NothingSelected(nothing_found(args))
    if args.by_day:
        columns["covered"] = covered(args, held["day"], held["signal_id"])
    write_table(columns, sys.stdout, args.form, dates=("day",), zone=zone.zone_of(args))


def covered(args: argparse.Namespace, days: Any, ids: Any) -> Any:
    """The share of each (day, signal id) its rows cover, of its best-covered
    element (a group's elements log together), to 4 places; NaN for a
    signal without rows (System records, AlBool). Whole local days from the
    first to the last the inventory holds."""
    import numpy

    found = numpy.full(len(days), numpy.nan)
    if not len(days):
        return found
    first, last = str(days.min().astype("datetime64[D]")), str(days.max().astype("datetime64[D]"))
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "zentrail.availability: no row", UserWarning)  # System records alone
        shares = zentrail.availability(args.root, first, last, "1d", period=args.period, threads=args.threads,
                                       errors=damaged.errors_of(args), catalog=catalog_of(args),
                                       **zone.keywords(args)).to_numpy()
    in_zone = zone.zone_of(args)
    local = shares["time"] if in_zone is None else in_zone.wall_times(shares["time"])
    key = local.astype("datetime64[D]").astype(numpy.int64) * 65536 + shares["signal_id"]
    order = numpy.lexsort((-shares["covered"], key))
    key, best = key[order], shares["covered"][order]
    first_of = numpy.flatnonzero(numpy.concatenate([[True], key[1:] != key[:-1]])) if len(key) else key
    key, best = key[first_of], best[first_of]
    wanted = days.astype("datetime64[D]").astype(numpy.int64) * 65536 + ids
    at = numpy.searchsorted(key, wanted).clip(0, max(len(key) - 1, 0))
    hit = (at < len(key)) & (key[at] == wanted) if len(key) else numpy.zeros(len(wanted), bool)
    found[hit] = numpy.round(best[at[hit]], 4)
    return found


def _short(names: Any) -> Any:
    """A terminal's cell of a signal's names: the first and the last of many."""
    if names is None or names.count(", ") < 2:
        return names
    every = names.split(", ")
    return f"{every[0]} .. {every[-1]} ({len(every)})"


def nothing_found(args: argparse.Namespace) -> str:
    """Why an inventory is empty: no archive file at all, or none of the
    window's records."""
    if args.start is None and args.end is None or not zentrail.find_files(args.root, "0001-01-01", "9999-12-31",
                                                                              **zone.keywords(args)):
        return f"no archive file (YYYY-MM-DD_*.vlx) under {args.root}"
    return f"no record from {args.start or 'the first'} to {args.end or 'the last'}"
