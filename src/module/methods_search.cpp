// grep: the candidates chosen from the ready index with the interpreter lock
// held (the index's read lock is taken and released inside, never while the
// lock is released), the search run with the interpreter lock released, the
// records turned into SearchResult objects once it is taken back, file by
// file, each file's records freed before the next's are converted.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/index/file_index.h"
#include "fs/searcher/search.h"
#include "module/errors.h"
#include "module/file_system.h"
#include "module/methods.h"
#include "module/value_classes.h"

namespace tolvane::py {
namespace {

const ArgSpec kGrepSpec = {
    "FileSystem",
    "grep",
    {"query", "glob_pattern", "case_sensitive", "max_results"},
    1};

// The list of `records`, each moved into its object; memory that can't be had
// is OSError "out of memory".
PyObject* NewResultList(SearchRecords& records) {
  size_t count = 0;
  for (const auto& file : records) count += file.size();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) return OutOfMemoryAsOSError();
  Py_ssize_t i = 0;
  for (auto& file : records) {
    for (SearchResult& record : file) {
      PyObject* value = NewSearchResult(std::move(record));
      if (value == nullptr) {
        Py_DECREF(list);
        return OutOfMemoryAsOSError();
      }
      PyList_SetItem(list, i++, value);
    }
    file = std::vector<SearchResult>();
  }
  return list;
}

}  // namespace

PyObject* FsGrep(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return CallMethod(
      kGrepSpec, self, args, nargs, kwnames,
      [](FileSystemValue& fs, const Args& a) -> PyObject* {
        std::string query, glob_pattern;
        bool case_sensitive = false;
        uint64_t max_results = 1000;
        if (!a.Str(0, &query) || !a.Str(1, &glob_pattern, "**/*") ||
            !a.Bool(2, &case_sensitive, false) ||
            !a.U64(3, &max_results, 1000)) {
          return nullptr;
        }
        // grep's file size limit and context are the defaults.
        const SearchOptions options{.max_results = max_results,
                                    .case_sensitive = case_sensitive};
        // An index that isn't ready, or whose road fails, leaves the walk.
        std::optional<std::vector<std::string>> candidates;
        if (auto chosen = fs.index->search_candidates(glob_pattern)) {
          candidates = std::move(*chosen);
        }
        auto found = WithoutGil([&] {
          return search(fs.search_root, query, glob_pattern, options,
                        std::move(candidates),
                        WalkOptions{fs.index->git_environment()});
        });
        if (!found) return RaiseFsError(found.error());
        return NewResultList(*found);
      });
}

}  // namespace tolvane::py
