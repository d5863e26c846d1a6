"""The import check of scripts/check_imports.py, on small packages and on this repository."""

import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("check_imports", ROOT / "scripts" / "check_imports.py")
check_imports = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_imports)

# The modules every small package below holds, empty unless a case writes one.
MODULES = ["__init__.py", "_core.pyi", "_scan.py", "_base/__init__.py", "_base/time.py", "_read/__init__.py",
           "_read/plan.py", "_read/inventory.py", "cli/__init__.py", "viewer/__init__.py", "viewer/_page.py"]


def problems_of(tmp_path, files, not_yet=None):
    package = tmp_path / "src" / "zentrail"
    for name in MODULES:
        (package / name).parent.mkdir(parents=True, exist_ok=True)
        (package / name).write_text("")
    for name, text in files.items():
        (package / name).parent.mkdir(parents=True, exist_ok=True)
        (package / name).write_text(text)
    return check_imports.problems(tmp_path, not_yet or {})


def test_this_repository_imports_downward_and_reaches_no_private_name():
    assert check_imports.problems(ROOT) == []


@pytest.mark.parametrize(("path", "text", "complaint"), [
    # faces: the public API and the few private helpers allowed
    ("cli/x.py", "from zentrail._read.plan import ReadPlan\n", "the face cli imports the private zentrail._read.plan"),
    ("cli/x.py", "import zentrail\nzentrail._read.inventory.labels()\n",
     "the face cli imports the private zentrail._read.inventory"),
    ("viewer/x.py", "def f():\n    from zentrail import _scan\n", "the face viewer imports the private zentrail._scan"),
    ("cli/x.py", "from zentrail._base import time as _time\nimport zentrail\nzentrail.scan\n", None),
    ("viewer/x.py", "from ._page import TrendApp\nfrom . import _page\n", None),
    # layers: downward only, wherever the import stands
    ("_base/x.py", "from zentrail._read import plan\n", "_base imports zentrail._read.plan, above it"),
    ("_read/x.py", "def f():\n    import zentrail\n", "_read imports zentrail, above it"),
    ("_read/x.py", "TYPE_CHECKING = False\nif TYPE_CHECKING:\n    from zentrail._scan import Scan\n",
     "_read imports zentrail._scan, above it"),
    ("_read/x.py", "from zentrail._base import time\nfrom zentrail import _core\nfrom . import plan\n", None),
    # private names of others
    ("_read/x.py", "def f(plan):\n    return plan._codes\n", "reads _codes of plan, another's private name"),
    ("_read/x.py", "def f(plan):\n    return getattr(plan, '_codes')\n", "reads _codes of plan"),
    ("_read/x.py", "from zentrail._base import time as _time\n_KINDS = 1\n_time._KINDS\n", "reads _KINDS of _time"),
    ("_read/x.py", "from zentrail._read.plan import _helper\n",
     "imports the private name _helper of zentrail._read.plan"),
    ("_read/x.py", "from typing import _GenericAlias\n", "imports the private name _GenericAlias of typing"),
    ("_read/x.py", "class A:\n    def __init__(self):\n        self._key = 1\n\n    def __eq__(self, other):\n"
                   "        return self._key == other._key and super()._x\n", None),
    ("_read/x.py", "import sys\nsys._getframe(1).f_back.__class__\n", None),
])
def test_names_each_import_against_the_layers(tmp_path, path, text, complaint):
    found = problems_of(tmp_path, {path: text})
    if complaint is None:
        assert found == []
    else:
        assert len(found) == 1 and found[0].startswith(f"src/zentrail/{path}:") and complaint in found[0], found


@pytest.mark.parametrize("importing", [
    "from zentrail._read import inventory\n",
    "def f():\n    from . import inventory\n",
    "TYPE_CHECKING = False\nif TYPE_CHECKING:\n    import zentrail._read.inventory\n",
])
def test_an_import_circle_is_named_with_each_step(tmp_path, importing):
    found = problems_of(tmp_path, {"_read/plan.py": importing,
                                   "_read/inventory.py": "from zentrail._read import plan\n"})
    line = importing.count("\n")  # the import is the last line
    assert found == ["import circle: zentrail._read.inventory -> zentrail._read.plan -> zentrail._read.inventory "
                     f"(src/zentrail/_read/inventory.py:1, src/zentrail/_read/plan.py:{line})"]


def test_a_longer_circle_and_the_modules_outside_it(tmp_path):
    found = problems_of(tmp_path, {"_base/time.py": "from zentrail import _core\n",
                                   "_read/plan.py": "from zentrail._read import inventory\n",
                                   "_read/inventory.py": "from zentrail._base import time\nimport zentrail._read\n",
                                   "_read/__init__.py": "from zentrail._read import plan\n"})
    assert [problem.split(" (")[0] for problem in found] == [
        "import circle: zentrail._read -> zentrail._read.plan -> zentrail._read.inventory -> zentrail._read"]


def test_a_face_import_allowed_for_now_is_reported_once_it_is_gone(tmp_path):
    not_yet = {("zentrail.cli.x", "zentrail._read.plan"): "being moved"}
    assert problems_of(tmp_path, {"cli/x.py": "from zentrail._read.plan import ReadPlan\n"}, not_yet) == []
    (found,) = problems_of(tmp_path, {"cli/x.py": "import zentrail\n"}, not_yet)
    assert "NOT_YET allows zentrail.cli.x to import zentrail._read.plan, which it does no more" in found
