"""The index of archive files against reads without it, in one run.

    python bench/index.py [--years 10] [--repeats 5] [--smoke]

On a generated archive of one day file per day over `--years` years (40
signals of 8 values logged every 100 s: 1.4 MB a day), and on the 1 GB
benchmark tree:

- ``zentrail ls`` as a command: without an index (``--no-index``), its
  first run (building the index) and warm;
- the index's size against the archive's;
- ``zentrail.latest()`` of every code and ``zentrail.at()`` of one instant
  for 256 codes, warm (once the functions exist);
- a one-day ``align("1min")`` with the default 7-day look back against the
  day's ``to_numpy()``, without and with the index (after ``zentrail
  index``), on both trees.

Each ratio is the median of pairs timed one after the other, the order
alternating (bench/zones.py's pairs).
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import zentrail

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
from run import ensure_tree  # noqa: E402
from zones import pair, timed  # noqa: E402


def ensure_years(root: Path, days: int) -> Path:
    """The years tree of `days` days under root (made once)."""
    marker = root / f"days-{days}"
    if not marker.exists():
        shutil.rmtree(root, ignore_errors=True)
        print(f"generating {days} day files under {root} ...", flush=True)
        generate.generate_years_tree(root / "tree", days)
        marker.write_text("made\n")
    return root / "tree"


def command(*args: str, index: str) -> float:
    """Seconds of one `zentrail` command in a new process, its index folder `index`."""
    environment = dict(os.environ, ZENTRAIL_INDEX=index)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "zentrail.cli", *args], check=True, stdout=subprocess.DEVNULL,
                   env=environment)
    return time.perf_counter() - start


def folder_bytes(folder: str) -> int:
    return sum(os.path.getsize(os.path.join(base, name)) for base, _, names in os.walk(folder) for name in names)


def one_day_align(root: Path, day: datetime.date, codes: list, index: str, repeats: int) -> tuple:
    """(align, to_numpy, ratio) of the day, read with the index folder `index` ("off": none)."""
    span = (str(day), f"{day} 23:59:59")
    os.environ["ZENTRAIL_INDEX"] = index
    try:
        return pair(repeats, lambda: zentrail.scan(root, *span, codes).align("1min").to_numpy(),
                    lambda: zentrail.scan(root, *span, codes).to_numpy())
    finally:
        del os.environ["ZENTRAIL_INDEX"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes; checks that the suite runs")
    parser.add_argument("--years", type=float, default=10)
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    if args.smoke:
        args.years, args.size_mb, args.days, args.repeats = 0.1, 4, 10, 1
        args.data = args.data / "smoke"
    years = ensure_years(args.data / f"years-{args.years:g}", int(args.years * 365))
    files = list(years.rglob("*.vlx"))
    archive_bytes = sum(path.stat().st_size for path in files)
    print(f"years tree: {len(files):,} files, {archive_bytes / 1e9:.2f} GB; Python {sys.version.split()[0]}",
          flush=True)
    rows = []
    with tempfile.TemporaryDirectory(prefix="zentrail-index-") as scratch:
        folder = os.path.join(scratch, "index")
        plain = min(command("ls", str(years), index="off") for _ in range(args.repeats))
        first = command("ls", str(years), index=folder)
        warm = min(command("ls", str(years), index=folder) for _ in range(args.repeats))
        rows.append(("zentrail ls, first run (builds)", f"{first / plain:.2f}x", f"{first:.2f} s against "
                     f"{plain:.2f} s without an index (target at most 1.1x)"))
        rows.append(("zentrail ls, warm", f"{warm:.2f} s", f"without an index {plain:.2f} s (target under 1 s)"))
        built = timed(lambda: zentrail.build_index(years, index=folder))
        size = folder_bytes(folder)
        rows.append(("zentrail index (every section)", f"{built:.1f} s", f"index {size / 1e6:.1f} MB, "
                     f"{100 * size / archive_bytes:.2f}% of the archive (target at most 1%)"))
        codes = [(100 + k) * 1024 + e for k in range(32) for e in range(8)]
        os.environ["ZENTRAIL_INDEX"] = folder
        try:
            if hasattr(zentrail, "latest"):
                zentrail.latest(years)
                latest = min(timed(lambda: zentrail.latest(years).to_numpy()) for _ in range(args.repeats))
                rows.append(("latest(), every code, warm", f"{latest * 1e3:.0f} ms", "target under 100 ms"))
            if hasattr(zentrail, "at"):
                moment = str(generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY - 40)) + " 14:03:17"
                zentrail.at(years, [moment], codes)
                at = min(timed(lambda: zentrail.at(years, [moment], codes).to_numpy()) for _ in range(args.repeats))
                rows.append(("at(), one instant, 256 codes, warm", f"{at * 1e3:.1f} ms", "target under 20 ms"))
        finally:
            del os.environ["ZENTRAIL_INDEX"]
        day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY - 20)
        for label, index in (("without an index", "off"), ("with the index", folder)):
            a, b, ratio = one_day_align(years, day, codes, index, args.repeats)
            rows.append((f"years tree: one-day align, {label}", f"{ratio:.2f}x",
                         f"{a * 1e3:.1f} ms against to_numpy() {b * 1e3:.1f} ms"))
        mix = ensure_tree(args.data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
        mix_root = mix.files[0].parents[2]
        zentrail.build_index(mix_root, index=folder)
        mix_day = generate.fmt.ORIGIN + datetime.timedelta(days=generate.ORIGIN_DAY + args.days - 2)
        frequent = [ident * 1024 + index for ident in generate.FREQUENT_GROUP_IDS for index in range(4)]
        for label, index in (("without an index", "off"), ("with the index", folder)):
            a, b, ratio = one_day_align(mix_root, mix_day, frequent, index, args.repeats)
            rows.append((f"1 GB tree: one-day align, {label}", f"{ratio:.2f}x",
                         f"{a:.3f} s against to_numpy() {b:.3f} s (target at most 1.2x)"))
    print()
    width = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>9}  {note}")


if __name__ == "__main__":
    main()
