"""zentrail export: the values of signals into a Parquet, Arrow IPC or CSV
file, or to standard output.

Parquet and Arrow take the engine's Arrow stream as it comes: its columns,
the names dictionary-encoded by the engine, batch after batch into the
writer. CSV iterates the scan's NumPy batches and formats them whole."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import zentrail

from . import names
from .arguments import output_folder, output_format, parse_signals, UsageError
from .outputs import Layout, NothingSelected, arrow_writer, destination, open_text, pyarrow_modules, write_batches
from .text import CsvWriter

COLUMNS = ("time", "signal_id", "element", "value", "item_class", "subtype", "class_name", "subtype_name")


def run(args: argparse.Namespace) -> None:
    if args.all == (args.signals is not None):
        raise UsageError("give exactly one of --signals CODES and --all")
    codes = None if args.all else parse_signals(args.signals)
    kind = output_format(args.output, args.format)
    output_folder(args.output)
    pyarrow = None if kind == "csv" else pyarrow_modules(kind)
    scan = zentrail.scan(args.root, args.start, args.end, codes, threads=args.threads, batch_rows=args.batch_rows,
                         progress=progress_bar() if kind == "csv" else None).select(*COLUMNS)
    with destination(args.output) as where:
        rows = write_csv(scan, where) if pyarrow is None else write_arrow(pyarrow, scan, kind, where)
        if rows == 0 and not args.allow_empty:
            chosen = "every signal" if args.all else f"--signals {args.signals}"
            raise NothingSelected(f"{chosen}: no value from {args.start} to {args.end}")
    print(f"{rows} rows written to {'standard output' if args.output == '-' else args.output}", file=sys.stderr)


def write_csv(scan: zentrail.Scan, where: str) -> int:
    rows = 0
    with open_text(where) as out:
        writer = CsvWriter(out, COLUMNS)
        for batch in scan:
            writer.write(batch)
            rows += len(batch["time"])
    return rows


def write_arrow(pyarrow: Any, scan: zentrail.Scan, kind: str, where: str) -> int:
    reader = pyarrow.RecordBatchReader.from_stream(scan)
    layout = Layout(pyarrow, reader.schema, {"class_name": names.class_names(),
                                              "subtype_name": names.subtype_names()})
    return write_batches(arrow_writer(kind, where, layout.schema), layout, reader)


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
