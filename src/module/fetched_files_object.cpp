#include "module/fetched_files_object.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "module/errors.h"
#include "module/gil.h"
#include "module/heap_type.h"
#include "module/owned_ref.h"
#include "scan/fetched_files.h"
#include "scan/zip_members.h"

namespace zentrail {

namespace {

struct FetchedFilesObject {
    PyObject_HEAD
    std::shared_ptr<FetchedFiles>* files;
};

PyTypeObject* fetched_files_type = nullptr;

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

FetchedFiles& files_of(PyObject* self) { return **reinterpret_cast<FetchedFilesObject*>(self)->files; }

std::string name_of(PyObject* name) {
    if (!PyBytes_Check(name)) {
        PyErr_Format(PyExc_TypeError, "a file name must be bytes, not %.200s", Py_TYPE(name)->tp_name);
        fail();
    }
    return std::string(PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name)));
}

void fetched_files_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<FetchedFilesObject*>(self);
    if (object->files != nullptr) {
        (*object->files)->close();
        delete object->files;
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* reserve_method(PyObject* self, PyObject* arg) {
    return guarded([&] {
        const double seconds = PyFloat_AsDouble(arg);
        if (seconds == -1.0 && PyErr_Occurred()) fail();
        const auto wait = std::chrono::milliseconds(static_cast<int64_t>(seconds < 0 ? 0 : seconds * 1000));
        FetchedFiles& files = files_of(self);
        const bool room = without_gil([&] { return files.reserve(wait); });
        return PyBool_FromLong(room ? 1 : 0);
    });
}

PyObject* append_method(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* name;
        Py_buffer view;
        if (!PyArg_ParseTuple(args, "Oy*:append", &name, &view)) fail();
        cleaning_up_on_failure(
            [&] {
                const std::string key = name_of(name);
                FetchedFiles& files = files_of(self);
                // The buffer stays exported (and its object alive) while the
                // bytes are copied without the interpreter lock.
                const auto* piece = static_cast<const unsigned char*>(view.buf);
                const auto size = static_cast<std::size_t>(view.len);
                without_gil([&] { files.append(key, piece, size); });
            },
            [&] { PyBuffer_Release(&view); });
        PyBuffer_Release(&view);
        Py_RETURN_NONE;
    });
}

PyObject* complete_method(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const std::string key = name_of(arg);
        FetchedFiles& files = files_of(self);
        without_gil([&] { files.complete(key); });
        Py_RETURN_NONE;
    });
}

PyObject* fail_method(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* name;
        int os_error = 0;
        long long offset = -1;
        if (!PyArg_ParseTuple(args, "OiL:fail", &name, &os_error, &offset)) fail();
        files_of(self).fail(name_of(name), os_error, offset);
        Py_RETURN_NONE;
    });
}

PyObject* close_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        FetchedFiles& files = files_of(self);
        without_gil([&] { files.close(); });
        Py_RETURN_NONE;
    });
}

PyObject* closed_getter(PyObject* self, void*) { return PyBool_FromLong(files_of(self).closed() ? 1 : 0); }

PyMethodDef fetched_files_methods[] = {
    {"reserve", reserve_method, METH_O,
     "reserve(seconds) -> bool: waits at most that long for room for one more file; False on time out or once closed."},
    {"append", append_method, METH_VARARGS, "append(name, piece): the next bytes of a reserved file (copied)."},
    {"complete", complete_method, METH_O, "complete(name): the reserved file's bytes are all there."},
    {"fail", fail_method, METH_VARARGS,
     "fail(name, errno, offset): fetching a reserved file failed (to open it when offset < 0, else to read at offset)."},
    {"close", close_method, METH_NOARGS, "close(): ends the read's side; what is held is dropped."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef fetched_files_getset[] = {
    {"closed", closed_getter, nullptr, "Whether the read's side has ended.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fetched_files_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fetched_files_dealloc)},
    {Py_tp_methods, fetched_files_methods},
    {Py_tp_getset, fetched_files_getset},
    {Py_tp_doc, const_cast<char*>("The files of one read, fetched from elsewhere and decoded from memory.")},
    {0, nullptr},
};

PyType_Spec fetched_files_layout = {"zentrail._core.FetchedFiles", sizeof(FetchedFilesObject), 0,
                                    Py_TPFLAGS_DEFAULT | MODULE_MADE, fetched_files_slots};

// zentrail._core.ZipMembers: the members of a zip file on this machine
// that a read reads where they lie. It holds their places, nothing else.
struct ZipMembersObject {
    PyObject_HEAD
    std::shared_ptr<ByteSource>* members;
};

PyTypeObject* zip_members_type = nullptr;

void zip_members_dealloc(PyObject* self) {
    delete reinterpret_cast<ZipMembersObject*>(self)->members;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot zip_members_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(zip_members_dealloc)},
    {Py_tp_doc, const_cast<char*>("The members of a zip file on this machine that a read reads where they lie.")},
    {0, nullptr},
};

PyType_Spec zip_members_layout = {"zentrail._core.ZipMembers", sizeof(ZipMembersObject), 0,
                                  Py_TPFLAGS_DEFAULT | MODULE_MADE, zip_members_slots};

}  // namespace

PyObject* zip_members_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* zip_path;
        PyObject* names;
        PyObject* places;
        if (!PyArg_ParseTuple(args, "O!O!O!:zip_members", &PyBytes_Type, &zip_path, &PyList_Type, &names,
                              &PyList_Type, &places)) {
            fail();
        }
        if (PyList_GET_SIZE(names) != PyList_GET_SIZE(places)) {
            PyErr_SetString(PyExc_ValueError, "one place per name");
            fail();
        }
        std::unordered_map<std::string, ZipMember> members;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
            ZipMember member;
            member.zip_path = name_of(zip_path);
            long long header = 0, stored = 0, size = 0;
            int method = 0;
            unsigned long crc = 0;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(places, i), "LLLik:zip_members", &header, &stored, &size, &method,
                                  &crc)) {
                fail();
            }
            member.header_offset = header;
            member.stored_size = stored;
            member.size = size;
            member.method = method;
            member.crc = static_cast<uint32_t>(crc);
            members[name_of(PyList_GET_ITEM(names, i))] = std::move(member);
        }
        OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(zip_members_type, 0));
        reinterpret_cast<ZipMembersObject*>(object.get())->members =
            new std::shared_ptr<ByteSource>(std::make_shared<ZipMembers>(std::move(members)));
        return object.release();
    });
}

PyObject* fetched_files_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* names;
        PyObject* sizes;
        Py_ssize_t in_flight = 1;
        if (!PyArg_ParseTuple(args, "O!O!n:fetched_files", &PyList_Type, &names, &PyList_Type, &sizes, &in_flight)) {
            fail();
        }
        if (PyList_GET_SIZE(names) != PyList_GET_SIZE(sizes) || in_flight < 1) {
            PyErr_SetString(PyExc_ValueError, "one size per name, and at least one file in flight");
            fail();
        }
        std::vector<std::string> keys;
        std::vector<int64_t> lengths;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
            keys.push_back(name_of(PyList_GET_ITEM(names, i)));
            const long long size = PyLong_AsLongLong(PyList_GET_ITEM(sizes, i));
            if (size == -1 && PyErr_Occurred()) fail();
            lengths.push_back(size);
        }
        OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(fetched_files_type, 0));
        reinterpret_cast<FetchedFilesObject*>(object.get())->files = new std::shared_ptr<FetchedFiles>(
            FetchedFiles::make(std::move(keys), std::move(lengths), static_cast<std::size_t>(in_flight)));
        return object.release();
    });
}

std::shared_ptr<ByteSource> fetched_files_of(PyObject* object) {
    if (object == Py_None) return nullptr;
    if (Py_TYPE(object) == zip_members_type) return *reinterpret_cast<ZipMembersObject*>(object)->members;
    if (Py_TYPE(object) != fetched_files_type) {
        PyErr_Format(PyExc_TypeError, "a read's source must be a FetchedFiles, ZipMembers or None, not %.200s",
                     Py_TYPE(object)->tp_name);
        fail();
    }
    return *reinterpret_cast<FetchedFilesObject*>(object)->files;
}

bool make_fetched_files_type(PyObject* module) {
    fetched_files_type = make_heap_type(module, &fetched_files_layout);
    if (fetched_files_type == nullptr) return false;
    Py_INCREF(fetched_files_type);
    if (PyModule_AddObject(module, "FetchedFiles", reinterpret_cast<PyObject*>(fetched_files_type)) < 0) {
        Py_DECREF(fetched_files_type);
        return false;
    }
    zip_members_type = make_heap_type(module, &zip_members_layout);
    if (zip_members_type == nullptr) return false;
    Py_INCREF(zip_members_type);
    if (PyModule_AddObject(module, "ZipMembers", reinterpret_cast<PyObject*>(zip_members_type)) < 0) {
        Py_DECREF(zip_members_type);
        return false;
    }
    return true;
}

}  // namespace zentrail
