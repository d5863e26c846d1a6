"""--tz: the zone an archive's wall-clock times are read in, on every
command. Given a zone, every read reads the records' times as instants and
the command writes them so: texts with their offset, Arrow and Parquet times
that carry the zone. Without --tz the zone file in ROOT (zentrail-zone.txt)
names it, as the Python API does by default; --tz none reads without a zone
whatever that file says, as before zones."""

from __future__ import annotations

import argparse
from typing import Any, Dict, Optional

from zentrail._base import time as _time

from .arguments import EVERY_DAY, UsageError

# --tz's word for no zone at all (tz=False), the zone file ignored.
NO_ZONE = "none"


def add_option(sub: Any) -> None:
    sub.add_argument("--tz", metavar="ZONE", help=f"the archive's time zone, an IANA name such as Europe/Berlin: its "
                     f"wall-clock times are read as instants and written with their offset "
                     f"(2024-10-27T02:30:00+01:00), the repeated autumn hour told apart (default: the zone "
                     f"{_time.ZONE_FILE} in ROOT names, if any); {NO_ZONE}: naive wall-clock times, as without a "
                     f"zone, {_time.ZONE_FILE} ignored")


def check(args: argparse.Namespace) -> None:
    """--tz as the reads take it (args.tz: None, False or a zone's name),
    or UsageError for a zone this machine does not know."""
    text = getattr(args, "tz", None)
    if text is None:
        return
    if text.strip().lower() == NO_ZONE:
        args.tz = False
        return
    try:
        args.tz = _time.Zone(text.strip()).name
    except ValueError:
        raise UsageError(f"--tz: {text!r} is no time zone this machine knows; give an IANA name such as "
                         f"Europe/Berlin or UTC (pip install tzdata where the system has none), or {NO_ZONE}") \
            from None


def keywords(args: argparse.Namespace) -> Dict[str, Any]:
    """tz= for a read of the command: --tz when it was given; nothing
    otherwise, the read's own default then naming the zone (the zone file)."""
    tz = getattr(args, "tz", None)
    return {} if tz is None else {"tz": tz}


def zone_of(args: argparse.Namespace) -> Optional[_time.Zone]:
    """The zone the command's reads use (None: none), found once: --tz, or
    the one the zone file in ROOT names."""
    if not hasattr(args, "zone"):
        import zentrail

        args.zone = zentrail.scan(args.root, *EVERY_DAY, catalog=False, **keywords(args)).plan.zone
    found: Optional[_time.Zone] = args.zone
    return found
