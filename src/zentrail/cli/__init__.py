"""The zentrail command: what is in an archive, and its values and events
into files.

    zentrail ls ROOT [--from T] [--to T] [--by-day] [--csv | --json]
    zentrail export ROOT --from T --to T [--signals CODES | --all] -o OUT|-
    zentrail events ROOT --from T --to T [--ids 7,12] [--no-system] [-o OUT|-]
    zentrail plot ROOT --from T --to T --signals CODES -o OUT.html|OUT.png
    zentrail view ROOT [--from T] [--to T] [--port N] [--no-browser]
    zentrail sync ROOT LAKE [--signals CODES | --all] [--from T] [--watch [--commit-every D]]
    zentrail sync ROOT LAKE --signals CODES --every D [--how step|linear] [--max-gap D] [--lookback D]

ls, export, events and plot take --on-error raise|warn|skip: what a damaged
archive file does (raise: exit 1; warn and skip: its rows before the damage
are kept, the command goes on and sums up on standard error).

Exit status: 0 done; 1 a read failed (the message names the file and the
byte offset) or the selection gave nothing (unless --allow-empty); 2 bad
arguments, found before anything is read; 130 interrupted. A file the
command writes appears whole, or not at all. Once a command has Ctrl-C in
hand it ignores further presses (to the end of the process, when main() was
interrupted) while it reports and exits.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from typing import List, Optional

from .arguments import UsageError, parse_ids, parse_signals
from .outputs import NothingSelected

__all__ = ["main", "parse_signals", "parse_ids", "UsageError"]


def failure_text(error: BaseException) -> str:
    notes = getattr(error, "__notes__", None) or []
    return "; ".join([str(error)] * bool(str(error)) + [str(n) for n in notes])


# Set once the command has Ctrl-C in hand (and only reports and exits): the
# handler then ignores the presses that follow in a burst.
_ending = False


def _interrupt(signum: int, frame: object) -> None:
    """SIGINT's handler while a command runs: KeyboardInterrupt, as by
    default, until the command has one in hand. Another after that, raised
    in the middle of the report or of the interpreter's exit, would end the
    process by the signal in place of status 130."""
    if not _ending:
        raise KeyboardInterrupt


def main(argv: Optional[List[str]] = None) -> int:
    global _ending
    _ending = False
    # Not where SIGINT is ignored from the start (nohup, a background job),
    # nor off the main thread, which alone may set handlers.
    ours = threading.current_thread() is threading.main_thread() and \
        signal.getsignal(signal.SIGINT) is signal.default_int_handler
    previous = signal.signal(signal.SIGINT, _interrupt) if ours else None
    try:
        return run_command(argv)
    finally:
        if ours and _ending:
            signal.signal(signal.SIGINT, signal.SIG_IGN)  # to the end of the process
        elif ours:
            signal.signal(signal.SIGINT, previous)


def run_command(argv: Optional[List[str]]) -> int:
    global _ending
    from .parser import check, parser

    args = parser().parse_args(argv)
    name = f"zentrail {args.command}"
    try:
        check(args)
        args.run(args)
    except UsageError as error:
        print(f"{name}: {error}", file=sys.stderr)
        return 2
    except NothingSelected as error:
        print(f"{name}: {failure_text(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as error:
        _ending = True  # first of all: no call before it, where another could be raised
        print(f"{name}: {'; '.join(['interrupted'] + [failure_text(error)] * bool(failure_text(error)))}",
              file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (zentrail ls | head).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except (OSError, ValueError) as error:
        print(f"{name}: {failure_text(error)}", file=sys.stderr)
        return 1
    return 0
