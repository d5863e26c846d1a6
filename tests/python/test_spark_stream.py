"""zentrail.spark as a stream (spark.readStream) over an archive the
simulated plant writes piece by piece: queries of either trigger, and one
killed and restarted from its checkpoint, sink the rows of the final scan,
each once; a file rewritten under the stream stops it, naming the file."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("pyspark.sql.datasource")
pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

import zentrail
from plant_pieces import append, plant_pieces, simulate_plant

pytestmark = pytest.mark.slow
COLUMNS = ["time", "signal_id", "element", "value", "item_class", "subtype"]
SRC = str(Path(zentrail.__file__).resolve().parents[1])


def stream(spark, root, out, **options):
    reader = spark.readStream.format("zentrail").option("root", str(root)).option("start", "2024-03-01")
    for name, value in options.items():
        reader = reader.option(name, value)
    return (reader.load().writeStream.format("parquet").option("path", str(out / "rows"))
            .option("checkpointLocation", str(out / "checkpoint")))


def available_now(spark, root, out):
    query = stream(spark, root, out).trigger(availableNow=True).start()
    query.awaitTermination()


def assert_sunk_the_scan(spark, out, root):
    """The rows the sink holds are the final scan's, each once (the order of
    a stream's files is not the scan's: both sorted)."""
    expected = zentrail.scan(root, "2024-03-01", "2099-12-31").to_pandas()
    expected["time"] = expected["time"].dt.floor("us")
    got = spark.read.parquet(str(out / "rows")).toPandas()
    assert list(got.columns) == COLUMNS and len(expected) > 0
    got = got.astype(expected.dtypes.to_dict())
    ordered = [frame.sort_values(COLUMNS, ignore_index=True) for frame in (got, expected)]
    pd.testing.assert_frame_equal(*ordered)


def test_available_now_and_processing_time_queries_beside_a_writer_sink_the_scan_once(spark, tmp_path):
    root = tmp_path / "archive"
    pieces = plant_pieces(seconds=120)
    ticking = stream(spark, root, tmp_path / "ticking").trigger(processingTime="300 milliseconds").start()
    try:
        quarter = len(pieces) // 4 + 1
        for at in range(0, len(pieces), quarter):  # each run from the checkpoint of the one before
            append(root, pieces[at:at + quarter])
            available_now(spark, root, tmp_path / "now")
        ticking.processAllAvailable()
        batches = [p["numInputRows"] for p in ticking.recentProgress if p["numInputRows"]]
        assert len(batches) >= 2, batches
    finally:
        ticking.stop()
    days = sorted(os.listdir(root / "2024" / "03"))
    assert days == ["2024-03-01_plant.vlx", "2024-03-02_plant.vlx"]
    assert_sunk_the_scan(spark, tmp_path / "now", root)
    assert_sunk_the_scan(spark, tmp_path / "ticking", root)


# A query in a process of its own, as fast as its triggers go, to be killed.
QUERY = r"""
import os, sys
from pyspark.sql import SparkSession
import zentrail.spark
root, out = sys.argv[1], sys.argv[2]
spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
         .config("spark.sql.session.timeZone", "UTC").getOrCreate())
zentrail.spark.register(spark)
(spark.readStream.format("zentrail").option("root", root).option("start", "2024-03-01").load()
 .writeStream.format("parquet").option("path", os.path.join(out, "rows"))
 .option("checkpointLocation", os.path.join(out, "checkpoint")).start().awaitTermination())
"""


def test_a_query_killed_and_restarted_from_its_checkpoint_sinks_every_row_once(spark, tmp_path):
    root, out = tmp_path / "archive", tmp_path / "out"
    pieces = plant_pieces(seconds=900, seed=8, most=60)
    append(root, pieces[: len(pieces) // 3])
    env = dict(os.environ, PYSPARK_PYTHON=sys.executable, PYTHONPATH=os.pathsep.join([SRC] + sys.path))
    query = subprocess.Popen([sys.executable, "-c", QUERY, str(root), str(out)], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    commits = out / "checkpoint" / "commits"
    try:
        deadline = time.monotonic() + 120
        while not (commits.is_dir() and os.listdir(commits)) and time.monotonic() < deadline:
            assert query.poll() is None, "the query ended before its first batch"
            time.sleep(0.2)
        # More bytes while the query runs; it is killed amid them.
        written = len(pieces) // 3
        while len(os.listdir(commits)) < 3 and written < len(pieces):
            append(root, pieces[written:written + 5])
            written += 5
            time.sleep(0.05)
        query.send_signal(signal.SIGKILL)
        query.wait()
        append(root, pieces[written:])
    finally:
        query.kill()
        query.wait()
    assert written < len(pieces), "the query was killed after the writer had finished"
    available_now(spark, root, out)
    assert_sunk_the_scan(spark, out, root)


def test_a_file_rewritten_under_the_stream_stops_it_naming_the_file(spark, tmp_path):
    from pyspark.errors import StreamingQueryException

    root = tmp_path / "archive"
    pieces = plant_pieces(seconds=20)
    day = pieces[0][0]
    append(root, [piece for piece in pieces if piece[0] == day])
    available_now(spark, root, tmp_path / "out")
    path = simulate_plant.day_path(root, day)
    path.write_bytes(b"".join(piece for d, piece in plant_pieces(seconds=30, seed=4) if d == day))
    query = stream(spark, root, tmp_path / "out").trigger(availableNow=True).start()
    with pytest.raises(StreamingQueryException, match=f"{path.name}: its first bytes are not those read before"):
        query.awaitTermination()


def test_a_stream_in_a_zone_with_a_catalog_gives_instants_names_and_units(spark, tmp_path):
    root, out = tmp_path / "archive", tmp_path / "out"
    append(root, plant_pieces(seconds=30))
    simulate_plant.write_catalog(root, simulate_plant.Plant(16, 1.0, 3, limits=0.01))
    chosen = ["time", "name", "value", "unit"]
    stream(spark, root, out, tz="Europe/Berlin", columns=",".join(chosen)).trigger(availableNow=True).start() \
        .awaitTermination()
    got = spark.read.parquet(str(out / "rows"))
    assert dict(got.dtypes) == {"time": "timestamp", "name": "string", "value": "double", "unit": "string"}
    expected = zentrail.scan(root, "2024-03-01", "2099-12-31", tz="Europe/Berlin").select(*chosen).to_pandas()
    # Instants, shown in the session's zone (UTC) by Spark.
    expected["time"] = expected["time"].dt.tz_convert("UTC").dt.tz_localize(None).dt.floor("us")
    expected = expected.astype({"name": object, "unit": object})
    assert expected["unit"].notna().any()
    ordered = [frame.sort_values(chosen, ignore_index=True) for frame in (got.toPandas()[chosen], expected)]
    pd.testing.assert_frame_equal(*ordered, check_dtype=False)
