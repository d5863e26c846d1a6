"""The read: its plan, and the readers that hand the core's columns on.

``plan`` is the frozen description of one read that every reader of the
package takes; ``request`` is the form in which a plan crosses into the
core; ``pushdown`` holds what a query narrows inside the read; ``result``
is the base of the results; ``inventory``, ``events`` and ``polars`` (the
polars IO source) read plans. Stands on ``_base``, ``_elsewhere`` and
``_names``.
"""
