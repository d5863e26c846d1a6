"""zentrail plot: trends of signals, drawn from overviews, into a standalone
.html or .png file (written atomically)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, List

from zentrail._base.extras import import_extra
from . import damaged, zone
from .arguments import UsageError, catalog_of, output_folder, parse_signals, resolved_codes
from .outputs import NothingSelected, file_identity, left_behind, note


def run(args: argparse.Namespace) -> None:
    from zentrail import plot as _plot

    codes = resolved_codes(args, parse_signals(args.signals)).tolist()
    kind = os.path.splitext(args.output)[1].lower()
    if kind not in (".html", ".png"):
        raise UsageError(f"-o {args.output}: the file name must end in .html or .png")
    output_folder(args.output)
    try:
        import_extra("bokeh" if kind == ".html" else "matplotlib", f"writing {kind} trends", "view")
    except ImportError as error:
        raise UsageError(str(error)) from None
    skipped: List[Any] = []
    errors = damaged.errors_of(args)
    drawn = _plot.lines(args.root, args.start, args.end, codes, args.width, threads=args.threads, errors=errors,
                        skipped=skipped, steps=args.steps, catalog=catalog_of(args), tz=args.tz)
    if not drawn and not args.allow_empty:
        raise NothingSelected(f"--signals {args.signals}: no value from {args.start} to {args.end}; "
                              f"nothing was written to {args.output}")
    events = _plot.window_events(args.root, args.start, args.end, {c // 1024 for c in codes}, threads=args.threads,
                                 errors=errors, skipped=skipped, tz=args.tz)
    damaged.report(args, skipped)
    title = f"{os.path.basename(os.path.abspath(args.root))} {args.start} to {args.end}"
    write = _plot.write_html if kind == ".html" else _plot.write_png
    # The plot's writers put the file in place whole, or leave the target as it was.
    before = file_identity(args.output)
    try:
        write(args.output, drawn, events, title, args.width, zone.zone_of(args))
    except BaseException as error:
        note(error, left_behind(args.output, before))
        raise
    print(f"{len(drawn)} trends and {len(events['time'])} events drawn into {args.output}", file=sys.stderr)
