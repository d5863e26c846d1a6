#!/usr/bin/env python3
"""Checks that the Python package imports downward only, has no import
circle, and that no module reads another's private names: the Python twin of
check_layers.py.

The private sub-packages of src/zentrail/ are layers, lowest first:

    _base -> _elsewhere -> _names -> _read -> _index -> _series -> _alarms -> _live

A module of a layer imports from its own layer or a lower one, never from a
higher one, nor from the top (zentrail/__init__.py, _scan.py) or a face.
The compiled core (_core) and the type aliases (_types) import nothing of
the package, so every module may import them. The top may import all.

The faces (cli, viewer, plot, dask, spark) stand on the public API: besides
their own modules they import no private module but those of FACE_MAY_USE.

No import circle, counting every import the source holds: at module level,
inside functions, and under TYPE_CHECKING (a circle a type checker walks is
still one design folded on itself). Reaching a module as an attribute
(``zentrail._read.inventory`` after ``import zentrail``) imports it too.

No module reads another's private names: no ``x._name`` where x is not self
or cls (a name the module binds itself, such as a class's attribute read off
another instance of the class, is its own), no ``getattr(x, "_name")``, no
``from m import _name`` of something that is not a module; but for the
underscored names of others that are theirs to give (OTHERS_PUBLIC).

Prints each offending file, line and what it does, and exits 1 if there is
one. Run from anywhere: paths are taken from this script's repository.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path
from typing import Dict, Iterator, List, NamedTuple, Optional, Set, Tuple

PACKAGE = "zentrail"
LAYERS = ("_base", "_elsewhere", "_names", "_read", "_index", "_series", "_alarms", "_live")
# Imported by every layer: they import nothing of the package.
GROUND = ("zentrail._core", "zentrail._types")
FACES = ("cli", "viewer", "plot", "dask", "spark")
# The private modules every face may import, each for what the public API
# does not and should not offer.
FACE_MAY_USE = {
    # The one time module: bounds, instants and durations, and their texts.
    # A face parses its options and shows instants exactly as the package
    # does; a public copy of these would be a second API of time to keep.
    "zentrail._base.time": "the texts of bounds, instants and durations",
    # import_extra: an optional package, or an ImportError naming the extra
    # that installs it, worded as the package's own.
    "zentrail._base.extras": "optional packages named by their extra",
    # Files written beside their target and renamed over it once whole: the
    # faces' outputs keep the rule every file the package writes keeps.
    "zentrail._base.atomic": "files written whole",
    # CSV lines formatted by the core a batch at a time: a face's CSV output
    # is the package's one formatting of numbers and instants as text, at
    # the engine's pace rather than a Python call per value.
    "zentrail._base.csv_text": "columns as CSV lines",
    # The one builder of column names ("<id>:<element>", "<name>[<element>]",
    # and the rule that keeps them unique): a face that labels a code names
    # it as the grids and scans do.
    "zentrail._names.columns": "the names of the columns of codes",
}
# Private imports of faces still being moved onto the public API, by the
# importing module and the module imported. An entry goes when its import
# does (one that no import uses any more is reported, so that the list only
# shrinks); none is left.
NOT_YET: Dict[Tuple[str, str], str] = {}
# Underscored names that are public where they come from, by what they are
# read off (a module's name, or "*" for any object) and name.
OTHERS_PUBLIC = {
    # The caller's frame: a warning points at the first frame outside the package.
    ("sys", "_getframe"): "CPython's documented frame access",
    # A URL as its file system's own path, the only form fsspec lists in.
    ("*", "_strip_protocol"): "fsspec's AbstractFileSystem class method, used by its own implementations",
}


class Import(NamedTuple):
    line: int
    target: str  # the package's module imported
    names: Tuple[str, ...] = ()  # private names taken from it that are not modules


class Module(NamedTuple):
    name: str
    path: Path
    tree: ast.Module


def modules(src: Path) -> Dict[str, Module]:
    """The package's modules under src/, by dotted name (a package by its own name)."""
    found = {}
    for path in sorted((src / PACKAGE).rglob("*.py*")):
        if path.suffix not in (".py", ".pyi") or not path.is_file():
            continue
        parts = list(path.relative_to(src).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        name = ".".join(parts)
        if name in found:  # a .pyi beside its .py: the source is checked
            continue
        found[name] = Module(name, path, ast.parse(path.read_text(encoding="utf-8"), str(path)))
    return found


def absolute(module: Module, node: ast.ImportFrom) -> str:
    """The module a `from ... import` names, relative ones resolved."""
    if not node.level:
        return node.module or ""
    parts = module.name.split(".")
    package = parts if module.path.stem == "__init__" else parts[:-1]
    base = package[:len(package) - (node.level - 1)]
    return ".".join(base + ([node.module] if node.module else []))


def bound_names(module: Module) -> Dict[str, str]:
    """What each name an import binds stands for, dotted ("_time" of
    `from zentrail._base import time as _time`: "zentrail._base.time")."""
    bound = {}
    for node in ast.walk(module.tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                bound[alias.asname or alias.name.split(".")[0]] = alias.name if alias.asname else \
                    alias.name.split(".")[0]
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                bound[alias.asname or alias.name] = f"{absolute(module, node)}.{alias.name}"
    return bound


def dotted(node: ast.expr) -> Optional[List[str]]:
    """["a", "b", "c"] of the expression a.b.c, None for any other."""
    if isinstance(node, ast.Name):
        return [node.id]
    if isinstance(node, ast.Attribute):
        inner = dotted(node.value)
        return None if inner is None else inner + [node.attr]
    return None


def imports(module: Module, known: Dict[str, Module]) -> List[Import]:
    """Every import of the package's modules in `module`, wherever it stands."""
    found = []
    inner = set()
    for node in ast.walk(module.tree):
        if isinstance(node, ast.Import):
            found += [Import(node.lineno, alias.name) for alias in node.names if alias.name in known]
        elif isinstance(node, ast.ImportFrom):
            base = absolute(module, node)
            if base not in known:
                continue
            taken = []
            for alias in node.names:
                if f"{base}.{alias.name}" in known:
                    found.append(Import(node.lineno, f"{base}.{alias.name}"))
                else:
                    taken.append(alias.name)
            if taken:
                found.append(Import(node.lineno, base, tuple(n for n in taken if private(n))))
        elif isinstance(node, ast.Attribute):
            inner.add(id(node.value))
    bound = bound_names(module)
    for node in ast.walk(module.tree):
        # The longest module a whole chain a.b.c names past what `a` is bound to.
        parts = dotted(node) if isinstance(node, ast.Attribute) and id(node) not in inner else None
        if parts is None or parts[0] not in bound:
            continue
        head = bound[parts[0]].split(".")
        reached = [".".join(head + parts[1:n]) for n in range(2, len(parts) + 1)]
        named = [name for name in reached if name in known]
        if named:
            found.append(Import(node.lineno, named[-1]))
    return found


def private(name: str) -> bool:
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


def layer_rank(name: str) -> Optional[int]:
    """A module's layer: its index in LAYERS, len(LAYERS) for the top,
    len(LAYERS) + 1 for a face, None for the ground (GROUND)."""
    if name in GROUND:
        return None
    parts = name.split(".")
    if len(parts) > 1 and parts[1] in LAYERS:
        return LAYERS.index(parts[1])
    if len(parts) > 1 and parts[1] in FACES:
        return len(LAYERS) + 1
    return len(LAYERS)


def face_of(name: str) -> Optional[str]:
    parts = name.split(".")
    return parts[1] if len(parts) > 1 and parts[1] in FACES else None


def private_module(name: str) -> bool:
    return any(private(part) for part in name.split(".")[1:])


def layer_problems(module: Module, found: List[Import]) -> Iterator[Tuple[int, str]]:
    rank = layer_rank(module.name)
    if rank is None or rank >= len(LAYERS):
        return
    for entry in found:
        target = layer_rank(entry.target)
        if target is not None and target > rank:
            allowed = ", ".join(LAYERS[:rank + 1])
            yield entry.line, f"{LAYERS[rank]} imports {entry.target}, above it: it may import only {allowed}"


def face_imports(module: Module, found: List[Import]) -> Iterator[Import]:
    """The private modules outside its own that a face's module imports."""
    face = face_of(module.name)
    if face is not None:
        for entry in found:
            if face_of(entry.target) != face and private_module(entry.target):
                yield entry


def face_problems(module: Module, found: List[Import], not_yet: Dict[Tuple[str, str], str]) \
        -> Iterator[Tuple[int, str]]:
    for entry in face_imports(module, found):
        if entry.target not in FACE_MAY_USE and (module.name, entry.target) not in not_yet:
            yield entry.line, (f"the face {face_of(module.name)} imports the private {entry.target}: it stands on "
                               f"the public API and {', '.join(sorted(FACE_MAY_USE))}")


def own_names(tree: ast.Module) -> Set[str]:
    """The names a module binds itself: its functions, classes, variables,
    imports and the attributes it sets on anything."""
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            names.add(node.id)
        elif isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Store):
            names.add(node.attr)
        elif isinstance(node, ast.alias):
            names.add(node.asname or node.name.split(".")[0])
    return names


def reaches(module: Module, found: List[Import], known: Dict[str, Module]) -> Iterator[Tuple[int, str]]:
    """The private names of others that `module` reads."""
    own = own_names(module.tree)
    bound = bound_names(module)
    for entry in found:
        for name in entry.names:
            yield entry.line, f"imports the private name {name} of {entry.target}"
    for node in ast.walk(module.tree):
        if isinstance(node, ast.ImportFrom) and absolute(module, node) not in known:
            for alias in node.names:
                if private(alias.name) and (node.module, alias.name) not in OTHERS_PUBLIC:
                    yield node.lineno, f"imports the private name {alias.name} of {node.module}"
        if isinstance(node, ast.Attribute):
            owner, name = node.value, node.attr
        elif named_attribute(node):
            owner, name = node.args[0], node.args[1].value
        else:
            continue
        if not private(name):
            continue
        owner_name = owner.id if isinstance(owner, ast.Name) else None
        if owner_name in ("self", "cls") or is_super(owner):
            continue
        if ("*", name) in OTHERS_PUBLIC or (owner_name, name) in OTHERS_PUBLIC:
            continue
        imported = bound.get(owner_name) if owner_name else None
        if imported is None and name in own:  # its own name, read off another instance of its class
            continue
        if imported is not None and f"{imported}.{name}" in known:  # a module: an import (see imports)
            continue
        yield node.lineno, f"reads {name} of {owner_name or ast.unparse(owner)}, another's private name"


def named_attribute(node: ast.AST) -> bool:
    """Whether `node` is getattr(x, "name") or hasattr(x, "name")."""
    return (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in ("getattr", "hasattr")
            and len(node.args) >= 2 and isinstance(node.args[1], ast.Constant) and isinstance(node.args[1].value, str))


def is_super(node: ast.expr) -> bool:
    return isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "super"


def circles(graph: Dict[str, Dict[str, int]]) -> List[List[str]]:
    """One circle, [a, b, ..., a], through each group of modules that import
    one another around circles (the strongly connected components)."""
    index: Dict[str, int] = {}
    low: Dict[str, int] = {}
    stack: List[str] = []
    groups = []

    def visit(node: str) -> None:  # Tarjan's algorithm
        index[node] = low[node] = len(index)
        stack.append(node)
        for target in sorted(graph.get(node, {})):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            group = set(stack[stack.index(node):])
            del stack[stack.index(node):]
            if len(group) > 1:
                groups.append(group)

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(circle_through(graph, group) for group in groups)


def circle_through(graph: Dict[str, Dict[str, int]], group: Set[str]) -> List[str]:
    """The shortest circle from the group's first module back to it, within the group."""
    start = min(group)
    came_from: Dict[str, str] = {}
    frontier = [start]
    while frontier:
        following = []
        for node in frontier:
            for target in sorted(graph.get(node, {})):
                if target == start:
                    path = [node]
                    while path[-1] != start:
                        path.append(came_from[path[-1]])
                    return path[::-1] + [start]
                if target in group and target not in came_from:
                    came_from[target] = node
                    following.append(target)
        frontier = following
    raise AssertionError(f"no circle through {start}")


def problems(root: Path, not_yet: Optional[Dict[Tuple[str, str], str]] = None) -> List[str]:
    """What the package under root/src breaks of the rules above; `not_yet`
    in place of NOT_YET."""
    not_yet = NOT_YET if not_yet is None else not_yet
    known = modules(root / "src")
    found = []
    graph: Dict[str, Dict[str, int]] = {}
    pending = set()
    for name, module in known.items():
        where = module.path.relative_to(root)
        imported = imports(module, known)
        for line, text in [*layer_problems(module, imported), *face_problems(module, imported, not_yet),
                           *reaches(module, imported, known)]:
            found.append(f"{where}:{line}: {text}")
        pending |= {(name, entry.target) for entry in face_imports(module, imported)}
        for entry in imported:
            if entry.target != name:
                graph.setdefault(name, {}).setdefault(entry.target, entry.line)
    for importer, target in sorted(set(not_yet) - pending):
        found.append(f"scripts/check_imports.py: NOT_YET allows {importer} to import {target}, which it does no "
                     f"more: take the entry out")
    for circle in circles(graph):
        steps = ", ".join(f"{known[a].path.relative_to(root)}:{graph[a][b]}" for a, b in zip(circle, circle[1:]))
        found.append(f"import circle: {' -> '.join(circle)} ({steps})")
    return found


def main() -> int:
    root = Path(__file__).resolve().parent.parent
    found = problems(root)
    for problem in found:
        print(problem, file=sys.stderr)
    if found:
        print(f"check_imports: {len(found)} import(s) against the layers, circle(s) or private reach(es)",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
