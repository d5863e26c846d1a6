"""The zentrail-dump command: one text line per record of the archive files
it is given or finds, and its exit status and messages."""

import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import archive_format as fmt
import pytest
from archive_builder import alarm, at, group, string_alarm, system, write_archive
from conftest import day_file, default_sigint

DUMP = next((str(p) for p in [Path(sys.executable).parent / "zentrail-dump"] if p.exists()),
            shutil.which("zentrail-dump"))
pytestmark = pytest.mark.skipif(DUMP is None, reason="zentrail-dump is not installed")
T = at("12:00:00")


def dump(*args):
    return subprocess.run([DUMP, *map(str, args)], capture_output=True, text=True)


@pytest.mark.parametrize("record, line", [
    (group("GrWord", T, id=5, values=[10, 20, 30]), ",,GrWord,,,5,10,20,30"),
    (group("GrWord", T, id=5, values=[10, 20, 30], subtype=2), ",,GrWord,2,,5,10,20,30"),
    (system(T, subtype=1, param=54), ",,System,Executive events,BlockWarning,0,"),
    (alarm("AlByte", T, id=300, value=7, subtype="Hi", param=1), ",,AlByte,Hi,1,300,7"),
    (alarm("AlByte", T, id=300, value=7, subtype="Hi", param=2), ",,AlByte,Hi,2,300,7,7"),
    (alarm("AlByte", T, id=300, value=7, subtype="Hi", param=0), ",,AlByte,Hi,0,300,"),
    (alarm("AlBool", T, id=8, subtype="H->L", param=1), ",,AlBool,H->L,1,8,"),
    (alarm("AlAckn", T, id=7, subtype=1, param=2), ",,AlAckn,Hi/H,2,7,"),
    (string_alarm(T, id=12, text="skipped"), ",,AlString,Norm,1,12,,"),
    (group("GrBool", T, id=9, values=[1, 0, 1]), ",,GrBool,,,9,on,off,on"),
    (group("GrFloat", T, id=4, values=[1.5, -0.25]), ",,GrFloat,,,4,1.500000,-0.250000"),
    (group("GrByte", T, id=5, values=[]), ",,GrByte,,,5,"),
    (group("GrTime", T, id=6, values=[1.0, 2.0]), ",,GrTime,,,6,,"),
])
def test_line_of_each_record(tmp_path, record, line):
    done = dump(day_file(tmp_path, record, record))
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{line}\n{line}\n", "")


def _record_of(record_class, subtype):
    if record_class.kind == fmt.SYSTEM:
        return system(T, subtype=subtype)
    if record_class.kind == fmt.STRING_ALARM:
        return string_alarm(T, id=1, subtype=subtype)
    if record_class.kind == fmt.ALARM:
        return alarm(record_class.name, T, id=1, subtype=subtype)
    return group(record_class.name, T, id=1, values=[], subtype=subtype)


def test_the_format_tables_name_and_size_every_class_as_the_core_does(tmp_path):
    """One record of every valid class and subtype, then system events of
    every second byte: a payload size that differed would shift every later
    line."""
    cases = [(c, s) for c in fmt.RECORD_CLASSES if c.kind != fmt.RESERVED for s in range(8)]
    params = range(80)
    path = day_file(tmp_path, *(_record_of(c, s) for c, s in cases), *(system(T, param=p) for p in params))
    lines = [line.split(",") for line in dump(path).stdout.splitlines()]
    assert [fields[2:4] for fields in lines[:len(cases)]] == [
        [c.name, c.subtype_names[min(s, len(c.subtype_names) - 1)] if c.subtype_names else str(s or "")]
        for c, s in cases]
    assert [fields[4] for fields in lines[len(cases):]] == [
        fmt.LOG_MODULE_DESCR_ARR[p % 10 if p % 10 < 7 else 0] + fmt.LOG_LEVEL_DESCR_ARR[p // 10 if p < 70 else 0]
        for p in params]


@pytest.mark.parametrize("signals, ids", [
    ([], [5, 7, 0, 5]),              # the System row carries no id
    ([5121], [5, 5]),
    ([7168], [7, 0]),                # the System item goes with the id before it
    ([7168, 5120], [5, 7, 0, 5]),
    ([1024], []),
    ([1024] * 256 + [5120], [5, 5]),  # every --signal counts, past the 256th too
])
def test_signal_option_selects_by_id(tmp_path, signals, ids):
    path = day_file(tmp_path, group("GrWord", T, id=5, values=[1]), alarm("AlByte", T, id=7, value=2),
                    system(T), group("GrWord", T, id=5, values=[3]))
    done = dump(*[arg for s in signals for arg in ("--signal", s)], path)
    assert done.returncode == 0
    assert [int(line.split(",")[5]) for line in done.stdout.splitlines()] == ids


def test_files_are_read_in_the_order_given(tmp_path):
    first = day_file(tmp_path, group("GrWord", T, id=1, values=[1]), name="2024-03-01_z.vlx")
    second = day_file(tmp_path, group("GrWord", T, id=2, values=[2]), name="2024-03-01_a.vlx")
    assert dump(first, second).stdout == ",,GrWord,,,1,1\n,,GrWord,,,2,2\n"


def test_window_finds_files_by_day_and_reads_them_in_path_order(tmp_path):
    for name, value in [("b/2024-03-01_x.vlx", 3), ("a/2024-03-02_x.vlx", 2), ("a/2024-02-29_x.vlx", 9),
                        ("a-1/2024-03-01_x.vlx", 0), ("a/2024-03-01_y.vlx", 1), ("2024-03-03_x.vlx", 9)]:
        write_archive(tmp_path / name, [group("GrWord", T, id=1, values=[value])])
    done = dump("--root", tmp_path, "--from", "2024-03-01 00:00:00", "--to", "2024-03-02 23:59:59")
    assert (done.returncode, done.stdout) == (0, "".join(f",,GrWord,,,1,{v}\n" for v in range(4)))


@pytest.mark.parametrize("start, end", [("2024-03-02", "2024-03-02"), ("2024-03-02T00:00", "2024-03-02 12:00:00.5")])
def test_window_takes_the_files_of_the_bounds_days_however_written(tmp_path, start, end):
    for day, value in [("01", 1), ("02", 2), ("03", 3)]:
        write_archive(tmp_path / f"2024-03-{day}_x.vlx", [group("GrWord", T, id=1, values=[value])])
    done = dump("--root", tmp_path, "--from", start, "--to", end)
    assert (done.returncode, done.stdout) == (0, ",,GrWord,,,1,2\n")


def test_missing_file_stops_after_the_earlier_files(tmp_path):
    good = day_file(tmp_path, group("GrWord", T, id=1, values=[1]))
    done = dump(good, tmp_path / "2024-03-01_gone.vlx", good)
    assert done.returncode != 0
    assert done.stdout == ",,GrWord,,,1,1\n"
    assert "File does not exist!" in done.stderr and "2024-03-01_gone.vlx" in done.stderr


def test_malformed_file_prints_the_error_line_then_fails(tmp_path):
    bad = day_file(tmp_path, group("GrWord", T, id=1, values=[1]), b"\x00\x00\x00\x00\x00\x00\x0e\x00",
                   group("GrWord", T, id=1, values=[2]))
    done = dump(bad)
    assert done.returncode != 0
    assert done.stdout == ",,GrWord,,,1,1\n,,System,Archive events,BlockUnknown,0,\n"
    assert "Error occured while reading file." in done.stderr and str(bad) in done.stderr


@pytest.mark.parametrize("args, status, stream, text", [
    (["--help"], 0, "stdout", "usage: zentrail-dump"),
    (["-h"], 0, "stdout", "--signal CODE"),
    ([], 2, "stderr", "no archive files given"),
    (["--bogus", "x.vlx"], 2, "stderr", "unknown option --bogus"),
    (["--signal", "five", "x.vlx"], 2, "stderr", "--signal takes a whole number"),
    (["--signal"], 2, "stderr", "--signal needs a value"),
    (["--root", "."], 2, "stderr", "go together"),
    (["--root", "/nonexistent", "--from", "2024-01-01", "--to", "2025-12-31"], 1, "stderr", "No such file or directory"),
    (["--root", ".", "--from", "2024", "--to", "2025-12-31"], 2, "stderr", '--from "2024" is not a date and time'),
    (["--root", ".", "--from", "2024-03-01", "--to", "2024-02-30"], 2, "stderr", '--to "2024-02-30" is not'),
])
def test_usage(args, status, stream, text):
    done = dump(*args)
    assert done.returncode == status and text in getattr(done, stream)


def test_a_named_directory_reads_as_empty_with_a_warning(tmp_path):
    good = day_file(tmp_path, group("GrWord", T, id=1, values=[1]))
    done = dump(tmp_path, good)
    assert (done.returncode, done.stdout) == (0, ",,GrWord,,,1,1\n")
    assert f"{tmp_path}: not a regular file, read as empty" in done.stderr


BIG = [group("GrWord", T, id=1, values=[n % 1000]) for n in range(200_000)]  # some 3 MB of lines


@pytest.mark.parametrize("sigpipe", [signal.SIG_DFL, signal.SIG_IGN])
def test_a_closed_pipe_stops_the_dump_at_once(tmp_path, sigpipe):
    path = day_file(tmp_path, *BIG)
    reader = subprocess.Popen(["head", "-c", "10"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    dumper = subprocess.Popen([DUMP, path], stdout=reader.stdin, stderr=subprocess.PIPE, text=True,
                              preexec_fn=lambda: signal.signal(signal.SIGPIPE, sigpipe))
    reader.stdin.close()
    reader.wait()
    stderr = dumper.communicate(timeout=60)[1]
    if sigpipe == signal.SIG_DFL:
        assert dumper.returncode == -signal.SIGPIPE
    else:
        assert dumper.returncode == 1 and "cannot write the output: Broken pipe" in stderr


def test_a_full_disk_fails_the_dump(tmp_path):
    path = day_file(tmp_path, group("GrWord", T, id=1, values=[1]))
    with open("/dev/full", "w") as full:
        done = subprocess.run([DUMP, path], stdout=full, stderr=subprocess.PIPE, text=True)
    assert done.returncode == 1 and "cannot write the output: No space left on device" in done.stderr


def test_sigint_ends_the_dump_at_once(tmp_path):
    path = day_file(tmp_path, *BIG)
    dumper = subprocess.Popen([DUMP, *[path] * 50], stdout=subprocess.DEVNULL, preexec_fn=default_sigint)
    time.sleep(0.3)
    dumper.send_signal(signal.SIGINT)
    assert dumper.wait(timeout=10) == -signal.SIGINT


def test_out_of_memory_is_an_error_not_an_abort(tmp_path):
    # Below some address-space limit the process cannot even start (the
    # loader or the C++ runtime fails before the dump runs); from the least
    # limit at which a dump of nothing succeeds, a dump of a file needs a
    # little more: in between an allocation fails, which must end the dump
    # with its message, never an abort.
    empty = tmp_path / "empty"
    empty.mkdir()
    day_file(tmp_path / "files", *[group("GrWord", T, id=1, values=[n % 1000]) for n in range(20_000)])

    def dump(root, kib):
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (kib << 10, resource.RLIM_INFINITY))
        return subprocess.run([DUMP, "--root", root, "--from", "2024-03-01", "--to", "2024-03-01"],
                              capture_output=True, text=True, preexec_fn=limit)

    low, started = 1 << 10, 64 << 10  # the dump of nothing fails at low and succeeds at started
    while started - low > 16:
        middle = (low + started) // 2
        low, started = (low, middle) if dump(empty, middle).returncode == 0 else (middle, started)
    outcomes = set()
    for kib in range(started, started + (2 << 10), 16):
        done = dump(tmp_path / "files", kib)
        outcomes.add((done.returncode, done.stderr))
    assert outcomes <= {(1, "zentrail-dump: out of memory\n"), (0, "")}
    assert (1, "zentrail-dump: out of memory\n") in outcomes
