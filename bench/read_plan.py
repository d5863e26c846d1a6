"""The Python middle, before and after: the same reads timed with this
checkout's package and with another source tree's, in one run.

    python bench/read_plan.py --before ../old/src [--size-mb 200] [--repeats 5]
    python bench/read_plan.py --smoke        # this checkout against itself, tiny

``--before`` names a ``src`` folder whose ``zentrail`` package has its
compiled core beside its Python files (a worktree of an earlier commit,
built with CMake as docs/development.md shows, its ``_core*.so`` copied or
linked into ``src/zentrail``). Each read runs in a fresh interpreter per
side, the sides alternating repeat by repeat, so that both meet the same
page cache; a figure is the median of the repeats.

The reads: the fixed cost of a call (a one-day, one-code scan, 200 times),
a 64-code scan to NumPy, a polars query pushed into the read, a one-day
grid of 256 codes with its look back, and a time-weighted overview.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import ensure_tree, this_checkout_src  # noqa: E402

# name, what runs once before the timing, the timed statement, times it runs
READS = (
    ("fixed cost of a call (one day, one code) x200", "", "for _ in range(200): zentrail.scan(root, day, day, [one]).to_numpy()"),
    ("scan 64 codes to_numpy()", "", "zentrail.scan(root, *span, codes64).to_numpy()"),
    ("polars: filter signal_id pushed, collect", "import polars as pl",
     "zentrail.scan(root, *span).lazy().filter(pl.col('signal_id') == 100).collect()"),
    ("one-day align('1min'), 256 codes, lookback 7d", "", "zentrail.scan(root, day, day, codes256).align('1min').to_numpy()"),
    ("overview(every='1h', time_weighted=True), 256 codes", "",
     "zentrail.scan(root, *span, codes256).overview(every='1h', time_weighted=True).to_numpy()"),
)


def child_script(root: Path, span: tuple, day: str, setup: str, statement: str) -> str:
    codes64 = [ident * 1024 for ident in generate.FREQUENT_GROUP_IDS]
    codes256 = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
    return (
        "import json, time, warnings\nwarnings.simplefilter('ignore')\nimport zentrail\n"
        f"{setup}\n"
        f"root, span, day = {str(root)!r}, {span!r}, {day!r}\n"
        f"one, codes64, codes256 = {codes64[0]}, {codes64!r}, {codes256!r}\n"
        "start = time.perf_counter()\n"
        f"{statement}\n"
        "print(json.dumps(time.perf_counter() - start))\n")


def timed(src: str, script: str) -> float:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([path for path in (src, str(HERE.parent / "tools")) if path])}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True)
    return float(json.loads(done.stdout.strip().splitlines()[-1]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="the src folder of the package to compare with")
    parser.add_argument("--size-mb", type=float, default=200)
    parser.add_argument("--days", type=int, default=16)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    # This checkout's sources where their core is built beside them, else
    # the package installed in this interpreter.
    # The source tree only where its compiled core lies in it (a build's
    # link), not its type stub: else the installed package.
    after = this_checkout_src()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 3, 1
        args.data = args.data / "smoke"
        args.before = args.before or after
    if args.before is None:
        parser.error("--before SRC is needed (or --smoke)")
    stats = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    first_day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY)
    span = (str(first_day), str(first_day + datetime.timedelta(days=args.days - 1)))
    day = str(first_day + datetime.timedelta(days=args.days // 2))
    print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB; before: {args.before or 'installed'}; "
          f"after: {after or 'installed'}")
    print(f"{'read':55} {'before':>9} {'after':>9} {'after/before':>13}")
    failed = 0
    for name, setup, statement in READS:
        script = child_script(root, span, day, setup, statement)
        try:
            before, now = [], []
            for _ in range(args.repeats):
                before.append(timed(args.before, script))
                now.append(timed(after, script))
        except subprocess.CalledProcessError as error:
            print(f"{name:55} failed: {error.stderr.strip().splitlines()[-1] if error.stderr else error}")
            failed += 1
            continue
        b, a = statistics.median(before), statistics.median(now)
        print(f"{name:55} {b:8.3f}s {a:8.3f}s {a / b:12.2f}x", flush=True)
    if failed:
        sys.exit(f"{failed} read(s) failed")


if __name__ == "__main__":
    main()
