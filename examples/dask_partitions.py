"""A Dask DataFrame over an archive tree, one partition per day: the
zentrail.dask page of docs/dask.md.

    python examples/dask_partitions.py [ROOT_DIR [START END [SIGNALS]]]

On a 2-worker LocalCluster, over the sample archive unless ROOT_DIR is
given. SIGNALS as the zentrail command writes them ("7:0-3,12", names and
patterns of the catalog too); without them, every element of the archive's
widest signal. Without START and END, the whole span of the archive's
records (both from its inventory).
"""

import sys
from pathlib import Path

import zentrail
import zentrail.dask


def arguments(argv):
    """(root, start, end, signals) of the command line, what it leaves out
    from the archive's inventory."""
    if len(argv) not in (0, 1, 3, 4):
        sys.exit(__doc__)
    root = argv[0] if argv else str(Path(__file__).resolve().parent / "sample-archive")
    start, end = argv[1:3] if len(argv) >= 3 else (None, None)
    held = zentrail.inventory(root, start, end).to_pandas()
    if start is None:
        start, end = str(held["first"].min()), str(held["last"].max())
    if len(argv) == 4:
        return root, start, end, zentrail.parse_signals(argv[3])
    widest = held.sort_values(["elements", "records"], ascending=False).iloc[0]
    return root, start, end, [int(widest.signal_id) * 1024 + element for element in range(int(widest.elements))]


if __name__ == "__main__":  # worker processes start by importing this script
    from distributed import Client, LocalCluster

    root, start, end, signals = arguments(sys.argv[1:])
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1) as cluster, Client(cluster):
        frame = zentrail.dask.read_archive(root, start, end, signals, by_day=True)
        print(frame.npartitions, "partitions, divisions", [f"{d}" for d in frame.divisions])
        print(frame.groupby(["signal_id", "element"])["value"].mean().round(3).compute())
        middle = frame.divisions[frame.npartitions // 2]
        print(frame.loc[str(middle.date())].head(8))  # reads that day's partition alone
