// grep: the candidates chosen from the ready index with the interpreter lock
// held (the index's read lock is taken and released inside, never while the
// lock is released), the search run with the interpreter lock released, the
// records turned into SearchResult objects once it is taken back.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/index/file_index.h"
#include "fs/searcher/search.h"
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

PyObject* ResultList(std::vector<SearchResult> records) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject* item = NewSearchResult(std::move(records[i]));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
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
        const SearchOptions options{.max_results = max_results,
                                    .max_file_size = 10485760,
                                    .context_lines = 0,
                                    .case_sensitive = case_sensitive};
        // An index that isn't ready, or whose road fails, leaves the walk.
        std::optional<std::vector<std::string>> candidates;
        if (fs.index->is_ready()) {
          if (auto chosen = fs.index->search_candidates(glob_pattern)) {
            candidates = std::move(*chosen);
          }
        }
        const std::string_view walk_glob =
            candidates ? std::string_view("**/*") : glob_pattern;
        auto found = WithoutGil([&] {
          return search(fs.search_root, query, walk_glob, options,
                        std::move(candidates),
                        WalkOptions{fs.index->git_environment()});
        });
        if (!found) return RaiseFsError(found.error());
        return ResultList(std::move(*found));
      });
}

}  // namespace tolvane::py
