"""zentrail export: the values of signals into a Parquet, Arrow IPC or CSV
file, or to standard output.

Parquet and Arrow take the engine's Arrow stream as it comes: its columns,
the names dictionary-encoded by the engine, batch after batch into the
writer; times read in a zone carry it (timestamp[ns, tz=ZONE]). CSV iterates
the scan's NumPy batches and formats them whole, times read in a zone with
their offsets."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Iterator, Tuple

import zentrail

from . import damaged, names, zone
from .arguments import (catalog_of, output_folder, output_format, parse_signals, resolved_codes, series_given,
                        series_options, UsageError)
from .outputs import Layout, NothingSelected, arrow_writer, destination, open_text, pyarrow_modules, write_batches
from .text import CsvWriter

COLUMNS = ("time", "signal_id", "element", "value", "item_class", "subtype", "class_name", "subtype_name")
# After them when the archive has a catalog of names.
LABELS = ("name", "unit")


def run(args: argparse.Namespace) -> None:
    if args.all == (args.signals is not None):
        raise UsageError("give exactly one of --signals CODES and --all")
    codes = None if args.all else resolved_codes(args, parse_signals(args.signals))
    kind = output_format(args.output, args.format)
    output_folder(args.output)
    pyarrow = None if kind == "csv" else pyarrow_modules(kind)
    scan = zentrail.scan(args.root, args.start, args.end, codes, threads=args.threads, batch_rows=args.batch_rows,
                         progress=progress_bar() if kind == "csv" else None,
                         errors=damaged.errors_of(args), catalog=catalog_of(args), **zone.keywords(args))
    scan = scan.select(*COLUMNS, *(LABELS if scan.catalog is not None else ()))
    if args.every is not None:
        aligned = aligned_of(scan, args)
        with destination(args.output) as where:
            rows, values = write_aligned_csv(aligned, where) if pyarrow is None else \
                write_aligned_arrow(pyarrow, aligned, kind, where)
            damaged.report(args, aligned.skipped)
            if values == 0 and not args.allow_empty:
                chosen = "every signal" if args.all else f"--signals {args.signals}"
                raise NothingSelected(f"{chosen}: no value in force from {args.start} to {args.end}")
        print(f"{rows} grid rows written to {'standard output' if args.output == '-' else args.output}",
              file=sys.stderr)
        return
    elif series_given(args):
        raise UsageError("--how, --max-gap and --lookback go with --every")
    with destination(args.output) as where:
        rows = write_csv(scan, where) if pyarrow is None else write_arrow(pyarrow, scan, kind, where)
        damaged.report(args, scan.skipped)
        if rows == 0 and not args.allow_empty:
            chosen = "every signal" if args.all else f"--signals {args.signals}"
            raise NothingSelected(f"{chosen}: no value from {args.start} to {args.end}")
    print(f"{rows} rows written to {'standard output' if args.output == '-' else args.output}", file=sys.stderr)


def aligned_of(scan: zentrail.Scan, args: argparse.Namespace) -> Any:
    """The scan aligned as the options say (their durations checked before):
    a window no grid can have is a usage error."""
    try:
        return scan.align(args.every, **series_options(args))
    except ValueError as error:
        raise UsageError(str(error)) from None


def values_in(columns: Any) -> int:
    """The values (not NaN) of a batch's code columns."""
    import numpy

    return sum(int(numpy.count_nonzero(~numpy.isnan(column))) for name, column in columns if name != "time")


def write_aligned_csv(aligned: Any, where: str) -> Tuple[int, int]:
    """Grid rows and values written."""
    in_zone = aligned.plan.zone
    rows = values = 0
    with open_text(where) as out:
        writer: Any = None

        def write(batch: Any) -> None:
            nonlocal writer, rows, values
            if writer is None:
                writer = CsvWriter(out, list(batch), in_zone)
            writer.write(batch)
            rows += len(batch["time"])
            values += values_in(batch.items())

        aligned.for_each_batch(write)
    return rows, values


def write_aligned_arrow(pyarrow: Any, aligned: Any, kind: str, where: str) -> Tuple[int, int]:
    """Grid rows and values written, batch by batch from the engine's stream."""
    reader = pyarrow.RecordBatchReader.from_stream(aligned)
    layout = Layout(pyarrow, zoned_schema(pyarrow, reader.schema, aligned.plan.zone), {})
    values = 0

    def counted() -> Iterator[Any]:
        nonlocal values
        for batch in reader:
            values += values_in((name, batch.column(name).to_numpy()) for name in batch.schema.names)
            yield batch

    return write_batches(arrow_writer(kind, where, layout.schema), layout, counted()), values


def zoned_schema(pyarrow: Any, schema: Any, in_zone: Any) -> Any:
    """`schema` with its naive time column carrying the zone its instants
    were read in (a grid's stream names no zone)."""
    index = schema.get_field_index("time")
    field = schema.field(index) if index >= 0 else None
    if in_zone is None or field is None or not pyarrow.types.is_timestamp(field.type) or field.type.tz is not None:
        return schema
    return schema.set(index, field.with_type(pyarrow.timestamp(field.type.unit, tz=in_zone.name)))


def write_csv(scan: zentrail.Scan, where: str) -> int:
    rows = 0
    with open_text(where) as out:
        writer = CsvWriter(out, scan.columns, scan.plan.zone)
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
