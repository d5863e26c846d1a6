"""zentrail at: each code's value at the instants given (the value in force
or interpolated), with the time of the row it came from, printed or written
into a file."""

from __future__ import annotations

import argparse

import zentrail

from . import damaged, zone
from .arguments import UsageError, catalog_of, parse_signals, resolved_codes
from .outputs import NothingSelected, check_values_output, write_values


def run(args: argparse.Namespace) -> None:
    check_values_output(args)
    codes = resolved_codes(args, parse_signals(args.signals))
    options = {} if args.lookback is None else \
        {"lookback": None if args.lookback.strip().lower() == "none" else args.lookback}
    try:
        values = zentrail.at(args.root, args.times, codes, None if args.how == "catalog" else args.how,
                             catalog=catalog_of(args), errors=damaged.errors_of(args), threads=args.threads,
                             index=False if args.no_index else None, **options, **zone.keywords(args))
    except (ValueError, TypeError) as error:
        raise UsageError(str(error)) from None
    columns = values.to_numpy()
    damaged.report(args, values.skipped)
    held = int((columns["row_time"] == columns["row_time"]).sum())  # NaT is not itself
    if held == 0 and not args.allow_empty:
        raise NothingSelected(f"--signals {args.signals}: no value in force at {' '.join(args.times)}")
    write_values(args, columns, values.plan.catalog, "values")
