"""The command's arguments, checked before anything is read: every mistake
here is a usage error (exit status 2), never a failed read."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Tuple

import zentrail
from zentrail._base import time as _time

MAX_THREADS = 2 ** 31  # as zentrail.scan takes them
MAX_BATCH_ROWS = 2 ** 31
# Past 32,767 pixels browsers refuse to draw a canvas and matplotlib an image.
MIN_WIDTH, MAX_WIDTH = 100, 32_767
FORMATS = ("csv", "parquet", "arrow")
# The window of every archive file: a scan made to resolve a root, codes or
# a zone (and never read) takes it.
EVERY_DAY = ("0001-01-01", "9999-12-31")


class UsageError(Exception):
    """A bad argument: exit status 2."""


def parse_signals(text: str) -> Any:
    """The codes of a --signals text such as "7:0-3,12,500-503:0": ID (every
    element), ID:N, ID:A-B, and each of those over a range of ids A-B; as an
    int64 NumPy array in the order written (so that "0-65535" stays a 512 MB
    array, not 67 million Python ints). An item that does not start with a
    digit is a name or a shell-style pattern of the catalog: then a list of
    that array and the names, which zentrail.scan resolves."""
    try:
        return zentrail.parse_signals(text)
    except ValueError as error:
        raise UsageError(f"--signals: {error}") from None


def parse_ids(text: str) -> List[Any]:
    """Signal ids, and names or patterns of the catalog (for their ids)."""
    try:
        ids = [int(part) if part.strip()[:1].isdigit() else part.strip() for part in text.split(",")]
    except ValueError:
        raise UsageError(f"--ids: {text!r} is not a comma-separated list of signal ids or names") from None
    if any(isinstance(i, int) and not 0 <= i <= 65535 for i in ids):
        raise UsageError(f"--ids: {text!r} holds an id outside 0 to 65535")
    return ids


def window(start: Optional[str], end: Optional[str], zone: Optional[_time.Zone] = None) -> None:
    """UsageError for a --from or --to that is no time, or a --to before
    --from; read in `zone` when given (where a bound may carry an offset)."""
    bounds = []
    for text, option, is_end in ((start, "--from", False), (end, "--to", True)):
        try:
            bounds.append(None if text is None else _time.bound_in(zone, text, option, is_end))
        except ValueError as error:
            raise UsageError(str(error)) from None
    if bounds[0] is not None and bounds[1] is not None:
        try:
            _time.check_order(bounds[0], bounds[1], start, end, ("--from", "--to"))
        except ValueError as error:
            raise UsageError(str(error)) from None


def root(path: str) -> None:
    """UsageError unless ROOT is a folder, a zip file or a URL (a missing
    folder is a mistyped argument, not an archive that holds nothing; a URL
    is checked when it is listed)."""
    import zentrail

    # A scan's plan holds the root as a read takes it: the bytes of a local
    # folder, or a place elsewhere (a URL, a zip file).
    source = zentrail.scan(path, *EVERY_DAY, catalog=False, tz=False).plan.source
    if isinstance(source, bytes) and not os.path.isdir(source):
        what = "does not exist" if not os.path.lexists(source) else "is not a folder"
        raise UsageError(f"ROOT {path!r} {what}")


def in_range(value: Optional[int], option: str, low: int, high: int) -> None:
    if value is not None and not low <= value <= high:
        raise UsageError(f"{option} must be {low:,} to {high:,}, not {value:,}")


def output_format(output: str, chosen: Optional[str]) -> str:
    """The format of -o OUT: --format when given, else the file's extension;
    standard output ("-") is CSV unless --format says otherwise."""
    if chosen is not None:
        return chosen
    if output == "-":
        return "csv"
    kind = os.path.splitext(output)[1].lower().lstrip(".")
    if kind not in FORMATS:
        raise UsageError(f"-o {output}: the file name must end in .csv, .parquet or .arrow (or give --format)")
    return kind


def output_folder(output: str) -> None:
    """UsageError when OUT cannot be written where it is named: its folder
    missing, or OUT itself a folder."""
    if output == "-":
        return
    folder = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(folder):
        raise UsageError(f"-o {output}: the folder {folder!r} does not exist")
    if os.path.isdir(output):
        raise UsageError(f"-o {output}: is a folder")


def catalog_of(args: Any) -> Any:
    """What --catalog and --no-catalog ask for: a path, False, or None (the
    root's own catalog file, if any)."""
    if getattr(args, "no_catalog", False):
        return False
    return getattr(args, "catalog", None)


def resolved_codes(args: Any, parsed: Any) -> Any:
    """--signals resolved through the catalog: an int32 array of codes; a
    name or pattern that matches nothing, or a broken catalog, is a usage error."""
    import zentrail

    try:
        return zentrail.scan(args.root, *EVERY_DAY, parsed, catalog=catalog_of(args), tz=False).plan.codes
    except (ValueError, TypeError, OSError) as error:
        import re

        text = re.sub(r"signals\[\d+\] is ", "", str(error))
        raise UsageError(f"--signals: {text}") from None


# The options that take a duration, by their dest, and whether "none" (no
# limit) is one of their values: every one is checked before anything is read.
DURATION_OPTIONS = {"every": False, "max_gap": False, "lookback": True, "poll": False, "commit_every": False,
                    "min_gap": False, "period": False, "window": False, "chatter_window": False, "standing": False}
HOWS = ("step", "linear", "catalog")


def durations(args: Any) -> None:
    """UsageError naming the option for a duration option (of those the
    command has) that is no duration or out of range."""
    for dest, none_allowed in DURATION_OPTIONS.items():
        value = getattr(args, dest, None)
        if value is None or (none_allowed and value.strip().lower() == "none"):
            continue
        try:
            _time.duration_ns(value, "--" + dest.replace("_", "-"))
        except ValueError as error:
            raise UsageError(str(error)) from None


def duration_help(what: str, default: Optional[str] = None) -> str:
    """The help of a duration option: what it is, and the grammar."""
    shown = f"; default {default}" if default is not None else ""
    return f"{what} ({_time.DURATION_TEXTS}{shown})"


def add_series_options(parser: Any, description: str, lookback_from: str) -> None:
    """The time-series options (--every, --how, --max-gap, --lookback) of a
    command that writes aligned grids, as one group of its help. --how and
    --lookback are None when not given (see series_options)."""
    import inspect

    import zentrail

    series = parser.add_argument_group("time series", description)
    series.add_argument("--every", metavar="D", help=duration_help("the grid's step"))
    series.add_argument("--how", choices=HOWS, default=None,
                        help="the value in force (step) or interpolated (linear), or each signal as the catalog's "
                             "interpolation says, step where it says nothing (catalog, the default)")
    series.add_argument("--max-gap", metavar="D", help=duration_help(
        "no value further than D from its row (step) or between rows further apart than D (linear)"))
    lookback = inspect.signature(zentrail.Scan.align).parameters["lookback"].default
    series.add_argument("--lookback", metavar="D", default=None, help=duration_help(
        f"how far before {lookback_from} the value in force is looked for", f"{lookback}; none: no limit"))


def series_given(args: Any) -> bool:
    """Whether --how, --max-gap or --lookback was given (they go with --every)."""
    return args.how is not None or args.max_gap is not None or args.lookback is not None


def series_options(args: Any) -> Dict[str, Any]:
    """--how, --max-gap and --lookback as Scan.align takes them (those not
    given left to its defaults)."""
    options: Dict[str, Any] = {"how": None if args.how in (None, "catalog") else args.how, "max_gap": args.max_gap}
    if args.lookback is not None:
        options["lookback"] = None if args.lookback.strip().lower() == "none" else args.lookback
    return options
