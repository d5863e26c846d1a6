"""Archives elsewhere: the same trees read from a folder, from memory://, from
a zip file and from an S3-compatible server (moto's, started here) give the
same rows, inventories, events and failures; a file that cannot be fetched
fails as a local one does, naming its URL; no credential shows."""

from __future__ import annotations

import errno
import os
import socket
import zipfile
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings

fsspec = pytest.importorskip("fsspec")
from fsspec.implementations.memory import MemoryFile, MemoryFileSystem  # noqa: E402

import zentrail
from conftest import may_find_no_row
from test_property import trees, written_tree

SECRET = "zentrail-s3cr3t-Value"


def lay_out(files, kind, tmp, s3=None):
    """The root of `files` (relative name -> bytes) laid out as `kind`."""
    if kind == "local":
        return written_tree(files)
    if kind == "memory":
        root = f"memory://tree-{next(_serial)}"
        memory = fsspec.filesystem("memory")
        memory.mkdir(root)
        for name, data in files.items():
            memory.pipe(f"{root}/{name}", data)
        return root
    if kind in ("zip", "zip-deflated"):
        path = os.path.join(tmp, f"tree-{next(_serial)}.zip")
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED if kind == "zip-deflated" else zipfile.ZIP_STORED) as archive:
            for name, data in files.items():
                archive.writestr(name, data)
        return path
    root = f"s3://plant/tree-{next(_serial)}"
    for name, data in files.items():
        s3.pipe(f"{root}/{name}", data)
    return root


_serial = iter(range(10 ** 9))


def _sample_files():
    root = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "sample-archive")
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root)] = Path(path).read_bytes()
    return files


def outcome(call, root):
    """What a call gives: its columns, or its failure's kind, errno and notes
    (the root's own name written ROOT)."""
    try:
        result = call()
    except (OSError, ValueError) as error:
        notes = [note.replace(root, "ROOT") for note in getattr(error, "__notes__", [])]
        return type(error), getattr(error, "errno", None), notes
    if isinstance(result, list):
        return [name.replace(root, "ROOT") for name in result]
    return {name: np.asarray(column) for name, column in result.items()}


def consumers(root, start, end, codes, options):
    kw = {} if options is None else {"storage_options": options}
    return {
        "find_files": lambda: zentrail.find_files(root, start, end, **kw),
        "scan": lambda: zentrail.scan(root, start, end, codes, **kw).to_numpy(),
        "every code": lambda: zentrail.scan(root, start, end, None, threads=3, **kw).to_numpy(),
        "inventory": lambda: zentrail.inventory(root, start, end, by="day", **kw).to_numpy(),
        "events": lambda: zentrail.events(root, start, end, **kw).to_numpy(),
    }


def assert_same(got, expected):
    if isinstance(expected, dict):
        assert got.keys() == expected.keys()
        for name in expected:
            np.testing.assert_array_equal(got[name], expected[name], err_msg=name)
    else:
        assert got == expected


def local_name(root, kind):
    """How a file's name starts under a root of `kind`: a URL's names are full URLs."""
    return root.replace("memory://", "memory:///") if kind == "memory" else root


@pytest.mark.slow
@may_find_no_row
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.function_scoped_fixture])
@given(tree=trees())
@pytest.mark.parametrize("kind", ["memory", "zip", "zip-deflated"])
def test_a_tree_elsewhere_reads_as_the_local_tree(tmp_path, kind, tree):
    files, start, end, codes = tree
    codes = [c for c in codes if 0 <= c <= zentrail._base.arguments.MAX_CODE] or None
    local = lay_out(files, "local", tmp_path)
    there = lay_out(files, kind, tmp_path)
    for name, call in consumers(there, start, end, codes, None).items():
        expected = outcome(consumers(local, start, end, codes, None)[name], local)
        assert_same(outcome(call, local_name(there, kind)), expected)


@pytest.fixture(scope="module")
def s3():
    """An S3-compatible server on this machine (moto's), its bucket "plant",
    and an s3fs file system on it with a secret that must show nowhere."""
    server_module = pytest.importorskip("moto.server")
    s3fs = pytest.importorskip("s3fs")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = server_module.ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    options = {"key": "zentrail-test", "secret": SECRET,
               "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}", "region_name": "eu-west-1"}}
    fs = s3fs.S3FileSystem(**options)
    fs.mkdir("plant")
    yield fs, options
    server.stop()


@pytest.mark.slow
@may_find_no_row
@settings(max_examples=2, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                  HealthCheck.function_scoped_fixture])
@given(tree=trees())
@example(tree=(_sample_files(), "2024-03-01", "2024-03-03", [7 * 1024 + i for i in range(4)] + [12 * 1024]))
def test_a_tree_on_object_storage_reads_as_the_local_tree(s3, tmp_path, tree):
    fs, options = s3
    files, start, end, codes = tree
    codes = [c for c in codes if 0 <= c <= zentrail._base.arguments.MAX_CODE] or None
    local = lay_out(files, "local", tmp_path)
    there = lay_out(files, "s3", tmp_path, fs)
    for name, call in consumers(there, start, end, codes, options).items():
        expected = outcome(consumers(local, start, end, codes, None)[name], local)
        assert_same(outcome(call, there), expected)


@pytest.mark.slow
def test_failures_name_the_url_and_never_a_credential(s3, caplog, tmp_path):
    fs, options = s3
    root = lay_out(_sample_files(), "s3", tmp_path, fs)
    url = f"{root}/2024/03/2024-03-09_gone.vlx"
    scan = zentrail.scan_files([url], "2024-03-01", "2024-03-10", [7 * 1024], storage_options=options)
    with pytest.raises(FileNotFoundError) as vanished:  # as a missing local file fails
        scan.to_numpy()
    assert str(vanished.value) == f"File does not exist! (archive file {url!r}: [Errno 2] No such file or directory)"
    with pytest.raises(OSError) as refused:  # as a missing root folder fails
        zentrail.scan("s3://no-such-bucket/plant", "2024-03-01", "2024-03-03", [7 * 1024],
                      storage_options=options).to_numpy()
    assert refused.value.errno == errno.ENOENT
    shown = [str(vanished.value), repr(scan), str(refused.value), *getattr(refused.value, "__notes__", []),
             caplog.text]
    assert not [text for text in shown if SECRET in text]


class _FailingFile(MemoryFile):
    def read(self, length=-1):
        if self.tell() >= 100:
            raise OSError(errno.EIO, "connection reset while reading")
        return super().read(min(length, 100 - self.tell()) if length and length > 0 else 100 - self.tell())


class _FailingFileSystem(MemoryFileSystem):
    protocol = "failing"
    store = {}
    pseudo_dirs = [""]

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(path.replace("failing://", "memory://", 1))

    def _open(self, path, mode="rb", **kwargs):
        return _FailingFile(self, path, super()._open(path, mode, **kwargs).getvalue())


def test_a_read_failing_midway_fails_as_a_local_read_error(tmp_path):
    fsspec.register_implementation("failing", _FailingFileSystem, clobber=True)
    data = Path(_sample_dir(), "2024", "03", "2024-03-01_plant.vlx").read_bytes()
    fs = fsspec.filesystem("failing")
    fs.pipe("/plant/2024-03-01_a.vlx", data)
    with pytest.raises(OSError) as failed:
        zentrail.scan("failing://plant", "2024-03-01", "2024-03-01", [7 * 1024]).to_numpy()
    assert failed.value.errno == errno.EIO
    assert str(failed.value).endswith("(archive file 'failing:///plant/2024-03-01_a.vlx', read failed at byte 100)")


def _sample_dir():
    return os.path.join(os.path.dirname(__file__), "..", "..", "examples", "sample-archive")


@pytest.mark.parametrize("root", ["memory://nowhere", "zip-but-not.zip"])
def test_a_missing_root_fails_as_a_missing_folder(root, tmp_path):
    with pytest.raises(OSError) as failed:
        zentrail.scan(str(tmp_path / root) if "://" not in root else root, "2024-03-01", "2024-03-02").to_numpy()
    assert failed.value.errno == errno.ENOENT


def test_a_file_listed_twice_is_read_twice_as_locally(tmp_path):
    local = os.path.join(_sample_dir(), "2024", "03", "2024-03-01_plant.vlx")
    fsspec.filesystem("memory").pipe("/twice/2024-03-01_a.vlx", Path(local).read_bytes())
    window = ("2024-03-01", "2024-03-01", [7 * 1024])
    there = zentrail.scan_files(["memory:///twice/2024-03-01_a.vlx"] * 2, *window, threads=1).to_numpy()
    here = zentrail.scan_files([local] * 2, *window).to_numpy()
    assert_same(there, here)


def test_local_paths_take_no_storage_options(tmp_path):
    with pytest.raises(ValueError, match="storage_options is for"):
        zentrail.scan(tmp_path, "2024-03-01", "2024-03-02", storage_options={"key": "k"})


@pytest.mark.parametrize("series", [lambda scan: scan.align("10min", lookback="1d"),
                                    lambda scan: scan.overview(12, time_weighted=True)],
                         ids=["align", "time-weighted overview"])
def test_the_time_series_of_a_tree_elsewhere_are_those_of_the_local_tree(tmp_path, series, monkeypatch):
    import glob
    import tempfile

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    memory = fsspec.filesystem("memory")
    for path in glob.glob(os.path.join(_sample_dir(), "**", "*.vlx"), recursive=True):
        memory.pipe("/series/" + os.path.relpath(path, _sample_dir()), Path(path).read_bytes())
    window = ("2024-03-01 06:00", "2024-03-02 18:00")
    # The files alone went elsewhere, not the local root's catalog of names.
    here = series(zentrail.scan(_sample_dir(), *window, catalog=False)).to_numpy()
    there = series(zentrail.scan("memory://series", *window)).to_numpy()
    assert_same(there, here)
    # The copies the reads took the files from are gone with them.
    assert not glob.glob(str(tmp_path / "zentrail-series-*"))


def test_a_damaged_file_elsewhere_is_named_by_its_url_in_a_time_series(tmp_path):
    # The series read the files from local copies: a failure in one still
    # names the file the user gave, not the copy.
    from test_damaged_files import WINDOW, tree

    damaged, offset = tree(tmp_path, 3)
    memory = fsspec.filesystem("memory")
    for path in tmp_path.iterdir():
        memory.pipe(f"/damaged-series/{path.name}", path.read_bytes())
    with pytest.raises(ValueError) as failed:
        zentrail.scan("memory://damaged-series", *WINDOW).align("1h").to_numpy()
    url = f"memory:///damaged-series/{os.path.basename(damaged)}"
    assert str(failed.value).endswith(f"(archive file {url!r}, malformed record at byte {offset})")


@pytest.mark.parametrize("kind", ["memory", "zip"])
def test_a_root_elsewhere_names_its_signals_by_the_catalog_it_holds(tmp_path, kind):
    files = _sample_files()
    here, there = lay_out(files, "local", tmp_path), lay_out(files, kind, tmp_path)
    window = ("2024-03-01", "2024-03-01", ["Tank1.*", "Furnace1.Zone1.Temp"])
    assert_same(zentrail.scan(there, *window).select("time", "name").to_numpy(),
                zentrail.scan(here, *window).select("time", "name").to_numpy())
    assert zentrail.inventory(there).catalog.to_records() == zentrail.inventory(here).catalog.to_records()
    files["zentrail-catalog.csv"] = b"signal_id,name\n5,A\n6,A\n"
    with pytest.raises(ValueError, match=r"^\S+zentrail-catalog\.csv, line 3, field 'name'") as failed:
        zentrail.scan(lay_out(files, kind, tmp_path), *window)
    assert "zentrail-catalog-" not in str(failed.value)  # not the copy it was parsed from


def test_a_request_elsewhere_lists_and_fetches_nothing_until_its_read_begins():
    import threading

    plan = zentrail.scan("memory://later", "2024-03-01", "2024-03-01", [7 * 1024], threads=1).plan
    request = plan.request()  # the archive is not there yet: listing it now would fail
    assert not any(thread.name.startswith("zentrail-fetch") for thread in threading.enumerate())
    local = os.path.join(_sample_dir(), "2024", "03", "2024-03-01_plant.vlx")
    with open(local, "rb") as sample:
        fsspec.filesystem("memory").pipe("/later/2024-03-01_a.vlx", sample.read())
    assert_same(zentrail._core.to_numpy(request), zentrail.scan(_sample_dir(), "2024-03-01", "2024-03-01",
                                                                [7 * 1024]).to_numpy())


def test_a_zip_file_whose_directory_is_gone_is_a_clear_error(tmp_path):
    import subprocess
    import sys

    path = tmp_path / "broken.zip"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("2024-03-01_a.vlx", b"\0" * 64)
    data = bytearray(path.read_bytes())
    directory = data.rfind(b"PK\x01\x02")
    data[directory:] = bytes(len(data) - directory)
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="broken.zip' is not a readable zip file"):
        zentrail.scan(str(path), "2024-03-01", "2024-03-01").to_numpy()
    done = subprocess.run([sys.executable, "-m", "zentrail.cli", "ls", str(path)], capture_output=True, text=True)
    assert done.returncode == 1 and "is not a readable zip file" in done.stderr and "Traceback" not in done.stderr
