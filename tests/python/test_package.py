"""The package as a user and a type checker meet it: the names it exports,
read's own module text, its version, its extras, and stubs that mypy uses
from site-packages."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import textwrap
from importlib import metadata
from pathlib import Path

import pytest

import zentrail
from zentrail._base.extras import import_extra

PACKAGE = Path(zentrail.__file__).resolve().parent
PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


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


# The modules a plain install (NumPy alone) cannot import, for stubtest to
# pass over, each with why. Unused entries fail the test: take out the
# ones that come to import without their library.
NEEDS_ITS_LIBRARY = {
    # Subclasses Bokeh's and Tornado's classes; imported only by a viewer
    # that serves, once the view extra is known to be there.
    "zentrail.viewer._access": "bokeh, tornado",
}
# Modules whose imports of an optional library a type checker without it
# cannot follow; goes with their NEEDS_ITS_LIBRARY entries.
IMPORTS_ITS_LIBRARY: tuple = ()
OPTIONAL_LIBRARIES = ("pandas", "pyarrow", "polars", "bokeh", "tornado", "matplotlib", "dask", "pyspark", "fsspec",
                      "tqdm")


def plain_install(folder):
    """A virtual environment holding NumPy, mypy and this package (the tested
    one, with its compiled core, found through a .pth file) and nothing else:
    its python, or a skip when NumPy and mypy cannot be installed here."""
    venv = folder / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    # The versions of this environment, which pip's cache most likely holds.
    wanted = [f"numpy=={metadata.version('numpy')}", f"mypy=={metadata.version('mypy')}"]
    done = subprocess.run([python, "-m", "pip", "install", "-q", *wanted], capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"pip cannot install {' '.join(wanted)} here: {done.stderr.strip()[-300:]}")
    # A copy of the package alone: the folder it is installed in may hold
    # every optional library, and a source tree's src/ holds the C++ too.
    shutil.copytree(PACKAGE, folder / "site" / PACKAGE.name, ignore=shutil.ignore_patterns("__pycache__"))
    libraries = PACKAGE.parent / f"{PACKAGE.name}.libs"  # a repaired wheel's shared libraries
    if libraries.is_dir():
        shutil.copytree(libraries, folder / "site" / libraries.name)
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    Path(site, "zentrail-tested.pth").write_text(str(folder / "site") + "\n")
    return python


@pytest.mark.slow
def test_a_plain_install_type_checks_a_users_script_and_matches_its_stubs(tmp_path):
    pytest.importorskip("mypy")
    python = plain_install(tmp_path)
    env = {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "MYPYPATH")}

    def run(*args):
        return subprocess.run([python, *args], capture_output=True, text=True, env=env, cwd=tmp_path)

    found = run("-c", f"import importlib.util as u, zentrail; print([m for m in {OPTIONAL_LIBRARIES!r} "
                      "if u.find_spec(m)], zentrail.__file__)")
    assert found.returncode == 0, found.stderr
    assert found.stdout.startswith(f"[] {tmp_path / 'site'}"), found.stdout
    script = tmp_path / "user.py"
    script.write_text(textwrap.dedent("""
        import datetime
        from typing import Any, Dict, List, Optional

        import zentrail

        scan = zentrail.scan("/data", datetime.date(2024, 3, 1), "2024-03-02", ["Furnace1.*", 5120], errors="warn")
        columns: Dict[str, Any] = scan.where(signal_ids=[5]).limit(10).to_numpy()
        plan: zentrail.ReadPlan = scan.plan
        again = zentrail.Scan(plan.resized(1000))
        grid = again.align("1min", how="linear").to_numpy()
        overview = scan.overview(800).to_numpy()
        said: List[str] = [str(skipped) for skipped in scan.skipped]
        inventory = zentrail.inventory("/data", by="day")
        names: List[Optional[str]] = inventory.labels()["name"]
        events = zentrail.events("/data", "2024-03-01", "2024-03-02", system=False).to_numpy()
        codes = zentrail.Catalog.load("/data/zentrail-catalog.csv").codes(["T*"])
        try:
            zentrail.sync("/data", "lake", [5120])
        except zentrail.LakeMismatchError as error:
            print(error)
        held: int = zentrail.lake_held("lake")[0]
        files: List[str] = zentrail.find_files("/data", "2024-03-01", "2024-03-02")
    """))
    checked = run("-m", "mypy", "--strict", "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}",
                  str(script))
    assert checked.returncode == 0, checked.stdout + checked.stderr
    (tmp_path / "allowlist.txt").write_text("".join(f"{name}\n" for name in NEEDS_ITS_LIBRARY))
    (tmp_path / "mypy.ini").write_text("[mypy]\n" + "".join(
        f"[mypy-{name}]\ndisable_error_code = import-not-found\n" for name in IMPORTS_ITS_LIBRARY))
    stubs = run("-m", "mypy.stubtest", "--allowlist", "allowlist.txt", "--mypy-config-file", "mypy.ini", "zentrail")
    assert stubs.returncode == 0, stubs.stdout + stubs.stderr


def test_version_is_pyprojects_looked_up_only_when_asked():
    code = ("import sys, zentrail; assert 'importlib.metadata' not in sys.modules, 'imported at import time'; "
            "print(zentrail.__version__)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": str(PACKAGE.parent)})
    assert done.returncode == 0, done.stderr
    declared = re.search(r'^version = "([^"]+)"', PYPROJECT.read_text(), re.MULTILINE).group(1)
    assert done.stdout.strip() == metadata.version("zentrail") == declared


def extra_requirements():
    """Each declared extra's requirement names (the extras it takes in
    included), from the installed distribution's metadata."""
    extras = {name: set() for name in metadata.metadata("zentrail").get_all("Provides-Extra")}
    for requirement in metadata.requires("zentrail") or []:
        found = re.match(r'([A-Za-z0-9_.-]+)(?:\[([^\]]*)\])?[^;]*;.*extra == "([^"]+)"', requirement)
        if found:
            name, inner, extra = found.groups()
            extras[extra] |= {f"zentrail[{part.strip()}]" for part in inner.split(",")} if name == "zentrail" \
                else {name.lower()}
    return extras


def test_every_extra_the_package_names_installs_what_it_is_named_for():
    extras = extra_requirements()
    features = set(extras) - {"all", "test", "test-core", "docs"}  # docs and tests are for developers
    # spark is its own extra, which the tests take: PySpark is a 450 MB source package that needs Java.
    assert extras["all"] == {f"zentrail[{name}]" for name in features - {"spark"}}
    assert {"zentrail[all]", "zentrail[spark]"} <= extras["test"]
    named = set()
    for path in PACKAGE.rglob("*.py"):  # sub-packages (the command line, the viewer) too
        text = path.read_text()
        for module, extra in re.findall(r'import_extra\(\s*(?:"([\w.]+)"|[^,]+),[^,]+,\s*"([\w-]+)"\)', text):
            named.add(extra)
            if module:
                assert module.split(".")[0] in extras[extra], f"{path.name}: {module} is not in [{extra}]"
        named |= set(re.findall(r"zentrail\[([\w-]+)\]", text))
        named |= set(re.findall(r"install_hint\('([\w-]+)'\)", text))
    assert {"arrow", "pandas", "polars", "progress", "view"} <= named <= features


@pytest.mark.parametrize("module", ["zentrail_absent", "zentrail_absent.inner"])
def test_a_missing_module_names_its_extra(module):
    with pytest.raises(ImportError) as raised:
        import_extra(module, "Drawing", "view")
    assert str(raised.value) == f'Drawing needs {module}, which is not installed: pip install "zentrail[view]"'


def test_a_module_that_fails_on_its_own_imports_is_not_called_missing(tmp_path, monkeypatch):
    (tmp_path / "zentrail_broken.py").write_text("import zentrail_absent_inside\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ModuleNotFoundError, match="zentrail_absent_inside") as raised:
        import_extra("zentrail_broken", "Drawing", "view")
    assert "zentrail[" not in str(raised.value)
