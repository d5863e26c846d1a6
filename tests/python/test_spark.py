"""zentrail.spark in Spark's local mode (a JVM started by the test): a load and
filtered loads hold the rows of zentrail.scan."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("pyspark.sql.datasource")
pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

import zentrail
from conftest import code

pytestmark = pytest.mark.slow
START, END = "2024-03-01 00:00:00", "2024-03-03 23:59:59"
SAMPLE_ROOT = str(Path(__file__).resolve().parents[2] / "examples" / "sample-archive")
COLUMNS = ["time", "signal_id", "element", "value", "item_class", "subtype"]


def scan_rows(codes, start=START, end=END, catalog=None):
    """scan's rows with Spark's times (microseconds)."""
    frame = zentrail.scan(SAMPLE_ROOT, start, end, codes, catalog=catalog).to_pandas()
    frame["time"] = frame["time"].dt.floor("us")
    return frame


def load(spark, **options):
    reader = spark.read.format("zentrail").option("root", str(SAMPLE_ROOT)).option("start", START).option("end", END)
    for name, value in options.items():
        reader = reader.option(name, value)
    return reader.load()


def assert_same_rows(frame, expected):
    """Spark's types are wider than scan's (no unsigned integers)."""
    got = frame.toPandas()
    assert list(got.columns) == COLUMNS
    got = got.astype(expected.dtypes.to_dict())
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected.reset_index(drop=True))


def test_a_load_holds_the_rows_of_scan_one_partition_per_file(spark):
    frame = load(spark, signals="5,7:0-3,12,13")
    assert frame.rdd.getNumPartitions() == len(zentrail.find_files(SAMPLE_ROOT, START, END))
    assert_same_rows(frame, scan_rows([code(5, i) for i in range(1024)] + [code(7, i) for i in range(4)]
                                      + [code(12, i) for i in range(1024)] + [code(13, i) for i in range(1024)]))


def test_filters_on_signal_id_and_time_narrow_to_the_rows_of_scan(spark):
    from pyspark.sql import functions as F

    frame = load(spark).where((F.col("signal_id").isin(7, 12)) & (F.col("time") >= "2024-03-02 06:00:00")
                              & (F.col("time") < "2024-03-02 12:00:00"))
    expected = scan_rows([code(7, i) for i in range(1024)] + [code(12, i) for i in range(1024)],
                         "2024-03-02 06:00:00", "2024-03-02 11:59:59.999999999")
    assert len(expected)
    assert_same_rows(frame, expected)
    # The time filter reached the source: only the file of that day is read.
    assert frame.rdd.getNumPartitions() == 1


def test_bad_options_name_themselves(spark):
    with pytest.raises(Exception, match="option signals"):
        load(spark, signals="7:2000").collect()
    with pytest.raises(Exception, match="option columns: 'colour' is not one of time"):
        load(spark, columns="time,colour").collect()
    with pytest.raises(Exception, match="needs the option root"):
        spark.read.format("zentrail").option("start", START).option("end", END).load().collect()


@pytest.mark.parametrize("signals, catalog", [("Furnace1.Zone[12].*,12", None), ("TI-*,13", "names.csv")])
def test_names_and_patterns_resolve_through_the_catalog(spark, tmp_path, signals, catalog):
    options = {"signals": signals}
    if catalog:
        (tmp_path / catalog).write_text("signal_id,element,name\n5,0,TI-100\n5,2,TI-102\n")
        options["catalog"] = catalog = str(tmp_path / catalog)
    expected = scan_rows(zentrail.parse_signals(signals), catalog=catalog)
    assert set(expected["signal_id"]) == ({7, 12} if catalog is None else {5, 13})
    assert_same_rows(load(spark, **options), expected)


def test_the_module_imports_without_spark_and_its_first_use_names_the_extra():
    code = """if True:
        import sys
        sys.modules["pyspark"] = None  # as if pyspark were not installed
        import zentrail.spark
        for use in (lambda: zentrail.spark.register(None), lambda: zentrail.spark.ArchiveDataSource):
            try:
                use()
            except ImportError as error:
                print(error)
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ['zentrail.spark needs pyspark.sql.datasource, which is not installed: '
                                        'pip install "zentrail[spark]"'] * 2


@pytest.fixture
def session_in(spark):
    """The session with its time zone set for one test (shown times only)."""
    kept = spark.conf.get("spark.sql.session.timeZone")
    yield lambda zone: spark.conf.set("spark.sql.session.timeZone", zone)
    spark.conf.set("spark.sql.session.timeZone", kept)


@pytest.mark.parametrize("session_zone", ["UTC", "America/New_York"])
def test_rows_read_in_a_zone_are_instants_whatever_the_sessions_zone(spark, session_in, tmp_path, session_zone):
    import datetime as dt
    import zoneinfo

    from pyspark.sql import functions as F
    from zoned_archive import NS, SIGNAL, instants_between, write_local_archive

    zone = "Europe/Berlin"
    session_in(session_zone)
    instants = instants_between(zone, dt.date(2024, 10, 26), dt.date(2024, 10, 28), 600)
    write_local_archive(tmp_path, zone, instants)
    frame = (spark.read.format("zentrail").option("root", str(tmp_path)).option("start", "2024-10-26")
             .option("end", "2024-10-28").option("signals", str(SIGNAL)).option("tz", zone).load())
    assert dict(frame.dtypes)["time"] == "timestamp"
    rows = frame.selectExpr("unix_micros(time) as us", "value").orderBy("value").collect()
    assert [row.us * 1000 for row in rows] == instants
    # A filter on instants (the repeated hour's second pass) narrows the read to that day's file.
    second_pass = dt.datetime(2024, 10, 27, 2, 0, fold=1, tzinfo=zoneinfo.ZoneInfo(zone))
    hour = frame.where((F.col("time") >= F.lit(second_pass))
                       & (F.col("time") < F.lit(second_pass + dt.timedelta(hours=1))))
    assert hour.rdd.getNumPartitions() == 1
    first = int(second_pass.timestamp()) * NS
    assert [row.us * 1000 for row in hour.selectExpr("unix_micros(time) as us").orderBy("us").collect()] == \
        [t for t in instants if first <= t < first + 3600 * NS]
