"""Arbitrary bytes as a catalog file, CSV and JSON: a loader either gives a
catalog or raises ValueError (UnicodeError is one) or TypeError naming the
file; anything else is a finding. A catalog loaded is written out and read
back to the same rows, and each of its names selects its own entry.

    scripts/fuzz.sh fuzz_catalog 120          # atheris, in the project's interpreter
    python fuzz/fuzz_catalog.py FILE...       # replays inputs (a finding, the corpus)

The first byte chooses the loader (even: CSV, odd: JSON); the rest is the
file. Needs atheris (pip install atheris) to fuzz, not to replay.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

import zentrail  # noqa: E402

WHERE = "fuzz-catalog"
EXPECTED = (ValueError, TypeError)


def check(data: bytes) -> None:
    """One input: the loader's outcome, then the catalog's own consistency."""
    if not data:
        return
    as_json = data[0] & 1
    kind = "json" if as_json else "csv"
    try:
        loaded = zentrail.Catalog.from_bytes(data[1:], kind, name=WHERE)
    except EXPECTED as error:
        if WHERE not in str(error):
            raise AssertionError(f"the error does not name the file: {error!r}") from error
        return
    records = loaded.to_records()
    # Written out as the loader reads it, and read back: the same rows.
    written = loaded.to_json() if as_json else loaded.to_csv()
    again = zentrail.Catalog.from_bytes(written.encode("utf-8"), kind, name=WHERE)
    if as_json:  # JSON leaves blank fields out, so a column blank in every row goes
        assert _given(again.to_records()) == _given(records), (records, again.to_records())
    else:
        assert again.to_records() == records, (records, again.to_records())
    for record in records[:50]:
        name = record["name"]
        # A name is its own entry, whatever it holds; "=" asks for it alone.
        assert loaded[name].as_dict() == record
        assert loaded.find(name) == [name]
        assert "=" + name in loaded or loaded.find("=" + name) == [name]
        code = record["signal_id"] * 1024 + (record["element"] or 0)
        entry = loaded.entry(code)
        assert entry is not None and entry.signal_id == record["signal_id"]
        if record["element"] is not None:
            assert entry.name == name


def _given(records: list) -> list:
    return [{k: v for k, v in record.items() if v is not None} for record in records]


def main() -> None:
    replay = [arg for arg in sys.argv[1:] if not arg.startswith("-")]
    if replay and all(os.path.isfile(arg) for arg in replay):
        for path in replay:
            check(Path(path).read_bytes())
        print(f"replayed {len(replay)} inputs")
        return
    import atheris

    atheris.instrument_all()
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
