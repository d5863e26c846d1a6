"""A scan shared as plain Python code shares it: with threads, with its own
progress callable, with a forked child, with the collector, and with
interpreter exit. None of it may abort, hang or leak."""

from __future__ import annotations

import datetime
import gc
import os
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

pytest.importorskip("numpy")

import archive_builder as ab
import zentrail
from conftest import day_file

CODES = range(5 * 1024, 5 * 1024 + 4)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """Three day files of 20,000 four-element groups each: a read that lasts
    long enough for a second consumer to meet it in flight."""
    root = tmp_path_factory.mktemp("lifecycle")
    for day in (1, 2, 3):
        records = [ab.group("GrWord", ab.at("00:00:00") + n * 1_000_000, 5, [n % 7, 1, 2, 3]) for n in range(20_000)]
        day_file(root, *records, name=f"2024-03-0{day}_a.vlx", day=datetime.date(2024, 3, day))
    return root


def scan_of(root, **options):
    return zentrail.scan(root, "2024-03-01", "2024-03-03", CODES, batch_rows=64, **options)


def run_python(script, timeout=120):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def test_two_threads_on_one_iterator_never_corrupt_it(big):
    it = iter(scan_of(big, threads=2))
    rows, refused, failures = [], [], []

    def consume():
        while True:
            try:
                batch = next(it)
            except StopIteration:
                return
            except RuntimeError as error:
                refused.append(str(error))
                continue
            except BaseException as error:  # noqa: BLE001
                failures.append(error)
                return
            rows.append(len(batch["time"]))

    threads = [threading.Thread(target=consume) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not failures and sum(rows) == 3 * 20_000 * 4
    assert all("already being advanced" in text for text in refused)


def test_a_progress_callable_cannot_advance_its_own_iterator(big):
    holder = {}

    def progress(done, total):
        next(holder["it"])

    holder["it"] = it = iter(scan_of(big, progress=progress))
    with pytest.raises(RuntimeError, match="already being advanced"):
        for _ in it:
            pass


def test_stop_iteration_from_progress_is_an_error_not_the_end(big):
    def progress(done, total):
        raise StopIteration

    with pytest.raises(RuntimeError, match="StopIteration") as raised:
        for _ in scan_of(big, progress=progress):
            pass
    assert isinstance(raised.value.__cause__, StopIteration)


@pytest.mark.parametrize("consume", ["iterate", "to_numpy"])
def test_a_daemon_thread_reading_at_exit_ends_cleanly(big, consume):
    body = {"iterate": "for _ in scan: pass", "to_numpy": "while True: scan.to_numpy()"}[consume]
    code, _, stderr = run_python(f"""
        import threading, time, zentrail
        scan = zentrail.scan({str(big)!r}, "2024-03-01", "2024-03-03", range(5120, 5124), batch_rows=64)
        def reader():
            while True:
                {body}
        threading.Thread(target=reader, daemon=True).start()
        time.sleep(0.3)
    """)
    assert code == 0, stderr


def test_a_forked_child_exits_and_refuses_the_inherited_run(big):
    code, stdout, stderr = run_python(f"""
        import os, zentrail
        it = iter(zentrail.scan({str(big)!r}, "2024-03-01", "2024-03-03", range(5120, 5124), batch_rows=64))
        next(it)
        pid = os.fork()
        if pid == 0:
            try:
                next(it)
            except RuntimeError as error:
                print("child:", error, flush=True)
            os._exit(0 if len(zentrail.scan({str(big)!r}, "2024-03-01", "2024-03-01", [5120]).to_numpy()["time"]) else 3)
        _, status = os.waitpid(pid, 0)
        print("parent:", os.waitstatus_to_exitcode(status), sum(len(b["time"]) for b in it) > 0)
    """, timeout=60)
    assert code == 0, stderr
    assert "child: this scan's read was started in another process" in stdout
    assert "parent: 0 True" in stdout


def test_a_scan_in_a_cycle_is_collected(big):
    class Job:
        def __init__(self):
            self.scan = scan_of(big, progress=self.report)
            self.it = iter(self.scan)
            next(self.it)

        def report(self, done, total):
            pass

    jobs = [weakref.ref(Job()) for _ in range(5)]
    gc.collect()
    assert [job() for job in jobs] == [None] * 5


def test_import_failures_keep_their_cause(big, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r'pip install "zentrail\[pandas\]"') as raised:
        scan_of(big).to_pandas()
    assert isinstance(raised.value.__cause__, ModuleNotFoundError)
    broken = type(sys)("tqdm")
    broken.__getattr__ = lambda name: (_ for _ in ()).throw(KeyboardInterrupt)
    monkeypatch.setitem(sys.modules, "tqdm", broken)
    with pytest.raises(KeyboardInterrupt):
        scan_of(big, progress=True).to_numpy()


def test_a_thread_that_cannot_start_is_an_os_error(big):
    code, stdout, stderr = run_python(f"""
        import errno, resource, zentrail, numpy
        size = [l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1]
        resource.setrlimit(resource.RLIMIT_AS, (int(size) * 1024 + 2 * 2 ** 20, resource.RLIM_INFINITY))
        try:
            zentrail.scan({str(big)!r}, "2024-03-01", "2024-03-03", [5120], threads=2).to_numpy()
            print("read")
        except OSError as error:
            print("OSError", error.errno, error)
        except MemoryError:
            print("MemoryError")
    """)
    assert code == 0, stderr
    assert stdout.startswith(("OSError 11 [Errno 11] cannot start a worker thread", "MemoryError")), stdout


def test_many_threads_fit_in_a_modest_address_space(big):
    # Each worker's read area grows with need, and the pool is capped: six
    # threads (or a million asked for) fit where six 512 MiB areas did not.
    code, stdout, stderr = run_python(f"""
        import resource, zentrail, numpy
        size = [l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1]
        resource.setrlimit(resource.RLIMIT_AS, (int(size) * 1024 + 512 * 2 ** 20, resource.RLIM_INFINITY))
        for threads in (6, 10 ** 6):
            print(len(zentrail.scan({str(big)!r}, "2024-03-01", "2024-03-03", [5120], threads=threads).to_numpy()["time"]))
    """)
    assert (code, stdout.split()) == (0, ["60000", "60000"]), stderr
