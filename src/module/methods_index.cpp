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

PyObject* Listing(FileIndex& index, const std::string& pattern,
                  bool only_files) {
  auto listed = index.list_matching(pattern, only_files);
  if (!listed) return RaiseFsError(listed.error());
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(listed->size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const ListedPath& entry : *listed) {
    std::string_view text = entry.relative();
    // "replace" gives the same text as the lossy conversion used for matching.
    PyObject* item = PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, i++, item);
  }
  return list;
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
        return Listing(*fs.index, pattern, only_files);
      });
}

PyObject* FsGlob(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return CallMethod(kGlobSpec, self, args, nargs, kwnames,
                    [](FileSystemValue& fs, const Args& a) -> PyObject* {
                      std::string pattern;
                      if (!a.Str(0, &pattern)) return nullptr;
                      return Listing(*fs.index, pattern, true);
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
    // The whole rebuild runs with the interpreter lock held.
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
