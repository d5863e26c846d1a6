"""The main of a Python fuzz target under atheris: `--seeds` writes the
target's seed corpus, anything else fuzzes with libFuzzer's arguments."""

from __future__ import annotations

import shutil
import sys
from pathlib import Path
from typing import Any, Callable


def run(corpus: Path, make_archive: Callable[[], Any], check: Callable[[Any, bytes], None],
        mutate: Callable[[bytes, int, int], bytes], instrumented: Callable[[], None]) -> None:
    """`make_archive()`: the target's scratch archive, with `seeds()` (name ->
    bytes) and its `scratch` folder; `check(archive, data)`: one input;
    `instrumented()`: imports the modules whose coverage guides the fuzzing."""
    if sys.argv[1:] == ["--seeds"]:
        archive = make_archive()
        corpus.mkdir(parents=True, exist_ok=True)
        for name, data in archive.seeds().items():
            (corpus / name).write_bytes(data)
        shutil.rmtree(archive.scratch)
        return
    import atheris

    with atheris.instrument_imports():
        instrumented()
    archive = make_archive()
    atheris.Setup(sys.argv, lambda data: check(archive, data), custom_mutator=mutate)
    atheris.Fuzz()
