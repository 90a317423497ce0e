// The bodies of FileSystem's methods, one file per area; file_system.cpp lists
// them in the class's method table.
#pragma once

#include "module/python.h"

namespace tolvane::py {

// Index: methods_index.cpp
PyObject* FsList(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames);
PyObject* FsGlob(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames);
PyObject* FsGetMetadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* FsRefresh(PyObject* self, PyObject* unused);
PyObject* FsIsReady(PyObject* self, PyObject* unused);

// Watching: methods_watch.cpp
PyObject* FsIsWatching(PyObject* self, PyObject* unused);
PyObject* FsPendingChanges(PyObject* self, PyObject* unused);

// Reads and writes: methods_io.cpp
PyObject* FsReadFile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);
PyObject* FsReadBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* FsReadLines(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* FsReadFileRange(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);
PyObject* FsWriteFile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* FsWriteFileFast(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);
PyObject* FsEditReplace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// Content search: methods_search.cpp
PyObject* FsGrep(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames);

}  // namespace tolvane::py
