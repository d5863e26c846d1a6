"""zentrail gaps: the spells longer than --min-gap in which a signal logged
nothing, one row each, printed or written into a file."""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import Any, Dict

import zentrail

from . import damaged, zone
from .arguments import (catalog_of, duration_help, output_folder, output_format, parse_signals, resolved_codes,
                        FORMATS)
from .outputs import NothingSelected, arrow_writer, destination, open_text, pyarrow_modules
from .text import CsvWriter, write_table


def add_options(options: Any, signals_help: str) -> None:
    """The command's own options."""
    options.add_argument("--signals", metavar="CODES", help=signals_help + " (default: every signal); a code "
                         "named one by one that logged nothing is one gap")
    options.add_argument("--min-gap", metavar="D", default="10min",
                         help=duration_help("only the spells longer than D within the window", "10min"))
    options.add_argument("-o", "--output", metavar="OUT",
                         help="OUT.parquet, OUT.csv or OUT.arrow, or - for standard output (default: print)")
    options.add_argument("--format", choices=FORMATS, help="the format of -o (default: OUT's extension; csv for "
                         "standard output)")


def run(args: argparse.Namespace) -> None:
    codes = None if args.signals is None else resolved_codes(args, parse_signals(args.signals))
    kind = None if args.output is None else output_format(args.output, args.format)
    if args.output is not None:
        output_folder(args.output)
    pyarrow = None if kind in (None, "csv") else pyarrow_modules(kind)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "zentrail.gaps: no row", UserWarning)  # said below, as the command's
        found = zentrail.gaps(args.root, args.start, args.end, codes, min_gap=args.min_gap, threads=args.threads,
                              errors=damaged.errors_of(args), catalog=catalog_of(args), **zone.keywords(args))
    damaged.report(args, found.skipped)
    if not len(found.codes) and not args.allow_empty:
        chosen = "every signal" if args.signals is None else f"--signals {args.signals}"
        raise NothingSelected(f"{chosen}: no row in the files from {args.start or 'the first'} to "
                              f"{args.end or 'the last'}, so no signal to find gaps of")
    columns = named(found)
    if args.output is None:
        write_table(columns, sys.stdout, args.form, zone=zone.zone_of(args))
        return
    with destination(args.output) as where:
        if pyarrow is None:
            with open_text(where) as out:
                CsvWriter(out, list(columns), zone.zone_of(args)).write(columns)
        else:
            table = pyarrow.table(found)
            if found.catalog is not None:
                for at, field in enumerate(("name", "unit"), start=2):
                    table = table.add_column(at, field, pyarrow.array(columns[field], pyarrow.string()))
            writer = arrow_writer(str(kind), where, table.schema)
            for batch in table.to_batches():
                writer.write_batch(batch)
            writer.close()
    print(f"{len(found)} gaps written to {'standard output' if args.output == '-' else args.output}",
          file=sys.stderr)


def named(found: Any) -> Dict[str, Any]:
    """The columns of the gaps, the catalog's name and unit after the code when there is one."""
    columns: Dict[str, Any] = {}
    labels = found.labels() if found.catalog is not None else None
    for name, column in found.to_numpy().items():
        columns[name] = column
        if name == "element" and labels is not None:
            columns.update(labels)
    return columns
