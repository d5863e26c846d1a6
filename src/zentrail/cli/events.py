"""zentrail events: the alarm and system records of a window, printed or
written into a file, one row each."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict, Iterator

import zentrail

from . import damaged, names, zone
from .arguments import UsageError, catalog_of, output_folder, output_format, parse_ids
from .outputs import Layout, NothingSelected, arrow_writer, destination, open_text, pyarrow_modules, write_batches
from .text import CsvWriter, write_table

COLUMNS = ("time", "signal_id", "item_class", "subtype", "param", "class_name", "subtype_name", "detail", "value",
           "text")


def run(args: argparse.Namespace) -> None:
    ids = parse_ids(args.ids) if args.ids is not None else None
    kind = None if args.output is None else output_format(args.output, args.format)
    if args.output is not None:
        output_folder(args.output)
    pyarrow = None if kind in (None, "csv") else pyarrow_modules(kind)
    try:
        events = zentrail.events(args.root, args.start, args.end, ids, system=not args.no_system,
                                 threads=args.threads, errors=damaged.errors_of(args), catalog=catalog_of(args),
                                 **zone.keywords(args))
    except ValueError as error:
        raise UsageError(f"--ids: {error}") from None
    tally = Tally()
    if args.output is None:
        columns = events.to_numpy()
        damaged.report(args, events.skipped)
        tally.count(columns)
        tally.check(args)
        write_table(columns, sys.stdout, args.form, zone=zone.zone_of(args))
        return
    with destination(args.output) as where:
        batches = tally.counting(events)
        if pyarrow is None:
            with open_text(where) as out:
                writer = CsvWriter(out, COLUMNS, zone.zone_of(args))
                for batch in batches:
                    writer.write(batch)
        else:
            layout = event_layout(pyarrow, zone.zone_of(args))
            write_batches(arrow_writer(str(kind), where, layout.schema), layout, batches)
        damaged.report(args, events.skipped)
        tally.check(args)
    print(f"{tally.rows} events written to {'standard output' if args.output == '-' else args.output}",
          file=sys.stderr)


class Tally:
    """The rows of an events output, and those of alarms (not System records)."""

    def __init__(self) -> None:
        self.rows = 0
        self.alarms = 0

    def count(self, batch: Dict[str, Any]) -> None:
        self.rows += len(batch["time"])
        self.alarms += int((batch["item_class"] != 0).sum())

    def counting(self, events: zentrail.Events) -> Iterator[Dict[str, Any]]:
        for batch in events:
            self.count(batch)
            yield batch

    def check(self, args: argparse.Namespace) -> None:
        """NothingSelected when --ids gave no alarm, or the window no row at
        all (unless --allow-empty)."""
        if args.allow_empty:
            return
        if args.ids is not None and self.alarms == 0:
            raise NothingSelected(f"--ids {args.ids}: no alarm from {args.start} to {args.end}")
        if self.rows == 0:
            raise NothingSelected(f"no alarm or system event from {args.start} to {args.end}")


def event_layout(pyarrow: Any, in_zone: Any = None) -> Layout:
    """The fixed columns of an events file: `time` instants that carry the
    zone they were read in (`in_zone`, if any), `text` a string column
    whatever a batch holds, the three names dictionary-encoded with every
    name they can hold."""
    small = pyarrow.dictionary(pyarrow.uint8(), pyarrow.string())
    schema = pyarrow.schema([
        ("time", pyarrow.timestamp("ns", tz=None if in_zone is None else in_zone.name)),
        ("signal_id", pyarrow.uint16()), ("item_class", pyarrow.uint8()),
        ("subtype", pyarrow.uint8()), ("param", pyarrow.uint8()), ("class_name", small), ("subtype_name", small),
        ("detail", pyarrow.dictionary(pyarrow.int16(), pyarrow.string())), ("value", pyarrow.float64()),
        ("text", pyarrow.string())])
    return Layout(pyarrow, schema, {"class_name": names.class_names(),
                                    "subtype_name": names.subtype_names(),
                                    "detail": names.event_details()})
