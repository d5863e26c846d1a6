"""A local zip file's members are read where they lie, stored or deflated:
they give the rows, events and inventory of the folder they were zipped
from, and a damaged member fails (or is passed over) naming the zip file,
the member and its byte in the zip file."""

import os
import struct
import sys
import zipfile

import numpy as np
import pytest
import zentrail
from archive_builder import END, archive, date_mark, write_archive
from conftest import DAY
from test_damaged_files import records

WINDOW = ("2024-03-01", "2024-03-03")
METHODS = {"stored": zipfile.ZIP_STORED, "deflated": zipfile.ZIP_DEFLATED}


def folder(root):
    """Three day files of signals 5 and 6 under root/tree."""
    for day in (1, 2, 3):
        body = records(day, 5) + records(day + 10, 6)
        path = root / "tree" / "2024" / f"2024-03-0{day}_a.vlx"
        path.parent.mkdir(parents=True, exist_ok=True)
        write_archive(path, [archive(date_mark(DAY.replace(day=day)), *body, END)])
    return root / "tree"


def zipped(tree, path, method):
    with zipfile.ZipFile(path, "w", method) as archive_file:
        for file in sorted(tree.rglob("*.vlx")):
            archive_file.write(file, file.relative_to(tree).as_posix())
    return str(path)


READS = {
    "scan": lambda root: zentrail.scan(root, *WINDOW, [5 * 1024]).to_numpy(),
    "every code, 3 threads": lambda root: zentrail.scan(root, *WINDOW, threads=3, batch_rows=7).to_numpy(),
    "events": lambda root: zentrail.events(root, *WINDOW).to_numpy(),
    "inventory": lambda root: zentrail.inventory(root, *WINDOW, by="day").to_numpy(),
    "overview": lambda root: zentrail.scan(root, *WINDOW).overview(5).to_numpy(),
    "align": lambda root: zentrail.scan(root, *WINDOW, [5 * 1024, 6 * 1024]).align("10min", lookback="1d").to_numpy(),
    "time-weighted overview": lambda root: zentrail.scan(root, *WINDOW).overview(7, time_weighted=True).to_numpy(),
}


@pytest.mark.parametrize("read", list(READS))
@pytest.mark.parametrize("method", list(METHODS))
def test_a_zip_file_reads_as_the_folder_it_was_made_of(tmp_path, method, read, monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)  # a local zip file is read without it
    # Its members are read where they lie, by the time series too: no copy.
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path / "no-copies-here"))
    tree = folder(tmp_path)
    got, expected = READS[read](zipped(tree, tmp_path / "a.zip", METHODS[method])), READS[read](str(tree))
    assert got.keys() == expected.keys()
    for name in expected:
        if name != "path":  # a member is named by the zip file, then its path in it
            np.testing.assert_array_equal(got[name], expected[name], err_msg=name)


def directory_entry(data, member):
    """The byte of `member`'s entry in the zip file's directory."""
    at = data.index(b"PK\x01\x02")
    while data[at + 46:at + 46 + struct.unpack_from("<H", data, at + 28)[0]] != member.encode():
        at = data.index(b"PK\x01\x02", at + 4)
    return at


def damage(path, how):
    """Damages the second day's member as `how` says; returns the byte in
    the zip file an error names and the reason it gives."""
    member = "2024/2024-03-02_a.vlx"
    with zipfile.ZipFile(path) as archive_file:
        info = archive_file.getinfo(member)
    with open(path, "rb") as file:
        data = bytearray(file.read())
    entry = directory_entry(data, member)
    data_at = info.header_offset + 30 + len(member.encode()) + len(info.extra)
    if how == "CRC":
        struct.pack_into("<I", data, entry + 16, info.CRC ^ 1)
        found = (data_at, "zip member's CRC does not match its bytes")
    elif how == "cut short":
        struct.pack_into("<I", data, entry + 20, info.compress_size // 2)
        found = (data_at + info.compress_size // 2, "zip member is cut short")
    elif how == "local header":
        data[info.header_offset] ^= 0xFF
        found = (info.header_offset, "zip member without its local header")
    else:  # another method, in both headers
        struct.pack_into("<H", data, entry + 10, 12)
        struct.pack_into("<H", data, info.header_offset + 8, 12)
        found = (info.header_offset, "zip member is compressed by a method other than stored or deflated")
    with open(path, "wb") as file:
        file.write(data)
    return f"{path}/{member}", found


@pytest.mark.parametrize("how, method", [("CRC", "stored"), ("CRC", "deflated"), ("cut short", "deflated"),
                                         ("local header", "stored"), ("method", "deflated")])
def test_a_damaged_member_is_named_with_its_byte_in_the_zip_file(tmp_path, how, method):
    tree = folder(tmp_path)
    path = zipped(tree, tmp_path / "a.zip", METHODS[method])
    name, (offset, reason) = damage(path, how)
    with pytest.raises(ValueError) as failed:
        zentrail.scan(path, *WINDOW).to_numpy()
    assert str(failed.value).endswith(f"(archive file {name!r}, {reason} at byte {offset} of the zip file)")
    scan = zentrail.scan(path, *WINDOW, threads=2, errors="skip")
    rows = scan.to_numpy()
    assert scan.skipped == [zentrail.Skipped(name, offset, f"{reason}, in the zip file")]
    # The other days are all there, as with any damaged file passed over.
    (tree / "2024" / "2024-03-02_a.vlx").unlink()
    others = zentrail.scan(str(tree), *WINDOW).to_numpy()
    kept = np.isin(rows["time"], others["time"])
    np.testing.assert_array_equal(rows["time"][kept], others["time"])
