"""The zentrail command: what is in an archive, and its values and events
into files.

    zentrail ls ROOT [--from T] [--to T] [--by-day] [--csv | --json]
    zentrail export ROOT --from T --to T [--signals CODES | --all] -o OUT|-
    zentrail events ROOT --from T --to T [--ids 7,12] [--no-system] [-o OUT|-]
    zentrail at ROOT TIME... --signals CODES [--how step|linear|catalog] [-o OUT|-]
    zentrail latest ROOT [--signals CODES] [-o OUT|-]
    zentrail gaps ROOT [--from T] [--to T] [--signals CODES] [--min-gap D] [-o OUT|-]
    zentrail alarms ROOT --from T --to T [--signals 7,12] [--window D] [--flood N] [--html OUT.html] [--json]
    zentrail plot ROOT --from T --to T --signals CODES -o OUT.html|OUT.png
    zentrail view ROOT [--from T] [--to T] [--port N] [--no-browser]
    zentrail sync ROOT LAKE [--signals CODES | --all] [--from T] [--watch [--commit-every D]]
    zentrail sync ROOT LAKE --signals CODES --every D [--how step|linear|catalog] [--max-gap D] [--lookback D]

A duration D is a number and a unit (ns, us, ms, s, min or m, h, d; 1.5s)
or a number of seconds.

Every command takes --tz ZONE (an IANA name such as Europe/Berlin): the
archive's wall-clock times are read as instants in that zone, and written
so (texts with their offset, 2024-10-27T02:30:00+01:00; Arrow and Parquet
times carrying the zone; plots on the zone's wall clock). Without it the
zone zentrail-zone.txt in ROOT names is used, if any; --tz none reads
without a zone, as before zones.

ls, export, events, at, latest, gaps, alarms and plot take --on-error raise|warn|skip: what a damaged
archive file does (raise: exit 1; warn and skip: its rows before the damage
are kept, the command goes on and sums up on standard error).

Exit status: 0 done; 1 a read failed (the message names the file and the
byte offset) or the selection gave nothing (unless --allow-empty); 2 bad
arguments, found before anything is read; 130 interrupted. A file the
command writes appears whole, or not at all. Once a command has Ctrl-C in
hand it ignores further presses while it reports and exits (the zentrail
command to the end of its process; main(), run in a program of its own,
until it returns).
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
import warnings
from typing import Any, List, Optional

from .arguments import UsageError, parse_ids, parse_signals
from .outputs import NothingSelected

__all__ = ["main", "command_line", "parse_signals", "parse_ids", "UsageError"]


def failure_text(error: BaseException) -> str:
    notes = getattr(error, "__notes__", None) or []
    return "; ".join([str(error)] * bool(str(error)) + [str(n) for n in notes])


# Set once the command has Ctrl-C in hand (and only reports and exits): the
# handler then ignores the presses that follow in a burst.
_ending = False
# When the handler last raised KeyboardInterrupt (time.monotonic()), and for
# how long after that a press counts as the same one.
_raised_at = float("-inf")
_SAME_PRESS_SECONDS = 1.0


def _interrupt(signum: int, frame: object) -> None:
    """SIGINT's handler while a command runs: KeyboardInterrupt, as by
    default, until the command has one in hand. Another after that, raised
    in the middle of the report or of the interpreter's exit, would end the
    process by the signal in place of status 130.

    Presses within a second of the last one raised (a burst, a held key)
    are that one: a second KeyboardInterrupt raised while the first unwinds
    the command would replace it in the middle of its cleanup (before the
    note that nothing was written, say). One that a library swallowed (NumPy
    does, in a callback) is raised again by the next press after that."""
    global _raised_at
    if _ending:
        return
    now = time.monotonic()
    if now - _raised_at < _SAME_PRESS_SECONDS:
        return
    _raised_at = now
    raise KeyboardInterrupt


def main(argv: Optional[List[str]] = None) -> int:
    """Runs one command in this process, as ``zentrail ARGV`` would, and
    returns its exit status; Ctrl-C's handler is the caller's again after."""
    return _run(argv, exiting=False)


def command_line() -> int:
    """The ``zentrail`` command, whose process exits with the status: once
    interrupted, it ignores Ctrl-C to the end, so that a press during the
    interpreter's exit cannot turn status 130 into death by the signal."""
    return _run(None, exiting=True)


def _run(argv: Optional[List[str]], exiting: bool) -> int:
    global _ending, _raised_at
    _ending, _raised_at = False, float("-inf")
    # Not where SIGINT is ignored from the start (nohup, a background job),
    # nor off the main thread, which alone may set handlers.
    ours = threading.current_thread() is threading.main_thread() and \
        signal.getsignal(signal.SIGINT) is signal.default_int_handler
    previous = signal.signal(signal.SIGINT, _interrupt) if ours else None
    try:
        return run_command(argv)
    finally:
        if ours:
            signal.signal(signal.SIGINT, signal.SIG_IGN if exiting and _ending else previous)


def run_command(argv: Optional[List[str]]) -> int:
    from .parser import parser

    args = parser().parse_args(argv)
    name = f"zentrail {args.command}"
    with warnings.catch_warnings():
        # The command is the caller of its reads: their warnings are said in
        # its voice, not as a line of the package's (or runpy's) source.
        warnings.showwarning = _said_by(name)
        return _run_parsed(args, name)


def _said_by(name: str) -> Any:
    def show(message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
        print(f"{name}: {message}", file=sys.stderr if file is None else file)
    return show


def _run_parsed(args: Any, name: str) -> int:
    global _ending
    from .index import applied
    from .parser import check

    try:
        check(args)
        with applied(args):
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
