#!/usr/bin/env python3
"""Checks that the C++ sources include downward only, and that CPython stays in src/module/.

The folders of src/ are layers, lowest first:

    time/ -> selection/ -> archive/ -> output/ -> scan/ -> module/ and tools/

A file may include a header of its own layer or of a lower one, never of a
higher one (module/ and tools/ are both top layers and include neither each
other), whether the include is written "layer/file.h" or <layer/file.h>.
No file outside src/module/, fuzz targets and tests included, may include
a header of CPython or NumPy (Python.h, structmember.h, numpy/...): the core
builds and links without Python.

Prints each offending file, line and include, and exits 1 if there is one.
Run from anywhere: paths are taken from this script's repository.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

LAYERS = ("time", "selection", "archive", "output", "scan", "module")
# The top layers other than module/ (which it may not include, nor they it).
TOP_LAYERS = ("tools",)
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c"}
# The C++ folders of the repository: src/ is layered; the others are only
# kept free of CPython's and NumPy's headers.
CPP_FOLDERS = ("src", "fuzz", "tests/cpp", "bench")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
# CPython's and NumPy's headers: the ones an extension includes by their bare
# name (a name with a folder, such as "time/datetime.h", is another file), and
# the folders the others live in ("python3.12/Python.h" included).
PYTHON_HEADERS = {"Python.h", "structmember.h", "frameobject.h", "pythread.h", "datetime.h", "pyconfig.h",
                  "marshal.h", "longintrepr.h", "pymem.h", "pyport.h", "patchlevel.h"}
PYTHON_FOLDER = re.compile(r"(numpy|cpython|internal|python\d[\d.]*)/")


def is_python_header(target: str) -> bool:
    return target in PYTHON_HEADERS or PYTHON_FOLDER.match(target) is not None


def rank(layer: str) -> int | None:
    if layer in LAYERS:
        return LAYERS.index(layer)
    if layer in TOP_LAYERS:
        return len(LAYERS) - 1
    return None


def layer_of_include(target: str, including: Path, src: Path, angled: bool) -> str | None:
    """The layer an include of src/ resolves to: "layer/file.h" from src/ (in
    either bracket form), or a quoted name beside the including file. None
    for a system or outside header."""
    first = target.split("/", 1)[0]
    if "/" in target and rank(first) is not None:
        return first
    if angled:  # searched on the include path only, never beside the file
        return None
    beside = (including.parent / target).resolve()
    if not beside.is_file() or src.resolve() not in beside.parents:
        return None
    relative = beside.relative_to(src.resolve())
    return relative.parts[0] if len(relative.parts) > 1 else None


def problems(root: Path) -> list[str]:
    src = root / "src"
    found = []
    for folder in CPP_FOLDERS:
        base = root / folder
        if not base.is_dir():
            continue
        for path in sorted(base.rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
                continue
            relative = path.relative_to(root)
            in_src = relative.parts[0] == "src" and len(relative.parts) > 2
            layer = relative.parts[1] if in_src else None
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, start=1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(2)
                where = f"{relative}:{number}: {line.strip()}"
                if is_python_header(target) and layer != "module":
                    found.append(f"{where}: only src/module/ may include CPython's and NumPy's headers")
                if layer is None or rank(layer) is None:
                    continue
                included = layer_of_include(target, path, src, match.group(1) == "<")
                if included is None or included == layer:
                    continue
                if rank(included) is None:
                    found.append(f"{where}: {layer}/ includes from {included}/, which is no layer")
                elif rank(included) >= rank(layer):  # a higher layer, or the other top one
                    found.append(f"{where}: {layer}/ may include only {', '.join(lower(layer))}")
    return found


def lower(layer: str) -> list[str]:
    return [name + "/" for name in LAYERS if rank(name) < rank(layer)] + [layer + "/"]


def main() -> int:
    root = Path(__file__).resolve().parent.parent
    found = problems(root)
    for problem in found:
        print(problem, file=sys.stderr)
    if found:
        print(f"check_layers: {len(found)} include(s) against the layers", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
