// read_file, read_batch, read_lines, read_file_range, write_file,
// write_file_fast and edit_replace: arguments converted and paths resolved with
// the interpreter lock held, the file work done with it released, the result
// built after it is taken back.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/io/edit_replace.h"
#include "fs/io/read.h"
#include "fs/io/read_batch.h"
#include "fs/io/read_lines.h"
#include "fs/io/write_atomic.h"
#include "fs/io/write_fast.h"
#include "fs/path/path.h"
#include "module/file_system.h"
#include "module/methods.h"

namespace tolvane::py {
namespace {

const ArgSpec kReadFileSpec = {
    "FileSystem", "read_file", {"path", "encoding"}, 1};
const ArgSpec kReadBatchSpec = {"FileSystem", "read_batch", {"paths"}, 1};
const ArgSpec kReadLinesSpec = {
    "FileSystem", "read_lines", {"path", "start_line", "count"}, 1};
const ArgSpec kReadRangeSpec = {
    "FileSystem", "read_file_range", {"path", "offset", "limit"}, 3};
const ArgSpec kWriteFileSpec = {
    "FileSystem", "write_file", {"path", "content"}, 2};
const ArgSpec kWriteFastSpec = {
    "FileSystem", "write_file_fast", {"path", "content"}, 2};
const ArgSpec kEditReplaceSpec = {"FileSystem",
                                  "edit_replace",
                                  {"path", "old_text", "new_text", "strict"},
                                  3};

PyObject* TextOrRaise(const Result<std::string>& text) {
  if (!text) return RaiseFsError(text.error());
  return NewStr(*text);
}

PyObject* TrueOrRaise(const Status& status) {
  if (!status) return RaiseFsError(status.error());
  Py_RETURN_TRUE;
}

// The body of a write method (path, content) -> True, doing `write`.
auto WriteWith(Status (*write)(const std::string&, std::string_view)) {
  return [write](FileSystemValue& fs, const Args& a) -> PyObject* {
    std::string path;
    std::string_view content;
    if (!a.Str(0, &path) || !a.StrView(1, &content)) return nullptr;
    std::string target = resolve_path(fs.root, path);
    return TrueOrRaise(WithoutGil([&] { return write(target, content); }));
  };
}

}  // namespace

PyObject* FsReadFile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return CallMethod(
      kReadFileSpec, self, args, nargs, kwnames,
      [](FileSystemValue& fs, const Args& a) -> PyObject* {
        std::string path,
            encoding;  // any encoding is accepted and has no effect
        if (!a.Str(0, &path) || !a.Str(1, &encoding, "utf-8")) return nullptr;
        std::string target = resolve_path(fs.root, path);
        return TextOrRaise(WithoutGil([&] { return io::read_file(target); }));
      });
}

PyObject* FsReadBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return CallMethod(kReadBatchSpec, self, args, nargs, kwnames,
                    [](FileSystemValue& fs, const Args& a) -> PyObject* {
                      std::vector<std::string> paths;
                      if (!a.StrSequence(0, &paths)) return nullptr;
                      for (std::string& path : paths)
                        path = resolve_path(fs.root, path);
                      auto pairs =
                          WithoutGil([&] { return io::read_batch(paths); });
                      PyObject* dict = PyDict_New();
                      if (dict == nullptr) return nullptr;
                      for (const auto& [key, content] : pairs) {
                        PyObject* k = NewStr(key);
                        PyObject* v = k ? NewStr(content) : nullptr;
                        int status = v ? PyDict_SetItem(dict, k, v) : -1;
                        Py_XDECREF(k);
                        Py_XDECREF(v);
                        if (status < 0) {
                          Py_DECREF(dict);
                          return nullptr;
                        }
                      }
                      return dict;
                    });
}

PyObject* FsReadLines(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return CallMethod(kReadLinesSpec, self, args, nargs, kwnames,
                    [](FileSystemValue& fs, const Args& a) -> PyObject* {
                      std::string path;
                      uint64_t start_line = 0;
                      std::optional<uint64_t> count;
                      if (!a.Str(0, &path) || !a.U64(1, &start_line, 0) ||
                          !a.OptionalU64(2, &count)) {
                        return nullptr;
                      }
                      std::string target = resolve_path(fs.root, path);
                      auto lines = WithoutGil([&] {
                        return io::read_lines(target, start_line, count);
                      });
                      if (!lines) return RaiseFsError(lines.error());
                      return NewStrList(*lines);
                    });
}

PyObject* FsReadFileRange(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return CallMethod(
      kReadRangeSpec, self, args, nargs, kwnames,
      [](FileSystemValue& fs, const Args& a) -> PyObject* {
        std::string path;
        uint64_t offset = 0, limit = 0;
        if (!a.Str(0, &path) || !a.U64(1, &offset, 0) || !a.U64(2, &limit, 0)) {
          return nullptr;
        }
        std::string target = resolve_path(fs.root, path);
        return TextOrRaise(WithoutGil(
            [&] { return io::read_file_range(target, offset, limit); }));
      });
}

PyObject* FsWriteFile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return CallMethod(kWriteFileSpec, self, args, nargs, kwnames,
                    WriteWith(io::write_atomic));
}

PyObject* FsWriteFileFast(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return CallMethod(kWriteFastSpec, self, args, nargs, kwnames,
                    WriteWith(io::write_file_fast));
}

PyObject* FsEditReplace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return CallMethod(
      kEditReplaceSpec, self, args, nargs, kwnames,
      [](FileSystemValue& fs, const Args& a) -> PyObject* {
        std::string path;
        std::string_view old_text, new_text;
        bool strict = true;
        if (!a.Str(0, &path) || !a.StrView(1, &old_text) ||
            !a.StrView(2, &new_text) || !a.Bool(3, &strict, true)) {
          return nullptr;
        }
        std::string target = resolve_path(fs.root, path);
        auto replaced = WithoutGil([&] {
          return io::edit_replace(target, old_text, new_text, strict);
        });
        if (!replaced) return RaiseFsError(replaced.error());
        return PyBool_FromLong(*replaced);
      });
}

}  // namespace tolvane::py
