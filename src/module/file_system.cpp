#include "module/file_system.h"

#include <sys/stat.h>

#include <new>

#include "fs/error/fs_error.h"
#include "module/type_util.h"

namespace tolvane::py {
namespace {

const ArgSpec kNewSpec = {"FileSystem", "__new__", {"root", "auto_watch"}, 1};
const ArgSpec kExitSpec = {
    "FileSystem", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 0};

// The root check: missing or unreadable metadata, then not a directory. Neither
// reveals which I/O error occurred.
Status CheckRoot(const std::string& root) {
  struct stat st;
  if (root.find('\0') != std::string::npos || ::stat(root.c_str(), &st) != 0) {
    return Fail(FsError::PathNotFound(root));
  }
  if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Fail(FsError::PathNotFound(root + " is not a directory"));
  }
  return {};
}

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<FileSystemObject*>(self);
  delete object->value;
  object->borrow.~BorrowFlag();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Args matched;
    if (!MatchTupleDict(kNewSpec, args, kwargs, &matched)) return nullptr;
    std::string root;
    bool auto_watch = true;
    if (!matched.Str(0, &root) || !matched.Bool(1, &auto_watch, true))
      return nullptr;
    if (auto checked = CheckRoot(root); !checked)
      return RaiseFsError(checked.error());

    auto value = std::make_unique<FileSystemValue>();
    value->root = root;
    value->search_root = root;
    value->shutdown = std::make_shared<std::atomic<bool>>(false);

    PyObject* self = AllocateInstance(type);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<FileSystemObject*>(self);
    new (&object->borrow) BorrowFlag();
    object->value = value.release();
    return self;
  });
}

PyObject* Close(PyObject* self, PyObject*) {
  return Guard<PyObject*>(nullptr, [&] {
    return WithFileSystem(self, [](FileSystemValue& fs) {
      fs.shutdown->store(true, std::memory_order_release);
      Py_RETURN_NONE;
    });
  });
}

PyObject* Enter(PyObject* self, PyObject*) {
  return Guard<PyObject*>(nullptr, [&] {
    return WithFileSystem(self,
                          [self](FileSystemValue&) { return Py_NewRef(self); });
  });
}

PyObject* Exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  return CallMethod(kExitSpec, self, args, nargs, kwnames,
                    [](FileSystemValue& fs, const Args&) {
                      fs.shutdown->store(true, std::memory_order_release);
                      Py_RETURN_FALSE;
                    });
}

#define FASTCALL(f) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef methods[] = {
    {"close", Close, METH_NOARGS,
     "close($self)\n--\n\nClose the filesystem and release resources"},
    {"__enter__", Enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", FASTCALL(Exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, "
     "_traceback=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "FileSystem(root, auto_watch=True)\n--\n\n"
         "High-performance file system interface\n\n"
         "Provides stateful, concurrent file operations with in-memory "
         "indexing.")},
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.FileSystem", sizeof(FileSystemObject), 0,
                    Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* FileSystemType() { return TypeFromSpec(&spec); }

PyTypeObject* TypeForFrame() {
  return TypeForUse(FileSystemType, "FileSystem");
}

}  // namespace tolvane::py
