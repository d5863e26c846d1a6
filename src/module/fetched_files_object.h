// zentrail._core.FetchedFiles: the files of a read fetched by the Python
// layer (fsspec) and decoded from memory by the read's workers. The Python
// side puts the bytes in, file by file, in read order, as room allows; the
// workers never see a Python object, only the bytes copied in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "archive/byte_source.h"

namespace zentrail {

// fetched_files(names, sizes, in_flight) -> FetchedFiles: names a list of
// bytes (the files as a read names them), sizes their listed sizes,
// in_flight the most files held at once.
PyObject* fetched_files_call(PyObject* module, PyObject* args);
// zip_members(zip_path, names, places) -> ZipMembers: names a list of bytes
// (the members as a read names them), places a list of (header offset,
// stored size, size, method, CRC) as the zip file's directory lists them.
PyObject* zip_members_call(PyObject* module, PyObject* args);
// The byte source of a request's `source` field: None gives null; anything
// but a FetchedFiles or ZipMembers raises TypeError (PythonErrorAlreadySet).
std::shared_ptr<ByteSource> fetched_files_of(PyObject* object);
bool make_fetched_files_type(PyObject* module);

}  // namespace zentrail
