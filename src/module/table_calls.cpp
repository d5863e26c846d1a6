#include "module/table_calls.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "module/arrow_capsules.h"
#include "module/errors.h"
#include "module/named_fields.h"
#include "module/owned_ref.h"
#include "scan/table_arrow.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

std::string text_of(PyObject* object) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) fail();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// Values of format "u": str, or None for a null.
void fill_texts(OwnedColumn* column, PyObject* values) {
    OwnedRef items = OwnedRef::checked(PySequence_Fast(values, "a text column must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    column->offsets.reserve(static_cast<std::size_t>(n) + 1);
    column->offsets.push_back(0);
    column->validity.assign(static_cast<std::size_t>((n + 7) / 8), 0);
    column->nullable = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (item == Py_None) {
            ++column->null_count;
        } else {
            const std::string text = text_of(item);
            column->bytes.insert(column->bytes.end(), text.begin(), text.end());
            column->validity[static_cast<std::size_t>(i / 8)] |= static_cast<uint8_t>(1u << (i % 8));
        }
        if (column->bytes.size() > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "a text column of more than 2 GiB");
            fail();
        }
        column->offsets.push_back(static_cast<int32_t>(column->bytes.size()));
    }
    if (column->null_count == 0) column->validity.clear();
}

class HeldBuffer {
public:
    explicit HeldBuffer(PyObject* object) {
        if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) != 0) fail();
    }
    ~HeldBuffer() { PyBuffer_Release(&view); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    Py_buffer view;
};

// Values of format "b": one byte a row (NumPy's bool), packed a bit each.
void fill_bits(OwnedColumn* column, const uint8_t* bytes, std::size_t n) {
    column->bits = static_cast<int64_t>(n);
    column->bytes.assign((n + 7) / 8, 0);
    for (std::size_t r = 0; r < n; ++r) {
        if (bytes[r] != 0) column->bytes[r / 8] |= static_cast<uint8_t>(1u << (r % 8));
    }
}

// Rows whose value is `none` become nulls (NaT of instants and durations,
// the index -1 of a name column that names nothing there).
template <typename T>
void null_where(OwnedColumn* column, T none) {
    const std::size_t n = column->bytes.size() / sizeof(T);
    std::vector<uint8_t> validity((n + 7) / 8, 0);
    for (std::size_t r = 0; r < n; ++r) {
        T v;
        std::memcpy(&v, column->bytes.data() + r * sizeof(T), sizeof v);
        if (v == none) {
            ++column->null_count;
            if (column->dictionary) {  // an index into the names, if not a valid one
                const T zero = 0;
                std::memcpy(column->bytes.data() + r * sizeof(T), &zero, sizeof zero);
            }
        } else {
            validity[r / 8] |= static_cast<uint8_t>(1u << (r % 8));
        }
    }
    if (column->null_count > 0) {
        column->nullable = true;
        column->validity = std::move(validity);
    }
}

void fill_values(OwnedColumn* column, PyObject* values) {
    HeldBuffer held(values);
    const std::size_t width = column->arrow_format == "C" || column->arrow_format == "b" ? 1
                              : column->arrow_format == "S" ? 2
                              : column->arrow_format == "i" ? 4 : 8;
    const auto itemsize = static_cast<std::size_t>(held.view.itemsize);
    if (itemsize != width) {
        PyErr_Format(PyExc_TypeError, "column %s: values of %zu bytes for format %s", column->name.c_str(), itemsize,
                     column->arrow_format.c_str());
        fail();
    }
    const auto* bytes = static_cast<const uint8_t*>(held.view.buf);
    if (column->arrow_format == "b") {
        fill_bits(column, bytes, static_cast<std::size_t>(held.view.len));
        return;
    }
    column->bytes.assign(bytes, bytes + held.view.len);
    // NumPy's NaT (the smallest int64) is no instant nor duration: a null in
    // Arrow, as pyarrow makes it of a NumPy column.
    if (column->arrow_format.rfind("tsn:", 0) == 0 || column->arrow_format == "tDn") {
        null_where<int64_t>(column, INT64_MIN);
    }
}

}  // namespace

PyObject* table_stream_call(PyObject*, PyObject* columns) {
    return guarded([&] {
        OwnedRef items = OwnedRef::checked(PySequence_Fast(columns, "the columns must be a sequence"));
        std::vector<OwnedColumn> table;
        int64_t rows = -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            // A column by its fields' names (zentrail._read.result.TableColumn).
            NamedFields fields(PySequence_Fast_GET_ITEM(items.get(), i));
            PyObject* name = fields["name"];
            PyObject* format = fields["arrow_format"];
            PyObject* values = fields["values"];
            PyObject* names = fields["names"];
            if (!PyUnicode_Check(name) || !PyUnicode_Check(format)) {
                PyErr_SetString(PyExc_TypeError, "a column's name and Arrow format are str");
                fail();
            }
            OwnedColumn column;
            column.name = text_of(name);
            column.arrow_format = text_of(format);
            static const char* const known[] = {"u", "b", "C", "S", "i", "l", "g", "tsn:", "tDn"};
            bool is_known = false;
            for (const char* f : known) is_known = is_known || column.arrow_format == f;
            // Instants shown in a zone: "tsn:Europe/Berlin".
            is_known = is_known || (column.arrow_format.rfind("tsn:", 0) == 0 && column.arrow_format.size() < 256);
            if (!is_known) {
                PyErr_Format(PyExc_ValueError, "column %s: no Arrow format %s here", column.name.c_str(),
                             column.arrow_format.c_str());
                fail();
            }
            if (column.arrow_format == "u") {
                fill_texts(&column, values);
            } else {
                fill_values(&column, values);
            }
            if (names != Py_None) {
                OwnedRef listed = OwnedRef::checked(PySequence_Fast(names, "the names must be a sequence"));
                std::vector<std::string> texts;
                for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(listed.get()); ++k) {
                    texts.push_back(text_of(PySequence_Fast_GET_ITEM(listed.get(), k)));
                }
                column.dictionary = text_dictionary(texts);
                if (column.arrow_format == "i") null_where<int32_t>(&column, -1);
            }
            if (rows >= 0 && column.length() != rows) {
                PyErr_Format(PyExc_ValueError, "column %s has %lld rows, the others %lld", column.name.c_str(),
                             static_cast<long long>(column.length()), static_cast<long long>(rows));
                fail();
            }
            rows = column.length();
            table.push_back(std::move(column));
        }
        auto stream = std::make_unique<ArrowArrayStream>();
        export_table_stream(std::move(table), rows < 0 ? 0 : rows, stream.get());
        return arrow_capsule(std::move(stream));
    });
}

}  // namespace zentrail
