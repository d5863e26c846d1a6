"""The names of the archive vocabulary, from the core's one name table: class
names, subtype names and system-event details exactly as the text writer
(``zentrail-dump``) prints them."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Optional, Tuple

from zentrail import _core

CLASS_NAMES: Tuple[str, ...] = tuple(_core.CLASS_NAMES)
"""The class name of each class number 0 to 31 ("System", "AlBool", ...,
"GrWord", ..., "AlAckn"), as the text writer prints it."""


def record_names(item_class: int, subtype: int, param: int = 0) -> Tuple[str, str, str]:
    """``(class_name, subtype_name, detail)`` of a record of class
    ``item_class`` (0 to 31), subtype ``subtype`` (0 to 7) and second byte
    ``param`` (0 to 255), exactly as the text writer prints these three
    fields: for example ``(0, 1, 54)`` gives ``("System", "Executive events",
    "BlockWarning")`` and ``(3, 3, 1)`` gives ``("AlShort", "HiHi", "1")``."""
    for name, value, top in (("item_class", item_class, 31), ("subtype", subtype, 7), ("param", param, 255)):
        if not isinstance(value, int) or not 0 <= value <= top:
            raise ValueError(f"{name} must be an int of 0 to {top}, not {value!r}")
    key = (item_class | (subtype << 5), param)
    names = _KNOWN.get(key)
    if names is None:
        names = _KNOWN[key] = _core.record_names(*key)
    return names


# The names asked for so far, by (item code, second byte): at most 65,536.
_KNOWN: Dict[Tuple[int, int], Tuple[str, str, str]] = {}


def subtype_name(item_class: int, subtype: int) -> str:
    """The subtype's name as the text writer prints it for a record of class
    ``item_class``: "Lo", "Hi", "LoLo", "HiHi", "data" for value alarms,
    "H->L" / "L->H" for AlBool, "Norm", "LogF", ... for AlString, "Lo/L",
    "Hi/H", ... for AlAckn, "Date Mark", "Executive events", "Archive events"
    for System; a group's subtype is printed as its number ("" for 0)."""
    return record_names(item_class, subtype)[1]


def subtype_names() -> Tuple[str, ...]:
    """The subtype name of each ``item_class * 8 + subtype`` (256)."""
    global _SUBTYPE_NAMES
    if _SUBTYPE_NAMES is None:
        _SUBTYPE_NAMES = tuple(subtype_name(k // 8, k % 8) for k in range(256))
    return _SUBTYPE_NAMES


_SUBTYPE_NAMES: Optional[Tuple[str, ...]] = None


def class_name_array(item_class: Any, dtype: Any = None) -> Any:
    """The class name of each class number, as a NumPy array of str (of
    str objects with ``dtype=object``): the one place the class_name column
    is made (categoricals and Arrow dictionaries are made from it, or from
    its codes)."""
    import numpy

    return numpy.asarray(CLASS_NAMES, dtype=dtype)[item_class]


def subtype_name_array(item_class: Any, subtype: Any, dtype: Any = None) -> Any:
    import numpy

    return numpy.asarray(subtype_names(), dtype=dtype)[item_class.astype(numpy.uint16) * 8 + subtype]


def name_arrays(columns: Dict[str, Any], wanted: Tuple[str, ...], pandas: Any = None) -> Dict[str, Any]:
    """`wanted` from `columns` (NumPy arrays holding the codes of any name
    column wanted), the name columns made from the codes: NumPy str arrays,
    or pandas categoricals when `pandas` is given."""
    out = {}
    for name in wanted:
        if name == "class_name":
            out[name] = class_name_column(pandas, columns["item_class"]) if pandas is not None else \
                class_name_array(columns["item_class"])
        elif name == "subtype_name":
            out[name] = subtype_name_column(pandas, columns["item_class"], columns["subtype"]) \
                if pandas is not None else subtype_name_array(columns["item_class"], columns["subtype"])
        else:
            out[name] = columns[name]
    return out


def name_codes(names: Any) -> Tuple[Tuple[str, ...], Any]:
    """The distinct names of a column of names (str, or None where a row has
    none), sorted, and each row's index among them (int32; -1 for None)."""
    import numpy

    values: Any = numpy.asarray(names, dtype=object)
    present: Any
    inverse: Any
    present, inverse = numpy.unique(values.astype(str), return_inverse=True)
    inverse = inverse.astype(numpy.int32).ravel()
    if "None" in present:  # the text None, or a row of no name: told apart only then
        missing = values == None  # noqa: E711 (elementwise: which rows hold None)
        if missing.any():
            present, inverse = numpy.unique(values[~missing].astype(str), return_inverse=True)
            codes = numpy.full(len(values), -1, dtype=numpy.int32)
            codes[~missing] = inverse.ravel()
            inverse = codes
    return tuple(present.tolist()), inverse


def categorical(pandas: Any, names: Any) -> Any:
    """A pandas Categorical of a column of names (str, None missing), its
    categories sorted."""
    present, codes = name_codes(names)
    return pandas.Categorical.from_codes(codes, categories=list(present))


def _categorical(pandas: Any, codes: Any, names: Dict[int, str]) -> Any:
    """A pandas Categorical of `names[code]` for each code (small
    non-negative integers), its categories the names present, sorted.

    The codes present are marked, not sorted out of the rows (a sort of
    millions of rows cost more than the read): the categories and each
    code's place among them are found from the codes' domain, and the rows
    take their places from that table in one pass."""
    import numpy

    if not len(codes):
        return pandas.Categorical.from_codes(numpy.zeros(0, numpy.int8), categories=[])
    domain = 1 << (8 * codes.dtype.itemsize) if codes.dtype.itemsize <= 2 else int(codes.max()) + 1
    marked = numpy.zeros(domain, dtype=bool)
    marked[codes] = True
    present = numpy.flatnonzero(marked)
    labels = [names[int(c)] for c in present]
    categories = sorted(set(labels))
    position = {label: i for i, label in enumerate(categories)}
    table = numpy.zeros(domain, dtype=numpy.int8 if len(categories) < 128 else numpy.int32)
    table[present] = [position[label] for label in labels]
    try:  # the codes are the table's, in range by construction
        return pandas.Categorical.from_codes(table[codes], categories=categories, validate=False)
    except TypeError:  # pandas before 2.1
        return pandas.Categorical.from_codes(table[codes], categories=categories)


def class_name_column(pandas: Any, item_class: Any) -> Any:
    return _categorical(pandas, item_class, {c: CLASS_NAMES[c] for c in range(32)})


def subtype_name_column(pandas: Any, item_class: Any, subtype: Any) -> Any:
    import numpy

    # Classes take 5 bits and subtypes 3: the key is one byte.
    key = item_class.astype(numpy.uint8, copy=False) << 3
    key |= subtype.astype(numpy.uint8, copy=False)
    names = subtype_names()
    return _categorical(pandas, key, dict(enumerate(names)))
