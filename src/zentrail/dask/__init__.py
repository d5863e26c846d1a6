"""Archive reads as Dask DataFrames: one partition per archive file, or per
day with the midnights as divisions, each a zentrail.ReadPlan read on
whichever worker runs it; and aligned grids with a partition per day
(``pip install "zentrail[dask]"``). The module imports without Dask; its
first call raises an ImportError naming the extra when Dask is missing."""

from __future__ import annotations

from ._aligned import align_archive
from ._partitions import read_archive

__all__ = ["read_archive", "align_archive"]
