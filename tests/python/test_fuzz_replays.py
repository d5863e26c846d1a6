"""The Python fuzz targets' corpora (their seeds and every finding kept)
replayed through the targets' own checks, as ctest replays the C++ targets'."""

import importlib
import shutil
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"


@pytest.mark.parametrize("target", ["fuzz_lake_state", "fuzz_cursor"])
def test_the_corpus_passes_the_targets_checks(target, monkeypatch):
    pytest.importorskip("pyarrow")
    monkeypatch.syspath_prepend(str(FUZZ))
    module = importlib.import_module(target)
    archive = module.Archive()
    try:
        inputs = sorted((FUZZ / "corpus" / target).iterdir())
        assert inputs
        for path in inputs:
            module.check(archive, path.read_bytes())
    finally:
        shutil.rmtree(archive.scratch)
        sys.modules.pop(target)
