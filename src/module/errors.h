// Raising Python exceptions: the one conversion of an FsError into its Python
// exception, and pyo3_runtime.PanicException for faults that escape a method
// body. Interpreter lock held.
#pragma once

#include <cxxabi.h>

#include <string>

#include "fs/error/fs_error.h"
#include "module/python.h"

namespace tolvane::py {

// Sets the Python exception for `error`; returns nullptr for `return
// RaiseFsError(e);`.
PyObject* RaiseFsError(const FsError& error);

// The class pyo3_runtime.PanicException (derived from BaseException), created
// once per process. Returns nullptr with an exception set if it can't be
// created.
PyObject* PanicExceptionType();

// Raises PanicException with `message`; returns nullptr.
PyObject* RaisePanic(const std::string& message);

// Runs `body` and turns any C++ exception that escapes it into PanicException.
// A forced unwind (the interpreter ending this thread) passes through. The
// runtime binds it to the reference with no object behind it, which the
// undefined-behaviour sanitizer reports as a null reference: its checks are
// off here.
template <typename T, typename F>
[[gnu::no_sanitize_undefined]] T Guard(T failure, F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    RaisePanic(e.what());
  } catch (...) {
    RaisePanic("unknown fault");
  }
  return failure;
}

// `SystemError` "attempted to fetch exception but none was set" unless an
// exception is pending.
void EnsureErrorSet();

}  // namespace tolvane::py
