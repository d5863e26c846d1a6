"""zentrail as a Spark data source (Spark 4's Python data source interface):

    import zentrail.spark
    zentrail.spark.register(spark)
    frame = (spark.read.format("zentrail").option("root", "/data/plant")
             .option("start", "2024-03-01").option("end", "2024-03-03")
             .option("signals", "7,12:0").load())

One input partition per archive file, a zentrail.ReadPlan read on the
executors into Arrow record batches (``pip install "zentrail[spark]"``).
The module imports without Spark; ``register`` and ``ArchiveDataSource``
raise an ImportError naming the extra where pyspark or pyarrow is missing."""

from __future__ import annotations

from ._source import register

# ArchiveDataSource is made on first use (see below): a star import, which
# takes every name of __all__, must not need Spark.
__all__ = ["register"]

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from pyspark.sql.datasource import DataSource as _DataSource  # type: ignore[import-not-found, unused-ignore]

    from ._source import SourceMethods

    class ArchiveDataSource(SourceMethods, _DataSource):
        """The data source class, a subclass of pyspark's DataSource made on
        first use (``zentrail.spark.ArchiveDataSource``), for
        ``spark.dataSource.register`` where :func:`register` is not used."""


def __getattr__(name: str) -> Any:
    if name == "ArchiveDataSource":
        from ._source import source_classes

        return source_classes()["ArchiveDataSource"]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
