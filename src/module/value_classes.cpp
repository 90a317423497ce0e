#include "module/value_classes.h"

#include <new>
#include <string>
#include <utility>

#include "fs/utf8/utf8.h"
#include "module/errors.h"
#include "module/frame.h"
#include "module/type_util.h"

namespace tolvane::py {
namespace {

// clang-format off
template <typename Record>
struct ValueObject {
  PyObject_HEAD
  BorrowFlag borrow;
  Record record;
};
// clang-format on

using MetadataObject = ValueObject<FileMetadata>;
using ResultObject = ValueObject<SearchResult>;
using OptionsObject = ValueObject<SearchOptions>;

template <typename Object>
void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// Allocates an instance of `type` and constructs its C++ part from `record`.
template <typename Object, typename Record>
PyObject* Allocate(PyTypeObject* type, Record&& record) {
  PyObject* self = AllocateInstance(type);
  if (self == nullptr) return nullptr;
  auto* object = reinterpret_cast<Object*>(self);
  new (&object->borrow) BorrowFlag();
  new (&object->record) decltype(object->record)(std::forward<Record>(record));
  return self;
}

PyObject* NoConstructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* name = PyType_GetName(type);
  std::string text = "<unknown>";
  if (name != nullptr) {
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr);
    if (utf8 != nullptr) text = utf8;
    Py_DECREF(name);
  }
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError,
                  ("No constructor defined for " + text).c_str());
  return nullptr;
}

// Reads one field under a shared borrow.
template <typename Object, typename Read>
PyObject* Get(PyObject* self, Read&& read) {
  auto* object = reinterpret_cast<Object*>(self);
  if (!object->borrow.AcquireShared()) return nullptr;
  PyObject* value =
      Guard<PyObject*>(nullptr, [&] { return read(object->record); });
  object->borrow.ReleaseShared();
  return value;
}

// ---- FileMetadata ----

PyObject* MetadataGet(PyObject* self, void* field) {
  return Get<MetadataObject>(self, [field](const FileMetadata& m) -> PyObject* {
    switch (reinterpret_cast<intptr_t>(field)) {
      case 0:
        return PyLong_FromUnsignedLongLong(m.size);
      case 1:
        return PyFloat_FromDouble(m.mtime);
      case 2:
        return PyBool_FromLong(m.is_dir);
      default:
        return PyBool_FromLong(m.is_binary);
    }
  });
}

PyObject* MetadataRepr(PyObject* self) {
  return Get<MetadataObject>(self, [](const FileMetadata& m) {
    std::string text = "FileMetadata(size=" + std::to_string(m.size) +
                       ", is_dir=" + (m.is_dir ? "true" : "false") +
                       ", is_binary=" + (m.is_binary ? "true" : "false") + ")";
    return NewStr(text);
  });
}

PyGetSetDef metadata_getset[] = {
    {"size", MetadataGet, nullptr, "File size in bytes",
     reinterpret_cast<void*>(0)},
    {"mtime", MetadataGet, nullptr, "Modification time as Unix timestamp",
     reinterpret_cast<void*>(1)},
    {"is_dir", MetadataGet, nullptr, "Whether this is a directory",
     reinterpret_cast<void*>(2)},
    {"is_binary", MetadataGet, nullptr,
     "Whether this appears to be a binary file", reinterpret_cast<void*>(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot metadata_slots[] = {
    {Py_tp_doc, const_cast<char*>("File metadata stored in the index")},
    {Py_tp_new, reinterpret_cast<void*>(NoConstructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc<MetadataObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(MetadataRepr)},
    {Py_tp_getset, metadata_getset},
    {0, nullptr},
};

PyType_Spec metadata_spec = {"builtins.FileMetadata", sizeof(MetadataObject), 0,
                             Py_TPFLAGS_DEFAULT, metadata_slots};

// ---- SearchResult ----

PyObject* ResultGet(PyObject* self, void* field) {
  return Get<ResultObject>(self, [field](const SearchResult& r) -> PyObject* {
    switch (reinterpret_cast<intptr_t>(field)) {
      case 0:
        return NewStr(r.file);
      case 1:
        return PyLong_FromUnsignedLongLong(r.line_number);
      case 2:
        return NewStr(r.content);
      case 3:
        return NewStrList(r.context_before);
      default:
        return NewStrList(r.context_after);
    }
  });
}

// The content cut at the largest character boundary at or below byte 50, then
// "...".
std::string Preview(const std::string& content) {
  constexpr size_t kLimit = 50;
  if (content.size() <= kLimit) return content;
  return std::string(PrefixAtCharBoundary(content, kLimit)) + "...";
}

PyObject* ResultRepr(PyObject* self) {
  return Get<ResultObject>(self, [](const SearchResult& r) {
    return NewStr("SearchResult(file='" + r.file +
                  "', line=" + std::to_string(r.line_number) + ", content='" +
                  Preview(r.content) + "')");
  });
}

PyGetSetDef result_getset[] = {
    {"file", ResultGet, nullptr, "File path where match was found",
     reinterpret_cast<void*>(0)},
    {"line_number", ResultGet, nullptr, "Line number (1-indexed)",
     reinterpret_cast<void*>(1)},
    {"content", ResultGet, nullptr, "The matching line content",
     reinterpret_cast<void*>(2)},
    {"context_before", ResultGet, nullptr, "Context lines before the match",
     reinterpret_cast<void*>(3)},
    {"context_after", ResultGet, nullptr, "Context lines after the match",
     reinterpret_cast<void*>(4)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("A single search result")},
    {Py_tp_new, reinterpret_cast<void*>(NoConstructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc<ResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(ResultRepr)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {"builtins.SearchResult", sizeof(ResultObject), 0,
                           Py_TPFLAGS_DEFAULT, result_slots};

// ---- SearchOptions ----

const ArgSpec kOptionsNew = {
    "SearchOptions",
    "__new__",
    {"case_sensitive", "max_results", "max_file_size", "context_lines"},
    0};

PyObject* OptionsNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Args matched;
    if (!MatchTupleDict(kOptionsNew, args, kwargs, &matched)) return nullptr;
    SearchOptions options;
    if (!matched.Bool(0, &options.case_sensitive, false) ||
        !matched.U64(1, &options.max_results, 1000) ||
        !matched.U64(2, &options.max_file_size, 10485760) ||
        !matched.U64(3, &options.context_lines, 0)) {
      return nullptr;
    }
    return Allocate<OptionsObject>(type, options);
  });
}

PyObject* OptionsGet(PyObject* self, void* field) {
  return Get<OptionsObject>(self, [field](const SearchOptions& o) -> PyObject* {
    switch (reinterpret_cast<intptr_t>(field)) {
      case 0:
        return PyBool_FromLong(o.case_sensitive);
      case 1:
        return PyLong_FromUnsignedLongLong(o.max_results);
      case 2:
        return PyLong_FromUnsignedLongLong(o.max_file_size);
      default:
        return PyLong_FromUnsignedLongLong(o.context_lines);
    }
  });
}

const char* const kOptionNames[] = {"case_sensitive", "max_results",
                                    "max_file_size", "context_lines"};

int OptionsSet(PyObject* self, PyObject* value, void* field) {
  return Guard<int>(-1, [&]() -> int {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      return -1;
    }
    auto index = reinterpret_cast<intptr_t>(field);
    bool flag = false;
    uint64_t number = 0;
    bool converted =
        index == 0 ? ConvertBool(value, &flag) : ConvertU64(value, &number);
    if (!converted) {
      PrefixTypeError(kOptionNames[index]);
      return -1;
    }
    if (Py_TYPE(self) != SearchOptionsType()) {
      RaiseCannotConvert(self, "SearchOptions");
      return -1;
    }
    auto* object = reinterpret_cast<OptionsObject*>(self);
    if (!object->borrow.AcquireExclusive()) return -1;
    SearchOptions& o = object->record;
    switch (index) {
      case 0:
        o.case_sensitive = flag;
        break;
      case 1:
        o.max_results = number;
        break;
      case 2:
        o.max_file_size = number;
        break;
      default:
        o.context_lines = number;
    }
    object->borrow.ReleaseExclusive();
    return 0;
  });
}

PyGetSetDef options_getset[] = {
    {"case_sensitive", OptionsGet, OptionsSet, "Case sensitive search",
     reinterpret_cast<void*>(0)},
    {"max_results", OptionsGet, OptionsSet, "Maximum number of results",
     reinterpret_cast<void*>(1)},
    {"max_file_size", OptionsGet, OptionsSet,
     "Maximum file size to search (bytes)", reinterpret_cast<void*>(2)},
    {"context_lines", OptionsGet, OptionsSet,
     "Number of context lines before/after match", reinterpret_cast<void*>(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot options_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "SearchOptions(case_sensitive=False, max_results=1000, "
         "max_file_size=10485760, context_lines=0)\n--\n\nSearch options")},
    {Py_tp_new, reinterpret_cast<void*>(OptionsNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc<OptionsObject>)},
    {Py_tp_getset, options_getset},
    {0, nullptr},
};

PyType_Spec options_spec = {"builtins.SearchOptions", sizeof(OptionsObject), 0,
                            Py_TPFLAGS_DEFAULT, options_slots};

}  // namespace

PyTypeObject* FileMetadataType() { return TypeFromSpec(&metadata_spec); }
PyTypeObject* SearchResultType() { return TypeFromSpec(&result_spec); }
PyTypeObject* SearchOptionsType() { return TypeFromSpec(&options_spec); }

PyObject* NewFileMetadata(const FileMetadata& record) {
  PyTypeObject* type = TypeForUse(FileMetadataType, "FileMetadata");
  return Allocate<MetadataObject>(type, record);
}

PyObject* NewSearchResult(SearchResult&& record) {
  PyTypeObject* type = TypeForUse(SearchResultType, "SearchResult");
  return Allocate<ResultObject>(type, std::move(record));
}

}  // namespace tolvane::py
