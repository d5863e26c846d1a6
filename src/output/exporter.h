// The record sink of a read: appends one Python 12-tuple per selected value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "output/writer.h"
#include "selection/filter.h"

namespace zentrail {

class Exporter : public Writer {
public:
    // Both are borrowed: the read call owns the list and the filter.
    Exporter(PyObject* list, const Filter* filter) : list(list), filter(filter) {}

    // Appends the item's tuples when its time lies in the window: one for a
    // text row, else one per selected element index, highest index first.
    // A failed CPython call throws PythonErrorAlreadySet.
    void export_value(ACI_WITH_DATE* item) override;

private:
    void _append_tuple(const ArchiveRow& row, PyObject* value);

    PyObject* list;
    const Filter* filter;
};

}  // namespace zentrail
