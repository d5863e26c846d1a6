"""What names cost: a scan with the catalog's name and unit columns against
the same scan without them, and the load of a large catalog.

    python bench/names.py              # the 1 GB tree of bench/run.py (made once under bench/data)
    python bench/names.py --smoke      # a tiny run that only checks the suite works

The 256 output-heavy codes of bench/run.py, each named by a catalog of
100,000 rows (the 256, then rows of other ids): for pyarrow.table() and
to_pandas(), the best of three fresh interpreters each, without names
(before) and with ``select(..., "name", "unit")`` (after); the names are
found per batch from the code columns, so the target is within 1.05x. Then
the 100,000-row catalog loaded from CSV and from JSON (target: under 1 s).

Last, selection by pattern: ``zentrail.scan(root, ..., [pattern])`` over a
catalog of 100,000 names S0 to S99999, one in ten a whole signal (10,000
signals, 10,240,000 codes) and the others one element each, for the
patterns ``S1*`` and ``*``; then the same over a catalog naming every one
of the 65,536 signals whole (and 34,464 single elements), whose ``*`` is
every code there is. Each in a fresh interpreter (Linux): the time of the
call (best of three) and how far it raises the peak resident size, beside
the size of the codes it gives, which the read needs whatever the way to
them (target: under 1 s and 200 MiB).
PYTHONPATH chooses the zentrail measured.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

WHOLE_RANGE = ("2000-01-01", "2099-12-31")
COLUMNS = ("time", "signal_id", "element", "value")
CATALOG_ROWS = 100_000

CONSUMERS = {
    "pyarrow.table(scan)": ("import pyarrow as pa", "rows = pa.table(scan).num_rows"),
    "scan.to_pandas()": ("", "rows = len(scan.to_pandas())"),
}

SCRIPT = """
import json, sys, time
import zentrail
{imports}
ROOT, WHOLE, CODES, CATALOG, COLUMNS, NAMES = {root!r}, {whole!r}, {codes!r}, {catalog!r}, {columns!r}, {names!r}
catalog = zentrail.Catalog.from_csv(CATALOG)
scan = zentrail.scan(ROOT, *WHOLE, CODES, catalog=catalog).select(*COLUMNS, *(("name", "unit") if NAMES else ()))
start = time.perf_counter()
{statement}
print(json.dumps({{"seconds": time.perf_counter() - start, "rows": rows}}))
"""

LOAD = """
import json, time, zentrail
start = time.perf_counter()
catalog = zentrail.Catalog.{how}({path!r})
print(json.dumps({{"seconds": time.perf_counter() - start, "rows": len(catalog)}}))
"""


SELECT = """
import json, time, zentrail

def status(field):
    return next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith(field))

catalog = zentrail.Catalog.from_json({path!r})
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak resident size starts again from the present one
before = status("VmRSS:")
start = time.perf_counter()
scan = zentrail.scan({root!r}, "2024-03-01", "2024-03-01", [{pattern!r}], catalog=catalog)
seconds = time.perf_counter() - start
print(json.dumps({{"seconds": seconds, "peak": status("VmHWM:") - before, "codes": len(scan.plan.codes)}}))
"""
SELECT_PATTERNS = ("S1*", "*")


def selection_rows(count: int, every_signal: bool) -> list:
    """`count` names S0, S1, ...: one in ten a whole signal, the others one
    element each of signals of their own (or, `every_signal`, each of the
    65,536 signals whole first, then single elements)."""
    if every_signal:
        whole = min(count, 65536)
        return ([{"signal_id": n, "name": f"S{n}"} for n in range(whole)] +
                [{"signal_id": (n - whole) // 1024, "element": (n - whole) % 1024, "name": f"S{n}"}
                 for n in range(whole, count)])
    tenth = -(-count // 10)
    return [{"signal_id": n // 10, "name": f"S{n}"} if n % 10 == 0 else
            {"signal_id": tenth + n // 10, "element": n % 10, "name": f"S{n}"} for n in range(count)]


def select_reference(rows: list, pattern: str) -> list:
    """The codes of a pattern the plain way, for the smoke run's check."""
    import fnmatch

    codes = set()
    for row in rows:
        if fnmatch.fnmatchcase(row["name"], pattern):
            element = row.get("element")
            codes.update(range(row["signal_id"] * 1024, row["signal_id"] * 1024 + 1024) if element is None
                         else [row["signal_id"] * 1024 + element])
    return sorted(codes)


def measure_selection(folder: Path, count: int, repeat: int, check: bool) -> None:
    import zentrail

    print(f"{'catalog':<34} {'pattern':<8} {'codes':>12} {'of them':>9} {'time':>9} {'peak':>10}")
    for every_signal in (False, True):
        rows = selection_rows(count, every_signal)
        path = folder / f"select-{every_signal}.json"
        zentrail.Catalog(rows).to_json(path)
        kind = f"{count:,} names, " + ("every signal whole" if every_signal else "a tenth whole")
        for pattern in SELECT_PATTERNS:
            got = [run(SELECT.format(path=str(path), root=str(folder), pattern=pattern)) for _ in range(repeat)]
            best = min(g["seconds"] for g in got)
            peak = min(g["peak"] for g in got) / 2 ** 20
            codes = got[0]["codes"]
            print(f"{kind:<34} {pattern:<8} {codes:>12,} {codes * 4 / 2 ** 20:>5.0f} MiB {best:>7.3f} s "
                  f"{peak:>6.0f} MiB")
            if check:
                scan = zentrail.scan(folder, "2024-03-01", "2024-03-01", [pattern], catalog=zentrail.Catalog(rows))
                assert scan.plan.codes.tolist() == select_reference(rows, pattern), pattern


def run(script: str) -> dict:
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def write_catalogs(folder: Path, codes: list) -> tuple:
    """A catalog of CATALOG_ROWS rows naming `codes` first, as CSV and JSON."""
    import zentrail

    rows = [{"signal_id": c // 1024, "element": c % 1024, "name": f"Line{c // 1024}.Sensor{c % 1024}.Temp",
             "unit": "°C", "description": "a furnace zone", "interpolation": "linear"} for c in codes]
    other = 1000
    while len(rows) < CATALOG_ROWS:
        rows.append({"signal_id": other + len(rows) // 16, "element": len(rows) % 16,
                     "name": f"Area{len(rows) % 9}.Unit{len(rows)}.Flow", "unit": "m³/h",
                     "description": "a flow", "interpolation": "step"})
    catalog = zentrail.Catalog(rows)
    csv_path, json_path = folder / "catalog.csv", folder / "catalog.json"
    catalog.to_csv(csv_path)
    catalog.to_json(json_path)
    return csv_path, json_path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    import generate
    import run as bench_run

    size_mb, days = (4, 2) if args.smoke else (1000, 16)
    data = args.data / "smoke" if args.smoke else args.data
    stats = bench_run.ensure_tree(data / f"mix-{size_mb:g}", size_mb, days)
    root = stats.files[0].parents[2]
    codes = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    repeat = 1 if args.smoke else args.repeat
    with tempfile.TemporaryDirectory() as folder:
        csv_path, json_path = write_catalogs(Path(folder), codes)
        print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB, 256 codes, a catalog of {CATALOG_ROWS:,} rows")
        print(f"{'consumer':<26} {'rows':>12} {'before (codes)':>15} {'after (names)':>14} {'ratio':>6}")
        for name, (imports, statement) in CONSUMERS.items():
            times = {}
            for names in (False, True):
                got = [run(SCRIPT.format(imports=imports, statement=statement, root=str(root), whole=WHOLE_RANGE,
                                         codes=codes, catalog=str(csv_path), columns=COLUMNS, names=names))
                       for _ in range(repeat)]
                times[names] = min(g["seconds"] for g in got)
                rows = got[0]["rows"]
            print(f"{name:<26} {rows:>12,} {times[False]:>13.3f} s {times[True]:>12.3f} s "
                  f"{times[True] / times[False]:>6.3f}")
        for how, path in (("from_csv", csv_path), ("from_json", json_path)):
            best = min(run(LOAD.format(how=how, path=str(path)))["seconds"] for _ in range(repeat))
            print(f"Catalog.{how} of {CATALOG_ROWS:,} rows: {best:.3f} s")
        # The smoke run's catalogs are small enough to check against the plain way.
        measure_selection(Path(folder), 2_000 if args.smoke else CATALOG_ROWS, repeat, check=args.smoke)


if __name__ == "__main__":
    main()
