"""Archives being written: cursors into the files (``cursor``), following new
rows as they are logged (``follow``), and lakes of Parquet files kept in
step with the archive: rows (``sync``) and aligned grids (``grid_lake``),
with their state files (``lake_state``).
Stands on ``_series`` and below.
"""
