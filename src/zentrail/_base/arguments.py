"""The arguments of a scan, checked and normalised before anything is read."""

from __future__ import annotations

import os

from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterable, List, Tuple

MAX_CODE = 65535 * 1024 + 1023
_OUTSIDE = f", outside 0 to {MAX_CODE} (id 0 to 65535, index 0 to 1023)"
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


def codes_array(signals: Any, catalog: Any = None, ids: Any = None) -> Any:
    """The signal codes as an ascending read-only int32 array of distinct
    codes; None (every code of every signal) stays None. Names and
    shell-style patterns (str) among them are the codes the catalog gives
    them; `ids` adds every element of those signal ids (or of the ids of
    names)."""
    import numpy

    whole = numpy.zeros(0, dtype=numpy.int64)  # signal ids read whole
    if ids is not None:
        whole = numpy.array(id_list(ids, catalog), dtype=numpy.int64)
        if signals is None:
            return ascending_codes(whole, whole[:0])
    if signals is None:
        return None

    if isinstance(signals, (str, bytes)):
        raise TypeError(f"signals must be an iterable of signal codes or names, not {type(signals).__name__} "
                        f"(a single name goes in a list: [{signals!r}])")
    if not isinstance(signals, (range, numpy.ndarray)):
        signals = list(_items(signals, "signals"))
        if any(isinstance(item, str) for item in signals):
            named, codes = _named_codes(signals, _named(signals, catalog, "signals"))
            return ascending_codes(numpy.concatenate([whole, named]), codes)
    if isinstance(signals, range):
        codes = numpy.arange(signals.start, signals.stop, signals.step, dtype=numpy.int64) if len(signals) and \
            -2 ** 63 <= min(signals[0], signals[-1]) and max(signals[0], signals[-1]) < 2 ** 63 else None
    elif isinstance(signals, numpy.ndarray) and signals.dtype.kind in "iu":
        codes = signals.ravel()
    else:
        codes = None
    if codes is None:
        codes = _codes_one_by_one(signals, numpy)
    _check_codes(codes, "signals[{place}] is the code {code!r}")
    return ascending_codes(whole, codes)


def ascending_codes(whole: Any, codes: Any) -> Any:
    """Every code of the signal ids `whole` and the codes `codes` (both
    checked to be in range), once each, ascending, as a read-only int32
    array (which a ReadPlan keeps without a copy). Built as runs:
    1024 codes for each whole signal, one for each other code, so that a
    selection of many whole signals is never sorted code by code."""
    import numpy

    codes = numpy.asarray(codes, dtype=numpy.int64).ravel()
    every = numpy.zeros(65536, dtype=bool)
    every[whole] = True
    if len(codes) > 1 << 22:
        # Many codes (32 MiB of them): marked in a table of every code (64
        # MiB) rather than sorted, where the signals they hold whole become
        # whole signals.
        marked = numpy.zeros((65536, 1024), dtype=bool)
        marked.ravel()[codes] = True
        every |= marked.all(axis=1)
        marked[every] = False
        codes = numpy.flatnonzero(marked)
        del marked
    else:
        codes = numpy.sort(codes)
        codes = codes[numpy.concatenate(([True], codes[1:] != codes[:-1]))] if len(codes) else codes
        codes = codes[~every[codes >> 10]]
    ids = numpy.flatnonzero(every)
    if not len(ids):
        return _read_only(codes.astype(numpy.int32))
    starts = numpy.concatenate([ids * 1024, codes])
    whole_run = numpy.concatenate([numpy.ones(len(ids), dtype=bool), numpy.zeros(len(codes), dtype=bool)])
    order = numpy.argsort(starts, kind="stable")
    starts, whole_run = starts[order], whole_run[order]
    places = numpy.cumsum(numpy.where(whole_run, 1024, 1)) - numpy.where(whole_run, 1024, 1)
    out = numpy.empty(int(places[-1]) + (1024 if whole_run[-1] else 1), dtype=numpy.int32)
    out[places[~whole_run]] = starts[~whole_run]
    # Whole signals side by side in the codes are written as one block of
    # rows of 1024, in place: each code is written once.
    elements = numpy.arange(1024, dtype=numpy.int32)
    runs = numpy.flatnonzero(whole_run)
    for block in numpy.split(runs, numpy.flatnonzero(numpy.diff(runs) != 1) + 1):
        first = int(places[block[0]])
        numpy.add(starts[block].astype(numpy.int32)[:, None], elements,
                  out=out[first:first + 1024 * len(block)].reshape(len(block), 1024))
    return _read_only(out)


def _read_only(array: Any) -> Any:
    array.flags.writeable = False
    return array


def _named_codes(signals: List[Any], catalog: Any) -> Any:
    """(signal ids read whole, other codes) of a list of names, patterns,
    codes and arrays of codes, each checked where it stands."""
    import operator

    import numpy

    whole, codes = [], []
    for position, item in enumerate(signals):
        if isinstance(item, str):
            ids, single = catalog.code_parts(item, f"signals[{position}]")
            whole.append(ids)
            codes.append(single)
        elif isinstance(item, numpy.ndarray) and item.dtype.kind in "iu":
            _check_codes(item.ravel(), f"signals[{position}] holds the code {{code!r}}")
            codes.append(item.ravel().astype(numpy.int64))
        else:
            try:
                code = operator.index(item)
            except TypeError:
                raise TypeError(f"signals[{position}] is a {type(item).__name__}, not an int signal code or a "
                                f"name") from None
            if not 0 <= code <= MAX_CODE:
                raise ValueError(f"signals[{position}] is the code {code!r}{_OUTSIDE}")
            codes.append(numpy.array([code], dtype=numpy.int64))
    empty = numpy.zeros(0, dtype=numpy.int64)
    return numpy.concatenate([empty, *whole]), numpy.concatenate([empty, *codes])


def _check_codes(codes: Any, text: str) -> None:
    """ValueError at the first code outside 0 to MAX_CODE: `text` formatted
    with its place and the code."""
    import numpy

    outside = numpy.flatnonzero((codes < 0) | (codes > MAX_CODE))
    if len(outside):
        position = int(outside[0])
        raise ValueError(text.format(place=position, code=int(codes[position])) + _OUTSIDE)


def signals_of_text(text: str) -> Any:
    """The signals of a text such as "7:0-3,12,500-503:0,TI-*" (see
    zentrail.parse_signals), or ValueError naming the item that is none."""
    import numpy

    parts = []
    names: List[Any] = []
    for item in text.split(","):
        item = item.strip()
        if item and not item[0].isdigit():
            names.append(item)
            continue
        ids_text, _, elements = item.partition(":")
        try:
            first_id, last_id = _span(ids_text)
            first, last = _span(elements) if elements else (0, 1023)
        except ValueError:
            raise ValueError(f"{item!r} is not ID, ID:N or ID:A-B (an ID may be a range A-B)") from None
        if not 0 <= first_id <= last_id <= 65535 or not 0 <= first <= last <= 1023:
            raise ValueError(f"{item!r} is no ascending range within ids 0 to 65535 and elements 0 to 1023")
        ids = numpy.arange(first_id, last_id + 1, dtype=numpy.int64)
        parts.append((ids[:, None] * 1024 + numpy.arange(first, last + 1, dtype=numpy.int64)).ravel())
    codes = numpy.concatenate(parts) if parts else numpy.zeros(0, dtype=numpy.int64)
    return [codes, *names] if names else codes


def _span(text: str) -> Tuple[int, int]:
    """"N" or "A-B" as (first, last); ValueError otherwise."""
    first_text, dash, last_text = text.partition("-")
    first = int(first_text)
    return first, int(last_text) if dash else first


def id_list(ids: Any, catalog: Any = None) -> List[int]:
    """Signal ids (0 to 65535), or names and patterns whose entries' ids count."""
    import operator

    chosen: List[int] = []
    if isinstance(ids, (str, bytes)):
        raise TypeError(f"ids must be an iterable of signal ids or names, not {type(ids).__name__}")
    for position, item in enumerate(_items(ids, "ids")):
        if isinstance(item, str):
            chosen.extend(_named([item], catalog, "ids").ids(item, f"ids[{position}]"))
            continue
        try:
            ident = operator.index(item)
        except TypeError:
            raise TypeError(f"ids[{position}] is a {type(item).__name__}, not an int signal id or a name") from None
        if not 0 <= ident <= 65535:
            raise ValueError(f"ids[{position}] is {ident!r}, outside the signal ids 0 to 65535")
        chosen.append(ident)
    return chosen


def _items(values: Any, what: str) -> Iterable[Any]:
    try:
        return iter(values)
    except TypeError:
        raise TypeError(f"{what} must be an iterable of int signal codes or names, not {type(values).__name__}") \
            from None


def _named(selection: List[Any], catalog: Any, what: str) -> Any:
    """The catalog that names and patterns need, or ValueError naming the first."""
    if catalog is None:
        position, name = next((i, item) for i, item in enumerate(selection) if isinstance(item, str))
        raise ValueError(f"{what}[{position}] is the name {name!r}, but there is no catalog of names: put "
                         f"zentrail-catalog.csv (or .json) in the archive's root, or give catalog=")
    return catalog


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
