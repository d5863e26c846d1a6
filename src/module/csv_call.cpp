#include "module/csv_call.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "module/errors.h"
#include "module/owned_ref.h"
#include "output/csv_text.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

// A buffer of 8-byte items held for the call.
class HeldValues {
public:
    HeldValues(PyObject* object, const char* formats) {
        if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) fail();
        held = true;
        if (view.itemsize != 8 || view.format == nullptr || std::strpbrk(view.format, formats) == nullptr) {
            PyErr_Format(PyExc_TypeError, "a csv column must hold 8-byte items of format '%s', not '%s'", formats,
                         view.format == nullptr ? "B" : view.format);
            fail();
        }
    }
    ~HeldValues() {
        if (held) PyBuffer_Release(&view);
    }
    HeldValues(const HeldValues&) = delete;
    HeldValues& operator=(const HeldValues&) = delete;
    std::size_t size() const { return static_cast<std::size_t>(view.len) / 8; }
    const void* data() const { return view.buf; }

private:
    Py_buffer view{};
    bool held = false;
};

std::size_t texts_of(PyObject* sequence, std::vector<std::string_view>* texts, std::vector<OwnedRef>* held) {
    OwnedRef items = OwnedRef::checked(PySequence_Fast(sequence, "a csv text column must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    texts->reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (item == Py_None) {
            texts->emplace_back();
            continue;
        }
        if (!PyUnicode_Check(item)) {
            held->push_back(OwnedRef::checked(PyObject_Str(item)));
            item = held->back().get();
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) fail();
        texts->emplace_back(utf8, static_cast<std::size_t>(size));
    }
    held->push_back(std::move(items));  // the str objects the views point into
    return static_cast<std::size_t>(n);
}

// A NumPy array of fixed-width str (UCS-4, NUL-padded) as UTF-8 texts in
// *arena: such a column (a scan's names) would otherwise make a str per row.
std::size_t fixed_texts_of(PyObject* array, std::vector<std::string_view>* texts, std::string* arena) {
    Py_buffer view{};
    if (PyObject_GetBuffer(array, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) fail();
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    const std::size_t width = static_cast<std::size_t>(view.itemsize) / 4;
    if (view.format == nullptr || std::strchr(view.format, 'w') == nullptr || width == 0) {
        PyErr_SetString(PyExc_TypeError, "a csv column of kind 'U' must be a NumPy array of str");
        fail();
    }
    const std::size_t n = static_cast<std::size_t>(view.len) / static_cast<std::size_t>(view.itemsize);
    std::vector<std::size_t> ends(n);
    const auto* chars = static_cast<const uint32_t*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t* end = chars + (i + 1) * width;  // the padding cut: NULs at the end only
        while (end != chars + i * width && end[-1] == 0) --end;
        for (const uint32_t* c = chars + i * width; c != end; ++c) {
            const uint32_t u = *c;
            if (u < 0x80) {
                arena->push_back(static_cast<char>(u));
            } else if (u < 0x800) {
                arena->push_back(static_cast<char>(0xC0 | (u >> 6)));
                arena->push_back(static_cast<char>(0x80 | (u & 0x3F)));
            } else if (u < 0x10000) {
                arena->push_back(static_cast<char>(0xE0 | (u >> 12)));
                arena->push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
                arena->push_back(static_cast<char>(0x80 | (u & 0x3F)));
            } else {
                arena->push_back(static_cast<char>(0xF0 | (u >> 18)));
                arena->push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
                arena->push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
                arena->push_back(static_cast<char>(0x80 | (u & 0x3F)));
            }
        }
        ends[i] = arena->size();
    }
    texts->reserve(n);  // the views made once the arena no longer moves
    for (std::size_t i = 0, start = 0; i < n; start = ends[i++]) texts->emplace_back(arena->data() + start, ends[i] - start);
    return n;
}

// The columns of a call, with what their views and values are held by.
struct HeldColumns {
    std::vector<CsvColumn> columns;
    std::vector<std::unique_ptr<HeldValues>> buffers;
    std::vector<OwnedRef> held;
    std::vector<std::unique_ptr<std::string>> arenas;
    std::size_t rows = 0;  // as far as the shortest column goes, as zip() pairs them

    explicit HeldColumns(PyObject* list) {
        for (Py_ssize_t c = 0; c < PyList_GET_SIZE(list); ++c) {
            const char* kind = nullptr;
            PyObject *values = nullptr, *offsets = nullptr;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(list, c), "sOO:csv column", &kind, &values, &offsets)) fail();
            const std::size_t size = add(kind[0], values, offsets);
            rows = c == 0 ? size : std::min(rows, size);
        }
    }

private:
    std::size_t add(char kind, PyObject* values, PyObject* offsets) {
        CsvColumn column;
        std::size_t size = 0;
        if (kind == 'u') {
            column.kind = CsvColumn::Kind::Text;
            size = texts_of(values, &column.texts, &held);
        } else if (kind == 'U') {
            column.kind = CsvColumn::Kind::Text;
            arenas.push_back(std::make_unique<std::string>());
            size = fixed_texts_of(values, &column.texts, arenas.back().get());
        } else {
            buffers.push_back(std::make_unique<HeldValues>(values, kind == 'g' ? "d" : "lq"));
            size = buffers.back()->size();
            column.values = buffers.back()->data();
            column.kind = kind == 'g'   ? CsvColumn::Kind::Number
                          : kind == 't' ? CsvColumn::Kind::Instant
                          : kind == 'd' ? CsvColumn::Kind::Day
                                        : CsvColumn::Kind::Integer;
            if (offsets != Py_None) {
                buffers.push_back(std::make_unique<HeldValues>(offsets, "lq"));
                if (buffers.back()->size() != size) {
                    PyErr_SetString(PyExc_ValueError, "a csv column's offsets must be as many as its values");
                    fail();
                }
                column.offsets = static_cast<const int64_t*>(buffers.back()->data());
            }
        }
        columns.push_back(std::move(column));
        return size;
    }
};

OwnedRef text_of(const std::string& utf8) {
    return OwnedRef::checked(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

}  // namespace

PyObject* csv_rows_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* list = nullptr;
        PyObject* quoted = nullptr;
        if (!PyArg_ParseTuple(args, "O!U:csv_rows", &PyList_Type, &list, &quoted)) fail();
        CsvQuoting quoting;
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(quoted); i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(quoted, i);
            if (c < quoting.quoted.size()) quoting.quoted[c] = true;
        }
        const HeldColumns held(list);
        std::string out;
        append_csv_rows(held.columns, held.rows, quoting, &out);
        return text_of(out).release();
    });
}

PyObject* table_lines_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *list = nullptr, *names = nullptr, *right = nullptr;
        Py_ssize_t chunk_rows = 0;
        if (!PyArg_ParseTuple(args, "O!O!O!n:table_lines", &PyList_Type, &list, &PyList_Type, &names, &PyList_Type,
                              &right, &chunk_rows)) {
            fail();
        }
        HeldColumns held(list);
        if (PyList_GET_SIZE(names) != PyList_GET_SIZE(list) || PyList_GET_SIZE(right) != PyList_GET_SIZE(list) ||
            chunk_rows < 1) {
            PyErr_SetString(PyExc_ValueError, "table_lines takes a name and a side for each column, chunks of >= 1");
            fail();
        }
        std::vector<TableColumn> columns(held.columns.size());
        for (std::size_t c = 0; c < columns.size(); ++c) {
            Py_ssize_t size = 0;
            const char* name = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(names, static_cast<Py_ssize_t>(c)), &size);
            if (name == nullptr) fail();
            const int is_right = PyObject_IsTrue(PyList_GET_ITEM(right, static_cast<Py_ssize_t>(c)));
            if (is_right < 0) fail();
            columns[c] = TableColumn{std::string(name, static_cast<std::size_t>(size)), std::move(held.columns[c]),
                                     is_right != 0};
        }
        OwnedRef out = OwnedRef::checked(PyList_New(0));
        table_lines(columns, held.rows, static_cast<std::size_t>(chunk_rows), [&](std::string& lines) {
            if (PyList_Append(out.get(), text_of(lines).get()) != 0) fail();
        });
        return out.release();
    });
}

}  // namespace zentrail
