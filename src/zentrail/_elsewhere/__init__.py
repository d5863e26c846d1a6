"""Archives that are not folders on this machine: roots and files named by
fsspec URLs (object storage) and zip files, listed and fetched for the core
(``remote``). Stands on ``_base`` and the compiled core only.
"""
