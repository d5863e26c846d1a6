"""zentrail index: the index of an archive's files made, checked or
cleared; and --no-index, on every command: read every file, keep nothing."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import Any, Iterator

import zentrail

from . import zone

# What turns the index off for the reads of a command (see zentrail._index.place).
ENVIRONMENT = "ZENTRAIL_INDEX"


def add_option(sub: Any) -> None:
    sub.add_argument("--no-index", action="store_true", help="read every file as if no index existed, and keep "
                     "nothing (the answers are the same either way; see the page Questions about an archive)")


@contextlib.contextmanager
def applied(args: argparse.Namespace) -> Iterator[None]:
    """The command's reads without an index when --no-index says so: every
    read of the command (the viewer's too) looks up the index folder in the
    environment, so the command sets it off and puts it back after."""
    if not getattr(args, "no_index", False):
        yield
        return
    before = os.environ.get(ENVIRONMENT)
    os.environ[ENVIRONMENT] = "off"
    try:
        yield
    finally:
        if before is None:
            del os.environ[ENVIRONMENT]
        else:
            os.environ[ENVIRONMENT] = before


def add_parser(commands: Any) -> None:
    sub = commands.add_parser("index", help="make, check or clear the index of an archive's files",
                              formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXAMPLES)
    sub.add_argument("root", metavar="ROOT", help="the archive's folder (an index is kept of local folders)")
    what = sub.add_mutually_exclusive_group()
    what.add_argument("--check", action="store_true", help="make nothing: tell what the index holds for ROOT's files")
    what.add_argument("--clear", action="store_true", help="remove the index's entries of ROOT's files")
    sub.add_argument("--index", metavar="DIR", help=f"the index folder (default: ${ENVIRONMENT}, else the user's "
                     f"cache folder)")
    sub.add_argument("--threads", type=int, default=None, help="worker threads (default: the usable CPUs)")
    sub.set_defaults(run=run, start=None, end=None, no_index=False)


EXAMPLES = """examples:
  zentrail index examples/sample-archive
  zentrail index examples/sample-archive --check
"""


def run(args: argparse.Namespace) -> None:
    summary = zentrail.build_index(args.root, tz=zone.keywords(args).get("tz"), index=args.index,
                                   threads=args.threads, check=args.check, clear=args.clear)
    print(summary)
