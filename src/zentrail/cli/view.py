"""zentrail view: the trend viewer, served on 127.0.0.1 until Ctrl-C."""

from __future__ import annotations

import argparse

from zentrail._base.extras import import_extra
from .arguments import UsageError


def run(args: argparse.Namespace) -> None:
    try:
        import_extra("bokeh", "zentrail view", "view")
    except ImportError as error:
        raise UsageError(str(error)) from None
    from zentrail import viewer

    try:
        viewer.check(args.root, args.start, args.end, tz=args.tz)
    except (OSError, ValueError) as error:
        raise UsageError(str(error)) from None
    viewer.serve(args.root, port=args.port, open_browser=not args.no_browser, start=args.start, end=args.end,
                 threads=args.threads, token=not args.no_token, live=args.live, poll=args.poll, tz=args.tz)
