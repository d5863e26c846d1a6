"""Alarms.report: the figures an alarm-management review asks of an alarm
system (rates, floods, the most frequent alarms, chattering and standing
ones, times to acknowledge), each beside the benchmark values of ISA-18.2
and EEMUA 191.

The benchmarks are stated per operator position. zentrail does not know
which alarms reach which operator, so every figure is one of the whole
archive (or of the signals read): the report says so rather than leave a
plant of five consoles measured as one.

Everything is counted over whole arrays (np.bincount over bins, np.unique
over alarms, searchsorted over each alarm's sorted raises), never a Python
loop per episode: a year of a busy plant is a few hundred thousand rows.
"""

from __future__ import annotations

from zentrail._alarms.codes import by_codes
from zentrail._base import classes as _classes, time as _time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple

MINUTE = 60 * _time.NS_PER_SECOND
TEN_MINUTES = 10 * MINUTE
HOUR = 60 * MINUTE
DAY = _time.NS_PER_DAY
ISA = "benchmark (ISA-18.2)"
EEMUA = "benchmark (EEMUA 191)"
PER_ARCHIVE = ("The benchmarks are stated per operator position; these figures are of the whole archive (or of the "
               "signals read), since the archive does not say which operator each alarm reaches.")


def _bands(value: float, bands: Tuple[Tuple[float, str], ...], above: str) -> str:
    """The label of the first band whose upper limit (inclusive) holds
    `value`, else `above`."""
    for limit, label in bands:
        if value <= limit:
            return label
    return above


def _counts(raised: Any, first: int, bins: int, width: int) -> Any:
    """The raises in each of `bins` bins of `width` ns from `first`."""
    import numpy

    return numpy.bincount((raised - first) // width, minlength=bins)[:bins]


def _bin_count(span: int, width: int) -> int:
    return max(1, -(-span // width))


def _most_within(times: Any, group: Any, width: int) -> Any:
    """The most raises within `width` from one of them, per group, of raises
    ordered by group (ascending), then time. Each raise stands as (its
    group, its time's place among all these raises), one int64 in ascending
    order, so one searchsorted finds, for every raise at once, the first of
    its group's raises `width` later."""
    import numpy

    n = len(times)
    if not n:
        return numpy.zeros(0, dtype=numpy.int64)
    stamps = numpy.sort(times)
    base = group.astype(numpy.int64) * (n + 1)
    at = base + numpy.searchsorted(stamps, times)
    within = numpy.searchsorted(at, base + numpy.searchsorted(stamps, times + width)) - numpy.arange(n)
    return numpy.maximum.reduceat(within, numpy.flatnonzero(numpy.concatenate([[True], group[1:] != group[:-1]])))


class AlarmReport:
    """The figures of an alarm system over a window, made by
    :meth:`Alarms.report`; frozen. ``to_dict()`` gives them as JSON-able
    values, ``str()`` as the text the ``zentrail alarms`` command prints,
    :meth:`to_html` as a page with plots. The keys of ``to_dict()``:

    - ``window``: ``start`` and ``end`` (the instant after the window) as
      texts (with their offset in a zone), ``span_s``, ``follow``, ``zone``;
      ``parameters``: those the report was made with.
    - ``count``; ``rate``: per ``window``, ``hour`` and ``day``, the
      ``average`` over the span and the ``peak`` (the most in one bin, the
      bins aligned to the window's start).
    - ``floods``: periods (``start``, ``end``, ``count``) of adjacent bins
      of more than ``flood`` alarms; ``flood_bins`` of ``bins``;
      ``flood_share``.
    - ``top``: ``alarms`` (``signal_id``, ``name``, ``level``, ``count``,
      ``share``), most frequent first, and their total ``share``.
    - ``chattering``: alarms (``signal_id``, ``name``, ``level``) raised
      ``chatter`` or more times within ``chatter_window``: ``count`` (their
      raises in the window) and ``most`` (in one such window).
    - ``standing``: ``cleared`` (episodes whose return is known, active
      longer than ``standing``) and ``still_active`` (not returned at the
      end of the read, raised longer than ``standing`` before it), each
      with ``raised``, ``cleared``, ``active_s``; ``most_on_a_day``.
    - ``acknowledge``: per level, ``count``, ``acknowledged``, ``median_s``
      and ``p90_s`` of the time to acknowledge (None where none was).
    - ``not_acknowledged``, ``no_return``, ``unmatched_acks``,
      ``raising_nothing``: counts.
    - ``benchmarks``: each figure (``figure``, ``value``) beside its
      ``benchmark`` ("benchmark (ISA-18.2)" or "benchmark (EEMUA 191)"),
      its benchmark ``values`` and the ``band`` the value falls in.
    - ``note``: that the figures are of the archive, not per operator."""

    __slots__ = ("_figures", "_series")
    _figures: Dict[str, Any]
    _series: Dict[str, Any]

    def __init__(self, figures: Dict[str, Any], series: Dict[str, Any]) -> None:
        object.__setattr__(self, "_figures", figures)
        object.__setattr__(self, "_series", series)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("an AlarmReport is frozen")

    def __getstate__(self) -> Tuple[Any, Any]:
        return self._figures, self._series

    def __setstate__(self, state: Tuple[Any, Any]) -> None:
        object.__setattr__(self, "_figures", state[0])
        object.__setattr__(self, "_series", state[1])

    def to_dict(self) -> Dict[str, Any]:
        """The figures as a dict of JSON-able values (a fresh copy)."""
        import copy

        return copy.deepcopy(self._figures)

    def __getitem__(self, name: str) -> Any:
        return self.to_dict()[name]

    def __str__(self) -> str:
        return text(self._figures)

    def __repr__(self) -> str:
        window = self._figures["window"]
        return f"<zentrail.AlarmReport: {self._figures['count']} alarms from {window['start']} to {window['end']}>"

    def to_html(self, path: Any) -> None:
        """Writes the report as one self-contained HTML page (its plots'
        scripts inline, no address outside it) to ``path``: the alarm rate
        per window over time with the flood line, the Pareto chart of the
        most frequent alarms, and the time to acknowledge per level. The
        file appears whole or not at all. Needs Bokeh (``pip install
        "zentrail[view]"``)."""
        from zentrail._alarms import html as _html

        _html.write(self._figures, self._series, text(self._figures), path)


def report(alarms: Any, window: Any = "10min", *, flood: int = 10, chatter: int = 3, chatter_window: Any = "1min",
           standing: Any = "24h", top: int = 10) -> AlarmReport:
    """Alarms.report (its text is there)."""
    import numpy

    width = _time.duration_ns(window, "window")
    chatter_ns = _time.duration_ns(chatter_window, "chatter_window")
    standing_ns = _time.duration_ns(standing, "standing")
    for value, name, lowest in ((flood, "flood", 0), (chatter, "chatter", 1), (top, "top", 1)):
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value < lowest:
            raise ValueError(f"{name} must be at least {lowest}, not {value!r}")
    spans = alarms.spans()
    columns = alarms.to_numpy()
    zone = spans["zone"]
    first, last, follow = spans["first"], spans["last"], spans["follow"]
    span = last - first + 1
    raised = columns["raised"].view(numpy.int64)
    n = len(raised)

    def instants(values: Any) -> List[str]:
        return _time.texts(numpy.asarray(values, dtype=numpy.int64).view("datetime64[ns]"), zone).tolist()

    def instant(ns: int) -> str:
        return instants([ns])[0]

    # Rates: per window, hour and day; the average over the span, the peak
    # the most in one bin, bins aligned to the window's start.
    rate: Dict[str, Any] = {}
    counts: Dict[str, Any] = {}
    for name, length in (("window", width), ("hour", HOUR), ("day", DAY), ("10min", TEN_MINUTES)):
        counts[name] = _counts(raised, first, _bin_count(span, length), length)
        rate[name] = {"average": n * length / span, "peak": int(counts[name].max())}
    ten = rate.pop("10min")
    per_window = counts["window"]

    # Floods: bins over `flood`, adjacent ones merged into periods.
    over = per_window > flood
    edges = numpy.flatnonzero(numpy.diff(numpy.concatenate([[0], over.astype(numpy.int8), [0]])))
    starts, stops = edges[0::2], edges[1::2]
    running = numpy.concatenate([[0], numpy.cumsum(per_window)])
    floods = [{"start": a, "end": b, "count": int(c)} for a, b, c in zip(
        instants(first + starts * width), instants(numpy.minimum(first + stops * width, last + 1)),
        running[stops] - running[starts])]
    flood_bins = int(over.sum())

    # The alarms: one per (id, class, subtype), so a level of one signal.
    key = (columns["signal_id"].astype(numpy.int32) * 32 + columns["item_class"]) * 8 + columns["subtype"]
    # One stable sort orders the raises by alarm, then time (raised is in
    # time order already): the alarms' counts and the chattering come of it.
    order = by_codes(columns["signal_id"], columns["item_class"], columns["subtype"])
    sorted_key = key[order]
    group_starts = numpy.flatnonzero(numpy.concatenate([[True], sorted_key[1:] != sorted_key[:-1]])) if n else \
        numpy.zeros(0, dtype=numpy.int64)
    keys, where = sorted_key[group_starts], order[group_starts]
    many = numpy.diff(numpy.append(group_starts, n))
    group = numpy.repeat(numpy.arange(len(keys), dtype=numpy.int64), many)

    def alarm_of(k: int, **more: Any) -> Dict[str, Any]:
        row = int(where[k])
        return {"signal_id": int(columns["signal_id"][row]), "name": columns["name"][row],
                "level": str(columns["level"][row]), **more}

    ranked = numpy.lexsort((keys, -many))[:top]
    top_alarms = [alarm_of(int(k), count=int(many[k]), share=float(many[k]) / n) for k in ranked]
    top_share = float(many[ranked].sum()) / n if n else 0.0

    # Chattering: the most raises of one alarm within any chatter_window
    # starting at one of its raises, counted for the alarms that reach
    # `chatter` there at all (its raise `chatter` - 1 later comes within
    # chatter_window): few, where every alarm's raises would cost a search.
    times = raised[order]  # by alarm, then time
    step = chatter - 1
    reaching = numpy.zeros(len(keys), dtype=bool)
    if step == 0:
        reaching[:] = True
    elif n > step:
        close = (group[step:] == group[:-step]) & (times[step:] - times[:-step] < chatter_ns)
        reaching[group[:-step][close]] = True
    rows = numpy.flatnonzero(reaching[group])
    most = numpy.zeros(len(keys), dtype=numpy.int64)
    most[reaching] = _most_within(times[rows], group[rows], chatter_ns)
    chattering = [alarm_of(int(k), count=int(many[k]), most=int(most[k]))
                  for k in numpy.lexsort((keys, -most)) if most[k] >= chatter]

    # Standing: returns known, active longer than `standing`; apart, those
    # still active at the end of the read (window's end + follow).
    known = columns["return_known"]
    active = columns["active"].view(numpy.int64)
    cleared_at = columns["cleared"].view(numpy.int64)
    open_ = known & numpy.isnat(columns["cleared"])
    read_end = last + follow
    long_cleared = numpy.flatnonzero(known & ~open_ & (active > standing_ns))
    still = numpy.flatnonzero(open_ & (read_end - raised > standing_ns))

    def episodes(rows: Any, until: Any) -> List[Dict[str, Any]]:
        return [{"signal_id": ident, "name": name, "level": level, "raised": began, "cleared": ended,
                 "active_s": seconds} for ident, name, level, began, ended, seconds in zip(
                    columns["signal_id"][rows].tolist(), columns["name"][rows].tolist(),
                    columns["level"][rows].tolist(), instants(raised[rows]),
                    instants(until) if until is not None else [None] * len(rows),
                    (((until if until is not None else read_end) - raised[rows]) / _time.NS_PER_SECOND).tolist())]

    # Standing alarms present on a day: each from `standing` after its raise
    # to its return (or the end of the read) meets the days it overlaps.
    stale_from = raised[numpy.concatenate([long_cleared, still])] + standing_ns
    stale_to = numpy.concatenate([cleared_at[long_cleared], numpy.full(len(still), read_end)])
    day_starts = first + numpy.arange(_bin_count(span, DAY), dtype=numpy.int64) * DAY
    present = numpy.searchsorted(numpy.sort(stale_from), day_starts + DAY) - \
        numpy.searchsorted(numpy.sort(stale_to), day_starts, side="right")
    most_stale = int(present.max()) if len(present) else 0

    # Acknowledgement per level (its name: "Hi" of every class together),
    # the levels in the order of their first class and subtype.
    code = columns["item_class"].astype(numpy.int64) * 8 + columns["subtype"]
    present = numpy.flatnonzero(numpy.bincount(code, minlength=256))
    names = _classes.subtype_name_array(present // 8, present % 8).tolist()
    levels = list(dict.fromkeys(names))
    level_of_code = numpy.zeros(256, dtype=numpy.int64)
    level_of_code[present] = [levels.index(name) for name in names]
    level = level_of_code[code]
    acked = ~numpy.isnat(columns["acknowledged"])
    delays = columns["to_acknowledge"].view(numpy.int64) / _time.NS_PER_SECOND
    acknowledge: Dict[str, Any] = {}
    for k, name in enumerate(levels):
        mine = level == k
        taken = delays[mine & acked]
        median, p90 = numpy.percentile(taken, [50, 90]).tolist() if len(taken) else (None, None)
        acknowledge[name] = {"count": int(mine.sum()), "acknowledged": int(len(taken)), "median_s": median,
                             "p90_s": p90}

    per_minute = n * MINUTE / span
    bins_10 = len(counts["10min"])
    share_10 = float((counts["10min"] > 10).sum()) / bins_10
    isa = [
        ("average alarms per day", rate["day"]["average"], "~150 acceptable, ~300 maximum manageable",
         _bands(rate["day"]["average"], ((150, "acceptable"), (300, "manageable")), "above maximum manageable")),
        ("average alarms per hour", rate["hour"]["average"], "~6 acceptable, ~12 maximum manageable",
         _bands(rate["hour"]["average"], ((6, "acceptable"), (12, "manageable")), "above maximum manageable")),
        ("average alarms per 10 minutes", ten["average"], "~1 acceptable, ~2 maximum manageable",
         _bands(ten["average"], ((1, "acceptable"), (2, "manageable")), "above maximum manageable")),
        ("10-minute periods with more than 10 alarms", share_10, "< ~1%",
         _bands(share_10, ((0.01, "within"),), "above")),
        ("most alarms in a 10-minute period", ten["peak"], "<= 10", _bands(ten["peak"], ((10, "within"),), "above")),
        ("time in flood", flood_bins / len(per_window), "< ~1%",
         _bands(flood_bins / len(per_window), ((0.01, "within"),), "above")),
        (f"share of the {top} most frequent alarms", top_share, "< ~1% to 5%",
         _bands(top_share, ((0.05, "within"),), "above")),
        ("chattering alarms", len(chattering), "0", _bands(len(chattering), ((0, "within"),), "above")),
        ("most standing alarms present on a day", most_stale, "< 5", _bands(most_stale, ((4, "within"),), "above")),
    ]
    eemua = [
        ("long-term average alarms per minute", per_minute,
         "> 1/min very likely to be unacceptable, 1 per 2 min likely to be over-demanding, 1 per 5 min manageable, "
         "< 1 per 10 min very likely to be acceptable",
         _bands(per_minute, ((0.1, "very likely to be acceptable"), (0.2, "manageable"),
                             (1.0, "likely to be over-demanding")), "very likely to be unacceptable")),
        ("most alarms in 10 minutes (as after an upset)", ten["peak"],
         "> 100 definitely excessive, 20-100 hard to cope with, < 10 should be manageable",
         _bands(ten["peak"], ((9, "should be manageable"), (19, "between manageable and hard to cope with"),
                              (100, "hard to cope with")), "definitely excessive")),
    ]
    benchmarks = [{"figure": f, "value": v, "benchmark": which, "values": b, "band": band}
                  for which, rows in ((ISA, isa), (EEMUA, eemua)) for f, v, b, band in rows]
    figures = {
        "window": {"start": instant(first), "end": instant(last + 1), "span_s": span / _time.NS_PER_SECOND,
                   "follow": _time.duration_text(follow) if follow else "0",
                   "zone": None if zone is None else zone.name},
        "parameters": {"window": _time.duration_text(width), "flood": flood, "chatter": chatter,
                       "chatter_window": _time.duration_text(chatter_ns), "standing": _time.duration_text(standing_ns),
                       "top": top},
        "count": n,
        "rate": rate,
        "floods": floods, "flood_bins": flood_bins, "bins": len(per_window),
        "flood_share": flood_bins / len(per_window),
        "top": {"alarms": top_alarms, "share": top_share},
        "chattering": chattering,
        "standing": {"cleared": episodes(long_cleared, cleared_at[long_cleared]),
                     "still_active": episodes(still, None), "most_on_a_day": most_stale},
        "acknowledge": acknowledge,
        "not_acknowledged": int((~acked).sum()),
        "no_return": int(open_.sum()),
        "unmatched_acks": spans["unmatched_acks"],
        "raising_nothing": spans["raising_nothing"],
        "benchmarks": benchmarks,
        "note": PER_ARCHIVE,
    }
    series = {"bin_starts": first + numpy.arange(len(per_window), dtype=numpy.int64) * width, "per_window": per_window,
              "zone": zone}
    return AlarmReport(figures, series)


def _number(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.3g}" if abs(value) < 1000 else f"{value:,.0f}"
    return str(value)


def _share(value: float) -> str:
    return f"{100 * value:.2f}%"


def _seconds(value: Optional[float]) -> str:
    if value is None:
        return "-"
    if value < 120:
        return f"{value:.0f}s"
    if value < 7200:
        return f"{value / 60:.1f}min"
    return f"{value / 3600:.1f}h"


def text(figures: Dict[str, Any]) -> str:
    """The report as readable text: each figure, then its benchmarks beside
    it, labelled as benchmarks."""
    window, parameters, rate = figures["window"], figures["parameters"], figures["rate"]
    lines = [f"Alarm report from {window['start']} up to {window['end']}"
             + (f" ({window['zone']})" if window["zone"] else ""),
             (f"acknowledgements and returns looked for up to {window['follow']} after the end" if window["follow"] != "0"
              else "acknowledgements and returns looked for within the window alone"), "",
             f"alarms raised: {figures['count']}",
             f"records that raise nothing: {figures['raising_nothing']}",
             f"acknowledgements that acknowledge nothing: {figures['unmatched_acks']}",
             f"episodes not acknowledged within the read: {figures['not_acknowledged']}",
             f"episodes whose return is known but not within the read: {figures['no_return']}", "",
             "rate          average   peak"]
    for name, label in (("window", f"per {parameters['window']}"), ("hour", "per hour"), ("day", "per day")):
        lines.append(f"{label:<13} {_number(rate[name]['average']):>7} {rate[name]['peak']:>6}")
    lines += ["", f"floods (more than {parameters['flood']} alarms per {parameters['window']}): "
              f"{len(figures['floods'])} periods, {figures['flood_bins']} of {figures['bins']} bins "
              f"({_share(figures['flood_share'])})"]
    lines += [f"  {f['start']} to {f['end']}: {f['count']} alarms" for f in figures["floods"][:20]]
    if len(figures["floods"]) > 20:
        lines.append(f"  ... and {len(figures['floods']) - 20} more")
    top = figures["top"]
    lines += ["", f"most frequent alarms ({_share(top['share'])} of all):"]
    lines += [f"  {a['count']:>7}  {_share(a['share']):>7}  {a['signal_id']:>5} {a['level']:<6} {a['name'] or ''}"
              for a in top["alarms"]]
    lines += ["", f"chattering ({parameters['chatter']} or more within {parameters['chatter_window']}): "
              f"{len(figures['chattering'])}"]
    lines += [f"  {a['signal_id']:>5} {a['level']:<6} {a['name'] or ''}: {a['count']} raises, at most {a['most']} "
              f"within {parameters['chatter_window']}" for a in figures["chattering"][:20]]
    standing = figures["standing"]
    lines += ["", f"standing (active longer than {parameters['standing']}, returns known): "
              f"{len(standing['cleared'])} returned, {len(standing['still_active'])} still active at the end of "
              f"the read; at most {standing['most_on_a_day']} on one day"]
    lines += [f"  {e['signal_id']:>5} {e['level']:<6} {e['name'] or ''}: raised {e['raised']}, "
              f"{'cleared ' + e['cleared'] if e['cleared'] else 'still active'} ({_seconds(e['active_s'])})"
              for e in (standing["cleared"] + standing["still_active"])[:20]]
    lines += ["", "time to acknowledge  level   count  acknowledged  median     90%"]
    lines += [f"                     {level:<7} {a['count']:>5}  {a['acknowledged']:>12}  {_seconds(a['median_s']):>6}"
              f"  {_seconds(a['p90_s']):>6}" for level, a in figures["acknowledge"].items()]
    lines += ["", "figure beside its benchmark values:"]
    for row in figures["benchmarks"]:
        value = _share(row["value"]) if row["values"].startswith("<") and "%" in row["values"] else \
            _number(row["value"])
        lines.append(f"  {row['figure']}: {value} ({row['band']}); {row['benchmark']}: {row['values']}")
    lines += ["", figures["note"]]
    return "\n".join(lines)
