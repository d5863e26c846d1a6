"""Where rows go: a file written atomically (beside its target, renamed into
place after success) or standard output, as CSV, Parquet or Arrow IPC.

Each Arrow output's schema is fixed before its first batch and every batch is
written under it, name columns with one dictionary for the whole output: an
IPC file may hold only one dictionary per column, and a reader of any format
gets the same column types however the rows fall into batches."""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from zentrail._base import atomic as _atomic
from zentrail._base.extras import import_extra
from .arguments import UsageError


class NothingSelected(Exception):
    """The selection gave no row and --allow-empty was not given: exit status 1."""


def note(error: BaseException, text: str) -> None:
    """`text` added to the notes the command prints after the error's message."""
    error.__notes__ = [*getattr(error, "__notes__", []), text]


@contextlib.contextmanager
def destination(output: str) -> Iterator[str]:
    """The path to write `output` to ("-" for standard output, as it is). A
    file is written under a temporary name and renamed to `output` when the
    block succeeds; any failure (Ctrl-C too) removes it, leaves `output` as
    it was and says so."""
    if output == "-":
        yield output
        return
    before = file_identity(output)
    try:
        with _atomic.replacing(output) as temporary:
            yield temporary
    except BaseException as error:
        note(error, left_behind(output, before))
        raise


def file_identity(path: str) -> Optional[Tuple[int, int]]:
    """(device, inode) of the file at `path`, None when there is none: a
    file put in place by a rename is another inode."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def left_behind(output: str, before: Optional[Tuple[int, int]]) -> str:
    """What a failed or interrupted write left at `output`, whose identity
    was `before`: as a rule nothing; the whole new file when the failure (a
    Ctrl-C) came just after the file was put in place."""
    if file_identity(output) == before:
        return f"nothing was written to {output}"
    return f"{output} was written whole before this"


def pyarrow_modules(kind: str) -> Any:
    """pyarrow (and pyarrow.parquet for Parquet), or UsageError naming the extra."""
    try:
        pyarrow = import_extra("pyarrow", f"writing {kind}", "arrow")
        if kind == "parquet":
            import_extra("pyarrow.parquet", "writing parquet", "arrow")
    except ImportError as error:
        raise UsageError(str(error)) from None
    return pyarrow


def arrow_writer(kind: str, where: str, schema: Any) -> Any:
    """A writer of record batches of `schema` into `where` (a path, or "-"
    for standard output): a Parquet file, an Arrow IPC file, or (to standard
    output, which cannot seek) an Arrow IPC stream."""
    pyarrow = pyarrow_modules(kind)
    if kind == "parquet":
        parquet = import_extra("pyarrow.parquet", "writing parquet", "arrow")
        return RowGroups(pyarrow, parquet.ParquetWriter(sys.stdout.buffer if where == "-" else where, schema))
    if where == "-":
        return pyarrow.ipc.new_stream(sys.stdout.buffer, schema)
    return pyarrow.ipc.new_file(where, schema)


class RowGroups:
    """A Parquet writer fed batches but writing row groups of about
    ROW_GROUP_ROWS rows (pyarrow's own default): a row group per engine batch
    would make the file a third larger and slower to write and to read."""

    ROW_GROUP_ROWS = 1 << 20

    def __init__(self, pyarrow: Any, writer: Any) -> None:
        self.pyarrow = pyarrow
        self.writer = writer
        self.pending: List[Any] = []
        self.rows = 0

    def write_batch(self, batch: Any) -> None:
        self.pending.append(batch)
        self.rows += batch.num_rows
        if self.rows >= self.ROW_GROUP_ROWS:
            self._flush()

    def close(self) -> None:
        self._flush()
        self.writer.close()

    def abandon(self) -> None:
        """Closes the file without the rows held back (it is thrown away)."""
        self.pending, self.rows = [], 0
        self.writer.close()

    def _flush(self) -> None:
        if self.pending:
            self.writer.write_table(self.pyarrow.Table.from_batches(self.pending))
        self.pending, self.rows = [], 0


class Layout:
    """An output's fixed columns: an Arrow schema and, for each dictionary
    column, the one dictionary (its names, in order) every batch is written
    with."""

    def __init__(self, pyarrow: Any, schema: Any, dictionaries: Dict[str, Sequence[str]]) -> None:
        self.pyarrow = pyarrow
        self.schema = schema
        self.names = {name: list(names) for name, names in dictionaries.items()}
        self._arrays: Dict[str, Any] = {}

    def conform(self, batch: Any) -> Any:
        """`batch` (a RecordBatch, or a dict of NumPy columns) with the
        schema's columns and types and the layout's dictionaries; a batch
        already so is returned as it is. A name missing from its dictionary
        is a ValueError."""
        pyarrow = self.pyarrow
        if isinstance(batch, dict):
            arrays = [self._column(pyarrow.array(batch[field.name]), field) for field in self.schema]
            return pyarrow.RecordBatch.from_arrays(arrays, schema=self.schema)
        # The engine's batches come so: their dictionaries are compared as
        # names, since making an Arrow array here would import pandas (a
        # fifth of a second) through pyarrow.
        if batch.schema.equals(self.schema) and all(
                batch.column(name).dictionary.to_pylist() == names for name, names in self.names.items()):
            return batch
        arrays = [self._column(batch.column(field.name), field) for field in self.schema]
        return pyarrow.RecordBatch.from_arrays(arrays, schema=self.schema)

    def _dictionary(self, name: str) -> Any:
        if name not in self._arrays:
            self._arrays[name] = self.pyarrow.array(self.names[name], type=self.pyarrow.string())
        return self._arrays[name]

    def _column(self, column: Any, field: Any) -> Any:
        pyarrow = self.pyarrow
        compute = import_extra("pyarrow.compute", "writing Arrow files", "arrow")
        if field.name not in self.names:
            return column if column.type == field.type else column.cast(field.type)
        dictionary = self._dictionary(field.name)
        if pyarrow.types.is_dictionary(column.type):
            # Map the batch's few names, then take through its indices.
            mapping = compute.index_in(column.dictionary, value_set=dictionary)
            names, indices = column.dictionary, compute.take(mapping, column.indices)
        else:
            names, indices = column, compute.index_in(column, value_set=dictionary)
        if indices.null_count:
            unknown = sorted(set(compute.filter(names, compute.is_null(compute.index_in(names, value_set=dictionary)))
                                 .to_pylist()), key=str)
            raise ValueError(f"the column {field.name} holds names outside its dictionary: {unknown[:5]}")
        return pyarrow.DictionaryArray.from_arrays(indices.cast(field.type.index_type), dictionary)


def write_batches(writer: Any, layout: Layout, batches: Any) -> int:
    """Every batch through `layout` into `writer`, which is closed (also on a
    failure, whose file is then thrown away)."""
    rows = 0
    try:
        for batch in batches:
            writer.write_batch(layout.conform(batch))
            rows += batch.num_rows if hasattr(batch, "num_rows") else len(batch["time"])
    except BaseException:
        try:
            getattr(writer, "abandon", writer.close)()
        except Exception:  # the first failure is the one to report
            pass
        raise
    writer.close()
    return rows


class open_text:
    """A text file to write CSV into, or standard output for "-" (left open)."""

    def __init__(self, where: str) -> None:
        self.where = where
        self.file: Optional[Any] = None

    def __enter__(self) -> Any:
        if self.where == "-":
            return sys.stdout
        self.file = open(self.where, "w", newline="", encoding="utf-8")
        return self.file

    def __exit__(self, *failure: Any) -> None:
        if self.file is not None:
            self.file.close()
        else:
            sys.stdout.flush()


def check_values_output(args: Any) -> None:
    """UsageError for an -o of zentrail at or latest that cannot be
    written, found before anything is read."""
    from .arguments import output_folder, output_format

    if args.output is not None:
        kind = output_format(args.output, args.format)
        output_folder(args.output)
        if kind != "csv":
            pyarrow_modules(kind)


def write_values(args: Any, columns: Dict[str, Any], catalog: Any, what: str) -> None:
    """The columns of values by code (zentrail at, latest), with the
    catalog's ``name`` and ``unit`` after ``element`` when there is one,
    printed (--csv, --json, a table) or written to -o as CSV, Parquet or
    Arrow, times read in a zone with their offsets or carrying the zone."""
    import numpy

    from . import zone
    from .arguments import output_format
    from .text import CsvWriter, write_table

    named: Dict[str, Any] = {}
    for name, column in columns.items():
        named[name] = column
        if name == "element" and catalog is not None:
            codes = columns["signal_id"].astype(numpy.int64) * 1024 + column
            unique, inverse = numpy.unique(codes, return_inverse=True)
            entries = [catalog.entry(int(code)) for code in unique]
            for field in ("name", "unit"):
                texts = numpy.array([None if e is None else getattr(e, field) or None for e in entries] + [None],
                                    dtype=object)[:-1]
                named[field] = texts[inverse.ravel()] if len(codes) else numpy.empty(0, dtype=object)
    in_zone = zone.zone_of(args)
    if args.output is None:
        write_table(named, sys.stdout, args.form, zone=in_zone)
        return
    kind = output_format(args.output, args.format)
    pyarrow = None if kind == "csv" else pyarrow_modules(kind)
    with destination(args.output) as where:
        if pyarrow is None:
            with open_text(where) as out:
                CsvWriter(out, list(named), in_zone).write(named)
        else:
            arrays = {}
            for name, column in named.items():
                array = pyarrow.array(column, type=pyarrow.string() if column.dtype == object else None)
                if column.dtype.kind == "M" and in_zone is not None:
                    array = array.cast(pyarrow.timestamp("ns", tz=in_zone.name))
                arrays[name] = array
            table = pyarrow.table(arrays)
            write_batches(arrow_writer(kind, where, table.schema), Layout(pyarrow, table.schema, {}),
                          table.to_batches())
    rows = len(columns["time"])
    print(f"{rows} {what} written to {'standard output' if args.output == '-' else args.output}", file=sys.stderr)
