"""zentrail as a Spark data source (Spark 4's Python data source interface):

    import zentrail.spark
    zentrail.spark.register(spark)
    frame = (spark.read.format("zentrail").option("root", "/data/plant")
             .option("start", "2024-03-01").option("end", "2024-03-03")
             .option("signals", "7,12:0").load())

One input partition per archive file, read on the executors by
``zentrail.scan_files`` into Arrow record batches (``pip install
"zentrail[spark]"``)."""

from __future__ import annotations

from zentrail._base.extras import import_extra

import_extra("pyspark.sql.datasource", "zentrail.spark", "spark")
import_extra("pyarrow", "zentrail.spark", "spark")

from ._source import ArchiveDataSource, register  # noqa: E402

__all__ = ["ArchiveDataSource", "register"]
