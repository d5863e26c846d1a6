"""The ground floor: what every other part of the package stands on.

Time (bounds, instants, durations and their texts, in ``time``), the checks
of plain arguments (``arguments``), the record classes' and subtypes' names
(``classes``), the days in archive file names (``discovery``), optional
packages imported by the extra that installs them (``extras``), and files
written whole or not at all (``atomic``). It imports nothing of the package
but the compiled core.
"""
