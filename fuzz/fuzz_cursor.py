"""Arbitrary text as a follower's cursor. The decoder either raises a
ValueError that says the cursor is damaged, or gives a position whose fields
have their types and ranges, which encodes to a text that decodes to it
again; and a follower resumed from it over a small archive follows on, or
raises ArchiveRewrittenError naming the file it names. Any other exception
is a finding.

The input's first byte says what the rest is: the cursor's text itself (an
even byte), or the JSON inside one, encoded as Follower.cursor encodes it
(so that mutations keep it readable and reach the checks after); an odd byte
above 127 resumes with on_rewrite="reread". The seeds
(fuzz/corpus/fuzz_cursor, written by --seeds) are the cursors of a follower
at the archive's records. Run with atheris (pip install atheris):

    scripts/fuzz.sh fuzz_cursor 600            # inputs found go to fuzz/out/fuzz_cursor
    .venv/bin/python fuzz/fuzz_cursor.py --seeds
"""

from __future__ import annotations

import base64
import sys
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tools"))
sys.path.insert(0, str(HERE.parent / "examples"))

from json_mutations import mutate_json  # noqa: E402
import python_target  # noqa: E402
from scratch_folder import scratch_folder  # noqa: E402

CORPUS = HERE / "corpus" / "fuzz_cursor"


class Archive:
    """A small plant's archive over midnight, in a scratch folder of this
    process."""

    def __init__(self) -> None:
        import datetime

        import simulate_plant

        self.scratch = self.root = scratch_folder("zentrail-fuzz-cursor")
        plant = simulate_plant.Plant(8, 60.0, 5, limits=0.3)
        files: dict = {}
        for _, day, records in plant.run(datetime.datetime(2024, 3, 1, 23), 0.08):
            files.setdefault(day, bytearray()).extend(b"".join(records))
        ordered = sorted(files.items())
        for n, (day, data) in enumerate(ordered):
            path = simulate_plant.day_path(self.root, day)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(bytes(data) + (simulate_plant.END if n < len(ordered) - 1 else b""))

    def seeds(self) -> dict:
        """The JSON inside the cursors of a follower: at the first file's
        start, after its first batch, and at the end of what it followed."""
        import zentrail
        from zentrail._live import cursor

        found = {}
        follower = zentrail.follow(self.root, start="2024-03-01", poll=0.001, idle_timeout=0.001)
        while True:
            text = follower.cursor
            if text is not None and len(found) < 3:
                body = text[len(cursor.PREFIX):]
                found[f"cursor-{len(found)}"] = b"\x01" + base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
            if next(follower, None) is None:
                break
        body = follower.cursor[len(cursor.PREFIX):]
        found["cursor-end"] = b"\x01" + base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
        found["text-end"] = b"\x00" + follower.cursor.encode()
        # A follower reading in a zone, and one that stands in a repeated hour.
        zoned = zentrail.follow(self.root, start="2024-03-01", poll=0.001, idle_timeout=0.001, tz="Europe/Berlin")
        for _ in zoned:
            pass
        body = zoned.cursor[len(cursor.PREFIX):]
        inside = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
        found["cursor-zoned"] = b"\x01" + inside
        found["cursor-fold"] = b"\x01" + inside[:-len(b"null]")] + b"[48,false,false,1000,3]]"
        return found


def check(archive: Archive, data: bytes) -> None:
    import zentrail
    from zentrail._live import cursor

    if not data:
        return
    if data[0] % 2 == 0:
        text = data[1:].decode("utf-8", "replace")
    else:
        text = cursor.PREFIX + base64.urlsafe_b64encode(data[1:]).decode().rstrip("=")
    try:
        at = cursor.decode(text)
    except ValueError as error:
        if not str(error).startswith("cursor "):
            raise AssertionError(f"a damaged cursor's error does not say so: {error}") from error
        return
    numbers = (at.offset, at.day, at.id)
    if not (all(type(n) is int and n >= 0 for n in numbers) and at.day <= 0xFFFF and at.id <= 0xFFFF
            and type(at.file) is str and type(at.head) is str and type(at.before) is str):
        raise AssertionError(f"decoded with fields of the wrong types or ranges: {at!r}")
    if cursor.decode(cursor.encode(at)) != at:
        raise AssertionError(f"{at!r} does not come back from its own text")
    if at.zone is not None and not (type(at.zone) is str and (at.fold is None or type(at.fold) is list)):
        raise AssertionError(f"decoded with a zone or fold of the wrong type: {at!r}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the file read again from its start
        try:
            follower = zentrail.follow(archive.root, cursor=text, poll=0.001, idle_timeout=0.001,
                                       on_rewrite="reread" if data[0] > 127 else "raise",
                                       tz=False if at.zone is None else at.zone)
            for _ in follower:
                pass
        except ValueError as error:
            if at.zone is None or not str(error).startswith("tz: "):  # only a zone this machine does not know
                raise
        except zentrail.ArchiveRewrittenError as error:
            if at.file.split("/")[-1] not in str(error):
                raise AssertionError(f"the error does not name the file: {error}") from error


def mutate(data: bytes, max_size: int, seed: int) -> bytes:
    """The JSON inside a cursor mutated as JSON, the first byte kept; any
    other input byte by byte."""
    import atheris

    if len(data) > 1 and data[0] % 2 == 1:
        return data[:1] + mutate_json(data[1:], max_size - 1, seed)
    return atheris.Mutate(data, max_size)


def instrumented() -> None:
    import zentrail  # noqa: F401
    from zentrail._live import cursor, follow  # noqa: F401


def main() -> None:
    python_target.run(CORPUS, Archive, check, mutate, instrumented)


if __name__ == "__main__":
    main()
