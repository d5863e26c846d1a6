"""The arguments of a scan, checked and normalised before anything is read."""

from __future__ import annotations

import os

from ._extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterable, List

MAX_CODE = 65535 * 1024 + 1023
MAX_COUNT = 2 ** 31
DEFAULT_BATCH_ROWS = 65536


def path_bytes(path: Any) -> bytes:
    """A str, bytes or os.PathLike path as the bytes the system takes."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"embedded null byte in the path {path!r}")
    return encoded


def path_list(paths: Any) -> List[bytes]:
    if isinstance(paths, (str, bytes)) or isinstance(paths, os.PathLike):
        raise TypeError("paths must be an iterable of paths, not a single path")
    try:
        items = iter(paths)
    except TypeError:
        raise TypeError(f"paths must be an iterable of paths, not {type(paths).__name__}") from None
    return [path_bytes(path) for path in items]


def codes_array(signals: Any) -> Any:
    """The signal codes as an ascending int32 array of distinct codes; None
    (every code of every signal) stays None."""
    import numpy

    if signals is None:
        return None

    if isinstance(signals, (str, bytes)):
        raise TypeError(f"signals must be an iterable of int signal codes, not {type(signals).__name__}")
    if isinstance(signals, range):
        codes = numpy.arange(signals.start, signals.stop, signals.step, dtype=numpy.int64) if len(signals) and \
            -2 ** 63 <= min(signals[0], signals[-1]) and max(signals[0], signals[-1]) < 2 ** 63 else None
    elif isinstance(signals, numpy.ndarray) and signals.dtype.kind in "iu":
        codes = signals.ravel()
    else:
        codes = None
    if codes is None:
        codes = _codes_one_by_one(signals, numpy)
    outside = numpy.flatnonzero((codes < 0) | (codes > MAX_CODE))
    if len(outside):
        position = int(outside[0])
        raise ValueError(f"signals[{position}] is the code {int(codes[position])!r}, outside 0 to {MAX_CODE} "
                         f"(id 0 to 65535, index 0 to 1023)")
    return numpy.unique(codes).astype(numpy.int32)


def _codes_one_by_one(signals: Iterable[Any], numpy: Any) -> Any:
    import operator

    try:
        items = iter(signals)
    except TypeError:
        raise TypeError(f"signals must be an iterable of int signal codes, not {type(signals).__name__}") from None
    codes = []
    for position, item in enumerate(items):
        # Python ints, bools and NumPy integers; not floats, whose __index__
        # is missing on purpose.
        try:
            code = operator.index(item)
        except TypeError:
            raise TypeError(f"signals[{position}] is a {type(item).__name__}, not an int signal code") from None
        if not 0 <= code <= MAX_CODE:
            raise ValueError(f"signals[{position}] is the code {code!r}, outside 0 to {MAX_CODE} "
                             f"(id 0 to 65535, index 0 to 1023)")
        codes.append(code)
    return numpy.array(codes, dtype=numpy.int64)


def count(value: Any, name: str, default: int) -> int:
    """None gives `default`; otherwise an integer (of any integer type:
    int, numpy.int64, ...; not bool) of 1 to 2**31, as an int."""
    import numbers

    if value is None:
        return default
    if not isinstance(value, numbers.Integral) or isinstance(value, bool):
        raise TypeError(f"{name} must be None or an int, not {type(value).__name__}")
    number = int(value)
    if not 1 <= number <= MAX_COUNT:
        raise ValueError(f"{name} must be at least 1 (and at most 2**31), not {number!r}")
    return number


def usable_cpu_count() -> int:
    """The CPUs this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def check_progress(progress: Any) -> Any:
    if progress is None or progress is True or progress is False or callable(progress):
        return progress
    raise TypeError(f"progress must be None, True or a callable, not {type(progress).__name__}")


class ProgressBar:
    """progress=True: a tqdm bar on standard error, in bytes, made when a
    read reports its total and closed when it reaches it."""

    def __init__(self) -> None:
        self._bar: Any = None
        self._tqdm = import_extra("tqdm", "progress=True", "progress").tqdm

    def __call__(self, done: int, total: int) -> None:
        import sys

        if self._bar is None:
            self._bar = self._tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr)
        if self._bar.disable is not True and done > self._bar.n:
            self._bar.update(done - self._bar.n)
        if done >= total:
            self._bar.close()

    def __del__(self) -> None:
        if self._bar is not None:
            self._bar.close()
