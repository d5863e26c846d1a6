"""The archive as a Spark DataFrame, through zentrail's data source: the
Spark part of docs/dask.md.

    python examples/spark_source.py [ROOT_DIR]   # Spark's local mode (needs Java) on the sample archive
"""

import os
import sys
from pathlib import Path

from pyspark.sql import SparkSession, functions as F

import zentrail.spark

root = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parent / "sample-archive")
os.environ.setdefault("PYSPARK_PYTHON", sys.executable)  # the executors' Python: this one
spark = SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false").getOrCreate()
spark.sparkContext.setLogLevel("ERROR")
zentrail.spark.register(spark)

frame = (spark.read.format("zentrail").option("root", root)
         .option("start", "2024-03-01").option("end", "2024-03-03")
         .option("signals", "7,12").load())
print(frame.rdd.getNumPartitions(), "partitions, one per file")
frame.printSchema()
# The filters reach the source: one day's file and one signal are read.
morning = frame.where((F.col("signal_id") == 12) & (F.col("time") >= "2024-03-02 05:00:00")
                      & (F.col("time") < "2024-03-02 08:00:00"))
print(morning.rdd.getNumPartitions(), "partition read for the filtered frame")
morning.orderBy("time").show(truncate=False)
spark.stop()
