"""Every kind of call waits for its workers the same way: a progress
callable's StopIteration becomes a RuntimeError (never the quiet end of a
loop), its other exceptions propagate as they are, and Ctrl-C ends the read
within a moment, leaving no thread or file behind."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import archive_builder as ab
import zentrail
from conftest import DAY, day_file, default_sigint

WINDOW = ("2024-03-01 00:00:00", "2024-03-31 23:59:59")
CALLS = {
    "iterate": lambda root, progress: [b for b in zentrail.scan(root, *WINDOW, [5120], progress=progress,
                                                                   batch_rows=64)],
    "to_numpy": lambda root, progress: zentrail.scan(root, *WINDOW, [5120], progress=progress).to_numpy(),
    "overview": lambda root, progress: zentrail.scan(root, *WINDOW, [5120], progress=progress).overview().to_numpy(),
    "limited overview": lambda root, progress: zentrail.scan(root, *WINDOW, [5120], progress=progress)
    .limit(10**9).overview().to_numpy(),
    "inventory": lambda root, progress: zentrail.inventory(root, *WINDOW, progress=progress),
    "events": lambda root, progress: zentrail.events(root, *WINDOW, progress=progress).to_numpy(),
    "events iterated": lambda root, progress: list(zentrail.events(root, *WINDOW, progress=progress)),
}


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    root = tmp_path_factory.mktemp("loop")
    day_file(root, *[ab.group("GrWord", ab.at("00:00:00") + n, 5, [n % 7]) for n in range(1000)],
             ab.alarm("AlShort", ab.at("01:00:00"), 5))
    return root


def raise_stop(done, total):
    raise StopIteration


def raise_lookup(done, total):
    raise LookupError("from the progress callable")


@pytest.mark.parametrize("kind", CALLS)
def test_a_progress_callables_stop_iteration_is_an_error(small, kind):
    with pytest.raises(RuntimeError, match="the progress callable raised StopIteration") as raised:
        CALLS[kind](small, raise_stop)
    assert isinstance(raised.value.__cause__, StopIteration)


@pytest.mark.parametrize("kind", CALLS)
def test_a_progress_callables_exception_propagates(small, kind):
    with pytest.raises(LookupError, match="from the progress callable"):
        CALLS[kind](small, raise_lookup)


INTERRUPTED = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy, zentrail
    root, kind = sys.argv[1], sys.argv[2]
    window = ("2024-03-01 00:00:00", "2024-03-31 23:59:59")
    calls = {
        "iterate": lambda: [len(b["time"]) for b in zentrail.scan(root, *window, [5120], batch_rows=64)],
        "to_numpy": lambda: zentrail.scan(root, *window, [5120]).to_numpy(),
        "overview": lambda: zentrail.scan(root, *window, [5120]).overview().to_numpy(),
        "limited overview": lambda: zentrail.scan(root, *window, [5120]).limit(10**12).overview().to_numpy(),
        "inventory": lambda: zentrail.inventory(root, *window),
        "events": lambda: zentrail.events(root, *window).to_numpy(),
        "events iterated": lambda: list(zentrail.events(root, *window)),
        "arrow stream": lambda: pyarrow.table(zentrail.scan(root, *window, [5120])),
    }
    if kind == "arrow stream":
        import pyarrow  # imported before counting what the call leaves
    def tasks():
        return len(os.listdir("/proc/self/task"))
    fds, threads = sorted(os.listdir("/proc/self/fd")), tasks()
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        try:
            calls[kind]()
        except Exception as error:  # a stream's consumer reports the stop its own way first
            print("stream error", type(error).__name__, error)
            time.sleep(0.01)
        print("finished")
    except KeyboardInterrupt:
        timer.join()
        assert sorted(os.listdir("/proc/self/fd")) == fds and tasks() == threads
        print("interrupted", round(time.monotonic() - started, 3))
""")


@pytest.fixture(scope="module")
def long_read(tmp_path_factory):
    """Some 7 GB to read: hard links to one file of 200,000 records."""
    root = tmp_path_factory.mktemp("long")
    record = ab.group("GrLong", ab.at("00:00:00"), 5, [1, 2])
    (root / "2024-03-01_a.vlx").write_bytes(ab.archive(ab.date_mark(DAY), *[record] * 200_000))
    for n in range(1, 2000):
        os.link(root / "2024-03-01_a.vlx", root / f"2024-03-01_{n:04d}.vlx")
    return root


@pytest.mark.parametrize("kind", list(CALLS) + ["arrow stream"])
def test_ctrl_c_ends_every_kind_of_read_and_leaves_nothing_behind(long_read, kind):
    if kind == "arrow stream":
        pytest.importorskip("pyarrow")
    done = subprocess.run([sys.executable, "-c", INTERRUPTED, str(long_read), kind], capture_output=True,
                          text=True, timeout=60, preexec_fn=default_sigint)
    assert done.returncode == 0, done.stderr
    last = done.stdout.splitlines()[-1]
    assert last.startswith("interrupted"), done.stdout
    assert float(last.split()[1]) < 5
