"""A Dask DataFrame over an archive tree, one partition per day: the
zentrail.dask page of docs/dask.md.

    python examples/dask_partitions.py [ROOT_DIR]   # a 2-worker LocalCluster on the sample archive
"""

import sys
from pathlib import Path

import zentrail.dask

if __name__ == "__main__":  # worker processes start by importing this script
    from distributed import Client, LocalCluster

    root = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parent / "sample-archive")
    furnace = [7 * 1024 + index for index in range(4)]  # the four elements of group 7
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1) as cluster, Client(cluster):
        frame = zentrail.dask.read_archive(root, "2024-03-01 00:00:00", "2024-03-03 23:59:59", furnace,
                                           by_day=True)
        print(frame.npartitions, "partitions, divisions", [f"{d}" for d in frame.divisions])
        print(frame.groupby("element")["value"].mean().round(3).compute())
        print(frame.loc["2024-03-02 06:00":"2024-03-02 06:10"].compute())  # reads one partition
