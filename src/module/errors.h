// Raising Python exceptions: the one conversion of an FsError into its Python
// exception, OSError "out of memory" for memory that a method can't get, and
// pyo3_runtime.PanicException for other faults that escape a method body.
// Interpreter lock held.
#pragma once

#include <cxxabi.h>

#include <new>
#include <string>

#include "fs/error/fs_error.h"
#include "fs/sys/thread.h"
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

// Raises OSError "out of memory", as RaiseFsError does for that FsError, but
// without allocating on the C++ side; returns nullptr.
PyObject* RaiseOutOfMemory();

// Turns a pending MemoryError (the interpreter's failure to allocate) into
// OSError "out of memory"; any other pending exception stays. Returns nullptr.
PyObject* OutOfMemoryAsOSError();

// Runs `body` and turns a C++ exception that escapes it into OSError "out of
// memory" when it is std::bad_alloc, else into PanicException. A forced
// unwind (the interpreter ending this thread) passes through. The
// runtime binds it to the reference with no object behind it, which the
// undefined-behaviour sanitizer reports as a null reference: its checks are
// off here. A thread's first call prepares it (sys::PrepareThread) to report
// failures, or is OSError "out of memory" when it can't be.
template <typename T, typename F>
[[gnu::no_sanitize_undefined]] T Guard(T failure, F&& body) {
  if (!sys::PrepareThread()) {
    RaiseOutOfMemory();
    return failure;
  }
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
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
