"""A griffe extension for the API reference: the docstrings as help() shows
them, in Markdown.

The package fills its shared bounds text into some docstrings at import
(`{bounds}`), which a static read does not run; and its docstrings name other
objects with Sphinx roles (:func:`scan`), which become links here.
"""

from __future__ import annotations

import ast
import re

import griffe

ROLE = re.compile(r":(func|class|meth|attr):`~?([\w.]+)`")


def _objects(obj):
    yield obj
    for member in obj.members.values():
        if not member.is_alias:
            yield from _objects(member)


class ZentrailDocstrings(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs) -> None:
        if pkg.name != "zentrail":
            return
        bounds = ast.literal_eval(str(pkg.members["_BOUNDS_DOC"].value))
        for obj in _objects(pkg):
            if obj.docstring is None:
                continue
            text = obj.docstring.value.replace("{bounds}", bounds.strip("\n"))
            owner = obj if obj.is_class else obj.parent if obj.parent is not None and obj.parent.is_class else None
            obj.docstring.value = ROLE.sub(lambda match: _link(match.group(1), match.group(2), owner), text)


def _link(role: str, name: str, owner) -> str:
    """A cross-reference to a public path: zentrail.X, or zentrail.Class.member
    for a method or attribute named alone inside a class."""
    if name.startswith("zentrail."):
        target = name
    elif role in ("meth", "attr") and "." not in name and owner is not None:
        target = f"zentrail.{owner.name}.{name}"
    else:
        target = f"zentrail.{name}"
    return f"[`{name}`][{target}]"
