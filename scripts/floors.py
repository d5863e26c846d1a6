"""Prints pip constraints that hold every package of the package's
requirements and optional features at its floor (name==floor, from each
`name>=floor` in pyproject.toml), for the run that tests the floors
(docs/development.md). A package floored twice takes the higher floor."""

from __future__ import annotations

import re
import sys
from pathlib import Path

try:
    import tomllib
except ModuleNotFoundError:  # before Python 3.11
    import tomli as tomllib

# The developers' extras: their floors are not the package's.
DEVELOPERS = {"test", "test-core", "docs"}
FLOOR = re.compile(r"^\s*([A-Za-z0-9_.-]+)\s*(?:\[[^\]]*\])?\s*>=\s*([0-9][^,;\s]*)\s*(?:;.*)?$")


def floors(pyproject: dict) -> dict[str, str]:
    project = pyproject["project"]
    requirements = list(project.get("dependencies", []))
    for extra, listed in project.get("optional-dependencies", {}).items():
        if extra not in DEVELOPERS:
            requirements += listed
    found: dict[str, str] = {}
    for requirement in requirements:
        match = FLOOR.match(requirement)
        if match:
            name, version = match.group(1).lower(), match.group(2)
            if name not in found or _key(version) > _key(found[name]):
                found[name] = version
    return found


def _key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in re.findall(r"\d+", version))


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "pyproject.toml"
    with path.open("rb") as file:
        for name, version in sorted(floors(tomllib.load(file)).items()):
            print(f"{name}=={version}")


if __name__ == "__main__":
    main()
