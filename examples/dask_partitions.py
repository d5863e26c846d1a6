"""A Dask DataFrame over an archive tree, one partition per day file: the
recipe of docs/dask.md.

    python examples/dask_partitions.py [ROOT_DIR]   # a 2-worker LocalCluster on the sample archive
"""

import itertools
import re
import sys
from pathlib import Path

import dask.dataframe as dd
import pandas as pd
import zentrail

# How discovery finds a path's day: the first YYYY-MM-DD_ in the whole path
# that is followed, later in the path, by ".vlx".
ARCHIVE_NAME = re.compile(r"([0-9]{4}-[0-9]{2}-[0-9]{2})_[^\n\r]*\.vlx")


def path_day(path):
    return pd.Timestamp(ARCHIVE_NAME.search(path).group(1))


def read_part(paths, start, end, codes, by_day):
    """One partition, read on a worker: threads=1, since Dask already runs one
    task per core. By day, the rows are indexed by time and must lie in the
    day of their files' names."""
    frame = zentrail.scan_files(paths, start, end, codes, threads=1).to_pandas()
    if not by_day:
        return frame
    day = path_day(paths[0])
    outside = frame["time"][(frame["time"] < day) | (frame["time"] >= day + pd.Timedelta(days=1))]
    if len(outside):
        raise ValueError(f"{paths[0]}: a row at {outside.iloc[0]} lies outside the day "
                         f"{day:%Y-%m-%d} of its file's name; read it with by_day=False")
    return frame.set_index("time").sort_index(kind="stable")


def archive_frame(root, start, end, codes, by_day=False):
    """The rows of zentrail.scan(root, start, end, codes) as a Dask DataFrame.

    by_day=False: one partition per file, in scan's order (the same rows in
    the same order), divisions unknown.
    by_day=True: one partition per day (a day's files together, in path
    order), indexed by time and sorted within the day, divisions at midnight.
    """
    paths = zentrail.find_files(root, start, end)
    meta = zentrail.scan_files([], start, end, codes).to_pandas()  # the typed empty frame
    if by_day:
        meta = meta.set_index("time")
    if not paths:
        return dd.from_pandas(meta, npartitions=1)
    if not by_day:
        return dd.from_map(read_part, [[path] for path in paths], start=start, end=end, codes=codes,
                           by_day=False, meta=meta)
    days = [list(group) for _, group in itertools.groupby(sorted(paths, key=path_day), key=path_day)]
    midnights = [path_day(group[0]) for group in days]
    last = midnights[-1] + pd.Timedelta(days=1) - pd.Timedelta(1, "ns")
    return dd.from_map(read_part, days, start=start, end=end, codes=codes, by_day=True,
                       meta=meta, divisions=midnights + [last])


if __name__ == "__main__":  # worker processes start by importing this script
    from distributed import Client, LocalCluster

    root = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parent / "sample-archive")
    furnace = [7 * 1024 + index for index in range(4)]  # the four elements of group 7
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1) as cluster, Client(cluster):
        frame = archive_frame(root, "2024-03-01 00:00:00", "2024-03-03 23:59:59", furnace, by_day=True)
        print(frame.npartitions, "partitions, divisions", [f"{d}" for d in frame.divisions])
        print(frame.groupby("element")["value"].mean().round(3).compute())
        print(frame.loc["2024-03-02 06:00":"2024-03-02 06:10"].compute())  # reads one partition
