"""zentrail.dask.align_archive: an aligned grid as a Dask DataFrame with a
partition per day of the grid, each computed by Scan.align on a worker."""

from __future__ import annotations

import inspect

import zentrail

from ._partitions import dask_dataframe, timestamps

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterable, Optional, Union


# Scan.align's own default, which this function passes on.
_LOOKBACK = inspect.signature(zentrail.Scan.align).parameters["lookback"].default


def align_archive(root: Any, start: Any, end: Any, signals: Iterable[Union[int, str]], every: Any, *,
                  how: Optional[str] = None, max_gap: Any = None, lookback: Any = _LOOKBACK, catalog: Any = None,
                  storage_options: Optional[Dict[str, Any]] = None, tz: Any = None) -> Any:
    """``zentrail.scan(root, start, end, signals).align(every, how=how,
    max_gap=max_gap, lookback=lookback)`` as a Dask DataFrame indexed by
    ``time``: one partition per day holding grid instants, the grid's
    instants of that day as divisions, computed on the workers.

    Each partition's grid rows equal the whole grid's: a partition looks
    back from the whole window's start less ``lookback`` (not from its own
    day), so the value in force carries across partitions and across gaps
    as it does in one read. That look back is a pass over record heads alone
    (the values decoded are those of the rows needed), but it grows with the
    partition's distance from the start: with ``lookback=None`` every
    partition looks back over the whole archive anyway.

    ``signals`` is required (the columns of every partition must be known
    before any is read): codes, names or patterns, as for :func:`zentrail.scan`,
    resolved through ``catalog`` (as :func:`zentrail.scan` takes it).
    ``storage_options``: for a URL root. Each task reads with one thread.
    ``tz``: the archive's zone, as for :func:`zentrail.scan`: the grid steps in
    elapsed time (whole days from local midnight), a partition per local day.
    """
    dd = dask_dataframe()
    if signals is None:
        raise ValueError("align_archive needs signals: the columns of every partition are fixed before the read")
    # The scan resolves names and patterns through the root's catalog, as every part's scan names its columns.
    whole = zentrail.scan(root, start, end, signals, catalog=catalog, threads=1, storage_options=storage_options,
                          tz=tz)
    aligned = whole.align(every, how=how, max_gap=max_gap, lookback=lookback)  # checks them all, reads nothing
    parts = aligned.by_day()
    first = parts[0].plan.first_ns
    meta = _read_part(parts[0] if len(parts) == 1 else aligned.part(first, first)).iloc[:0]
    divisions = timestamps([part.plan.first_ns for part in parts] + [parts[-1].plan.last_ns], whole.plan.zone)
    return dd.from_map(_read_part, parts, meta=meta, divisions=divisions, enforce_metadata=False,
                       label="zentrail-align")


def _read_part(part: Any) -> Any:
    """One day's grid, on a worker: the whole grid's rows there, indexed by time."""
    return part.to_pandas().set_index("time")
