"""A Dask bag of NumPy batches, one file per task, for work that is not a
frame: the recipe of docs/dask.md.

    python examples/dask_bag.py
"""

from pathlib import Path

import dask.bag as db
import numpy as np
import zentrail
from distributed import Client, LocalCluster


def batches(path, start, end, codes):  # on a worker: the file's dicts of arrays
    return list(zentrail.scan_files([path], start, end, codes, threads=1))


if __name__ == "__main__":
    root = str(Path(__file__).resolve().parent / "sample-archive")
    start, end, codes = "2024-03-01 00:00:00", "2024-03-03 23:59:59", range(7 * 1024, 7 * 1024 + 4)
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1) as cluster, Client(cluster):
        paths = zentrail.find_files(root, start, end)
        bag = db.from_sequence(paths, npartitions=len(paths)).map(batches, start, end, codes).flatten()
        print(bag.map(lambda b: float(np.nanmax(b["value"]))).max().compute())
