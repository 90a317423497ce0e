// is_watching and pending_changes: the watcher as Python sees it, with the
// interpreter lock held.
#include "module/file_system.h"
#include "module/methods.h"

namespace tolvane::py {

PyObject* FsIsWatching(PyObject* self, PyObject*) {
  return WithFileSystem(self, [](FileSystemValue& fs) {
    return PyBool_FromLong(fs.watcher != nullptr &&
                           !fs.shutdown->load(std::memory_order_acquire));
  });
}

PyObject* FsPendingChanges(PyObject* self, PyObject*) {
  return WithFileSystem(self, [](FileSystemValue& fs) {
    // The changes counted here are taken: they never reach the index.
    const size_t due = fs.watcher ? fs.watcher->poll_events().size() : 0;
    return PyLong_FromSize_t(due);
  });
}

}  // namespace tolvane::py
