"""zentrail.build_index: the index of an archive's files made (or checked)
ahead of the questions, so that the first of them is answered warm."""

from __future__ import annotations

import dataclasses
import os

from zentrail._index import UNKEPT, identities_of, part_of, reading_of, store_of
from zentrail._index import in_force as _in_force, inventory as _inventory

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Optional, Tuple


@dataclasses.dataclass(frozen=True)
class IndexSummary:
    """What :func:`zentrail.build_index` found or made: the archive's
    ``files`` and their ``archive_bytes``; per section the files whose
    entry is ``fresh`` (usable now), ``unkept`` (too large beside its file:
    that file is read each time) and ``missing`` (no entry, or a stale or
    damaged one; after a build, files whose read failed); the ``folder``
    of the index and the ``index_bytes`` of its entries for these files."""

    folder: str
    files: int
    archive_bytes: int
    index_bytes: int
    fresh: Dict[str, int]
    unkept: Dict[str, int]
    missing: Dict[str, int]

    def __str__(self) -> str:
        share = 100.0 * self.index_bytes / self.archive_bytes if self.archive_bytes else 0.0
        lines = [f"index {self.folder}: {self.files:,} archive files, {self.archive_bytes:,} bytes; "
                 f"entries {self.index_bytes:,} bytes ({share:.2f}% of the archive)"]
        for section in self.fresh:
            lines.append(f"  {section}: {self.fresh[section]:,} fresh, {self.unkept[section]:,} too large to keep, "
                         f"{self.missing[section]:,} missing")
        return "\n".join(lines)


def build_index(root: Any, *, tz: Any = None, index: Any = None, threads: Optional[int] = None,
                check: bool = False, clear: bool = False,
                more: Optional[Dict[str, Tuple[Callable[[Any], Any], int]]] = None) -> IndexSummary:
    """See zentrail.build_index."""
    from zentrail._base import arguments as _arguments
    from zentrail._read.plan import FIRST_BOUND, LAST_BOUND, ReadPlan, archive_zone

    root_bytes = os.fsencode(os.fspath(root))
    if not os.path.isdir(root_bytes):
        raise FileNotFoundError(f"no archive folder {os.fsdecode(root_bytes)!r} (an index is kept of local folders)")
    plan = ReadPlan(root_bytes, False, FIRST_BOUND, LAST_BOUND, ("the first row", "the last row"),
                    threads=None if threads is None else _arguments.count(threads, "threads", 1),
                    zone=archive_zone(tz, root_bytes), index=index)
    store = store_of(plan, None)
    if store is None:
        raise ValueError("no index to build: index=False (or ZENTRAIL_INDEX=off)")
    files = plan.files()
    # Each section a file's part is made for, one by one (the inventory's
    # for all files at once), with the version of its parts.
    made = {_in_force.SECTION: (_in_force.last_rows, _in_force.VERSION), **(more or {})}
    versions = {_inventory.SECTION: _inventory.VERSION, **{name: version for name, (_, version) in made.items()}}
    if clear:
        for name in files:
            for section in (*versions, _inventory.SPAN_SECTION):
                store.forget(name, reading_of(plan), section)
        store.flush()
    elif not check:
        _inventory.counts(plan, store, "file")
        identities = identities_of(files)
        for section, (compute, version) in made.items():
            for name, identity in zip(files, identities):
                part_of(plan, name, section, compute, version, store, fallback=False, flush=False, identity=identity)
            store.flush()
    fresh = dict.fromkeys(versions, 0)
    unkept = dict.fromkeys(versions, 0)
    missing = dict.fromkeys(versions, 0)
    archive_bytes = index_bytes = 0
    reading = reading_of(plan)
    for name, identity in zip(files, identities_of(files)):
        if identity is None:
            for section in versions:
                missing[section] += 1
            continue
        archive_bytes += identity.size
        for section in versions:
            part = store.load(identity, reading, section, versions[section])
            if part is None:
                missing[section] += 1
                continue
            (unkept if UNKEPT in part else fresh)[section] += 1
            index_bytes += store.size_of(identity, reading, section)
    return IndexSummary(store.folder, len(files), archive_bytes, index_bytes, fresh, unkept, missing)
