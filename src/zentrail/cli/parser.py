"""The command line's grammar: commands, options and their help."""

from __future__ import annotations

import argparse
import inspect
from typing import Any

import zentrail

from . import arguments, damaged, zone

EXAMPLES = """examples:
  zentrail ls examples/sample-archive
  zentrail ls examples/sample-archive --from 2024-03-02 --to 2024-03-02 --by-day
  zentrail ls examples/sample-archive --unmatched
  zentrail export examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 'Furnace1.*' -o furnace.parquet
  zentrail export examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 7:0-3,12 -o furnace.parquet
  zentrail export examples/sample-archive --from 2024-03-01 --to 2024-03-03 --all -o everything.csv
  zentrail export examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 5-7:0 -o - | head
  zentrail export examples/sample-archive --from 2024-03-02 --to 2024-03-02 --signals 7:0,12 --every 1h -o hourly.csv
  zentrail events examples/sample-archive --from 2024-03-01 --to 2024-03-03 --ids 12,13
  zentrail gaps examples/sample-archive --from 2024-03-01 --to 2024-03-03 --min-gap 1h
  zentrail alarms examples/sample-archive --from 2024-03-01 --to 2024-03-03 --html alarms.html

Times: YYYY-MM-DD, optionally followed by T or a space and hh:mm[:ss[.fffffffff]];
an end includes the whole of its stated precision (--to 2024-03-03 is that whole day).
In a zone (--tz ZONE, or zentrail-zone.txt in ROOT) they are its wall times, or end
in an offset (2024-10-27T02:30+01:00, Z).
Signals: comma-separated ID (every element of the signal), ID:N (element N) or
ID:A-B (elements A to B), where ID may be a range of ids A-B (500-503:0 is
element 0 of ids 500 to 503); a code is ID * 1024 + element. With a catalog
(zentrail-catalog.csv in ROOT, or --catalog FILE) also names and shell-style
patterns: --signals 'Furnace1.*,Tank1.Level'.
Output: .parquet and .arrow need pyarrow (pip install "zentrail[arrow]"); .csv needs nothing.
-o - writes to standard output: CSV, or an Arrow IPC stream with --format arrow.
A selection that gives nothing exits 1 and writes nothing, unless --allow-empty.
"""

TREND_EXAMPLES = """examples:
  zentrail plot examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 5:0,7:0-1 -o trend.html
  zentrail plot examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 5:0 -o trend.png
  zentrail plot examples/sample-archive --from 2024-03-02 --to 2024-03-02 --signals 12:0 --steps -o alarm.png
  zentrail view examples/sample-archive

Needs the view extra: pip install "zentrail[view]" (Bokeh for .html and the viewer, matplotlib for .png).
"""

VALUES_EXAMPLES = """examples:
  zentrail at examples/sample-archive "2024-03-02 14:03:17" --signals 7:0-3
  zentrail at examples/sample-archive 2024-03-01 2024-03-02 2024-03-03 --signals 'Furnace1.*' --how linear -o at.csv
  zentrail latest examples/sample-archive
  zentrail latest examples/sample-archive --signals 7:0,12 -o latest.parquet

Times: YYYY-MM-DD, optionally followed by T or a space and hh:mm[:ss[.fffffffff]], each the
instant it states. In a zone (--tz ZONE, or zentrail-zone.txt in ROOT) they are its wall times,
or end in an offset (2024-10-27T02:30+01:00, Z).
"""

SIGNALS_HELP = "ID, ID:N or ID:A-B, comma-separated, ID a number or a range A-B (e.g. 7:0-3,12,500-503:0), " \
    "or names and patterns of the catalog (e.g. 'Furnace1.*')"


class Version(argparse.Action):
    """--version, looked up only when asked (the installed metadata is slow to read)."""

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        print(f"zentrail {zentrail.__version__}")
        parser.exit()


def parser() -> argparse.ArgumentParser:
    from . import alarms, at, events, export, gaps, index, latest, ls, plot, sync, view

    top = argparse.ArgumentParser(prog="zentrail", description="What is in an archive, and its values and events "
                                  "into files.", epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action=Version, nargs=0, help="print the version and exit")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name: str, help: str, run: Any, window_required: Any, epilog: str = EXAMPLES) -> Any:
        """A command; `window_required` None for one without --from and --to."""
        sub = commands.add_parser(name, help=help, epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("root", metavar="ROOT", help="the folder searched recursively for archive files, a .zip file, or a URL "
                         "(s3://bucket/plant: pip install \"zentrail[remote]\" s3fs)")
        if window_required is None:
            sub.set_defaults(start=None, end=None)
        else:
            sub.add_argument("--from", dest="start", metavar="T", required=window_required, help="start of the window")
            sub.add_argument("--to", dest="end", metavar="T", required=window_required,
                             help="end of the window (inclusive)")
        sub.add_argument("--threads", type=int, default=None, help="worker threads (default: the usable CPUs)")
        names = sub.add_mutually_exclusive_group()
        names.add_argument("--catalog", metavar="FILE", help="the catalog of names and units, .csv or .json "
                           "(default: zentrail-catalog.csv or .json in ROOT, if there)")
        names.add_argument("--no-catalog", action="store_true", help="no names: codes alone")
        sub.set_defaults(run=run)
        return sub

    def text_forms(sub: Any) -> None:
        form = sub.add_mutually_exclusive_group()
        form.add_argument("--csv", dest="form", action="store_const", const="csv",
                          help="CSV (the default when standard output is no terminal)")
        form.add_argument("--json", dest="form", action="store_const", const="json", help="one JSON object per line")

    def allow_empty(sub: Any, what: str) -> None:
        sub.add_argument("--allow-empty", action="store_true",
                         help=f"exit 0 when {what} (by default a selection of nothing exits 1)")

    ls_options = command("ls", "the inventory: signal ids, classes, elements, records, times", ls.run, False)
    ls_options.add_argument("--by-day", action="store_true", help="one row per day, id and class, with the share "
                            "of the day its rows cover (covered: of its best-covered element, a row covering "
                            "--period after it)")
    ls_options.add_argument("--period", metavar="D", default="10min", help=arguments.duration_help(
        "with --by-day, the time after each row that it covers", "10min"))
    ls_options.add_argument("--unmatched", action="store_true", help="the codes the archive holds that the catalog "
                            "does not name, and the catalog's entries the archive never holds")
    damaged.add_option(ls_options)
    text_forms(ls_options)
    allow_empty(ls_options, "no archive file or record is found")

    export_options = command("export", "the values of signals into a .parquet, .csv or .arrow file", export.run, True)
    export_options.add_argument("--signals", metavar="CODES", help=SIGNALS_HELP)
    export_options.add_argument("--all", action="store_true", help="every value of every signal")
    export_options.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="OUT.parquet, OUT.csv or OUT.arrow, or - for standard output")
    export_options.add_argument("--format", choices=arguments.FORMATS, help="the output's format (default: OUT's extension; "
                        "csv for standard output)")
    export_options.add_argument("--batch-rows", type=int, default=None, help="rows per batch written (default 65,536)")
    arguments.add_series_options(export_options, "with --every, the aligned wide table (a time column, one column "
                                 "per code) instead of the rows; see the page Time series", "--from")
    allow_empty(export_options, "the signals give no value (an output with the columns alone)")
    damaged.add_option(export_options)

    events_options = command("events", "alarm and system records, one row each", events.run, True)
    events_options.add_argument("--ids", metavar="ID,...", help="only the alarms of these signal ids (or names)")
    events_options.add_argument("--no-system", action="store_true", help="leave out System records")
    events_options.add_argument("-o", "--output", metavar="OUT",
                        help="OUT.parquet, OUT.csv or OUT.arrow, or - for standard output (default: print)")
    events_options.add_argument("--format", choices=arguments.FORMATS, help="the format of -o (default: OUT's extension; "
                        "csv for standard output)")
    text_forms(events_options)
    allow_empty(events_options, "no event is found (or no alarm of --ids)")
    damaged.add_option(events_options)

    def values_output(sub: Any, what: str) -> None:
        sub.add_argument("-o", "--output", metavar="OUT",
                         help="OUT.parquet, OUT.csv or OUT.arrow, or - for standard output (default: print)")
        sub.add_argument("--format", choices=arguments.FORMATS, help="the format of -o (default: OUT's extension; "
                         "csv for standard output)")
        text_forms(sub)
        allow_empty(sub, what)
        damaged.add_option(sub)

    at_options = command("at", "the values of signals at instants, with their rows' times",
                         at.run, None, VALUES_EXAMPLES)
    at_options.add_argument("times", metavar="TIME", nargs="+", help="the instants (YYYY-MM-DD[ hh:mm[:ss[.f]]]), "
                            "in any order")
    at_options.add_argument("--signals", metavar="CODES", required=True, help=SIGNALS_HELP)
    at_options.add_argument("--how", choices=arguments.HOWS, default=None,
                            help="the value in force (step) or interpolated (linear), or each signal as the catalog's "
                                 "interpolation says, step where it says nothing (catalog, the default)")
    lookback = inspect.signature(zentrail.at).parameters["lookback"].default
    at_options.add_argument("--lookback", metavar="D", default=None, help=arguments.duration_help(
        "how far before each instant the value in force is looked for", f"{lookback}; none: no limit"))
    values_output(at_options, "no signal has a value at the instants")

    latest_options = command("latest", "each signal's last value and its time", latest.run, None, VALUES_EXAMPLES)
    latest_options.add_argument("--signals", metavar="CODES", help=SIGNALS_HELP + " (default: every signal)")
    values_output(latest_options, "no signal has a value")

    plot_options = command("plot", "trends of signals as a standalone .html or .png file", plot.run, True, TREND_EXAMPLES)
    plot_options.add_argument("--signals", metavar="CODES", required=True, help=SIGNALS_HELP)
    plot_options.add_argument("-o", "--output", metavar="OUT", required=True, help="OUT.html (opens offline) or OUT.png")
    plot_options.add_argument("--width", type=int, default=1200, help="width in pixels, and buckets of the overview")
    plot_options.add_argument("--steps", action="store_true", help="draw each signal as steps, as a value logged on "
                              "change holds, from the value in force at --from (found in earlier files)")
    allow_empty(plot_options, "the signals give no value (a plot without lines)")
    damaged.add_option(plot_options)

    gaps_options = command("gaps", "the spells in which signals logged nothing", gaps.run, False)
    gaps.add_options(gaps_options, SIGNALS_HELP)
    text_forms(gaps_options)
    allow_empty(gaps_options, "no signal has a row in the window")
    damaged.add_option(gaps_options)

    alarms_options = command("alarms", "the alarm system's figures beside their benchmarks",
                             alarms.run, True)
    alarms.add_options(alarms_options)
    allow_empty(alarms_options, "no alarm is raised in the window")
    damaged.add_option(alarms_options)

    sync.add_parser(commands, SIGNALS_HELP)

    view_options = command("view", "a trend viewer in the browser (local web app on 127.0.0.1)", view.run, False,
                   TREND_EXAMPLES)
    view_options.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    view_options.add_argument("--no-browser", action="store_true", help="print the address instead of opening a browser")
    view_options.add_argument("--live", action="store_true",
                              help="keep the window's right edge at the present, new values drawn as they are written")
    view_options.add_argument("--poll", metavar="D", default="1s", help=arguments.duration_help(
        "with --live: how often the window moves on and is read again", "1s"))
    view_options.add_argument("--no-token", action="store_true",
                              help="serve without the token in the address: any program or user on this machine "
                                   "that finds the port can then read the archive through the viewer; only for a "
                                   "machine that nothing untrusted runs on")
    index.add_parser(commands)
    # The archive's zone goes with every read, so with every command; so
    # does the index, which any read may use.
    for name, sub in commands.choices.items():
        zone.add_option(sub)
        if name != "index":
            index.add_option(sub)
    return top


def check(args: argparse.Namespace) -> None:
    """The checks every command shares, made before anything is read."""
    arguments.root(args.root)
    zone.check(args)
    arguments.window(args.start, args.end, zone.zone_of(args))
    arguments.in_range(args.threads, "--threads", 1, arguments.MAX_THREADS)
    arguments.in_range(getattr(args, "batch_rows", None), "--batch-rows", 1, arguments.MAX_BATCH_ROWS)
    arguments.durations(args)
    if args.command == "plot":
        arguments.in_range(args.width, "--width", arguments.MIN_WIDTH, arguments.MAX_WIDTH)
    if args.command == "view":
        arguments.in_range(args.port, "--port", 0, 65535)
    if getattr(args, "form", "unset") is None:
        import sys

        args.form = "table" if sys.stdout.isatty() else "csv"
