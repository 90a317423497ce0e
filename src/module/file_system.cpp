#include "module/file_system.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "fs/error/fs_error.h"
#include "fs/pool/pool.h"
#include "fs/sys/file.h"
#include "fs/sys/thread.h"
#include "fs/watcher/maintenance.h"
#include "module/methods.h"
#include "module/type_util.h"

namespace tolvane::py {
namespace {

const ArgSpec kNewSpec = {"FileSystem", "__new__", {"root", "auto_watch"}, 1};
const ArgSpec kExitSpec = {
    "FileSystem", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 0};

// The root check: missing or unreadable metadata, then not a directory. Neither
// reveals which I/O error occurred.
Status CheckRoot(const std::string& root) {
  if (!sys::Stat(root)) return Fail(FsError::PathNotFound(root));
  auto second = sys::Stat(root);
  if (!second || !S_ISDIR(second->st_mode)) {
    return Fail(FsError::PathNotFound(root + " is not a directory"));
  }
  return {};
}

// The variable's value, read with the interpreter lock held so that no
// Python thread's putenv runs meanwhile.
std::optional<std::string> Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

// Runs `start`, which starts a thread; a thread that can't be started is a
// fault.
template <typename F>
auto Spawning(F&& start) {
  try {
    return start();
  } catch (const std::system_error& e) {
    throw std::runtime_error(std::string("failed to spawn thread: ") +
                             std::strerror(e.code().value()));
  }
}

// Starts a detached thread of ours (prepared, and catching whatever its body
// throws: sys::StartThread).
template <typename F>
void StartThread(F&& body) {
  Spawning([&] { sys::StartThread(std::forward<F>(body)).detach(); });
}

// Starts the thread of a full build of `index`. A failed build leaves the
// index not ready, and refresh can build again.
void StartBuild(std::shared_ptr<FileIndex> index) {
  StartThread([index = std::move(index)] { (void)index->rebuild(); });
}

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<FileSystemObject*>(self);
  // Released without close: stop the threads that serve it all the same, and
  // the build, whose index nobody can query any more.
  if (object->value) {
    object->value->shutdown->store(true, std::memory_order_release);
    object->value->index->abandon();
  }
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

    ConfigureWorkerPool(std::getenv("RAYON_NUM_THREADS"));
    auto value = std::make_unique<FileSystemValue>();
    value->root = root;
    value->index = std::make_shared<FileIndex>(
        root, GitEnvironment{Env("HOME"), Env("XDG_CONFIG_HOME"),
                             Env("GIT_CONFIG_GLOBAL")});
    value->search_root = root;
    value->shutdown = std::make_shared<std::atomic<bool>>(false);
    value->process = sys::ForkGeneration();
    if (auto_watch) {
      // Without a watcher (no inotify instance, the root not watchable) the
      // object works on; its index changes only through refresh.
      auto watcher = Spawning([&] { return create_watcher(root); });
      if (watcher) {
        StartThread([watcher = *watcher, index = value->index,
                     shutdown = value->shutdown]() mutable {
          index_maintenance_loop(std::move(watcher), std::move(index),
                                 std::move(shutdown));
        });
        value->watcher = std::move(*watcher);
      }
    }
    // Built once the tree is watched: a change after the walk has passed its
    // directory is seen by the watcher, and applied once the build is in.
    StartBuild(value->index);

    PyObject* self = AllocateInstance(type);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<FileSystemObject*>(self);
    new (&object->borrow) BorrowFlag();
    object->value = value.release();
#if defined(__SANITIZE_ADDRESS__)
    // The interpreter may leave this object unfreed at exit, in memory the
    // leak checker doesn't scan: what it owns is then not a leak of ours.
    __lsan_ignore_object(object->value);
#endif
    return self;
  });
}

// Sets the shutdown flag and lets no later change into the watcher; the
// maintenance thread, as it ends, stops the watcher's thread and closes its
// descriptors.
void Shut(FileSystemValue& fs) {
  fs.shutdown->store(true, std::memory_order_release);
  if (fs.watcher) fs.watcher->Close();
}

PyObject* Close(PyObject* self, PyObject*) {
  return WithFileSystem(self, [](FileSystemValue& fs) {
    Shut(fs);
    Py_RETURN_NONE;
  });
}

PyObject* Enter(PyObject* self, PyObject*) {
  return WithFileSystem(self,
                        [self](FileSystemValue&) { return Py_NewRef(self); });
}

PyObject* Exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  return CallMethod(kExitSpec, self, args, nargs, kwnames,
                    [](FileSystemValue& fs, const Args&) {
                      Shut(fs);
                      Py_RETURN_FALSE;
                    });
}

#define FASTCALL(f) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef methods[] = {
    {"list", FASTCALL(FsList), METH_FASTCALL | METH_KEYWORDS,
     "list($self, pattern=\"**/*\", only_files=True)\n--\n\n"
     "List files matching the given pattern from memory index\n\nArgs:\n    "
     "pattern: Glob "
     "pattern (default: \"**/*\")\n    only_files: If true, only return files "
     "(not "
     "directories)\n\nReturns:\n    List of file paths relative to root"},
    {"glob", FASTCALL(FsGlob), METH_FASTCALL | METH_KEYWORDS,
     "glob($self, pattern)\n--\n\n"
     "Match files using glob pattern\n\nArgs:\n    pattern: Glob "
     "pattern\n\nReturns:\n    "
     "List of matching file paths"},
    {"read_file", FASTCALL(FsReadFile), METH_FASTCALL | METH_KEYWORDS,
     "read_file($self, path, encoding=\"utf-8\")\n--\n\n"
     "Read a single file\n\nArgs:\n    path: File path (relative to root or "
     "absolute)\n    "
     "encoding: Text encoding (default: \"utf-8\")\n\nReturns:\n    File "
     "content as string"},
    {"read_batch", FASTCALL(FsReadBatch), METH_FASTCALL | METH_KEYWORDS,
     "read_batch($self, paths)\n--\n\n"
     "Read multiple files in parallel\n\nArgs:\n    paths: List of file "
     "paths\n\nReturns:\n    "
     "Dict mapping path to content"},
    {"read_lines", FASTCALL(FsReadLines), METH_FASTCALL | METH_KEYWORDS,
     "read_lines($self, path, start_line=0, count=None)\n--\n\n"
     "Read specific lines from a file (for large files)\n\nEfficiently reads a "
     "range of lines "
     "without loading the entire file.\nUses memory-mapped I/O for large files "
     "(> 1MB).\n\n"
     "Args:\n    path: File path\n    start_line: Starting line number "
     "(0-indexed)\n    count: "
     "Number of lines to read (None = read to end)\n\nReturns:\n    List of "
     "line strings "
     "(without trailing newlines)"},
    {"read_file_range", FASTCALL(FsReadFileRange),
     METH_FASTCALL | METH_KEYWORDS,
     "read_file_range($self, path, offset, limit)\n--\n\n"
     "Read a byte range from a file\n\nArgs:\n    path: File path\n    offset: "
     "Byte offset to "
     "start reading from\n    limit: Maximum bytes to read\n\nReturns:\n    "
     "Content as string"},
    {"write_file", FASTCALL(FsWriteFile), METH_FASTCALL | METH_KEYWORDS,
     "write_file($self, path, content)\n--\n\n"
     "Write content to file atomically\n\nArgs:\n    path: File path\n    "
     "content: Content to "
     "write\n\nReturns:\n    True if successful"},
    {"write_file_fast", FASTCALL(FsWriteFileFast),
     METH_FASTCALL | METH_KEYWORDS,
     "write_file_fast($self, path, content)\n--\n\n"
     "Write content to file without atomicity guarantee (fast mode)\n\nMuch "
     "faster than "
     "write_file() but does not guarantee data integrity\non crash. Use for "
     "temporary files or "
     "when speed is critical.\n\nWarning:\n    This operation is not atomic. "
     "Also, index updates "
     "rely on the\n    asynchronous file watcher, so `list()` might not "
     "immediately\n    reflect "
     "the new file.\n\nArgs:\n    path: File path\n    content: Content to "
     "write\n\nReturns:\n"
     "    True if successful"},
    {"edit_replace", FASTCALL(FsEditReplace), METH_FASTCALL | METH_KEYWORDS,
     "edit_replace($self, path, old_text, new_text, strict=True)\n--\n\n"
     "Replace text in file\n\nArgs:\n    path: File path\n    old_text: Text "
     "to find\n    "
     "new_text: Replacement text\n    strict: If true, error if old_text is "
     "not unique or not "
     "found\n\nWarning:\n    This operation is NOT atomic across processes. It "
     "performs a\n    "
     "read-modify-write cycle. If multiple processes modify the file\n    "
     "concurrently, changes "
     "may be lost.\n\nReturns:\n    True if replacement was made"},
    {"grep", FASTCALL(FsGrep), METH_FASTCALL | METH_KEYWORDS,
     "grep($self, query, glob_pattern=\"**/*\", case_sensitive=False, "
     "max_results=1000)\n--\n\n"
     "Search files for content matching query\n\nArgs:\n    query: Search "
     "pattern (regex)\n    glob_pattern: File pattern to search in\n    "
     "case_sensitive: Case sensitive search\n    max_results: Maximum number "
     "of results\n\nReturns:\n    List of SearchResult objects"},
    {"get_metadata", FASTCALL(FsGetMetadata), METH_FASTCALL | METH_KEYWORDS,
     "get_metadata($self, path)\n--\n\n"
     "Get file metadata\n\nArgs:\n    path: File path\n\nReturns:\n    "
     "FileMetadata object"},
    {"refresh", FsRefresh, METH_NOARGS,
     "refresh($self)\n--\n\nForce refresh the file index"},
    {"is_ready", FsIsReady, METH_NOARGS,
     "is_ready($self)\n--\n\nCheck if the index is ready"},
    {"close", Close, METH_NOARGS,
     "close($self)\n--\n\nClose the filesystem and release resources"},
    {"is_watching", FsIsWatching, METH_NOARGS,
     "is_watching($self)\n--\n\nCheck if file watching is active"},
    {"pending_changes", FsPendingChanges, METH_NOARGS,
     "pending_changes($self)\n--\n\nGet the number of pending file change "
     "events"},
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

void AdoptAfterFork(FileSystemValue& fs) {
  if (fs.index->is_changing()) {
    auto own = std::make_shared<FileIndex>(fs.index->root(),
                                           fs.index->git_environment());
    StartBuild(own);
    fs.index = std::move(own);
    Py_CLEAR(fs.full_listing);
  } else if (!fs.index->is_ready()) {
    // The build the parent started had not begun at the fork.
    StartBuild(fs.index);
  }
  // Its release closes this process's descriptors and nothing else; while the
  // parent's maintenance thread ran at the fork, its share keeps the copy.
  fs.watcher.reset();
  fs.process = sys::ForkGeneration();
}

PyTypeObject* FileSystemType() { return TypeFromSpec(&spec); }

PyTypeObject* TypeForFrame() {
  return TypeForUse(FileSystemType, "FileSystem");
}

}  // namespace tolvane::py
