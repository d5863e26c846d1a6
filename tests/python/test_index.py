"""The index of archive files: every answer with the index absent, built,
warm, stale, torn or corrupt equals the answer without one."""

from __future__ import annotations

import multiprocessing
import os
import shutil
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zentrail
from zentrail._index import entry, identity_of, place, store
from test_property import trees, written_tree

WINDOWS = [(None, None), ("2024-03-01 00:00:00", "2024-03-04 23:59:59"), ("2024-03-02 12:00:00", None)]


@pytest.fixture(autouse=True)
def every_entry_kept(monkeypatch):
    # The trees here are small: let their entries be kept whatever their share.
    monkeypatch.setattr(store, "SHARES", {name: 1e9 for name in store.SHARES})


def answer(call):
    try:
        with warnings.catch_warnings(record=True) as told:
            warnings.simplefilter("always")
            got = call().to_numpy()
        return got, sorted(str(w.message) for w in told)
    except Exception as error:  # noqa: BLE001 - the failure itself is the answer compared
        return type(error).__name__, str(error)


def same(a, b):
    assert type(a[0]) is type(b[0])
    if isinstance(a[0], dict):
        assert a[0].keys() == b[0].keys()
        for name in a[0]:
            nan = a[0][name].dtype.kind in "fmM"
            assert np.array_equal(a[0][name], b[0][name], equal_nan=nan), name
        assert a[1] == b[1]
    else:
        assert a == b


def spoil(folder, how):
    """Every entry in `folder` torn, zeroed or flipped in one byte."""
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as file:
                data = bytearray(file.read())
            if how == "torn":
                data = data[: len(data) // 2]
            elif how == "flipped":
                data[len(data) // 3] ^= 0x40
            else:
                data = bytearray(len(data))
            with open(path, "wb") as file:
                file.write(bytes(data))


def change(root, how):
    """Every archive file appended to, rewritten at the same size (its
    times kept), or replaced by a rename."""
    for base, _, names in os.walk(root):
        for name in names:
            path = os.path.join(base, name)
            stat = os.stat(path)
            with open(path, "rb") as file:
                data = file.read()
            if how == "appended":
                data += data[:7]
            elif how == "rewritten":
                data = data[:1] + bytes(reversed(data[1:]))
            target = path + ".new" if how == "renamed" else path
            with open(target, "wb") as file:
                file.write(data)
            if how == "rewritten":
                os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
            else:
                os.replace(target, path)


@pytest.mark.slow
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(trees(), st.sampled_from(WINDOWS), st.sampled_from([None, "day", "file"]),
       st.sampled_from(["warm", "torn", "flipped", "zeroed", "appended", "rewritten", "renamed"]),
       st.sampled_from(["raise", "warn"]))
def test_an_inventory_is_the_same_with_the_index_in_any_state(tmp_path_factory, tree, window, by, state, errors):
    root = written_tree(tree[0])
    folder = str(tmp_path_factory.mktemp("index"))
    try:
        def ask(index):
            return answer(lambda: zentrail.inventory(root, *window, by=by, errors=errors, index=index))
        same(ask(False), ask(folder))  # built
        if state in ("torn", "flipped", "zeroed"):
            spoil(folder, state)
        elif state != "warm":
            change(root, state)
        same(ask(False), ask(folder))
        same(ask(False), ask(folder))  # built again, or warm
    finally:
        shutil.rmtree(root)


def _inventory_in(root, folder, queue):
    queue.put({name: column.tolist() for name, column in zentrail.inventory(root, by="day", index=folder)
               .to_numpy().items()})


def test_two_processes_build_one_index_at_once(tmp_path, sample_tree):
    folder = str(tmp_path / "index")
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    workers = [context.Process(target=_inventory_in, args=(sample_tree, folder, queue)) for _ in range(2)]
    for worker in workers:
        worker.start()
    got = [queue.get(timeout=120) for _ in workers]
    for worker in workers:
        worker.join(60)
    expected = {name: column.tolist() for name, column in
                zentrail.inventory(sample_tree, by="day", index=False).to_numpy().items()}
    assert got == [expected, expected]
    assert not [name for _, _, names in os.walk(folder) for name in names if name.endswith(".partial")]


@pytest.fixture
def sample_tree(tmp_path):
    from archive_builder import END, archive, date_mark, group, write_archive
    import datetime

    root = tmp_path / "archive"
    for day in range(6):
        date = datetime.date(2024, 3, 1) + datetime.timedelta(days=day)
        records = [group("GrFloat", t * 60_000_000_000, id=10 + t % 5, values=[float(t), 2.0]) for t in range(200)]
        write_archive(root / f"{date:%Y-%m-%d}_p.vlx", [archive(date_mark(date), *records, END)])
    return str(root)


def test_a_folder_that_cannot_be_written_leaves_reads_as_they_are_with_one_warning(tmp_path, sample_tree):
    if os.geteuid() == 0:
        folder = "/proc/zentrail-index"  # not even root writes there
    else:
        folder = str(tmp_path / "locked")
        os.makedirs(folder)
        os.chmod(folder, 0o500)
    store._told.clear()
    with pytest.warns(store.IndexWarning, match="cannot be written") as told:
        first = zentrail.inventory(sample_tree, by="day", index=folder).to_numpy()
        second = zentrail.inventory(sample_tree, by="day", index=folder).to_numpy()
    assert len(told) == 1
    expected = zentrail.inventory(sample_tree, by="day", index=False).to_numpy()
    for name in expected:
        assert np.array_equal(first[name], expected[name]) and np.array_equal(second[name], expected[name])


def test_the_index_is_kept_outside_the_archive(sample_tree, monkeypatch, tmp_path):
    with pytest.raises(ValueError, match="inside the archive"):
        zentrail.inventory(sample_tree, index=os.path.join(sample_tree, ".cache"))
    monkeypatch.setenv(place.ENVIRONMENT, "off")
    assert place.folder_of(None) is None
    monkeypatch.setenv(place.ENVIRONMENT, str(tmp_path / "elsewhere"))
    assert place.folder_of(None) == str(tmp_path / "elsewhere")
    zentrail.inventory(sample_tree)
    assert os.listdir(tmp_path / "elsewhere")


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=64), st.integers(0, 400), st.integers(0, 255))
def test_an_entry_damaged_anywhere_is_never_taken(tail, at, byte):
    identity = identity_of(__file__)
    part = {"a": np.arange(5, dtype=np.int64), "b": np.array([1.5], dtype=np.float64)}
    data = bytearray(entry.encode(identity, "Europe/Berlin", "s", 1, part))
    whole = entry.decode(bytes(data), identity, "Europe/Berlin", "s", 1)
    assert whole is not None and whole["a"].tolist() == [0, 1, 2, 3, 4]
    assert entry.decode(bytes(data), identity, "", "s", 1) is None  # read another way
    if at < len(data) and data[at] != byte:
        data[at] = byte
        assert entry.decode(bytes(data), identity, "Europe/Berlin", "s", 1) is None
    assert entry.decode(bytes(data[:at]) + tail, identity, "Europe/Berlin", "s", 1) in (None,) or at >= len(data)


@pytest.mark.slow
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(trees(), st.sampled_from(["2024-03-02 12:00:00", "2024-03-04 00:00:00", "2024-03-05 06:00:00"]),
       st.sampled_from(["step", "linear", None]), st.sampled_from([None, "1d", "3d"]), st.booleans(),
       st.sampled_from([None, "Europe/Berlin"]))
def test_a_series_starts_from_the_index_as_from_the_files(tmp_path_factory, tree, start, how, lookback, given, tz):
    files, _, _, codes = tree
    root = written_tree(files)
    folder = str(tmp_path_factory.mktemp("index"))
    try:
        signals = sorted({c for c in codes if 0 <= c < 65536 * 1024}) if given and codes else None

        def ask(index):
            def grid():
                scan = zentrail.scan(root, start, "2024-03-05 23:59:59", signals, tz=tz, index=index)
                return scan.align("6h", how=how, lookback=lookback)
            def weighted():
                scan = zentrail.scan(root, start, "2024-03-05 23:59:59", signals, tz=tz, index=index)
                return scan.overview(every="12h", time_weighted=True)
            return answer(grid), answer(weighted)
        expected = ask(False)
        built = answer(lambda: zentrail.build_index(root, index=folder, tz=tz))
        for got, want in zip(ask(folder), expected):
            same(got, want)
        del built
    finally:
        shutil.rmtree(root)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.text(max_size=8), st.binary(max_size=40), max_size=4), st.integers(0, 200),
       st.binary(max_size=16))
def test_a_pack_cut_anywhere_keeps_the_entries_before_the_cut(entries, cut, tail):
    data = store.packed(entries)
    assert store.unpacked(data) == entries
    store.unpacked(data[:cut] + tail)  # never raises (each entry has its own digest to fail)
    assert all(entries[name] == body for name, body in store.unpacked(data[:cut]).items())


def test_the_command_builds_checks_and_clears_and_no_index_reads_without(sample_tree, tmp_path, capsys):
    from zentrail.cli import main

    folder = str(tmp_path / "index")
    store.SHARES.update(inventory=1.0, in_force=1.0)
    assert main(["index", sample_tree, "--index", folder]) == 0
    assert "inventory: 6 fresh" in capsys.readouterr().out
    assert main(["index", sample_tree, "--index", folder, "--clear"]) == 0
    assert main(["index", sample_tree, "--index", folder, "--check"]) == 0
    assert "inventory: 0 fresh, 0 too large to keep, 6 missing" in capsys.readouterr().out
    os.environ["ZENTRAIL_INDEX"], before = folder, os.environ["ZENTRAIL_INDEX"]
    try:
        assert main(["ls", sample_tree, "--csv", "--no-index"]) == 0
        assert os.environ["ZENTRAIL_INDEX"] == folder  # put back after the command
        assert main(["index", sample_tree, "--check"]) == 0
        assert "6 missing" in capsys.readouterr().out  # nothing kept by the ls
    finally:
        os.environ["ZENTRAIL_INDEX"] = before


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(trees(), st.sampled_from(["2024-03-01 12:00:00", "2024-03-02 00:00:00", "2024-03-03 23:00:00"]),
       st.booleans())
def test_a_series_reads_no_heads_of_the_last_files_the_index_puts_after_its_start(tmp_path_factory, tree, start, given):
    files, _, _, codes = tree
    root = written_tree(files)
    folder = str(tmp_path_factory.mktemp("index"))
    end = "2024-03-05 23:59:59"
    try:
        signals = sorted({c for c in codes if 0 <= c < 65536 * 1024}) if given and codes else None

        def ask(index):
            totals = []
            scan = zentrail.scan(root, start, end, signals, index=index, progress=lambda done, total: totals.append(total))
            grid = answer(lambda: scan.align("6h"))
            return grid, answer(lambda: scan.overview(every="12h", time_weighted=True)), max(totals, default=0)
        *expected, total = ask(False)
        # The counts alone (no rows in force kept): every file is still read.
        answer(lambda: zentrail.inventory(root, by="file", index=folder))
        *got, total_with = ask(folder)
        for one, other in zip(got, expected):
            same(one, other)
        # The files whose heads go unread: the run at the end of the read
        # order whose records all lie after the start, up to the end.
        try:
            spans = zentrail.inventory(root, by="file", index=False).to_numpy()
        except (OSError, ValueError):
            spans = {"file": np.array([]), "first": np.array([]), "last": np.array([])}
        first, last = np.datetime64(start, "ns"), np.datetime64(end, "ns")
        skipped = 0
        for name in reversed(zentrail.find_files(root, "2000-01-01", end)):
            mine = spans["file"] == name
            if not mine.any() or spans["first"][mine].min() <= first or spans["last"][mine].max() > last:
                break
            skipped += os.path.getsize(name)
        if isinstance(expected[0][0], dict):
            assert total - total_with == skipped
    finally:
        shutil.rmtree(root)
