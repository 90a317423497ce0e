// The module's entry point: ties the module to the first interpreter that
// imports it, creates the module once per process and registers the classes and
// the version.
#include <atomic>
#include <cstdint>

#include "module/errors.h"
#include "module/file_system.h"
#include "module/python.h"
#include "module/value_classes.h"

namespace tolvane::py {
namespace {

constexpr char kVersion[] = "0.1.3";

std::atomic<int64_t> interpreter_id{-1};
PyObject* module_cell = nullptr;  // set once, never released

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quill_core",
    "Tolvane Python module",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to __all__ (created on first use), then sets the attribute;
// steals `value`.
int AddName(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  int status = text == nullptr ? -1 : PyList_Append(all, text);
  Py_XDECREF(text);
  Py_DECREF(all);
  if (status == 0) status = PyObject_SetAttrString(module, name, value);
  Py_DECREF(value);
  return status;
}

int AddClass(PyObject* module, const char* name, PyTypeObject* (*make)()) {
  PyTypeObject* type = make();
  if (type == nullptr) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError,
                 "An error occurred while initializing class %s", name);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    return -1;
  }
  return AddName(module, name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

int ModuleInit(PyObject* module) {
  if (PanicExceptionType() == nullptr) return -1;
  if (AddClass(module, "FileSystem", FileSystemType) < 0 ||
      AddClass(module, "SearchResult", SearchResultType) < 0 ||
      AddClass(module, "SearchOptions", SearchOptionsType) < 0 ||
      AddClass(module, "FileMetadata", FileMetadataType) < 0) {
    return -1;
  }
  PyObject* version = PyUnicode_FromString(kVersion);
  if (version == nullptr) return -1;
  return AddName(module, "__version__", version);
}

PyObject* Init() {
  PyInterpreterState* state = PyInterpreterState_Get();
  int64_t id = state ? PyInterpreterState_GetID(state) : -1;
  if (id == -1) {
    EnsureErrorSet();
    return nullptr;
  }
  int64_t expected = -1;
  if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules do not yet support subinterpreters, see "
                    "https://github.com/PyO3/pyo3/issues/576");
    return nullptr;
  }
  if (module_cell != nullptr) return Py_NewRef(module_cell);
  PyObject* module = PyModule_Create2(&module_def, PYTHON_ABI_VERSION);
  if (module == nullptr) {
    EnsureErrorSet();
    return nullptr;
  }
  if (ModuleInit(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  if (module_cell == nullptr) {
    module_cell = module;
  } else {
    Py_DECREF(module);
  }
  return Py_NewRef(module_cell);
}

}  // namespace
}  // namespace tolvane::py

extern "C" __attribute__((visibility("default"))) PyObject*
PyInit__quill_core() {
  return tolvane::py::Guard<PyObject*>(nullptr,
                                       [] { return tolvane::py::Init(); });
}
