"""How soon a signal ends a long read, what checking for signals costs, and
how a very deep tree is walked.

    python bench/signals.py                          # latency and the deep walk
    python bench/signals.py --before OTHER_PYTHON    # also the overhead against
                                                     # another build, same run

Latency: a child reads some 8 GB (hard links to the files of bench/run.py's
tree) and gets SIGINT half a second in; the figure is the time from the
signal to the child's exit. Overhead: the selective read of bench/run.py
(one code over about 1 GB), alternately with this interpreter's zentrail and
the other's, best of several. Deep walk: a 12,000-level tree, read in a
child; wall time and its peak resident memory.
"""

from __future__ import annotations

import argparse
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402
from run import WHOLE_RANGE, ensure_tree  # noqa: E402

SELECTIVE = "import sys, time, zentrail; t = time.perf_counter(); zentrail.read(sys.argv[1], {!r}, {!r}, [{}]); " \
            "print(time.perf_counter() - t)"
READ_ALL = "import sys, zentrail; zentrail.read(sys.argv[1], {!r}, {!r}, [{}])"


def linked_tree(files, target_bytes: int, where: Path) -> Path:
    """Hard links to `files` under `where` until they sum to target_bytes."""
    where.mkdir(parents=True, exist_ok=True)
    total, n = 0, 0
    while total < target_bytes:
        for f in files:
            os.link(f, where / f"{n:05d}-{f.name}")
            total += f.stat().st_size
            n += 1
    return where


def interrupt_latency(root: Path, code: int, repeats: int) -> list[float]:
    script = READ_ALL.format(*WHOLE_RANGE, code)
    latencies = []
    for _ in range(repeats):
        child = subprocess.Popen([sys.executable, "-c", script, str(root)], stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        child.wait()
        latencies.append(time.perf_counter() - sent)
    return latencies


def selective_seconds(python: str, root: Path, code: int) -> float:
    out = subprocess.run([python, "-c", SELECTIVE.format(*WHOLE_RANGE, code), str(root)], capture_output=True,
                         text=True, check=True).stdout
    return float(out)


def deep_walk(depth: int, where: Path) -> tuple[float, float]:
    fd = os.open(where, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=fd)
        inner = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", READ_ALL.format(*WHOLE_RANGE, 5120), str(where)], check=True)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    subprocess.run(["rm", "-rf", str(where)], check=True)
    return seconds, max(peak, before) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="another interpreter with another zentrail build, for the overhead")
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--gb", type=float, default=8.0)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    args.data.mkdir(parents=True, exist_ok=True)
    # First, while no other child has raised the children's peak memory.
    with tempfile.TemporaryDirectory(dir=args.data) as scratch:
        seconds, peak_mib = deep_walk(12_000, Path(scratch))
    print(f"12,000-level tree: read in {seconds:.2f} s, child peak resident memory {peak_mib:.0f} MiB")

    stats = ensure_tree(args.data / "mix-1000", 1000, 16)
    root = stats.files[0].parents[2]
    rare = generate.RARE_ID * 1024

    with tempfile.TemporaryDirectory(dir=args.data) as scratch:
        links = linked_tree(stats.files, int(args.gb * 1e9), Path(scratch) / "links")
        subprocess.run([sys.executable, "-c", READ_ALL.format(*WHOLE_RANGE, rare), str(root)], check=True)  # warm
        latencies = interrupt_latency(links, rare, args.repeats)
    print(f"SIGINT 0.5 s into a {args.gb:g} GB read: process gone after "
          f"{min(latencies) * 1e3:.1f} .. {max(latencies) * 1e3:.1f} ms ({args.repeats} runs)")

    if args.before:
        now, then = [], []
        for _ in range(args.repeats):
            then.append(selective_seconds(args.before, root, rare))
            now.append(selective_seconds(sys.executable, root, rare))
        print(f"selective read, best of {args.repeats}: {min(then):.4f} s before, {min(now):.4f} s now "
              f"({min(now) / min(then) - 1:+.1%})")



if __name__ == "__main__":
    main()
