#include "module/errors.h"

namespace tolvane::py {

PyObject* RaiseFsError(const FsError& error) {
  PyObject* type = nullptr;
  switch (error.kind()) {
    case FsError::Kind::kIo:
      type = PyExc_OSError;
      break;
    case FsError::Kind::kPathNotFound:
    case FsError::Kind::kTextNotUnique:
    case FsError::Kind::kTextNotFound:
    case FsError::Kind::kGlob:
    case FsError::Kind::kRegex:
      type = PyExc_ValueError;
      break;
    case FsError::Kind::kIndexBuilding:
    case FsError::Kind::kInternal:
      type = PyExc_RuntimeError;
      break;
  }
  std::string message = error.message();
  PyObject* text = PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  // A one-argument call, so OSError stays OSError (no errno, no subclass).
  PyObject* exception = PyObject_CallFunctionObjArgs(type, text, nullptr);
  Py_DECREF(text);
  if (exception == nullptr) return nullptr;
  PyErr_SetObject(type, exception);
  Py_DECREF(exception);
  return nullptr;
}

PyObject* PanicExceptionType() {
  // Created once and kept for the life of the process, across interpreters'
  // imports.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "An internal fault of the native core.\n\nDerived from BaseException, "
        "like SystemExit, so "
        "that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* RaisePanic(const std::string& message) {
  PyObject* type = PanicExceptionType();
  if (type == nullptr) return nullptr;
  PyObject* text = PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* RaiseOutOfMemory() {
  PyErr_SetString(PyExc_OSError, kOutOfMemoryText);
  return nullptr;
}

PyObject* OutOfMemoryAsOSError() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    RaiseOutOfMemory();
  }
  return nullptr;
}

void EnsureErrorSet() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError,
                    "attempted to fetch exception but none was set");
  }
}

}  // namespace tolvane::py
