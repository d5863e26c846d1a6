"""The dictionaries of the name columns, the same for every output: all the
names a column can hold, known before any row is read."""

from __future__ import annotations

from typing import Tuple

import zentrail

# The classes zentrail.events gives rows of: System, the alarms, AlAckn.
EVENT_CLASSES = (*range(0, 13), 31)


def class_names() -> Tuple[str, ...]:
    """Indexed by the class number, as the engine's stream gives them."""
    return tuple(zentrail.CLASS_NAMES)


def subtype_names() -> Tuple[str, ...]:
    return tuple(sorted({zentrail.subtype_name(c, s) for c in range(32) for s in range(8)}))


def event_details() -> Tuple[str, ...]:
    """Every detail an event can carry (some 30,000 lookups, made once per output)."""
    return tuple(sorted({zentrail.record_names(c, s, p)[2] for c in EVENT_CLASSES
                         for s in range(8) for p in range(256)}))
