"""Writes the seed corpus of the fuzz targets into fuzz/corpus/.

Reader seeds are small archive files made with the archive builder,
every record class present; text seeds are bound texts and paths joined by
NUL bytes (text, start bound, end bound).
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))

import archive_format as ab  # noqa: E402


def reader_seeds():
    t = ab.at("12:34:56.789012345")
    every_alarm = [ab.alarm(kind, t, 7, value=0x1234, param=2) for kind in ab.ALARM_CLASSES]
    every_group = [ab.group(kind, t, 9, [1, 0, 1] if kind == "GrBool" else [1, 2, 3]) for kind in ab.GROUP_CLASSES]
    yield "every-class", ab.archive(ab.date_mark(8826), ab.system(t, 1, 54), *every_alarm,
                                    ab.string_alarm(t, 12, "pump 3 restarted"), *every_group, ab.END)
    yield "date-marks", ab.archive(*(ab.date_mark(d) for d in range(0, 65536, 4096)), ab.alarm("AlByte", 0, 1, 5))
    yield "largest-groups", ab.archive(ab.group("GrDouble", t, 1, [0.5] * 64), ab.group("GrLong", t, 2, [7] * 128),
                                       ab.group("GrBool", t, 3, [], count=0, payload=bytes(range(32))),
                                       ab.group("GrByte", t, 4, [255] * 255))
    yield "long-string", ab.archive(ab.string_alarm(t, 12, b"x" * 4000), ab.alarm("AlWord", t, 5, 300))
    yield "end-and-junk", ab.archive(ab.alarm("AlShort", t, 1, 42), ab.END, b"junk after the end")
    yield "cut-short", ab.archive(ab.date_mark(1), ab.group("GrWord", t, 5, [10, 20, 30]))[:-3]
    yield "oversized-group", ab.archive(ab.alarm("AlByte", t, 1, 5), ab.group("GrDouble", t, 1, [0.0] * 65))
    yield "reserved-class", ab.archive(ab.alarm("AlByte", t, 1, 5), ab.alarm("AlBool", t, 1)[:6] + b"\x2d\x00\x00\x01")
    yield "bad-date-mark", ab.archive(ab.date_mark(3), b"\x80\x01\x00\x00\x00\x00")


def column_seeds():
    # A selection (bounds choice, batch size, codes as id and index + 8),
    # then an archive file: the reader's seeds under a few selections.
    codes = bytes([7, 8, 7, 9, 7, 10, 9, 8, 1, 8 + 63, 4, 8, 2, 8, 5, 8 + 2, 3, 8 + 127, 0, 7])
    for n, (name, file) in enumerate(reader_seeds()):
        yield name, bytes([n % 6, n % 16, len(codes) // 2]) + codes + file


def sink_seeds():
    # A window choice, ids (bit k: id k; 0: every id), flags (by day, system
    # records), then an archive file: the reader's seeds and every event kind.
    t = ab.at("12:34:56.789012345")
    events = ab.archive(ab.date_mark(8826), ab.system(t, 1, 54), ab.alarm("AlBool", t, 1, subtype=1),
                        ab.alarm("AlAckn", t, 2, value=-5, subtype=3), ab.string_alarm(t, 3, b"caf\xc3\xa9 \xff"),
                        ab.alarm("AlDouble", ab.NS_PER_DAY + t, 1, payload=bytes([0x40, 0x09])), ab.END)
    yield "every-event", bytes([0, 0, 3]) + events
    yield "some-ids-by-day", bytes([1, 0b110, 1]) + events
    for n, (name, file) in enumerate(reader_seeds()):
        yield name, bytes([n % 5, n * 37 % 256, n % 4]) + file


def stream_seeds():
    # A scan (bounds, batch size, threads, two cuts into up to three files,
    # columns, class and subtype masks, limit, steps) and the reader's seeds.
    codes = bytes([7, 8, 7, 9, 7, 10, 9, 8, 1, 8 + 63, 4, 8, 2, 8, 5, 8 + 2, 3, 8 + 127, 0, 7])
    scans = [bytes([0, 3, 1, 80, 170, 0x3F, 0xFF, 0xFF, 0xFF, 0x00]),
             bytes([0, 0, 2, 0, 255, 0xC9, 0xFF, 0xC0, 0xFF, 0x83]),
             bytes([1, 7, 2, 128, 128, 0x25, 0x0C, 0x41, 5, 0x2A]),
             bytes([0, 15, 0, 40, 200, 0x7E, 0x80, 0x80, 0xFF, 0x95])]
    for n, (name, file) in enumerate(reader_seeds()):
        yield name, scans[n % len(scans)] + bytes([len(codes) // 2]) + codes + file


def overview_seeds():
    # A window choice, a bucket count choice, ids (bit k: elements 0 to 3 of
    # id k; 0: every code), then an archive file: values spread over a day,
    # ties of extremes, NaN and text rows, and the reader's seeds.
    day = 8826
    spread = ab.archive(ab.date_mark(day), *(ab.group("GrDouble", ab.at(f"{h:02}:{m:02}:00"), 1 + h % 3,
                                                      [float(h - m), 5.0, float("nan")])
                                             for h in range(0, 24, 5) for m in (0, 30)),
                        ab.string_alarm(ab.at("12:00:00"), 1, "text"), ab.alarm("AlShort", ab.at("12:00:00"), 2, -7),
                        ab.alarm("AlShort", ab.at("12:59:59"), 2, -7), ab.END)
    yield "day-spread", bytes([1, 4, 0]) + spread
    yield "hour-some-ids", bytes([2, 3, 0b110]) + spread
    yield "many-buckets", bytes([0, 7, 0]) + spread
    for n, (name, file) in enumerate(reader_seeds()):
        yield name, bytes([n % 6, n % 8, n * 37 % 256]) + file


def series_seeds():
    # Window, grid step, lookback, gap and interpolation, ids (bit k: elements
    # 0 to 3 of id k; 0: every code), where the first file ends (x 16 bytes),
    # then two files: values the day before and on the day, rows out of time
    # order and at one instant, rows of another day than their file's, NaN
    # values and text rows; and the reader's seeds.
    day = 8826
    before = ab.archive(ab.date_mark(day - 1), *(ab.group("GrDouble", ab.at(f"{h:02}:00:00"), 1, [float(h), 2.0, float("nan")])
                                                 for h in (3, 20, 23)),
                        ab.alarm("AlShort", ab.at("22:00:00"), 2, -7), ab.date_mark(day),
                        ab.group("GrDouble", ab.at("06:30:00"), 1, [9.5, 1.0, 4.0]), ab.END)
    on_day = ab.archive(ab.date_mark(day), *(ab.group("GrDouble", ab.at(f"{h:02}:{m:02}:00"), 1 + h % 2,
                                                      [float(h - m), 5.0, float("nan")])
                                             for h in (1, 12, 7, 12, 18) for m in (0, 30)),
                        ab.string_alarm(ab.at("12:00:00"), 1, "text"), ab.alarm("AlShort", ab.at("12:00:00"), 2, 4),
                        ab.alarm("AlShort", ab.at("12:00:00"), 2, 8), ab.END)
    split = (len(before) + 15) // 16
    files = before + b"\0" * (split * 16 - len(before)) + on_day
    yield "day-and-day-before", bytes([0, 0, 0, 0, 0b110, split]) + files
    yield "noon-linear-gap", bytes([1, 3, 0, 0x81, 0, split]) + files
    yield "no-lookback-linear", bytes([0, 2, 1, 0x80, 0b10, split]) + files
    yield "one-instant", bytes([0x21, 1, 2, 2, 0, split]) + files
    for n, (name, file) in enumerate(reader_seeds()):
        yield name, bytes([n * 17 % 256, n % 6, n % 4, n * 67 % 256, n * 37 % 256, len(file) // 32]) + file + file


def live_seeds():
    # A window and class choice, ids (bit k: elements 0 to 3 of id k; 0:
    # every code), batch size (bit 7: a new parser for every read), the step
    # count, three bytes a step (0 write and read, 1 write, 2 read up to a
    # limit, 3 cut back, 4 rewrite bytes, 5 replace the file, 6 read from the
    # start, 7 read; then two numbers), then what the runtime writes: the
    # series' day with a midnight, texts and system items, and the reader's seeds.
    day = 8826
    t = ab.at("12:34:56.789012345")
    file = ab.archive(ab.date_mark(day), *(ab.group("GrDouble", ab.at(f"{h:02}:00:00"), 1 + h % 3, [float(h), 2.0])
                                          for h in range(0, 24, 3)),
                      ab.system(t, 1, 54), ab.string_alarm(t, 2, "pump 3 restarted"), ab.alarm("AlShort", t, 2, -7),
                      ab.date_mark(day + 1), ab.alarm("AlByte", ab.at("00:00:01"), 1, 5), ab.END)

    def steps(*triples):
        return bytes([len(triples)]) + b"".join(bytes([what, n & 0xFF, n >> 8]) for what, n in triples)

    yield "small-chunks", bytes([0, 0, 3]) + steps(*((0, 7 + 13 * k) for k in range(20))) + file
    yield "limits-new-parsers", bytes([1, 0b110, 0x81]) + steps(*((2, 5 + 40 * k) for k in range(8)), (0, 100),
                                                                 *((2, 1 + 9 * k) for k in range(8))) + file
    yield "cut-back-and-on", bytes([0, 0, 5]) + steps((0, 90), (3, 40), (7, 0), (0, 200), (3, 150), (0, 300)) + file
    yield "rewritten-reread", bytes([0xFC, 0, 0]) + steps((0, 120), (4, 0x3355), (7, 0), (5, 0x0A0A), (7, 0),
                                                          (6, 0), (5, 0), (0, 50), (0, 400)) + file
    for n, (name, seed) in enumerate(reader_seeds()):
        yield name, bytes([n % 2 * 3, 0, n]) + steps(*(((n + k) % 8, 37 * k + n) for k in range(6))) + seed


def text_seeds():
    yield "bound", b"2024-03-01 12:30:45"
    yield "bound-with-text", b"x2024/03/01T12.30.45Z UTC\x002024-03-01 00:00:00\x002024-03-03 23:59:59"
    yield "archive-path", b"/data/2024-03-02_plant.vlx\x002024-03-01T00:00:00\x002024-03-03"
    yield "day-in-directory", b"/data/2023-12-31_a/2024-03-02_b.vlx.bak"
    yield "line-break", b"2024-03-01\n12:30:45 /d/2024-03-02_a\rb.vlx"


def zip_member_seeds():
    """Ten control bytes (see fuzz_zip_member.cpp), then a zip file of one member."""
    import io
    import zipfile

    member = ab.archive(ab.date_mark(8826), ab.alarm("AlWord", ab.at("01:02:03"), 5, 300), ab.END) * 20
    for name, method, first in (("stored", zipfile.ZIP_STORED, 0), ("deflated", zipfile.ZIP_DEFLATED, 1)):
        zipped = io.BytesIO()
        with zipfile.ZipFile(zipped, "w", method) as archive_file:
            archive_file.writestr("2024/2024-03-01_a.vlx", member)
        for piece, honest in ((7, 1), (4096, 1), (300, 0)):
            control = bytes([first, 0]) + piece.to_bytes(2, "little") + bytes([0, honest]) + bytes(4)
            yield f"{name}-{piece}-{honest}", control + zipped.getvalue()


def main():
    for target, seeds in (("fuzz_reader", reader_seeds()), ("fuzz_text", text_seeds()),
                          ("fuzz_columns", column_seeds()), ("fuzz_sinks", sink_seeds()),
                          ("fuzz_stream", stream_seeds()), ("fuzz_overview", overview_seeds()),
                          ("fuzz_series", series_seeds()), ("fuzz_live", live_seeds()),
                          ("fuzz_zip_member", zip_member_seeds())):
        folder = HERE / "corpus" / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds:
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
