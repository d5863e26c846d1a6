"""Time series made in the engine from a read plan: the window and the rows a
grid considers (``window``), grids of values (``aligned``), buckets with
their time-weighted sums (``overview``), and a long grid cut into parts
that each read only their own files (``parts``). Stands on ``_read`` and
below.
"""
