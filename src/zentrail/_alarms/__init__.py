"""The alarm episodes of an archive (raised, acknowledged, cleared) and the
figures of its alarm system, beside the benchmarks plants judge them by."""
