"""A small reference for time series, in NumPy, from the rows of a scan over
the widened window: sorted by time with read order kept at ties
(a stable sort), then ``searchsorted`` per grid instant; the time-weighted
sums segment by segment."""

from __future__ import annotations

import numpy

NAT = numpy.datetime64("NaT", "ns")


def value_rows(columns):
    """Per code, (times, values) of the value rows in time order, read order at ties."""
    time = columns["time"].astype(numpy.int64)
    value = columns["value"]
    code = columns["signal_id"].astype(numpy.int64) * 1024 + columns["element"]
    keep = ~numpy.isnan(value)
    out = {}
    for c in numpy.unique(code[keep]):
        mine = keep & (code == c)
        order = numpy.argsort(time[mine], kind="stable")
        out[int(c)] = (time[mine][order], value[mine][order])
    return out


def aligned(columns, codes, start, end, every, how="step", max_gap=None):
    """The aligned table: `columns` are the rows considered (a scan's
    to_numpy()); `codes` the codes given, or None for every code with rows."""
    rows = value_rows(columns)
    grid = numpy.arange(start, end + 1, every, dtype=numpy.int64)
    out = {"time": grid.astype("datetime64[ns]")}
    for code in sorted(rows) if codes is None else sorted(codes):
        times, values = rows.get(code, (numpy.zeros(0, numpy.int64), numpy.zeros(0)))
        result = numpy.full(len(grid), numpy.nan)
        if len(times):
            at_or_before = numpy.searchsorted(times, grid, side="right") - 1
            if how == "step":
                has = at_or_before >= 0
                if max_gap is not None:
                    has &= grid - times[numpy.maximum(at_or_before, 0)] <= max_gap
                result[has] = values[at_or_before[has]]
            else:
                before = numpy.searchsorted(times, grid, side="left") - 1
                after = numpy.searchsorted(times, grid, side="right")
                exact = (at_or_before >= 0) & (times[numpy.maximum(at_or_before, 0)] == grid)
                both = ~exact & (before >= 0) & (after < len(times))
                b, a = before[both], after[both]
                if max_gap is not None:
                    near = times[a] - times[b] <= max_gap
                    both[both] = near
                    b, a = b[near], a[near]
                w = (grid[both] - times[b]).astype(numpy.float64) / (times[a] - times[b]).astype(numpy.float64)
                result[both] = values[b] + (values[a] - values[b]) * w
                result[exact] = values[at_or_before[exact]]
        out[f"{code >> 10}:{code & 1023}"] = result
    return out


def time_weighted(columns, start, end, first, width, count, max_gap=None, spans=()):
    """{(signal_id, element, bucket start ns): (in_force seconds, integral)} of
    the rows considered (up to `end`) in the buckets first + k * width; a
    row's value stands until the first of `spans` (lost spans) that ends at
    or after it."""
    out = {}
    for code, (times, values) in value_rows(columns).items():
        keep = times <= end
        times, values = times[keep], values[keep]
        sums = {}
        for i in range(len(times)):
            to = int(times[i + 1]) if i + 1 < len(times) else end + 1
            if max_gap is not None:
                to = min(to, int(times[i]) + max_gap)
            cut = [a for a, b in spans if b >= int(times[i])]
            if cut:
                to = min(to, min(cut))
            to = min(to, end + 1)
            t = max(int(times[i]), start)
            while t < to:
                b = min((t - first) // width, count - 1)
                until = min(to, first + (b + 1) * width if b + 1 < count else end + 1, end + 1)
                ns, weighted = sums.get(b, (0, 0.0))
                sums[b] = (ns + until - t, weighted + float(values[i]) * float(until - t))
                t = until
        for b, (ns, weighted) in sums.items():
            if ns:
                out[(code >> 10, code & 1023, first + b * width)] = (ns / 1e9, weighted / 1e9)
    return out


def lost_spans(damaged_rows):
    """The spans a damaged file costs a series: per file, its name's day
    (first, last ns) widened to the instants of the rows it gave (`damaged_rows`:
    {day's first ns: the file's rows' times})."""
    spans = []
    for day_first, times in damaged_rows.items():
        first, last = day_first, day_first + 86_400 * 10**9 - 1
        if len(times):
            first, last = min(first, int(times.min())), max(last, int(times.max()))
        spans.append((first, last))
    return spans


def _poisoned(spans, lo, hi):
    """Whether some span meets [lo, hi] (closed)."""
    return any(a <= hi and b >= lo for a, b in spans)


def aligned_around_damage(columns, codes, start, end, every, how, max_gap, spans):
    """The aligned table of the clean files' rows, with NaN wherever a row of
    a lost span could have changed the value: step, where a span meets
    [row in force, instant]; linear, where one meets [row before, row after]
    (either missing: unbounded on that side)."""
    out = aligned(columns, codes, start, end, every, how, max_gap)
    rows = value_rows(columns)
    grid = numpy.arange(start, end + 1, every, dtype=numpy.int64)
    for code in sorted(rows) if codes is None else sorted(codes):
        times = rows.get(code, (numpy.zeros(0, numpy.int64), None))[0]
        column = out[f"{code >> 10}:{code & 1023}"]
        for i, t in enumerate(grid.tolist()):
            before = times[times <= t]
            lo = int(before[-1]) if len(before) else -(1 << 63)
            if how == "step":
                hi = t
            else:
                after = times[times >= t]
                hi = int(after[0]) if len(after) else (1 << 63) - 1
            if _poisoned(spans, lo, hi):
                column[i] = numpy.nan
    return out
