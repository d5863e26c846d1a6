"""Names: the user's catalog of the plant's names, units, descriptions and
interpolation (``catalog``), the name columns it gives a read (``labels``),
and the names of a grid's columns (``columns``). Stands on ``_base`` and
``_elsewhere`` (a catalog held by a root elsewhere).
"""
