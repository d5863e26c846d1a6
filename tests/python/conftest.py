"""Shared helpers for the zentrail tests: a one-day window, trees of archive
files, and checks that a call leaves no file open and no reference behind."""

import contextlib
import ctypes
import os
import signal
import sys
from datetime import date

import pytest
import zentrail
from archive_builder import END, archive, date_mark, write_archive

DAY = date(2024, 3, 1)
START, END_OF_DAY = "2024-03-01 00:00:00", "2024-03-01 23:59:59"


@pytest.fixture(autouse=True, scope="session")
def index_of_the_session(tmp_path_factory):
    """Reads keep their index in a folder of the test session's own, never
    the user's cache folder."""
    os.environ["ZENTRAIL_INDEX"] = str(tmp_path_factory.mktemp("zentrail-index"))
    yield


def code(signal_id, index=0):
    return signal_id * 1024 + index


# A read of random codes over a random window may find no row and say so in
# a warning; a test of what such a read gives, not of the warning, lets it pass.
may_find_no_row = pytest.mark.filterwarnings("ignore:zentrail.scan. no row for the codes:UserWarning")
NO_ROW = "zentrail.scan: no row for the codes"


def read_day(root, signals, start=START, end=END_OF_DAY):
    return zentrail.read(str(root), start, end, signals)


def day_file(root, *records, name="2024-03-01_a.vlx", day=DAY):
    """An archive file of `day` holding its date mark and `records`."""
    return write_archive(root / name, [archive(date_mark(day), *records, END)])


def default_sigint():
    """A child's preexec_fn: Ctrl-C's default action, as from a terminal.

    A test run started in the background (nohup, or `&` in a script) has
    SIGINT ignored, and a child would inherit that and never be interrupted.
    """
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


@contextlib.contextmanager
def leaves_nothing_behind(signals):
    """The block must keep the open files and the reference counts of
    `signals` and of its elements (when it is a list) as they were."""
    def counts():
        return [sys.getrefcount(signals)] + [sys.getrefcount(e) for e in (signals if isinstance(signals, list) else ())]
    fds, before = open_fds(), counts()
    yield
    assert open_fds() == fds
    assert counts() == before


class _CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]


class _CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32), ("inheritable", ctypes.c_uint32)]


@pytest.fixture
def file_modes_apply():
    """Makes this thread obey file modes, so that a mode of 0 gives EACCES.
    As root, that means dropping CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH
    from the effective set for the test (they stay permitted and come back)."""
    if os.geteuid() != 0:
        yield
        return
    libc = ctypes.CDLL(None, use_errno=True)
    version3 = 0x20080522
    saved = (_CapData * 2)()
    if libc.capget(ctypes.byref(_CapHeader(version3, 0)), saved) != 0:
        pytest.skip("cannot read capabilities")
    lowered = (_CapData * 2)()
    ctypes.memmove(lowered, saved, ctypes.sizeof(saved))
    lowered[0].effective &= ~0b110
    if libc.capset(ctypes.byref(_CapHeader(version3, 0)), lowered) != 0:
        pytest.skip("cannot drop the file permission override")
    try:
        yield
    finally:
        assert libc.capset(ctypes.byref(_CapHeader(version3, 0)), saved) == 0


@pytest.fixture(scope="module")
def spark():
    """A Spark session in local mode with zentrail's source registered, one per
    test module (stopped after it); skips without Java."""
    from pyspark.sql import SparkSession

    if not any(os.access(os.path.join(folder, "java"), os.X_OK) for folder in os.environ["PATH"].split(os.pathsep)):
        pytest.skip("no java on PATH (scripts/install-deps.sh installs a JRE)")
    # The executors' Python workers are this interpreter, with this sys.path.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYTHONPATH"] = os.pathsep.join(sys.path)
    session = (SparkSession.builder.master("local[2]").appName("zentrail-test")
               .config("spark.ui.enabled", "false").config("spark.sql.session.timeZone", "UTC")
               .config("spark.sql.shuffle.partitions", "2").getOrCreate())
    import zentrail.spark

    zentrail.spark.register(session)
    yield session
    session.stop()
