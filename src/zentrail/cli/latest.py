"""zentrail latest: each code's last value row (its time and value),
printed or written into a file."""

from __future__ import annotations

import argparse

import zentrail

from . import damaged, zone
from .arguments import catalog_of, parse_signals, resolved_codes
from .outputs import NothingSelected, check_values_output, write_values


def run(args: argparse.Namespace) -> None:
    check_values_output(args)
    codes = None if args.signals is None else resolved_codes(args, parse_signals(args.signals))
    latest = zentrail.latest(args.root, codes, catalog=catalog_of(args), errors=damaged.errors_of(args),
                             threads=args.threads, index=False if args.no_index else None, **zone.keywords(args))
    columns = latest.to_numpy()
    damaged.report(args, latest.skipped)
    if len(columns["time"]) == 0 and not args.allow_empty:
        chosen = "every signal" if args.signals is None else f"--signals {args.signals}"
        raise NothingSelected(f"{chosen}: no value row in {args.root}")
    write_values(args, columns, latest.plan.catalog, "latest values")
