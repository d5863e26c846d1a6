"""Scans through a zip file against scans of the folder it was made of,
before and after: the same reads with this checkout's package and with
another source tree's, in one run.

    python bench/zip.py --before ../ref/src --tree /work/main/bench/data/mix-1000
    python bench/zip.py --smoke        # this checkout against itself, tiny

The tree's files are zipped twice under /tmp (kept there for the next run):
stored and deflated (zipfile's default level). Then, alternating the sides
repeat by repeat, each in a fresh interpreter so that both meet the same page
cache (warm), scan(...).to_numpy() of one code (the selective read) and of
256 output-heavy codes, from the folder, the stored zip and the deflated
zip; a figure is the median of the repeats, and each zip's rows per second
are given as a multiple of the folder's on the same side.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
import run  # noqa: E402

CODES = {"1 code": [generate.RARE_ID * 1024],
         "256 codes": [i * 1024 + e for i in generate.FREQUENT_GROUP_IDS for e in range(4)]}

ONE_READ = """
import json, sys, time, warnings
warnings.simplefilter("ignore")
import zentrail
root, codes = sys.argv[1], json.loads(sys.argv[2])
start = time.perf_counter()
columns = zentrail.scan(root, "2000-01-01 00:00:00", "2099-12-31 23:59:59", codes).to_numpy()
print(json.dumps([time.perf_counter() - start, len(columns["time"])]))
"""


def one_read(src: str, root: str, codes: list) -> tuple:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in (src, str(HERE.parent / "tools")) if p)}
    done = subprocess.run([sys.executable, "-c", ONE_READ, root, json.dumps(codes)], capture_output=True,
                          text=True, env=env, check=True)
    return tuple(json.loads(done.stdout.strip().splitlines()[-1]))


def zipped(tree: Path, files: list, method: int, where: Path) -> str:
    """The tree's files zipped with `method` under `where`, made again
    whenever the zip there does not hold the tree's files as they are (another
    tree of the same name made it, or this one was made again)."""
    name = where / f"{tree.parent.name}-{'deflated' if method == zipfile.ZIP_DEFLATED else 'stored'}.zip"
    wanted = {file.relative_to(tree).as_posix(): file.stat().st_size for file in files}
    if name.exists():
        with zipfile.ZipFile(name) as archive:
            held = {info.filename: info.file_size for info in archive.infolist()}
        if held != wanted or name.stat().st_mtime < max(file.stat().st_mtime for file in files):
            name.unlink()
    if not name.exists():
        print(f"zipping {len(files)} files into {name} ...", flush=True)
        part = name.with_suffix(".part")
        with zipfile.ZipFile(part, "w", method) as archive:
            for file in sorted(files):
                archive.write(file, file.relative_to(tree).as_posix())
        part.rename(name)
    # Cached as a read caches a file, as the folder's files are: pages a
    # write left in the cache are copied out at about half the pace.
    with open(name, "rb") as file:
        os.posix_fadvise(file.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
        while file.read(16 << 20):
            pass
    return str(name)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="the src folder of the package to compare with")
    parser.add_argument("--tree", type=Path, help="a generated tree (its tree.json), read where it is")
    parser.add_argument("--zips", type=Path, default=Path(tempfile.gettempdir()) / "zentrail-bench-zips")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    after = run.this_checkout_src()
    if args.smoke:
        args.repeats = 1
        args.before = args.before or after
        stats = run.ensure_tree(HERE / "data" / "smoke" / "mix-4", 4, 2)
        args.zips = args.zips / "smoke"
    elif args.tree is None:
        parser.error("--tree DIR is needed (or --smoke)")
    else:
        saved = json.loads((args.tree / "tree.json").read_text())
        stats = generate.TreeStats([Path(p) for p in saved["files"]], saved["bytes"], saved["records"])
    if args.before is None:
        parser.error("--before SRC is needed (or --smoke)")
    tree = stats.files[0].parents[2]
    args.zips.mkdir(parents=True, exist_ok=True)
    places = {"folder": str(tree), "stored zip": zipped(tree, stats.files, zipfile.ZIP_STORED, args.zips),
              "deflated zip": zipped(tree, stats.files, zipfile.ZIP_DEFLATED, args.zips)}
    sizes = ", ".join(f"{name} {os.path.getsize(p) / 1e6:,.0f} MB" for name, p in places.items() if name != "folder")
    print(f"{len(stats.files)} files, {stats.bytes / 1e6:,.0f} MB ({sizes}); load {os.getloadavg()[0]:.1f}; "
          f"before: {args.before or 'installed'}; after: {after or 'installed'}")
    print(f"{'scan':28} {'before':>16} {'after':>16} {'after/before':>13}")
    for label, codes in CODES.items():
        seconds = {(side, place): [] for side in ("before", "after") for place in places}
        rows = set()
        for _ in range(args.repeats):
            for place, root in places.items():
                for side, src in (("before", args.before), ("after", after)):
                    took, count = one_read(src, root, codes)
                    seconds[side, place].append(took)
                    rows.add(count)
        if len(rows) != 1:
            raise SystemExit(f"{label}: the reads disagree on the rows: {sorted(rows)}")
        count = rows.pop()
        for place in places:
            cells = []
            for side in ("before", "after"):
                took = statistics.median(seconds[side, place])
                folder = statistics.median(seconds[side, "folder"])
                cells.append(f"{took:6.3f}s" + ("" if place == "folder" else f" {folder / took:4.2f}xF"))
            ratio = statistics.median(seconds["after", place]) / statistics.median(seconds["before", place])
            print(f"{label + ', ' + place:28} {cells[0]:>16} {cells[1]:>16} {ratio:12.2f}x", flush=True)
        print(f"{'':28} {count:,} rows; xF: rows per second as a multiple of the folder's")


if __name__ == "__main__":
    main()
