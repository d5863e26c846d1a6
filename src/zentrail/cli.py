"""The zentrail command: what is in an archive, and its values and events
into files.

    zentrail ls ROOT [--from T] [--to T] [--by-day] [--csv | --json]
    zentrail export ROOT --from T --to T [--signals CODES | --all] -o OUT
    zentrail events ROOT --from T --to T [--ids 7,12] [--no-system] [-o OUT]
    zentrail plot ROOT --from T --to T --signals CODES -o OUT.html|OUT.png
    zentrail view ROOT [--from T] [--to T] [--port N] [--no-browser] [--no-token]

Exit status: 0 done, 1 a read failed (the message names the file and the
byte offset), 2 bad arguments.
"""

from __future__ import annotations

import argparse
import csv
import importlib
import json
import os
import sys
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, TextIO

import zentrail

from . import _time

EXAMPLES = """examples:
  zentrail ls examples/sample-archive
  zentrail ls examples/sample-archive --from 2024-03-02 --to 2024-03-02 --by-day
  zentrail export examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 7:0-3,12 -o furnace.parquet
  zentrail export examples/sample-archive --from 2024-03-01 --to 2024-03-03 --all -o everything.csv
  zentrail events examples/sample-archive --from 2024-03-01 --to 2024-03-03 --ids 12,13

Times: YYYY-MM-DD, optionally followed by T or a space and hh:mm[:ss[.fffffffff]];
an end includes the whole of its stated precision (--to 2024-03-03 is that whole day).
Signals: comma-separated ID (every element of the signal), ID:N (element N) or
ID:A-B (elements A to B); a code is ID * 1024 + element.
Output: .parquet and .arrow need pyarrow (pip install "zentrail[arrow]"); .csv needs nothing.
"""


class UsageError(Exception):
    """A bad argument: exit status 2."""


def parse_signals(text: str) -> List[int]:
    """The codes of a --signals text such as "7:0-3,12"."""
    codes: List[int] = []
    for item in text.split(","):
        item = item.strip()
        ident_text, _, elements = item.partition(":")
        try:
            ident = int(ident_text)
            if elements:
                first_text, _, last_text = elements.partition("-")
                first = int(first_text)
                last = int(last_text) if last_text else first
            else:
                first, last = 0, 1023
        except ValueError:
            raise UsageError(f"--signals: {item!r} is not ID, ID:N or ID:A-B") from None
        if not 0 <= ident <= 65535 or not 0 <= first <= last <= 1023:
            raise UsageError(f"--signals: {item!r} lies outside ids 0 to 65535 and elements 0 to 1023")
        codes.extend(ident * 1024 + n for n in range(first, last + 1))
    return codes


def parse_ids(text: str) -> List[int]:
    try:
        ids = [int(part) for part in text.split(",")]
    except ValueError:
        raise UsageError(f"--ids: {text!r} is not a comma-separated list of signal ids") from None
    if any(not 0 <= i <= 65535 for i in ids):
        raise UsageError(f"--ids: {text!r} holds an id outside 0 to 65535")
    return ids


def checked_bound(text: Optional[str], option: str) -> Optional[str]:
    if text is None:
        return None
    try:
        _time.bound_tuple(text, option)
    except ValueError as error:
        raise UsageError(str(error)) from None
    return text


def text_columns(columns: Dict[str, Any]) -> Dict[str, List[Any]]:
    """Every column as a list of printable values."""
    out: Dict[str, List[Any]] = {}
    for name, column in columns.items():
        if getattr(column, "dtype", None) is not None and column.dtype.kind == "M":
            out[name] = list(_time.texts(column))
        elif getattr(column, "dtype", None) is not None and column.dtype.kind == "f":
            out[name] = ["" if v != v else repr(float(v)) if not float(v).is_integer() else str(int(v))
                         for v in column.tolist()]
        else:
            out[name] = ["" if v is None else v for v in (column.tolist() if hasattr(column, "tolist") else column)]
    return out


def write_table(columns: Dict[str, Any], out: TextIO, form: str) -> None:
    """Rows as an aligned table, CSV or JSON lines."""
    texts = text_columns(columns)
    names = list(texts)
    rows = list(zip(*texts.values())) if names else []
    if form == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(names)
        writer.writerows(rows)
    elif form == "json":
        for row in rows:
            out.write(json.dumps(dict(zip(names, row)), ensure_ascii=False) + "\n")
    else:
        widths = [max([len(n)] + [len(str(r[i])) for r in rows]) for i, n in enumerate(names)]
        numeric = [all(isinstance(r[i], int) for r in rows) and bool(rows) for i in range(len(names))]
        def line(cells: Sequence[Any]) -> str:
            return "  ".join(str(c).rjust(w) if num else str(c).ljust(w)
                             for c, w, num in zip(cells, widths, numeric)).rstrip()
        out.write(line(names) + "\n")
        for row in rows:
            out.write(line(row) + "\n")


def output_form(args: argparse.Namespace) -> str:
    if args.csv:
        return "csv"
    if args.json:
        return "json"
    return "table" if sys.stdout.isatty() else "csv"


def with_names(columns: Dict[str, Any]) -> Dict[str, Any]:
    """A scan batch with class_name and subtype_name as text beside the codes."""
    out = dict(columns)
    out["class_name"] = [zentrail.CLASS_NAMES[c] for c in columns["item_class"].tolist()]
    out["subtype_name"] = [zentrail.subtype_name(c, s) for c, s in
                           zip(columns["item_class"].tolist(), columns["subtype"].tolist())]
    return out


class FileSink:
    """Batches of columns into one file, by its extension: .csv (the csv
    module), .parquet and .arrow (pyarrow: a Parquet file, an Arrow IPC
    file), one batch at a time."""

    def __init__(self, path: str, dictionary: Sequence[str]) -> None:
        self.path = path
        self.kind = os.path.splitext(path)[1].lower()
        if self.kind not in (".csv", ".parquet", ".arrow"):
            raise UsageError(f"-o {path}: the file name must end in .csv, .parquet or .arrow")
        self.dictionary = dictionary
        self.writer: Any = None
        self.file: Any = None
        self.pyarrow: Any = None
        if self.kind != ".csv":
            from ._extras import import_extra

            try:
                self.pyarrow = import_extra("pyarrow", f"writing {self.kind} files", "arrow")
                if self.kind == ".parquet":
                    import_extra("pyarrow.parquet", "writing .parquet files", "arrow")
            except ImportError as error:
                raise UsageError(str(error)) from None

    def write(self, columns: Dict[str, Any]) -> None:
        if self.kind == ".csv":
            if self.file is None:
                self.file = open(self.path, "w", newline="", encoding="utf-8")
                self.writer = csv.writer(self.file, lineterminator="\n")
                self.writer.writerow(list(columns))
            self.writer.writerows(zip(*text_columns(columns).values()))
            return
        pa = self.pyarrow
        arrays = {}
        for name, column in columns.items():
            array = pa.array(column)
            if name in self.dictionary:
                array = array.cast(pa.dictionary(pa.int32(), pa.string()))
            arrays[name] = array
        table = pa.table(arrays)
        if self.writer is None:
            if self.kind == ".parquet":
                parquet = importlib.import_module("pyarrow.parquet")
                self.writer = parquet.ParquetWriter(self.path, table.schema)
            else:
                self.writer = pa.ipc.new_file(self.path, table.schema)
        self.writer.write_table(table)

    def close(self) -> None:
        if self.kind == ".csv":
            if self.file is not None:
                self.file.close()
        elif self.writer is not None:
            self.writer.close()


def progress_bar() -> Any:
    """A progress line on a terminal's standard error; None when it is no terminal."""
    if not sys.stderr.isatty():
        return None

    def show(done: int, total: int) -> None:
        share = done / total if total else 1.0
        sys.stderr.write(f"\r{share:6.1%}  {done / 2 ** 20:,.1f} of {total / 2 ** 20:,.1f} MiB")
        if done >= total:
            sys.stderr.write("\n")
        sys.stderr.flush()
    return show


def stream_to_file(batches: Iterable[Dict[str, Any]], path: str, dictionary: Sequence[str],
                   empty: Any) -> int:
    sink = FileSink(path, dictionary)
    rows = 0
    try:
        for batch in batches:
            sink.write(batch)
            rows += len(next(iter(batch.values()))) if batch else 0
    finally:
        sink.close()
    if sink.writer is None and sink.file is None:  # no batch: an empty file with the columns
        sink = FileSink(path, dictionary)
        sink.write(empty())
        sink.close()
    return rows


def _empty_scan() -> Dict[str, Any]:
    return with_names(zentrail.scan_files([], "2000-01-01", "2000-01-01", []).to_numpy())


def _empty_events() -> Dict[str, Any]:
    import numpy

    return {"time": numpy.zeros(0, "datetime64[ns]"), "signal_id": numpy.zeros(0, "uint16"),
            "item_class": numpy.zeros(0, "uint8"), "subtype": numpy.zeros(0, "uint8"),
            "param": numpy.zeros(0, "uint8"), "class_name": [], "subtype_name": [], "detail": [],
            "value": numpy.zeros(0, "float64"), "text": []}

SCAN_NAMES = ("class_name", "subtype_name")
EVENT_NAMES = ("class_name", "subtype_name", "detail")


def command_ls(args: argparse.Namespace) -> None:
    inventory = zentrail.inventory(args.root, checked_bound(args.start, "--from"), checked_bound(args.end, "--to"),
                                   by="day" if args.by_day else None, threads=args.threads)
    columns = inventory.to_numpy()
    ordered: Dict[str, Any] = {}
    for name, column in columns.items():
        ordered[name] = column
        if name == "item_class":
            ordered["class_name"] = [zentrail.CLASS_NAMES[c] for c in column.tolist()]
    write_table(ordered, sys.stdout, output_form(args))


def command_export(args: argparse.Namespace) -> None:
    if args.all == (args.signals is not None):
        raise UsageError("give exactly one of --signals CODES and --all")
    codes = None if args.all else parse_signals(args.signals)
    start, end = checked_bound(args.start, "--from"), checked_bound(args.end, "--to")
    sink_check = FileSink(args.output, SCAN_NAMES)  # a bad name or a missing pyarrow fails before reading
    del sink_check
    scan = zentrail.scan(args.root, start, end, codes, threads=args.threads, progress=progress_bar())
    rows = stream_to_file((with_names(batch) for batch in scan), args.output, SCAN_NAMES, _empty_scan)
    print(f"{rows} rows written to {args.output}", file=sys.stderr)


def command_events(args: argparse.Namespace) -> None:
    ids = parse_ids(args.ids) if args.ids is not None else None
    start, end = checked_bound(args.start, "--from"), checked_bound(args.end, "--to")
    events = zentrail.events(args.root, start, end, ids, system=not args.no_system, threads=args.threads)
    if args.output is None:
        write_table(events.to_numpy(), sys.stdout, output_form(args))
        return
    FileSink(args.output, EVENT_NAMES)
    rows = stream_to_file(iter(events), args.output, EVENT_NAMES, _empty_events)
    print(f"{rows} events written to {args.output}", file=sys.stderr)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="zentrail", description="What is in an archive, and its values and events "
                                  "into files.", epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def common(sub: argparse.ArgumentParser, required: bool) -> None:
        sub.add_argument("root", metavar="ROOT", help="the folder searched recursively for archive files")
        sub.add_argument("--from", dest="start", metavar="T", required=required, help="start of the window")
        sub.add_argument("--to", dest="end", metavar="T", required=required, help="end of the window (inclusive)")
        sub.add_argument("--threads", type=int, default=None, help="worker threads (default: the usable CPUs)")

    ls = commands.add_parser("ls", help="the inventory: signal ids, classes, elements, records, times",
                             epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    common(ls, False)
    ls.add_argument("--by-day", action="store_true", help="one row per day, id and class (availability)")
    form = ls.add_mutually_exclusive_group()
    form.add_argument("--csv", action="store_true", help="CSV (the default when standard output is no terminal)")
    form.add_argument("--json", action="store_true", help="one JSON object per line")
    ls.set_defaults(run=command_ls)

    export = commands.add_parser("export", help="the values of signals into a .parquet, .csv or .arrow file",
                                 epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    common(export, True)
    export.add_argument("--signals", metavar="CODES", help="ID, ID:N or ID:A-B, comma-separated (e.g. 7:0-3,12)")
    export.add_argument("--all", action="store_true", help="every value of every signal")
    export.add_argument("-o", "--output", metavar="OUT", required=True, help="OUT.parquet, OUT.csv or OUT.arrow")
    export.set_defaults(run=command_export)

    events = commands.add_parser("events", help="alarm and system records, one row each",
                                 epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    common(events, True)
    events.add_argument("--ids", metavar="ID,...", help="only the alarms of these signal ids")
    events.add_argument("--no-system", action="store_true", help="leave out System records")
    events.add_argument("-o", "--output", metavar="OUT", help="OUT.parquet, OUT.csv or OUT.arrow (default: print)")
    form = events.add_mutually_exclusive_group()
    form.add_argument("--csv", action="store_true", help="CSV (the default when standard output is no terminal)")
    form.add_argument("--json", action="store_true", help="one JSON object per line")
    events.set_defaults(run=command_events)
    add_trend_commands(commands, common)
    return top


def command_plot(args: argparse.Namespace) -> None:
    from . import plot as _plot

    codes = parse_signals(args.signals)
    start: str = args.start
    end: str = args.end
    checked_bound(start, "--from")
    checked_bound(end, "--to")
    kind = os.path.splitext(args.output)[1].lower()
    if kind not in (".html", ".png"):
        raise UsageError(f"-o {args.output}: the file name must end in .html or .png")
    if args.width < 100:
        raise UsageError("--width must be at least 100 pixels")
    from ._extras import import_extra

    try:
        import_extra("bokeh" if kind == ".html" else "matplotlib", f"writing {kind} trends", "view")
    except ImportError as error:
        raise UsageError(str(error)) from None
    drawn = _plot.lines(args.root, start, end, codes, args.width, threads=args.threads)
    events = _plot.window_events(args.root, start, end, {c // 1024 for c in codes}, threads=args.threads)
    title = f"{os.path.basename(os.path.abspath(args.root))} {start} to {end}"
    write = _plot.write_html if kind == ".html" else _plot.write_png
    write(args.output, drawn, events, title, args.width)
    print(f"{len(drawn)} trends and {len(events['time'])} events drawn into {args.output}", file=sys.stderr)


def command_view(args: argparse.Namespace) -> None:
    from ._extras import import_extra

    try:
        import_extra("bokeh", "zentrail view", "view")
    except ImportError as error:
        raise UsageError(str(error)) from None
    from . import viewer

    try:
        viewer.check(args.root, args.start, args.end)
    except (OSError, ValueError) as error:
        raise UsageError(str(error)) from None
    viewer.serve(args.root, port=args.port, open_browser=not args.no_browser, start=args.start, end=args.end,
                 threads=args.threads, token=not args.no_token)


TREND_EXAMPLES = """examples:
  zentrail plot examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 5:0,7:0-1 -o trend.html
  zentrail plot examples/sample-archive --from 2024-03-01 --to 2024-03-03 --signals 5:0 -o trend.png
  zentrail view examples/sample-archive

Needs the view extra: pip install "zentrail[view]" (Bokeh for .html and the viewer, matplotlib for .png).
"""


def add_trend_commands(commands: Any, common: Any) -> None:
    """The plot and view commands: trends drawn from overviews."""
    plot = commands.add_parser("plot", help="trends of signals as a standalone .html or .png file",
                               epilog=TREND_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    common(plot, True)
    plot.add_argument("--signals", metavar="CODES", required=True,
                      help="ID, ID:N or ID:A-B, comma-separated (e.g. 7:0-3,12)")
    plot.add_argument("-o", "--output", metavar="OUT", required=True, help="OUT.html (opens offline) or OUT.png")
    plot.add_argument("--width", type=int, default=1200, help="width in pixels, and buckets of the overview")
    plot.set_defaults(run=command_plot)

    view = commands.add_parser("view", help="a trend viewer in the browser (local web app on 127.0.0.1)",
                               epilog=TREND_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    common(view, False)
    view.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    view.add_argument("--no-browser", action="store_true", help="print the address instead of opening a browser")
    view.add_argument("--no-token", action="store_true",
                      help="serve without the token in the address: any program or user on this machine that finds "
                           "the port can then read the archive through "
                           "the viewer; only for a machine that nothing untrusted runs on")
    view.set_defaults(run=command_view)


def failure_text(error: BaseException) -> str:
    notes = getattr(error, "__notes__", None) or []
    return "; ".join([str(error)] + [str(n) for n in notes])


def main(argv: Optional[List[str]] = None) -> int:
    arguments = parser()
    args = arguments.parse_args(argv)
    if args.threads is not None and args.threads < 1:
        arguments.error("--threads must be at least 1")
    try:
        args.run(args)
    except UsageError as error:
        print(f"zentrail {args.command}: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("zentrail: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (zentrail ls | head).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except (OSError, ValueError) as error:
        print(f"zentrail {args.command}: {failure_text(error)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
