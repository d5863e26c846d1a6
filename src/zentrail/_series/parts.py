"""Parts of one aligned grid read apart: a day of grid instants (or a run of
days) whose rows equal the whole grid's, because each part looks for its
rows where the whole grid looks rather than around its own window. The
Dask partitions and the lake of grids (zentrail sync --every) read grids so."""

from __future__ import annotations

import zentrail

from zentrail._base import time as _time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple


def considered(first: int, last: int, how: str, lookback: Optional[int]) -> Tuple[Optional[int], Optional[int]]:
    """Where the rows considered by the grid of the window [first, last] lie
    (None: no limit on that side), as Aligned's own read puts them."""
    oldest = None if lookback is None else first - lookback
    newest = last if how == "step" else (None if lookback is None else last + lookback)
    return oldest, newest


def day_parts(first: int, last: int, every: int) -> List[Tuple[int, int]]:
    """(first, last grid instant) of each day holding grid instants, in order."""
    parts = []
    at = first
    while at <= last:
        midnight = at - at % _time.NS_PER_DAY
        day_last = min(last, midnight + _time.NS_PER_DAY - 1)
        steps = (day_last - at) // every  # the day's grid instants after `at`
        parts.append((at, at + steps * every))
        at += (steps + 1) * every
    return parts


def part_aligned(root: Any, codes: Any, part: Tuple[int, int], every: int, how: str, max_gap: Optional[int],
                 looks: Tuple[Optional[int], Optional[int]], threads: Optional[int] = None,
                 storage_options: Optional[Dict[str, Any]] = None) -> Any:
    """The Aligned of the grid instants part = (first, last), both instants of
    the whole grid, reading the rows the whole grid considers (`looks`)."""
    import numpy

    first, last = part
    scan = zentrail.scan(root, _time.instant_text(first), _time.instant_text(last), codes, threads=threads,
                         storage_options=storage_options)
    aligned = scan.align(numpy.timedelta64(every, "ns"), how=how,
                         max_gap=None if max_gap is None else numpy.timedelta64(max_gap, "ns"))
    aligned._considered = looks
    return aligned


class PartAligner:
    """One day's grid, called on a worker with its (first, last) grid
    instants: the whole grid's rows there, as a pandas DataFrame."""

    def __init__(self, root: Any, codes: Any, every: int, how: str, max_gap: Optional[int],
                 looks: Tuple[Optional[int], Optional[int]], storage_options: Optional[Dict[str, Any]]) -> None:
        self.root = root
        self.codes = codes
        self.every = every
        self.how = how
        self.max_gap = max_gap
        self.looks = looks
        self.storage_options = storage_options

    def __call__(self, part: Tuple[int, int]) -> Any:
        aligned = part_aligned(self.root, self.codes, part, self.every, self.how, self.max_gap, self.looks,
                               threads=1, storage_options=self.storage_options)
        return aligned.to_pandas().set_index("time")
