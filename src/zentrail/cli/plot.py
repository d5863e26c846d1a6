"""zentrail plot: trends of signals, drawn from overviews, into a standalone
.html or .png file (written atomically)."""

from __future__ import annotations

import argparse
import os
import sys

from .._extras import import_extra
from .arguments import UsageError, output_folder, parse_signals
from .outputs import NothingSelected, note


def run(args: argparse.Namespace) -> None:
    from .. import plot as _plot

    codes = parse_signals(args.signals).tolist()
    kind = os.path.splitext(args.output)[1].lower()
    if kind not in (".html", ".png"):
        raise UsageError(f"-o {args.output}: the file name must end in .html or .png")
    output_folder(args.output)
    try:
        import_extra("bokeh" if kind == ".html" else "matplotlib", f"writing {kind} trends", "view")
    except ImportError as error:
        raise UsageError(str(error)) from None
    drawn = _plot.lines(args.root, args.start, args.end, codes, args.width, threads=args.threads)
    if not drawn and not args.allow_empty:
        raise NothingSelected(f"--signals {args.signals}: no value from {args.start} to {args.end}; "
                              f"nothing was written to {args.output}")
    events = _plot.window_events(args.root, args.start, args.end, {c // 1024 for c in codes}, threads=args.threads)
    title = f"{os.path.basename(os.path.abspath(args.root))} {args.start} to {args.end}"
    write = _plot.write_html if kind == ".html" else _plot.write_png
    # The plot's writers put the file in place whole, or leave the target as it was.
    try:
        write(args.output, drawn, events, title, args.width)
    except BaseException as error:
        note(error, f"nothing was written to {args.output}")
        raise
    print(f"{len(drawn)} trends and {len(events['time'])} events drawn into {args.output}", file=sys.stderr)
