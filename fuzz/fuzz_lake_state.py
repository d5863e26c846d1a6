"""Arbitrary bytes as the state file of a lake kept in step with an archive:
a run of zentrail.sync either completes, leaving a state that it reads back,
or stops with LakeStateError or LakeMismatchError naming the state file or
the lake, which it leaves as it was. Any other exception is a finding, and
so is a refused run that changed the lake.

An input with "kind" in it is the state of a lake of aligned grids, any other
the state of a lake of rows. "@ROOT@" in an input stands for the archive's
root: the seeds (fuzz/corpus/fuzz_lake_state, written by --seeds) are the
states a first run left, over the archive this target writes before it
grew, so their hashes match and mutations reach past the checks into the
reads. Run with atheris (pip install atheris):

    scripts/fuzz.sh fuzz_lake_state 600        # inputs found go to fuzz/out/fuzz_lake_state
    .venv/bin/python fuzz/fuzz_lake_state.py --seeds
"""

from __future__ import annotations

import json
import shutil
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
sys.path.insert(0, str(HERE.parent / "examples"))

from json_mutations import mutate_json  # noqa: E402
import python_target  # noqa: E402
from scratch_folder import scratch_folder  # noqa: E402

CORPUS = HERE / "corpus" / "fuzz_lake_state"
PLACEHOLDER = b"@ROOT@"
CODES = [100 * 1024, 100 * 1024 + 1, 101 * 1024, 501 * 1024]
SETTINGS = {"rows": {}, "grid": {"every": "10min", "how": "linear", "max_gap": "30min"}}


class Archive:
    """A small plant's archive over midnight, and a lake of each kind kept
    from it before it grew, in a scratch folder of this process."""

    def __init__(self) -> None:
        import simulate_plant

        from zentrail._live import grid_lake, sync

        self.plant = simulate_plant
        self.state_names = {"rows": sync.STATE_NAME, "grid": grid_lake.STATE_NAME}
        self.shapes = {"rows": sync.STATE_SHAPE, "grid": grid_lake.STATE_SHAPE}
        self.scratch = scratch_folder("zentrail-fuzz-lake")
        self.root = self.scratch / "archive"
        self._write(0.12)
        self.first = {kind: self.scratch / f"first-{kind}" for kind in SETTINGS}
        for kind in SETTINGS:
            self.sync(kind, self.first[kind])
        self._write(0.25)  # the same plant, on past midnight: the same bytes, and more
        self.lake = self.scratch / "lake"
        self.root_text = json.dumps(str(self.root))[1:-1].encode()

    def _write(self, days: float) -> None:
        import datetime

        plant = self.plant.Plant(20, 60.0, 3, limits=0.3)
        files = {}
        for _, day, records in plant.run(datetime.datetime(2024, 3, 1, 20), days):
            files.setdefault(day, bytearray()).extend(b"".join(records))
        ordered = sorted(files.items())
        for n, (day, data) in enumerate(ordered):
            path = self.plant.day_path(self.root, day)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(bytes(data) + (self.plant.END if n < len(ordered) - 1 else b""))

    def sync(self, kind: str, lake: Path) -> None:
        import zentrail

        zentrail.sync(self.root, lake, CODES, threads=1, **SETTINGS[kind])

    def seeds(self) -> dict:
        return {f"{kind}.json": (lake / self.state_names[kind]).read_bytes().replace(self.root_text, PLACEHOLDER)
                for kind, lake in self.first.items()}


def files_of(folder: Path) -> dict:
    return {path: (path.stat().st_mtime_ns, path.read_bytes()) for path in folder.rglob("*") if path.is_file()}


# The archive's days, with a month about them: a grid state whose instants
# lie beyond (a damaged origin of 1970) makes a lake of years, which is a
# long run rather than a wrong one; such inputs are passed over.
NEAR = (1706745600 * 10 ** 9, 1714521600 * 10 ** 9)  # 2024-02-01, 2024-05-01
INSTANTS = ("origin", "end", "first", "last", "from")
# The same months as the days a place in a file names (its last date mark):
# a place under a day of 2179 dates the rows after it there.
NEAR_DAYS = (8797, 8887)  # days since 2000-01-01
PLACES = ("start", "end")


def far_off(data: bytes) -> bool:
    """Whether the input is JSON with an instant, or a place's day, far from
    the archive's."""
    try:
        state = json.loads(data)
    except (ValueError, RecursionError):
        return False
    found: list = []
    days: list = []

    def collect(node: object) -> None:
        if isinstance(node, dict):
            for key, value in node.items():
                if key in INSTANTS and isinstance(value, (int, float)):
                    found.append(value)
                if key in PLACES and isinstance(value, list) and len(value) > 1 and isinstance(value[1], int):
                    days.append(value[1])
                collect(value)
        elif isinstance(node, list):
            for value in node:
                collect(value)

    collect(state)
    return any(not NEAR[0] <= value <= NEAR[1] for value in found) or \
        any(not NEAR_DAYS[0] <= day <= NEAR_DAYS[1] for day in days if day != 0)


def check(archive: Archive, data: bytes) -> None:
    from zentrail._live import lake_state

    kind = "grid" if b'"kind"' in data else "rows"
    if kind == "grid" and far_off(data):
        return
    shutil.rmtree(archive.lake, ignore_errors=True)
    shutil.copytree(archive.first[kind], archive.lake)  # the parts a first run wrote
    state = archive.lake / archive.state_names[kind]
    state.write_bytes(data.replace(PLACEHOLDER, archive.root_text))
    before = files_of(archive.lake)
    try:
        archive.sync(kind, archive.lake)
    except (lake_state.LakeStateError, lake_state.LakeMismatchError) as error:
        if str(state) not in str(error) and str(archive.lake) not in str(error):
            raise AssertionError(f"the error names neither the state file nor the lake: {error}") from error
        if files_of(archive.lake) != before:
            raise AssertionError(f"a run that stopped with {error!r} changed the lake") from error
        return
    lake_state.read_state(str(state), archive.shapes[kind])  # what a run writes, it reads back


def instrumented() -> None:
    import zentrail  # noqa: F401
    from zentrail._live import grid_lake, lake_state, sync  # noqa: F401


def main() -> None:
    python_target.run(CORPUS, Archive, check, mutate_json, instrumented)


if __name__ == "__main__":
    main()
