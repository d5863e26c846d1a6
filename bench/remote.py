"""Reads from object storage against reads of the same files on local disk.

    python bench/remote.py            # the 1 GB tree of bench/run.py, on moto's S3 server on this machine
    python bench/remote.py --smoke    # a tiny tree; checks that the script works

In one run: the tree uploaded to an S3-compatible server (moto's, in a
process of its own on this machine), then, alternating, scan(...).to_numpy()
of bench/run.py's selective call (one code) and of an output-heavy one (256
codes) from the local files (page cache warm) and from the server, best of
the repeats; each in a fresh process, with that process's peak resident
memory, which the files in flight bound (zentrail._elsewhere.remote.files_in_flight).
Beside them the server's own floor: every file fetched whole through s3fs,
as many at once as a read holds, with no decoding.
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import generate  # noqa: E402
import run  # noqa: E402

ONE_READ = """
import json, sys, time
import zentrail
root, codes, options = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3])
kw = {"storage_options": options} if options else {}
if options:  # the file system's imports are not the read's
    import fsspec, s3fs
start = time.perf_counter()
columns = zentrail.scan(root, "2000-01-01 00:00:00", "2099-12-31 23:59:59", codes, **kw).to_numpy()
seconds = time.perf_counter() - start
# The high-water mark of this process alone (ru_maxrss would carry the parent's across exec).
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps([seconds, len(columns["time"]), peak / 1024]))
"""


def one_read(root: str, codes: list, options: dict) -> tuple:
    done = subprocess.run([sys.executable, "-c", ONE_READ, root, json.dumps(codes), json.dumps(options)],
                          capture_output=True, text=True, check=True)
    return tuple(json.loads(done.stdout.strip().splitlines()[-1]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--days", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if args.smoke:
        args.size_mb, args.days, args.repeats = 4, 2, 1
    data = HERE / "data" / ("smoke" if args.smoke else "")
    stats = run.ensure_tree(data / f"mix-{args.size_mb:g}", args.size_mb, args.days)
    root = stats.files[0].parents[2]
    mb = stats.bytes / 1e6

    import s3fs

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        options = {"key": "bench", "secret": "bench",
                   "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}", "region_name": "eu-west-1"}}
        fs = s3fs.S3FileSystem(**options)
        for _ in range(100):
            try:
                fs.mkdir("bench")
                break
            except Exception:
                time.sleep(0.1)
        started = time.perf_counter()
        fs.put(str(root), "bench/tree", recursive=True)
        print(f"uploaded {mb:,.0f} MB in {time.perf_counter() - started:,.1f} s", flush=True)
        url = "s3://bench/tree"
        rows = []
        from concurrent.futures import ThreadPoolExecutor

        def fetch(path: str) -> int:
            with fs.open(path, "rb") as file:
                return sum(len(piece) for piece in iter(lambda: file.read(16 << 20), b""))

        listed = fs.find("bench/tree")
        floor_s, _ = run.best_of(args.repeats, lambda: list(ThreadPoolExecutor(4).map(fetch, listed)))
        rows.append(("fetch floor: every file, 4 at once, no decoding", f"{mb / floor_s:,.0f} MB/s", ""))
        for label, codes in [("1 code", [generate.RARE_ID * 1024]),
                             ("256 codes", [i * 1024 + e for i in generate.FREQUENT_GROUP_IDS for e in range(4)])]:
            best = {"local": (float("inf"), 0, 0.0), "s3": (float("inf"), 0, 0.0)}
            for _ in range(args.repeats):
                for where, place, opts in (("local", str(root), {}), ("s3", url, options)):
                    seconds, count, peak = one_read(place, codes, opts)
                    if seconds < best[where][0]:
                        best[where] = (seconds, count, peak)
            if best["local"][1] != best["s3"][1]:
                raise SystemExit(f"{label}: {best['s3'][1]:,} rows from S3, {best['local'][1]:,} locally")
            local, s3 = best["local"], best["s3"]
            rows.append((f"scan, {label}, local files", f"{mb / local[0]:,.0f} MB/s",
                         f"{local[1]:,} rows, peak {local[2]:,.0f} MiB"))
            rows.append((f"scan, {label}, S3 (moto, this machine)", f"{mb / s3[0]:,.0f} MB/s",
                         f"{local[0] / s3[0]:.2f}x local, {floor_s / s3[0]:.2f}x the fetch floor, "
                         f"peak {s3[2]:,.0f} MiB"))
    finally:
        server.terminate()
        server.wait()
    size = max(p.stat().st_size for p in stats.files) / 2 ** 20
    print(f"{len(stats.files)} files, {mb:,.0f} MB, the largest {size:,.0f} MiB; files in flight at 2 threads: "
          f"{max(4, 2 * (os.cpu_count() or 1))}")
    for row in rows:
        print(f"{row[0]:<50} {row[1]:>12}  {row[2]}")


if __name__ == "__main__":
    main()
