"""Benchmarks of zentrail.spark's stream (Spark's local mode, two cores).

    python bench/spark_stream.py              # on the 1 GB benchmark tree (bench/data/mix-1000)
    python bench/spark_stream.py --smoke      # a small simulated tree: checks that the suite runs
    python bench/spark_stream.py --only first # or latency

- first: the first batch of a Trigger.AvailableNow query over the whole tree
  against the batch source's load of it, both into Spark's "noop" sink
  (target: within 1.5x).
- latency: a record appended to today's file, until a processing-time query
  (trigger --interval) hands it to foreachBatch; median and worst of
  --samples records written at random moments (target: under the interval
  plus 2 s).

Needs pyspark and Java (scripts/install-deps.sh installs both); exits 1 when
a target is missed.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT / "tools"), str(ROOT / "examples")]

import archive_format as fmt  # noqa: E402
import simulate_plant  # noqa: E402
import zentrail  # noqa: E402

TREE = HERE / "data" / "mix-1000" / "tree"
WINDOW = ("2000-01-01", "2099-12-31")


def session():
    from pyspark.sql import SparkSession

    import zentrail.spark

    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYTHONPATH"] = os.pathsep.join(sys.path)
    spark = (SparkSession.builder.master("local[2]").appName("zentrail-stream-bench")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
             .config("spark.sql.session.timeZone", "UTC").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    zentrail.spark.register(spark)
    return spark


def first_batch(spark, root: str) -> tuple:
    """(seconds of the batch load, seconds of the stream's first batch, its rows)."""
    # A load of the first day first: the Python workers and the JVM's code warm for both.
    day = os.path.basename(zentrail.find_files(root, *WINDOW)[0])[:10]
    (spark.read.format("zentrail").option("root", root).option("start", day).option("end", day)
     .load().write.format("noop").mode("overwrite").save())
    began = time.perf_counter()
    (spark.read.format("zentrail").option("root", root).option("start", WINDOW[0]).option("end", WINDOW[1])
     .load().write.format("noop").mode("overwrite").save())
    load = time.perf_counter() - began
    with tempfile.TemporaryDirectory() as folder:
        began = time.perf_counter()
        query = (spark.readStream.format("zentrail").option("root", root).option("start", WINDOW[0]).load()
                 .writeStream.format("noop").option("checkpointLocation", folder)
                 .trigger(availableNow=True).start())
        query.awaitTermination()
        stream = time.perf_counter() - began
        rows = [p["numInputRows"] for p in query.recentProgress if p["numInputRows"]]
    return load, stream, rows


def latency(spark, samples: int, interval: float) -> list:
    """Seconds from the write of each of `samples` records to foreachBatch."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "archive" / "2024" / "2024-03-01_plant.vlx"
        path.parent.mkdir(parents=True)
        path.write_bytes(fmt.date_mark(fmt.day_number(simulate_plant.dt.date(2024, 3, 1))))
        written: dict = {}
        delays: list = []

        def seen(frame, batch_id) -> None:
            now = time.perf_counter()
            delays.extend(now - written[int(row.value)] for row in frame.select("value").collect())

        query = (spark.readStream.format("zentrail").option("root", str(path.parents[1])).option("signals", "7:0")
                 .option("start", "2024-03-01").load()
                 .writeStream.foreachBatch(seen).option("checkpointLocation", os.path.join(folder, "checkpoint"))
                 .trigger(processingTime=f"{interval} seconds").start())
        rng = random.Random(1)

        def writer() -> None:
            with open(path, "ab", buffering=0) as out:
                for n in range(samples):
                    time.sleep(interval * (1 + rng.random()))
                    written[n] = time.perf_counter()
                    out.write(fmt.group("GrFloat", n * 1_000_000_000, id=7, values=[float(n)] * 16))

        while query.lastProgress is None:  # the query's first trigger has come
            time.sleep(0.1)
        thread = threading.Thread(target=writer)
        thread.start()
        thread.join()
        deadline = time.monotonic() + 2 * interval + 30
        while len(delays) < samples and time.monotonic() < deadline:
            time.sleep(0.1)
        query.stop()
        return delays


def smoke_tree(folder: str) -> str:
    subprocess.run([sys.executable, str(ROOT / "examples" / "simulate_plant.py"), folder, "--days", "1",
                    "--signals", "50", "--period", "10", "--start", "2024-03-01"], check=True,
                   stdout=subprocess.DEVNULL)
    return folder


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--only", choices=("first", "latency"))
    parser.add_argument("--samples", type=int, default=10)
    parser.add_argument("--interval", type=float, default=2.0)
    parser.add_argument("--tree", default=str(TREE), help="the tree of the first batch (default: %(default)s)")
    args = parser.parse_args()
    try:
        spark = session()
    except Exception as error:  # no pyspark, or no Java: said, not failed
        print(f"spark_stream: skipped, Spark cannot start here ({type(error).__name__}: {error})")
        return 0
    missed = False
    with tempfile.TemporaryDirectory() as folder:
        if args.only in (None, "first"):
            root = smoke_tree(folder) if args.smoke else args.tree
            load, stream, rows = first_batch(spark, root)
            ratio = stream / load
            print(f"first AvailableNow batch: {stream:.1f} s for {sum(rows):,} rows in {len(rows)} batch(es); "
                  f"batch load {load:.1f} s; {ratio:.2f}x (target <= 1.5x)")
            missed |= not args.smoke and ratio > 1.5
    if args.only in (None, "latency"):
        samples, interval = (2, 1.0) if args.smoke else (args.samples, args.interval)
        delays = latency(spark, samples, interval)
        if len(delays) < samples:
            print(f"latency: {samples - len(delays)} of {samples} records never reached the query")
            missed = True
        else:
            worst = max(delays)
            print(f"latency at a {interval:g} s trigger: median {statistics.median(delays):.2f} s, worst "
                  f"{worst:.2f} s (target < {interval + 2:g} s)")
            missed |= not args.smoke and worst > interval + 2
    spark.stop()
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
