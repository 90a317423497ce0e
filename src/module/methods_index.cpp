// list, glob, get_metadata, refresh and is_ready: answered from the in-memory
// index with the interpreter lock held throughout.
#include "fs/index/file_index.h"
#include "fs/path/path.h"
#include "module/file_system.h"
#include "module/methods.h"
#include "module/value_classes.h"

namespace tolvane::py {
namespace {

const ArgSpec kListSpec = {"FileSystem", "list", {"pattern", "only_files"}, 0};
const ArgSpec kGlobSpec = {"FileSystem", "glob", {"pattern"}, 1};
const ArgSpec kGetMetadataSpec = {"FileSystem", "get_metadata", {"path"}, 1};

PyObject* ListToPython(FileSystemValue& fs, const std::string& pattern,
                       bool only_files) {
  FileIndex& index = *fs.index;
  const bool full = only_files && FileIndex::matches_everything(pattern);
  if (full && fs.full_listing != nullptr && index.is_ready() &&
      fs.full_listing_generation == index.file_list_generation()) {
    return PyList_GetSlice(fs.full_listing, 0, PY_SSIZE_T_MAX);
  }
  auto listed = index.list_matching(pattern, only_files);
  if (!listed) return RaiseFsError(listed.error());
  // Built while the listing holds the index's read lock: no Python code runs
  // here (a collection only happens at the interpreter's next check), so
  // nothing can call back into the index.
  const std::vector<std::string_view>& texts = listed->texts();
  // "replace" gives the same text as the lossy conversion used for matching.
  PyObject* list = NewList(texts, NewStr);
  if (list == nullptr || !full) return list;
  Py_XDECREF(fs.full_listing);
  fs.full_listing = list;
  fs.full_listing_generation = listed->generation();
  return PyList_GetSlice(list, 0, PY_SSIZE_T_MAX);
}

}  // namespace

PyObject* FsList(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return CallMethod(
      kListSpec, self, args, nargs, kwnames,
      [](FileSystemValue& fs, const Args& a) -> PyObject* {
        std::string pattern;
        bool only_files = true;
        if (!a.Str(0, &pattern, "**/*") || !a.Bool(1, &only_files, true)) {
          return nullptr;
        }
        return ListToPython(fs, pattern, only_files);
      });
}

PyObject* FsGlob(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return CallMethod(kGlobSpec, self, args, nargs, kwnames,
                    [](FileSystemValue& fs, const Args& a) -> PyObject* {
                      std::string pattern;
                      if (!a.Str(0, &pattern)) return nullptr;
                      return ListToPython(fs, pattern, true);
                    });
}

PyObject* FsGetMetadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return CallMethod(kGetMetadataSpec, self, args, nargs, kwnames,
                    [](FileSystemValue& fs, const Args& a) -> PyObject* {
                      std::string path;
                      if (!a.Str(0, &path)) return nullptr;
                      auto found =
                          fs.index->metadata(resolve_path(fs.root, path));
                      if (!found)
                        return RaiseFsError(FsError::PathNotFound(path));
                      return NewFileMetadata(*found);
                    });
}

PyObject* FsRefresh(PyObject* self, PyObject*) {
  return WithFileSystem(self, [](FileSystemValue& fs) -> PyObject* {
    // The whole rebuild runs with the interpreter lock held, after the watches
    // are brought in line with the tree: a change from then on is either
    // walked or reported under its present path.
    if (fs.watcher) fs.watcher->Resync();
    if (auto built = fs.index->rebuild(); !built)
      return RaiseFsError(built.error());
    Py_RETURN_NONE;
  });
}

PyObject* FsIsReady(PyObject* self, PyObject*) {
  return WithFileSystem(self, [](FileSystemValue& fs) {
    return PyBool_FromLong(fs.index->is_ready());
  });
}

}  // namespace tolvane::py
