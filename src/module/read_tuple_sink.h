// The record sink of zentrail.read: appends one Python 12-tuple per selected
// value to the call's list.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>

#include "archive/record_sink.h"
#include "module/owned_ref.h"
#include "output/archive_row.h"
#include "selection/filter.h"

namespace zentrail {

class ReadTupleSink : public RecordSink {
public:
    // Both are borrowed: the read call owns the list and the filter.
    ReadTupleSink(PyObject* list, const Filter* filter) : list(list), filter(filter) {}

    // Appends the item's tuples when its time lies in the window: one for a
    // text row, else one per selected element index, highest index first.
    // A failed CPython call throws PythonErrorAlreadySet.
    void export_value(ACI_WITH_DATE* item) override;

private:
    void _append_tuple(const ArchiveRow& row, PyObject* value);

    // The ints of the date fields, the milliseconds, the constant 1 and the
    // id repeat from tuple to tuple; being immutable, one object each serves
    // every tuple of the call. Each returns a new reference.
    PyObject* _shared_int(OwnedRef* slot, long value);
    PyObject* _small_int(long value);  // 0..999 kept, others made anew
    PyObject* _year(int32_t year);
    PyObject* _id(uint32_t id);

    PyObject* list;
    const Filter* filter;

    OwnedRef year_object;
    int32_t year_value = 0;
    OwnedRef id_object;
    uint32_t id_value = 0;
    std::array<OwnedRef, 1000> small_ints;
};

}  // namespace zentrail
