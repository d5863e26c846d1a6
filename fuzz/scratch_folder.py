"""A scratch folder for a Python fuzz target's files."""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path


def scratch_folder(prefix: str) -> Path:
    """A new folder of this process, on tmpfs where there is one (files
    made and copied for every input cost far less there). libFuzzer ends
    the process without Python's clean-up: the folders of processes gone
    are removed here instead."""
    place = Path("/dev/shm" if os.access("/dev/shm", os.W_OK) else tempfile.gettempdir())
    for old in place.glob(f"{prefix}-*"):
        pid = old.name.rsplit("-", 1)[-1]
        if pid.isdigit() and not Path(f"/proc/{pid}").exists():
            shutil.rmtree(old, ignore_errors=True)
    folder = place / f"{prefix}-{os.getpid()}"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    return folder
