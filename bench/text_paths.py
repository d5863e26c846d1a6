"""Events and text output, before and after: the same reads and commands run
with this checkout's package and with another source tree's, in one run.

    python bench/text_paths.py --root bench/data/mix-1000/tree --before ../old/src [--repeats 3]
    python bench/text_paths.py --smoke      # this checkout against itself, on a tiny tree

``--before`` names a ``src`` folder whose ``zentrail`` package has its
compiled core beside it (as bench/read_plan.py takes it). Every figure is
timed in a fresh interpreter (the start and imports included, as a user
meets them), the sides alternating repeat by repeat so that both meet the
same page cache and the same load; a figure is the median of the repeats.

- ``events(...).to_numpy()`` of the whole tree, its rows a second against
  the scan's over the same files (its rows counted batch by batch) and
  against the scan of the 256 output-heavy codes to NumPy;
- ``zentrail events -o x.csv`` and ``zentrail export -o x.csv`` (the 256
  codes with their names) against ``pyarrow.csv.write_csv`` of the same
  columns read by the same process; ``zentrail export -o x.parquet`` against
  ``pyarrow.parquet.write_table``, each compared with pyarrow's time from
  its interpreter's start (as the command is timed) and after its imports
  (the command's worst case);
- ``zentrail events`` printing its aligned table (to /dev/null).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import WHOLE_RANGE, ensure_tree, this_checkout_src  # noqa: E402

SIGNALS = f"{generate.FREQUENT_GROUP_IDS[0]}-{generate.FREQUENT_GROUP_IDS[-1]}:0-3"
COLUMNS = ("time", "signal_id", "element", "value", "item_class", "subtype", "class_name", "subtype_name")
EVENTS = ("time", "signal_id", "item_class", "subtype", "param", "class_name", "subtype_name", "detail", "value",
          "text")

PRELUDE = ("import json, sys, time, warnings\nwarnings.simplefilter('ignore')\nbegan = imported = time.perf_counter()\n"
           "import zentrail\nroot, first, last, out = sys.argv[1:5]\n")
# The whole time, and the time after the imports a statement marks.
ENDING = "now = time.perf_counter()\nprint(json.dumps([now - began, now - imported, rows]))\n"
# name: the statement timed in a fresh interpreter (it sets `rows`)
READS = {
    "events(...).to_numpy()": "rows = len(zentrail.events(root, first, last).to_numpy()['time'])\n",
    "scan, every code, by batch": "rows = sum(len(b['time']) for b in zentrail.scan(root, first, last))\n",
    "scan, 256 codes, to_numpy()": (
        "from zentrail.cli.arguments import parse_signals\n"
        f"rows = len(zentrail.scan(root, first, last, parse_signals({SIGNALS!r})).to_numpy()['time'])\n"),
    "pyarrow.csv.write_csv(events)": (
        "import pyarrow, pyarrow.csv\nimported = time.perf_counter()\n"
        "table = pyarrow.table(zentrail.events(root, first, last))\n"
        "pyarrow.csv.write_csv(table, out)\nrows = table.num_rows\n"),
    "pyarrow.csv.write_csv(scan)": (
        "import pyarrow, pyarrow.csv\nfrom zentrail.cli.arguments import parse_signals\nimported = time.perf_counter()\n"
        f"table = pyarrow.table(zentrail.scan(root, first, last, parse_signals({SIGNALS!r})).select(*{COLUMNS!r}))\n"
        "pyarrow.csv.write_csv(table, out)\nrows = table.num_rows\n"),
    "pyarrow.parquet.write_table(scan)": (
        "import pyarrow, pyarrow.parquet\nfrom zentrail.cli.arguments import parse_signals\nimported = time.perf_counter()\n"
        f"table = pyarrow.table(zentrail.scan(root, first, last, parse_signals({SIGNALS!r})).select(*{COLUMNS!r}))\n"
        "pyarrow.parquet.write_table(table, out)\nrows = table.num_rows\n"),
}
# name: the command's arguments after the root (-o OUT follows)
COMMANDS = {
    "zentrail events -o x.csv": ["events"],
    "zentrail events (a table, to stdout)": ["events"],
    "zentrail export -o x.csv": ["export", "--signals", SIGNALS],
    "zentrail export -o x.parquet": ["export", "--signals", SIGNALS],
}


def timed(src: str, argv: list, quiet: bool = False) -> subprocess.CompletedProcess:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in (src, str(HERE.parent / "tools")) if path)}
    done = subprocess.run([sys.executable, *argv], stdout=subprocess.DEVNULL if quiet else subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"{' '.join(map(str, argv[:4]))} ... failed: {done.stderr[-2000:]}")
    return done


def read_seconds(src: str, name: str, root: Path, out: Path) -> tuple:
    """(seconds from the interpreter's start, seconds after the imports, rows)."""
    done = timed(src, ["-c", PRELUDE + READS[name] + ENDING, str(root), *WHOLE_RANGE, str(out)])
    return tuple(json.loads(done.stdout.strip().splitlines()[-1]))


def command_seconds(src: str, name: str, root: Path, out: Path) -> tuple:
    script = ("import sys, time\nbegan = time.perf_counter()\nfrom zentrail.cli import main\n"
              "try:\n    main(sys.argv[1:])\nexcept SystemExit as end:\n    assert not end.code, end.code\n"
              "print(time.perf_counter() - began, file=sys.stderr)\n")
    table = "table" in name
    argv = [COMMANDS[name][0], str(root), "--from", WHOLE_RANGE[0], "--to", WHOLE_RANGE[1], *COMMANDS[name][1:],
            *([] if table else ["-o", str(out)])]
    lines = timed(src, ["-c", script, *argv], quiet=table).stderr.strip().splitlines()
    seconds = float(lines[-1])
    return seconds, seconds, None if table else int(lines[-2].split()[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", type=Path, help="an archive tree (default: the 1 GB tree of bench/run.py)")
    parser.add_argument("--before", help="the src folder of the package to compare with")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the script runs")
    args = parser.parse_args()
    here = this_checkout_src()
    if args.smoke:
        stats = ensure_tree(HERE / "data" / "smoke" / "mix-4", 4, 2)
        args.root, args.repeats = stats.files[0].parents[2], 1
    elif args.root is None:
        args.root = ensure_tree(HERE / "data" / "mix-1000", 1000, 30).files[0].parents[2]
    sides = {"after": here, **({"before": args.before} if args.before else {})}
    jobs = [(kind, name) for kind, names in (("read", READS), ("command", COMMANDS)) for name in names]
    times = {(side, name + extra): [] for side in sides for _, name in jobs for extra in ("", " (after imports)")}
    rows = {}
    with tempfile.TemporaryDirectory() as scratch:
        for repeat in range(args.repeats):
            order = list(sides.items()) if repeat % 2 == 0 else list(sides.items())[::-1]
            for kind, name in jobs:
                for side, src in order:
                    if kind == "read" and side == "before" and name.startswith("pyarrow"):
                        continue  # pyarrow's own writer: timed once, with this checkout's read
                    out = Path(scratch, f"{side}{'.parquet' if 'parquet' in name else '.csv'}")
                    measure = read_seconds if kind == "read" else command_seconds
                    seconds, warm, count = measure(src, name, args.root, out)
                    times[side, name].append(seconds)
                    times[side, name + " (after imports)"].append(warm)
                    rows[name] = count if count is not None else rows["events(...).to_numpy()"]
    load = os.getloadavg()
    print(f"\n{args.root}: median of {args.repeats}, fresh interpreters, load average {load[0]:.1f} "
          f"(1 min) on {os.cpu_count()} cores")

    def median(side: str, name: str) -> float:
        return statistics.median(times[side, name]) if times[side, name] else float("nan")

    width = max(len(name) for _, name in jobs)
    for _, name in jobs:
        line = f"{name:<{width}}  {rows[name]:>12,} rows"
        for side in sides:
            seconds = median(side, name)
            if seconds == seconds:
                line += f"  {side} {seconds:7.2f} s {rows[name] / seconds / 1e6:6.2f} M rows/s"
        print(line)
    for side in sides:
        events_rate = rows["events(...).to_numpy()"] / median(side, "events(...).to_numpy()")
        print(f"{side}: events rows/s {events_rate / (rows['scan, every code, by batch'] / median(side, 'scan, every code, by batch')):.3f}x "
              f"the whole scan's, {events_rate / (rows['scan, 256 codes, to_numpy()'] / median(side, 'scan, 256 codes, to_numpy()')):.3f}x "
              f"the 256-code scan's; the events read takes {median(side, 'events(...).to_numpy()') / median(side, 'scan, every code, by batch'):.2f}x the whole scan's time")
        for command, reference in (("zentrail events -o x.csv", "pyarrow.csv.write_csv(events)"),
                                   ("zentrail export -o x.csv", "pyarrow.csv.write_csv(scan)"),
                                   ("zentrail export -o x.parquet", "pyarrow.parquet.write_table(scan)")):
            print(f"{side}: {command} {median(side, command) / median('after', reference):.2f}x {reference} "
                  f"in a fresh interpreter, {median(side, command) / median('after', reference + ' (after imports)'):.2f}x "
                  "its time after its imports")


if __name__ == "__main__":
    main()
