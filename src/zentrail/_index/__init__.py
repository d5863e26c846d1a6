"""The index of an archive's files: what a read of each whole file gave,
kept outside the archive and used in place of reading the file again while
the file is the same.

A reader asks :func:`per_file` for a *section* (``"inventory"``,
``"in_force"``, ``"gaps"``): one part per file, each what the section's
``compute`` makes of one whole file read as the plan reads files (its zone
included; every code, no window, no condition). The reader then merges the
parts under its own window and arguments, so that its answer is the same
whether a part came from the index or from a read now. :func:`per_folder`
gives a part per folder's run of files, merged of theirs and kept beside
them while every one is the same (ten years of days: 120 parts, not 3,650).

An entry is used only while its file's identity (path, size, modification
time, inode, the bytes at its edges) is unchanged and the entry is whole:
a stale, torn or corrupt entry is read past and built again, silently. A
file that grows (today's) is stale at each growth and read again whole. A
part whose making warned (a damaged file, a guess of the clock) is never
kept, so its warnings come again with each read. Files elsewhere (URLs,
zip members) are not indexed. Where the index folder cannot be written,
reads go on without keeping entries, with one IndexWarning.
"""

from __future__ import annotations

import warnings

from zentrail._index import place as _place
from zentrail._index.identity import identities_of, identity_of, unchanged
from zentrail._index.store import UNKEPT, IndexWarning, Store

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

    from zentrail._read.plan import ReadPlan

    _Part = Dict[str, Any]

__all__ = ["UNKEPT", "IndexWarning", "Store", "per_file", "per_folder", "part_of", "identity_of", "identities_of", "store_of", "reading_of", "whole_file_plan"]


def store_of(plan: ReadPlan, index: Any) -> Optional[Store]:
    """The index a read of `plan` uses (see zentrail._index.place): `index`,
    else the plan's own; None for none: index False, or files elsewhere."""
    import os

    from zentrail._elsewhere import remote as _remote

    if _remote.is_place(plan.source):
        return None
    root = None if plan.listed else os.fsdecode(plan.source)
    folder = _place.folder_of(plan.index if index is None else index, root)
    return None if folder is None else Store(folder)


def reading_of(plan: ReadPlan) -> str:
    """What in a plan changes what a whole file's read gives: its zone."""
    return "" if plan.zone is None else plan.zone.name


def whole_file_plan(plan: ReadPlan, files: Sequence[str], errors: str) -> ReadPlan:
    """The plan of the whole of `files` read as `plan` reads files: its zone
    and threads, every code, no window, no condition, no progress."""
    from zentrail._read.plan import FIRST_BOUND, LAST_BOUND

    return plan.with_files(files).files_only().replace(start=FIRST_BOUND, end=LAST_BOUND, progress=None,
                                                       errors=errors, shown=("the first row", "the last row"))


def per_file(plan: ReadPlan, section: str, compute: Callable[[ReadPlan], Optional[_Part]], *, version: int = 1,
             index: Any = None, files: Optional[List[str]] = None) -> List[Tuple[str, Optional[_Part]]]:
    """``[(file, part)]`` for `files` (by default ``plan.files()``), in that
    order: each part ``compute(whole_file_plan(...))`` of that one file, a
    dict of 1-D NumPy arrays (or None), taken from the index where a fresh
    entry of `section` at `version` exists, else made now (and kept, when
    its making warned nothing and it is small enough). Without an index,
    each is made with the plan's ``errors``; with one, a file whose read
    fails is read again with them, so that its warnings and its part are
    those a read without the index gives."""
    if files is None:
        files = plan.files()
    store = store_of(plan, index)
    if store is None:
        return [(name, compute(whole_file_plan(plan, [name], plan.errors))) for name in files]
    parts: List[Tuple[str, Optional[_Part]]] = []
    for name, identity in zip(files, identities_of(files)):
        part = part_of(plan, name, section, compute, version, store, flush=False, identity=identity)
        if part is not None and UNKEPT in part:  # too large to keep: made each time
            part = compute(whole_file_plan(plan, [name], plan.errors))
        parts.append((name, part))
    store.flush()
    return parts


def part_of(plan: ReadPlan, name: str, section: str, compute: Callable[[ReadPlan], Optional[_Part]], version: int,
            store: Store, fallback: bool = True, build: bool = True, flush: bool = True,
            identity: Any = ...) -> Optional[_Part]:
    """The part of the file `name` from `store` (it may be the UNKEPT
    marker), else made now and kept when it may be. A file whose read fails
    is read again with the plan's ``errors`` (`fallback`), or gives None,
    as does one whose read warned when there is no `fallback`, and one
    not kept when not to `build`. A part made is written at once unless
    not to `flush` (the caller flushes the store). `identity`: the file's,
    when the caller found it already (identities_of finds many at once)."""
    if identity is ...:
        identity = identity_of(name)
    reading = reading_of(plan)
    part = None if identity is None else store.load(identity, reading, section, version)
    if part is not None or not build:
        return part
    with warnings.catch_warnings(record=True) as told:
        warnings.simplefilter("always")
        try:
            part = compute(whole_file_plan(plan, [name], "raise"))
        except (OSError, ValueError):  # a damaged file
            part = None
            failed = True
        else:
            failed = False
    if failed:
        # The file's own read, as a read without an index makes it.
        return compute(whole_file_plan(plan, [name], plan.errors)) if fallback else None
    if told:
        if not fallback:  # the caller's own read of the file warns
            return None
        for message in told:
            warnings.warn_explicit(message.message, message.category, message.filename, message.lineno,
                                   source=message.source)
    elif part is not None and identity is not None and unchanged(identity):
        # (Unchanged while it was read: a part of a file that grew or was
        # replaced meanwhile belongs to neither identity.)
        if not store.save(identity, reading, section, version, part):
            store.save_unkept(identity, reading, section, version)
        if flush:
            store.flush()
    return part


# The name in a pack of the part that stands for all of its folder's files.
_EVERY_FILE = "\0every file"


def per_folder(plan: ReadPlan, section: str, compute: Callable[[ReadPlan], Optional[_Part]],
               merge: Callable[[List[Tuple[str, Optional[_Part]]]], _Part], *, version: int = 1,
               index: Any = None) -> List[_Part]:
    """The parts of runs of the plan's files, in read order: each run the
    files of one folder that follow one another in read order, its part
    ``merge(per_file(...))`` of its files' parts. A run's part is kept
    beside its files' (in their pack) while every one of them is the same
    and its own part is kept: a warm question of ten years of day files
    then reads a part per month, not per day."""
    import hashlib
    import os

    from zentrail._index.identity import FileIdentity

    files = plan.files()
    store = store_of(plan, index)
    if store is None:
        return [merge(per_file(plan, section, compute, version=version, index=index, files=files))] if files else []
    identities = identities_of(files)
    reading = reading_of(plan)
    runs: List[List[int]] = []
    for k, name in enumerate(files):
        if runs and os.path.dirname(files[runs[-1][-1]]) == os.path.dirname(name):
            runs[-1].append(k)
        else:
            runs.append([k])
    out: List[_Part] = []
    for run in runs:
        members: List[FileIdentity] = [member for member in (identities[k] for k in run) if member is not None]
        names = [files[k] for k in run]
        if len(members) < len(run):
            out.append(merge(per_file(plan, section, compute, version=version, index=index, files=names)))
            continue
        digest = hashlib.blake2b(repr([member.fields() for member in members]).encode("utf-8", "surrogateescape"),
                                 digest_size=16).hexdigest()
        whole = FileIdentity(os.path.join(os.path.dirname(members[0].path), _EVERY_FILE),
                             sum(member.size for member in members), 0, 0, 0, digest)
        part = store.load(whole, reading, section, version)
        if part is None:
            parts = [(name, part_of(plan, name, section, compute, version, store, flush=False, identity=member))
                     for name, member in zip(names, members)]
            kept = all(store.load(member, reading, section, version) is not None for member in members)
            parts = [(name, compute(whole_file_plan(plan, [name], plan.errors)) if got is not None and UNKEPT in got
                      else got) for name, got in parts]
            part = merge(parts)
            if kept and all(got is not None and UNKEPT not in got for _, got in parts):
                store.save(whole, reading, section, version, part)
            store.flush()
        out.append(part)
    return out
