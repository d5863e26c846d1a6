"""Archive reads as Dask DataFrames: one partition per archive file, or per
day with the midnights as divisions, each read by ``zentrail.scan_files`` on
whichever worker runs it; and aligned grids with a partition per day
(``pip install "zentrail[dask]"``)."""

from __future__ import annotations

from zentrail._base.extras import import_extra
from ._aligned import align_archive
from ._partitions import read_archive

__all__ = ["read_archive", "align_archive"]

# Fails at import, naming the extra, rather than at the first call.
import_extra("dask.dataframe", "zentrail.dask", "dask")
