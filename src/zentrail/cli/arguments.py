"""The command's arguments, checked before anything is read: every mistake
here is a usage error (exit status 2), never a failed read."""

from __future__ import annotations

import os
from typing import Any, List, Optional

import zentrail
from zentrail._base import time as _time

MAX_THREADS = 2 ** 31  # as zentrail.scan takes them
MAX_BATCH_ROWS = 2 ** 31
# Past 32,767 pixels browsers refuse to draw a canvas and matplotlib an image.
MIN_WIDTH, MAX_WIDTH = 100, 32_767
FORMATS = ("csv", "parquet", "arrow")


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


def window(start: Optional[str], end: Optional[str]) -> None:
    """UsageError for a --from or --to that is no time, or a --to before --from."""
    bounds = []
    for text, option in ((start, "--from"), (end, "--to")):
        try:
            bounds.append(None if text is None else _time.bound_tuple(text, option))
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
    from zentrail._elsewhere.remote import scheme_of

    if scheme_of(path) or path.lower().endswith(".zip") and os.path.isfile(path):
        return
    if not os.path.isdir(path):
        what = "does not exist" if not os.path.lexists(path) else "is not a folder"
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
    from zentrail._base import arguments as _arguments
    from zentrail._names import catalog as _catalog

    try:
        names = _catalog.resolve(catalog_of(args), args.root)
        return _arguments.codes_array(parsed, names)
    except (ValueError, TypeError, OSError) as error:
        import re

        text = re.sub(r"signals\[\d+\] is ", "", str(error))
        raise UsageError(f"--signals: {text}") from None


def add_series_options(parser: Any, description: str, lookback_from: str) -> None:
    """The time-series options (--every, --how, --max-gap, --lookback) of a
    command that writes aligned grids, as one group of its help."""
    series = parser.add_argument_group("time series", description)
    series.add_argument("--every", metavar="D", help="the grid's step: <integer><unit>, unit ns, us, ms, s, m or min, "
                        "h, d (e.g. 1min)")
    series.add_argument("--how", choices=("step", "linear"), default="step",
                        help="the value in force (step, the default) or interpolated (linear)")
    series.add_argument("--max-gap", metavar="D", help="no value further than D from its row (step) or between "
                        "rows further apart than D (linear)")
    series.add_argument("--lookback", metavar="D", default="7d",
                        help=f"how far before {lookback_from} the value in force is looked for (default 7d; "
                             "none: no limit)")
