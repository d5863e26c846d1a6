"""The include check of scripts/check_layers.py, on small trees and on this repository."""

import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("check_layers", ROOT / "scripts" / "check_layers.py")
check_layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_layers)


def test_this_repository_includes_downward_only():
    assert check_layers.problems(ROOT) == []


@pytest.mark.parametrize(
    ("path", "text", "complaint"),
    [
        ("src/archive/parser.cpp", '#include "output/text_writer.h"\n', "archive/ may include only"),
        ("src/selection/list.cpp", '#include "module/owned_ref.h"\n', "selection/ may include only"),
        ("src/tools/dump.cpp", '#include "module/errors.h"\n', "tools/ may include only"),
        ("src/module/x.cpp", '#include "tools/y.h"\n', "module/ may include only"),
        ("src/scan/x.cpp", "#include <module/owned_ref.h>\n", "scan/ may include only"),
        ("src/output/tuples.h", "#include <Python.h>\n", "only src/module/ may include CPython's"),
        ("fuzz/fuzz_x.cpp", '  #  include "Python.h"\n', "only src/module/ may include CPython's"),
        ("src/output/x.cpp", "#include <numpy/arrayobject.h>\n", "only src/module/ may include CPython's"),
        ("tests/cpp/x_test.cpp", "#include <structmember.h>\n", "only src/module/ may include CPython's"),
        ("src/scan/x.cpp", "#include <python3.12/Python.h>\n", "only src/module/ may include CPython's"),
        ("src/selection/x.h", '#include "time/datetime.h"\n#include <sys/stat.h>\n', None),
        ("src/scan/x.cpp", '#include "misc/y.h"\n', None),  # no layer: not ours to judge
        ("src/scan/x.cpp", '#include "archive/parser.h"\n#include "scan/y.h"\n#include <vector>\n', None),
        ("src/module/x.cpp", '#define PY_SSIZE_T_CLEAN\n#include <Python.h>\n#include "scan/y.h"\n', None),
        ("src/module/x.cpp", "#include <numpy/arrayobject.h>\n#include <scan/y.h>\n", None),
    ],
)
def test_names_each_include_against_the_layers(tmp_path, path, text, complaint):
    (tmp_path / path).parent.mkdir(parents=True)
    (tmp_path / path).write_text("// a file\n" + text)
    found = check_layers.problems(tmp_path)
    if complaint is None:
        assert found == []
    else:
        assert len(found) == 1 and found[0].startswith(f"{path}:2: ") and complaint in found[0]


def test_a_plain_name_is_the_layer_of_the_file_beside_it(tmp_path):
    (tmp_path / "src/time").mkdir(parents=True)
    (tmp_path / "src/scan").mkdir()
    (tmp_path / "src/scan/batch.h").write_text("")
    (tmp_path / "src/scan/../time/x.cpp").write_text('#include "../scan/batch.h"\n')
    (found,) = check_layers.problems(tmp_path)
    assert found == 'src/time/x.cpp:1: #include "../scan/batch.h": time/ may include only time/'
