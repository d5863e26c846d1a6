"""zentrail alarms: the report of the alarm system over a window (rates,
floods, the most frequent alarms, chattering and standing ones, times to
acknowledge, each beside its benchmark values), printed as text or JSON,
and with --html a page with plots too."""

from __future__ import annotations

import argparse
import json
import sys
import warnings
from typing import Any

import zentrail

from zentrail._base import time as _time
from zentrail._base.extras import import_extra

from . import damaged, zone
from .arguments import UsageError, catalog_of, duration_help, output_folder, parse_ids
from .outputs import NothingSelected

FOLLOW = "1d"


def add_options(options: Any) -> None:
    """The command's own options."""
    options.add_argument("--signals", metavar="ID,...", help="only the alarms of these signal ids (or names and "
                         "patterns of the catalog; default: every alarm)")
    options.add_argument("--window", metavar="D", default="10min",
                         help=duration_help("the bins of the rates and floods", "10min"))
    options.add_argument("--flood", metavar="N", type=int, default=10,
                         help="a bin of more than N alarms is in flood (default 10)")
    options.add_argument("--chatter", metavar="N", type=int, default=3,
                         help="an alarm raised N or more times within --chatter-window chatters (default 3)")
    options.add_argument("--chatter-window", metavar="D", default="1min", help=duration_help("see --chatter", "1min"))
    options.add_argument("--standing", metavar="D", default="24h",
                         help=duration_help("an alarm active longer than D stands (where its return is known)",
                                            "24h"))
    options.add_argument("--top", metavar="N", type=int, default=10, help="the N most frequent alarms (default 10)")
    options.add_argument("--follow", metavar="D", default=FOLLOW, help=duration_help(
        "how far after --to acknowledgements and returns are looked for; 0 for none", FOLLOW))
    options.add_argument("--boolean-raises", choices=("L->H", "H->L", "both"), default="L->H",
                         help="which transition of a boolean alarm raises it (default L->H; the other is its "
                              "return; both: every transition raises, no return known)")
    options.add_argument("--html", metavar="FILE", help="also write the report as a page with plots (needs the view "
                         "extra: pip install \"zentrail[view]\")")
    options.add_argument("--json", action="store_true", help="print the figures as one JSON object")


def run(args: argparse.Namespace) -> None:
    for name in ("flood", "chatter", "top"):
        lowest = 0 if name == "flood" else 1
        if getattr(args, name) < lowest:
            raise UsageError(f"--{name} must be at least {lowest}, not {getattr(args, name)}")
    try:
        _time.reach_ns(args.follow, "--follow")
    except (ValueError, TypeError) as error:
        raise UsageError(str(error)) from None
    ids = parse_ids(args.signals) if args.signals is not None else None
    if args.html is not None:
        output_folder(args.html)
        try:  # before the read: a missing package is said at once, not after a year of alarms
            import_extra("bokeh", "--html", "view")
        except ImportError as error:
            raise UsageError(str(error)) from None
    try:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "zentrail.alarms: no alarm record", UserWarning)  # said below
            found = zentrail.alarms(args.root, args.start, args.end, ids, follow=args.follow,
                                    boolean_raises=args.boolean_raises, threads=args.threads,
                                    errors=damaged.errors_of(args), catalog=catalog_of(args), **zone.keywords(args))
    except ValueError as error:
        if args.signals is None:
            raise
        raise UsageError(f"--signals: {error}") from None
    damaged.report(args, found.skipped)
    if not len(found) and not args.allow_empty:
        chosen = "every alarm" if args.signals is None else f"--signals {args.signals}"
        raise NothingSelected(f"{chosen}: no alarm raised from {args.start} to {args.end}")
    report = found.report(args.window, flood=args.flood, chatter=args.chatter, chatter_window=args.chatter_window,
                          standing=args.standing, top=args.top)
    if args.html is not None:
        report.to_html(args.html)
        print(f"report written to {args.html}", file=sys.stderr)
    if args.json:
        json.dump(report.to_dict(), sys.stdout, ensure_ascii=False)
        sys.stdout.write("\n")
    else:
        print(report)
