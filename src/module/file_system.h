// The Python class FileSystem: the object's value (root, index, flags), its
// instance layout, and the frame through which every method call passes (match
// arguments, check the receiver, take the shared borrow, run the body, release
// the borrow, turn faults into PanicException).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "fs/index/file_index.h"
#include "fs/sys/fork.h"
#include "fs/watcher/file_watcher.h"
#include "module/errors.h"
#include "module/frame.h"
#include "module/python.h"

namespace tolvane::py {

// Everything the object holds. Nothing here changes after construction except
// through the shared atomic `shutdown`, so methods need only a shared borrow;
// in a child of fork, the first call adopts the object (AdoptAfterFork) with
// the interpreter lock held.
struct FileSystemValue {
  // The constructor's argument exactly as given.
  std::string root;
  // A second copy: the root handed to the search engine.
  std::string search_root;
  std::shared_ptr<FileIndex> index;
  std::shared_ptr<std::atomic<bool>> shutdown;
  // With auto_watch, when the watcher could be made; the maintenance thread
  // (detached) holds its own share until it sees `shutdown`.
  std::shared_ptr<FileWatcher> watcher;
  // The last listing of every file as a Python list, and the index's file-list
  // generation it shows: list() hands out copies while it is current. A memo
  // guarded by the interpreter lock, released with the object.
  PyObject* full_listing = nullptr;
  uint64_t full_listing_generation = 0;
  // The fork generation (sys::ForkGeneration) of the process it serves.
  uint64_t process = 0;

  FileSystemValue() = default;
  FileSystemValue(const FileSystemValue&) = delete;
  FileSystemValue& operator=(const FileSystemValue&) = delete;
  ~FileSystemValue() { Py_XDECREF(full_listing); }
};

// clang-format off
struct FileSystemObject {
  PyObject_HEAD
  BorrowFlag borrow;
  FileSystemValue* value;
};
// clang-format on

// Makes an object that a child of fork copied from its parent work in the
// child: the threads that served it stayed in the parent. Watching stays there
// too (the object has no watcher here). An index that a thread of the parent
// was changing at the fork is replaced by a new one, and an index not built
// yet is built on a thread of the child, as the constructor does. Throws when
// that thread can't be started.
void AdoptAfterFork(FileSystemValue& fs);

PyTypeObject* FileSystemType();
// FileSystemType() for a call's receiver check: a failure to create it is a
// fault.
PyTypeObject* TypeForFrame();

// The value behind `self` under a shared borrow for the duration of
// `body(value)`; nullptr with the error set when the receiver is not a
// FileSystem.
template <typename Body>
PyObject* WithFileSystem(PyObject* self, Body&& body) {
  PyTypeObject* type = TypeForFrame();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, type)) {
    RaiseCannotConvert(self, "FileSystem");
    return nullptr;
  }
  auto* object = reinterpret_cast<FileSystemObject*>(self);
  if (!object->borrow.AcquireShared()) return nullptr;
  PyObject* result = Guard<PyObject*>(nullptr, [&] {
    FileSystemValue& fs = *object->value;
    if (fs.process != sys::ForkGeneration()) [[unlikely]]
      AdoptAfterFork(fs);
    return body(fs);
  });
  object->borrow.ReleaseShared();
  return result;
}

// A method with parameters: `body(value, args)`.
template <typename Body>
PyObject* CallMethod(const ArgSpec& spec, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return Guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Args matched;
    if (!MatchFastcall(spec, args, nargs, kwnames, &matched)) return nullptr;
    return WithFileSystem(
        self, [&](FileSystemValue& value) { return body(value, matched); });
  });
}

}  // namespace tolvane::py
