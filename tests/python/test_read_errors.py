"""How zentrail.read fails: the exception type and text of each failure, and
that a failed call returns no list, leaves no file open and keeps the
reference counts of `signals` and its elements."""

import errno
import gc
import os
import subprocess
import sys
import textwrap

import pytest
import zentrail
from archive_builder import END, archive, at, date_mark, group, write_archive
from conftest import DAY, END_OF_DAY, START, code, day_file, leaves_nothing_behind, read_day

GOOD = group("GrWord", at("01:00:00"), id=5, values=[1, 2])  # 14 bytes


def fresh(*values):
    """A list of int objects made at run time, so that their reference counts
    belong to this test alone."""
    return [int(str(v)) for v in values]


@pytest.mark.parametrize("signals, error, words", [
    (fresh(5121, 2) + [1.5], TypeError, ["signals[2]", "float"]),
    ([b"5121"], TypeError, ["signals[0]", "bytes"]),
    (fresh(7) + [[5121]], TypeError, ["signals[1]", "list"]),
    (fresh(7) + ["5121", 1.5], TypeError, ["signals[1]", "str"]),
    ((5121,), TypeError, ["tuple"]),
    ({5121: 1}, TypeError, ["dict"]),
    (object(), TypeError, ["object"]),
    ("5121", TypeError, ["str"]),
    (fresh(2 ** 63), OverflowError, ["signals[0]"]),
    (fresh(5, -2 ** 63 - 1), OverflowError, ["signals[1]"]),
    (fresh(5, 10 ** 40, 6), OverflowError, ["signals[1]"]),
])
def test_bad_signals_fail_before_the_directory_is_searched(tmp_path, signals, error, words):
    # The root is missing: a search would raise FileNotFoundError.
    with leaves_nothing_behind(signals), pytest.raises(error) as raised:
        zentrail.read(str(tmp_path / "missing"), START, END_OF_DAY, signals)
    assert type(raised.value) is error
    assert all(word in str(raised.value) for word in words)


def test_codes_at_the_edges_of_64_bits_are_accepted(tmp_path):
    day_file(tmp_path, GOOD)
    # 2**32 + 5121 keeps its low 32 bits, 5121; the 64-bit extremes select nothing.
    assert [r[7] for r in read_day(tmp_path, [2 ** 63 - 1, -2 ** 63, 2 ** 32 + 5121])] == [2]


@pytest.mark.parametrize("make_root, error, errno_value", [
    (lambda tmp: tmp / "missing", FileNotFoundError, errno.ENOENT),
    (lambda tmp: write_archive(tmp / "plain", [b""]), NotADirectoryError, errno.ENOTDIR),
    (lambda tmp: (tmp / "loop").symlink_to("loop") or tmp / "loop", OSError, errno.ELOOP),
])
def test_root_that_cannot_be_walked(tmp_path, make_root, error, errno_value):
    root = make_root(tmp_path)
    signals = fresh(5121)
    with leaves_nothing_behind(signals), pytest.raises(error) as raised:
        zentrail.read(str(root), START, END_OF_DAY, signals)
    assert raised.value.errno == errno_value
    assert raised.value.filename == str(root)
    assert os.strerror(errno_value) in str(raised.value)


def test_unreadable_root_gives_permission_error(tmp_path, file_modes_apply):
    root = tmp_path / "locked"
    root.mkdir(mode=0)
    with pytest.raises(PermissionError) as raised:
        read_day(root, [5121])
    assert raised.value.errno == errno.EACCES and raised.value.filename == str(root)


@pytest.mark.parametrize("name", [b"sub", b"\xff-not-utf-8"])
def test_unreadable_subdirectory_gives_permission_error_naming_it(tmp_path, file_modes_apply, name):
    day_file(tmp_path, GOOD)
    sub = os.path.join(os.fsencode(tmp_path), name)
    os.mkdir(sub, mode=0)
    signals = fresh(5121)
    with leaves_nothing_behind(signals), pytest.raises(PermissionError) as raised:
        zentrail.read(str(tmp_path), START, END_OF_DAY, signals)
    assert raised.value.errno == errno.EACCES
    assert raised.value.filename == os.fsdecode(sub)


def _dangling(path):
    path.symlink_to(path.parent / "nowhere")


def _loop(path):
    path.symlink_to(path.name)


def _no_read_permission(path):
    write_archive(path, [GOOD])
    path.chmod(0)


@pytest.mark.parametrize("make_bad, error, errno_value", [
    (_dangling, FileNotFoundError, errno.ENOENT),
    (_loop, OSError, errno.ELOOP),
    (_no_read_permission, PermissionError, errno.EACCES),
])
def test_archive_that_cannot_be_opened(tmp_path, request, make_bad, error, errno_value):
    if error is PermissionError:
        request.getfixturevalue("file_modes_apply")
    day_file(tmp_path, GOOD, name="2024-03-01_a.vlx")  # read before the bad one
    make_bad(tmp_path / "2024-03-01_b.vlx")
    day_file(tmp_path, GOOD, name="2024-03-01_c.vlx")
    signals = fresh(5121, 5120)
    with leaves_nothing_behind(signals), pytest.raises(error) as raised:
        zentrail.read(str(tmp_path), START, END_OF_DAY, signals)
    assert type(raised.value) is error
    assert str(raised.value) == "File does not exist!"
    assert raised.value.errno == errno_value
    assert any(str(tmp_path / "2024-03-01_b.vlx") in note for note in raised.value.__notes__)


@pytest.mark.parametrize("bad_record", [
    bytes.fromhex("8001 00000000"),              # a date mark with a wrong first word
    bytes.fromhex("8000 00010000"),              # a date mark of day 65,536
    bytes.fromhex("0000 00000000 0D 00"),        # reserved class 13
    bytes.fromhex("0000 00000000 3C 00"),        # reserved class 28, subtype 1
    group("GrDouble", 0, id=5, values=[0.0] * 65),  # 520 payload bytes
    group("GrLong", 0, id=5, values=[0] * 129),
])
def test_malformed_record(tmp_path, bad_record):
    day_file(tmp_path, GOOD, name="2024-03-01_a.vlx")
    write_archive(tmp_path / "2024-03-01_b.vlx", [archive(date_mark(DAY), GOOD, bad_record, GOOD, END)])
    (tmp_path / "2024-03-01_c.vlx").symlink_to("nowhere")  # never reached
    signals = fresh(5121)
    with leaves_nothing_behind(signals), pytest.raises(ValueError) as raised:
        zentrail.read(str(tmp_path), START, END_OF_DAY, signals)
    assert type(raised.value) is ValueError
    assert str(raised.value) == "Error occured while reading file."
    note = " ".join(raised.value.__notes__)
    assert str(tmp_path / "2024-03-01_b.vlx") in note and "byte 20" in note  # 6 + 14


def test_the_largest_groups_are_not_malformed(tmp_path):
    day_file(tmp_path, group("GrDouble", 0, id=5, values=[float(i) for i in range(64)]),
             group("GrLong", 0, id=6, values=list(range(128))))
    assert [r[7] for r in read_day(tmp_path, [code(5, 63), code(6, 127)])] == [63.0, 127]


def test_out_of_memory_gives_memory_error(tmp_path):
    headroom_mib = 0  # less than a reader's first window and tables need
    day_file(tmp_path, GOOD)
    script = textwrap.dedent(f"""
        import os, resource, sys, zentrail
        signals = [int("5121")]
        fds, count = os.listdir("/proc/self/fd"), sys.getrefcount(signals)
        size = [l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1]
        resource.setrlimit(resource.RLIMIT_AS, (int(size) * 1024 + {headroom_mib} * 2 ** 20, resource.RLIM_INFINITY))
        try:
            zentrail.read({str(tmp_path)!r}, "2024-03-01 00:00:00", "2024-03-01 23:59:59", signals)
        except MemoryError:
            # Looked at with the limit lifted: the checks need memory of their own.
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            assert os.listdir("/proc/self/fd") == fds and sys.getrefcount(signals) == count
            print("MemoryError")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (done.returncode, done.stdout.strip()) == (0, "MemoryError"), done.stderr


def test_successful_calls_keep_reference_counts(tmp_path):
    day_file(tmp_path, *[group("GrFloat", at("01:00:00"), id=5, values=[0.5, 1.5])] * 500)
    signals = fresh(5121, 5120, 99999)
    gc.collect()
    gc.disable()  # a collection of other tests' garbage would move None's count
    try:
        nones = sys.getrefcount(None)
        with leaves_nothing_behind(signals):
            rows = [zentrail.read(str(tmp_path), START, END_OF_DAY, signals) for _ in range(3)]
        assert rows[0] == rows[2] and rows[0] is not rows[2] and len(rows[0]) == 1000
        owners = [sys.getrefcount(rows[0])] + [sys.getrefcount(t) for t in rows[0]] + [sys.getrefcount(rows[0][0][7])]
        assert owners == [2] + [3] * 1000 + [2]  # one owner each, plus getrefcount's argument and the loop variable
        counted = nones < 1 << 30  # None is immortal from Python 3.12 on: its count stands still
        assert not counted or abs(sys.getrefcount(None) - nones - 3 * 1000 * 2) < 100  # two per tuple taken
        del rows
        assert not counted or abs(sys.getrefcount(None) - nones) < 100  # and given back
    finally:
        gc.enable()


def test_failed_call_drops_the_rows_made_before_the_failure(tmp_path):
    marker = 4242
    day_file(tmp_path, group("GrWord", at("01:00:00"), id=marker, values=[1]), name="2024-03-01_a.vlx")
    write_archive(tmp_path / "2024-03-01_b.vlx", [b"\x00\x00\x00\x00\x00\x00\x0d\x00"])
    with pytest.raises(ValueError):
        read_day(tmp_path, [code(marker)])
    gc.collect()
    assert not [o for o in gc.get_objects() if type(o) is list and o and type(o[0]) is tuple and o[0][-1] == marker]


OTHER_READS = {
    "scan": lambda root: zentrail.scan(root, "2024-03-01", "2024-03-01").to_numpy(),
    "scan's batches": lambda root: list(zentrail.scan(root, "2024-03-01", "2024-03-01", [5121])),
    "inventory": lambda root: zentrail.inventory(root).to_numpy(),
    "events": lambda root: zentrail.events(root, "2024-03-01", "2024-03-01").to_numpy(),
    "overview": lambda root: zentrail.scan(root, "2024-03-01", "2024-03-01").overview(3).to_numpy(),
    "align": lambda root: zentrail.scan(root, "2024-03-01", "2024-03-01", [5121]).align("1h").to_numpy(),
    "follow": lambda root: zentrail.follow(root, start="2024-03-01").poll(),
}


# A follower takes a file it cannot open for one cut back (its own error).
@pytest.mark.parametrize("read, damage", [(read, damage) for read in OTHER_READS
                                          for damage in ("malformed", "cannot be opened")
                                          if (read, damage) != ("follow", "cannot be opened")])
def test_every_other_read_names_the_file_and_byte_in_its_message(tmp_path, read, damage):
    # A log that keeps str(error) alone (logging drops notes) still says where.
    bad = tmp_path / "2024-03-01_b.vlx"
    if damage == "malformed":
        write_archive(bad, [archive(date_mark(DAY), GOOD, bytes.fromhex("0000 00000000 0D 00"), END)])
        error, said = ValueError, f"Error occured while reading file. (archive file {str(bad)!r}, malformed record " \
                                  f"at byte 20)"
    else:
        bad.symlink_to("nowhere")
        error, said = FileNotFoundError, f"File does not exist! (archive file {str(bad)!r}: [Errno 2] No such file " \
                                         f"or directory)"
    with pytest.raises(error) as raised:
        OTHER_READS[read](tmp_path)
    assert str(raised.value) == said
    assert not getattr(raised.value, "__notes__", None)  # said once: a traceback repeats no note
