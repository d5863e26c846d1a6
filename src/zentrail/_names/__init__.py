"""Names: the user's catalog of the plant's names, units, descriptions and
interpolation (``catalog``), and the name columns it gives a read
(``labels``). Stands on ``_base`` and ``_elsewhere`` (a catalog held by a
root elsewhere).
"""
