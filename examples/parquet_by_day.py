"""Archives into Parquet, partitioned by day (hive layout: day=2024-03-01/),
as Spark, DuckDB and pyarrow read a data lake: the recipe of docs/consumers.md.

    python examples/parquet_by_day.py [OUT_DIR [ROOT_DIR]]   # lake/ and the sample archive by default
"""

import sys
from pathlib import Path

import pyarrow as pa
import pyarrow.dataset as ds
import zentrail


def write_parquet_days(root, start, end, codes, out_dir):
    """Writes the rows of zentrail.scan(root, start, end, codes) under
    out_dir/day=YYYY-MM-DD/, by the day of each row's time. Memory stays
    bounded: the scan is consumed batch by batch."""
    scan = zentrail.scan(root, start, end, codes)
    schema = pa.table(zentrail.scan_files([], start, end, codes)).schema.append(pa.field("day", pa.date32()))
    batches = (pa.RecordBatch.from_pydict({**columns, "day": columns["time"].astype("datetime64[D]")}, schema=schema)
               for columns in scan)
    ds.write_dataset(pa.RecordBatchReader.from_batches(schema, batches), out_dir, format="parquet",
                     partitioning=ds.partitioning(pa.schema([schema.field("day")]), flavor="hive"),
                     existing_data_behavior="delete_matching")


if __name__ == "__main__":
    import duckdb

    out_dir = sys.argv[1] if len(sys.argv) > 1 else "lake"
    root = sys.argv[2] if len(sys.argv) > 2 else str(Path(__file__).resolve().parent / "sample-archive")
    # The four elements of group 7 over the sample's three days.
    write_parquet_days(root, "2024-03-01 00:00:00", "2024-03-03 23:59:59", range(7 * 1024, 7 * 1024 + 4), out_dir)
    print(sorted(p.name for p in Path(out_dir).iterdir()))
    duckdb.sql(f"""select day, element, count(*) as n, round(avg(value), 3) as mean
                   from read_parquet('{out_dir}/*/*.parquet', hive_partitioning = true)
                   group by all order by all""").show()
