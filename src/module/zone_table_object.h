// zentrail._core.ZoneTable: a zone's clock changes as the core reads wall
// times by (see time/wall_clock.h), made once per zone by the Python layer
// and handed to each read in its request; each read counts what it had to
// guess in a table of its own (fresh()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "time/wall_clock.h"

namespace zentrail {

// zone_table(name, first_offset, changes) -> ZoneTable: name the zone's
// (for the Arrow format of its instants); first_offset the offset
// (ns) before the first change; changes a buffer of int64 triples (instant
// in ns since 1970-01-01 UTC, offset before, offset after), in time order.
PyObject* zone_table_call(PyObject* module, PyObject* args);
// The zone of a request's `zone` field: None gives an empty one; anything
// but a ZoneTable raises TypeError (PythonErrorAlreadySet).
ReadZone read_zone_of(PyObject* object);
bool make_zone_table_type(PyObject* module);

}  // namespace zentrail
