#include "module/identity_call.h"

#include <string>
#include <vector>

#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"
#include "selection/file_identity.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

void put(PyObject* dict, const char* name, OwnedRef value) {
    if (PyDict_SetItemString(dict, name, value.get()) != 0) fail();
}

}  // namespace

PyObject* file_identities_call(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        OwnedRef items = OwnedRef::checked(PySequence_Fast(arg, "file_identities takes a sequence of bytes paths"));
        std::vector<std::string> paths;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        paths.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(item, &data, &size) != 0) fail();
            paths.emplace_back(data, static_cast<std::size_t>(size));
        }
        std::vector<FileIdentity> found = without_gil([&] {
            std::vector<FileIdentity> out;
            out.reserve(paths.size());
            for (const std::string& path : paths) out.push_back(file_identity(path));
            return out;
        });
        std::vector<uint8_t> ok;
        std::vector<int64_t> size, mtime;
        std::vector<uint64_t> inode, device, edges;
        for (const FileIdentity& f : found) {
            ok.push_back(f.found ? 1 : 0);
            size.push_back(f.size);
            mtime.push_back(f.mtime_ns);
            inode.push_back(f.inode);
            device.push_back(f.device);
            edges.push_back(f.edges);
        }
        OwnedRef out = OwnedRef::checked(PyDict_New());
        put(out.get(), "found", lent_values(std::move(ok)));
        put(out.get(), "size", lent_values(std::move(size)));
        put(out.get(), "mtime_ns", lent_values(std::move(mtime)));
        put(out.get(), "inode", lent_values(std::move(inode)));
        put(out.get(), "device", lent_values(std::move(device)));
        put(out.get(), "edges", lent_values(std::move(edges)));
        return out.release();
    });
}

}  // namespace zentrail
