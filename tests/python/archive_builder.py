"""The readable builder of archive bytes the tests use: it lives, with the
format's tables, in tools/archive_format.py (on the tests' path through
pyproject.toml's pytest `pythonpath`)."""

from archive_format import *  # noqa: F401,F403
