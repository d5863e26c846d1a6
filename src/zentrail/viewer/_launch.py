"""The browser opened without showing the token to other users.

Every user of the machine can read a program's arguments (``ps``,
/proc/PID/cmdline) and, often, its environment, so the browser is not given
the address with the token: it is given a file that only the user can read,
in a folder of their own, whose page sends it on to that address (as
notebook servers do). The file goes when the server stops.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
import threading
import warnings
import webbrowser
from pathlib import Path


PAGE_NAME = "open.html"


class BrowserOpener:
    """The private file's folder, made at once; `open()` starts the browser
    on it, `remove()` takes folder and file away."""

    def __init__(self, address: str) -> None:
        self.folder = tempfile.mkdtemp(prefix="zentrail-view-")  # mode 0700: the user's alone
        self.path = os.path.join(self.folder, PAGE_NAME)
        part = self.path + ".part"
        # Written in full before the name the browser is given exists.
        descriptor = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o600)
        with os.fdopen(descriptor, "w", encoding="utf-8") as out:
            from ._access import moving_on_page  # Bokeh's: imported by a viewer that serves

            out.write(moving_on_page(address))
        os.replace(part, self.path)

    @property
    def url(self) -> str:
        return Path(self.path).as_uri()

    def open(self) -> None:
        """Starts the browser beside the server: a browser command may wait
        until the browser closes."""
        threading.Thread(target=self._open, name="zentrail-view-browser", daemon=True).start()

    def _open(self) -> None:
        if not webbrowser.open(self.url):
            print("zentrail view: no browser could be started: open the address above", file=sys.stderr, flush=True)

    def remove(self) -> None:
        try:
            shutil.rmtree(self.folder)
        except FileNotFoundError:
            pass
        except OSError as error:
            warnings.warn(f"the viewer's page for the browser stays in {self.folder}: {error.strerror}",
                          RuntimeWarning, stacklevel=2)
