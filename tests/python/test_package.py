"""The package as a user and a type checker meet it: the names it exports,
read's own module text, and stubs that mypy uses from site-packages."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import zentrail


def test_read_is_the_compiled_call_with_its_texts():
    assert zentrail.__doc__ == "Python interface for the zentrail C++ library function"
    assert zentrail.read.__doc__ == "Python interface for zentrail C++ library function"
    assert zentrail.read is zentrail._core.read
    for name in zentrail.__all__:
        assert hasattr(zentrail, name)


def run_mypy(*args, cwd=None):
    pytest.importorskip("mypy")
    # Away from the source tree, so that mypy finds the installed package.
    return subprocess.run([sys.executable, "-m", "mypy", *args], capture_output=True, text=True,
                          cwd=cwd or os.path.expanduser("~"))


def test_stubtest_finds_stubs_that_match_the_package():
    pytest.importorskip("mypy")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zentrail"], capture_output=True, text=True,
                          cwd=os.path.expanduser("~"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_typed_script_type_checks(tmp_path):
    script = tmp_path / "typed.py"
    script.write_text(textwrap.dedent("""
        import datetime
        import zentrail

        rows: list[zentrail.Row] = zentrail.read("/data", "2024-03-01 00:00:00", "2024-03-01 23:59:59", [5120])
        year: int = rows[0][0]
        scan: zentrail.Scan = zentrail.scan("/data", datetime.date(2024, 3, 1), "2024-03-02", range(5120, 5123),
                                            threads=2, progress=True)
        for batch in scan:
            batch["time"]
        paths: list[str] = zentrail.find_files("/data", "2024-03-01", "2024-03-02")
        zentrail.scan_files(paths, "2024-03-01", "2024-03-02", [1]).to_numpy()
    """))
    done = run_mypy("--strict", "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}", str(script),
                    cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    bad = tmp_path / "bad.py"
    bad.write_text("import zentrail\nzentrail.read('/data', 1, 2, [3])\n")
    assert "arg-type" in run_mypy(str(bad), cwd=tmp_path).stdout
