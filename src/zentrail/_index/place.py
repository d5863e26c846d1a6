"""Where the index of an archive's files lives: never in the archive.

``index=`` of the readers: None (the default) takes the folder
``ZENTRAIL_INDEX`` names, else the user's cache folder; a folder (a str or a
path) takes that one; False (or ``ZENTRAIL_INDEX=off``) reads without an
index. A folder inside the archive's root is refused: nothing is ever
written into an archive's folders.
"""

from __future__ import annotations

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Optional

ENVIRONMENT = "ZENTRAIL_INDEX"
# Values of ZENTRAIL_INDEX that turn the index off.
OFF = ("0", "off", "false", "no", "none")


def cache_folder() -> str:
    """The user's cache folder for zentrail's index, as each system keeps
    caches (XDG on Linux and BSD, Library/Caches on macOS, LOCALAPPDATA on
    Windows)."""
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or os.path.join(os.path.expanduser("~"), "AppData", "Local")
        return os.path.join(base, "zentrail", "Cache", "index")
    if sys.platform == "darwin":
        return os.path.join(os.path.expanduser("~"), "Library", "Caches", "zentrail", "index")
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "zentrail", "index")


def folder_of(index: Any, root: Optional[str] = None) -> Optional[str]:
    """The index folder `index` asks for (see the module's text), None for
    no index. ValueError for a folder inside `root` (the archive's root
    folder) or an argument of another kind."""
    if index is False:
        return None
    if index is None or index is True:
        named = os.environ.get(ENVIRONMENT, "").strip()
        if named.lower() in OFF:
            return None
        folder = named or cache_folder()
        where = f"{ENVIRONMENT}={named!r}" if named else "the cache folder"
    elif isinstance(index, (str, os.PathLike)):
        folder = os.fspath(index)
        where = "index="
    else:
        raise TypeError(f"index must be None, False or a folder, not {type(index).__name__}")
    folder = os.path.abspath(os.path.expanduser(folder))
    if root is not None and _inside(folder, root):
        raise ValueError(f"{where}: the index folder {folder!r} lies inside the archive {root!r}; "
                         f"zentrail writes nothing into an archive's folders (choose a folder elsewhere)")
    return folder


def _inside(folder: str, root: str) -> bool:
    real_folder = os.path.realpath(folder)
    real_root = os.path.realpath(root)
    return os.path.commonpath([real_folder, real_root]) == real_root
