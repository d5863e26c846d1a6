"""--on-error: what a damaged archive file does to a command. "raise" (the
default) fails it with exit status 1; "warn" and "skip" keep what the file
held before its malformed record, go on with the next file and end with a
summary line on standard error ("warn" first names each file and byte)."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict, Iterable

MODES = ("raise", "warn", "skip")


def add_option(sub: Any) -> None:
    sub.add_argument("--on-error", choices=MODES, default="raise",
                     help="a damaged archive file (a malformed record, or a file that cannot be opened or read): "
                          "raise fails the command (the default); warn and skip keep the rows before the damage "
                          "and go on with the next file, with a summary on standard error (warn names each file)")


def errors_of(args: argparse.Namespace) -> str:
    """The errors mode of the command's reads: the command reports for itself."""
    return "raise" if args.on_error == "raise" else "skip"


def report(args: argparse.Namespace, skipped: Iterable[Any]) -> None:
    """Each damaged file once (under warn, as its zentrail.Skipped says it), then the summary line."""
    seen: Dict[str, Any] = {}
    for entry in skipped:
        seen.setdefault(entry.path, entry)
    if not seen:
        return
    name = f"zentrail {args.command}"
    if args.on_error == "warn":
        for entry in seen.values():
            print(f"{name}: {entry}", file=sys.stderr)
    count = len(seen)
    print(f"{name}: passed over {count} damaged file{'s' if count != 1 else ''} (--on-error {args.on_error}); "
          f"the rows each held before its damage are kept", file=sys.stderr)
