#include "module/frame.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tolvane::py {
namespace {

std::string FullName(const ArgSpec& spec) {
  return std::string(spec.class_name) + "." + spec.method_name + "()";
}

void RaiseTooMany(const ArgSpec& spec, size_t given) {
  std::string message = FullName(spec) + " takes ";
  if (spec.required == spec.params.size()) {
    message += std::to_string(spec.params.size());
  } else {
    message += "from " + std::to_string(spec.required) + " to " +
               std::to_string(spec.params.size());
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// Places keyword `name` with `value`; false with TypeError set on an unknown or
// repeated keyword.
bool PlaceKeyword(const ArgSpec& spec, PyObject* name, PyObject* value,
                  PyObject** slots) {
  Py_ssize_t length = 0;
  const char* text =
      PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    (FullName(spec) + " keywords must be strings").c_str());
    return false;
  }
  std::string_view keyword(text, static_cast<size_t>(length));
  for (size_t i = 0; i < spec.params.size(); ++i) {
    if (keyword != spec.params[i]) continue;
    if (slots[i] != nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      (FullName(spec) + " got multiple values for argument '" +
                       std::string(keyword) + "'")
                          .c_str());
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_SetString(PyExc_TypeError,
                  (FullName(spec) + " got an unexpected keyword argument '" +
                   std::string(keyword) + "'")
                      .c_str());
  return false;
}

bool CheckRequired(const ArgSpec& spec, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < spec.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(spec.params[i]);
  }
  if (missing.empty()) return true;
  std::string message =
      FullName(spec) + " missing " + std::to_string(missing.size()) +
      " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) message += ",";
      message += i + 1 == missing.size() ? " and " : " ";
    }
    message += std::string("'") + missing[i] + "'";
  }
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace

bool MatchFastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Args* out) {
  out->spec_ = &spec;
  size_t given = static_cast<size_t>(nargs);
  if (given > spec.params.size()) {
    RaiseTooMany(spec, given);
    return false;
  }
  for (size_t i = 0; i < given; ++i) out->slots_[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!PlaceKeyword(spec, PyTuple_GetItem(kwnames, k), args[nargs + k],
                        out->slots_)) {
        return false;
      }
    }
  }
  return CheckRequired(spec, out->slots_);
}

bool MatchTupleDict(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                    Args* out) {
  out->spec_ = &spec;
  size_t given = static_cast<size_t>(PyTuple_Size(args));
  if (given > spec.params.size()) {
    RaiseTooMany(spec, given);
    return false;
  }
  for (size_t i = 0; i < given; ++i) out->slots_[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PlaceKeyword(spec, key, value, out->slots_)) return false;
    }
  }
  return CheckRequired(spec, out->slots_);
}

std::string TypeName(PyObject* value) {
  PyObject* name = PyType_GetQualName(Py_TYPE(value));
  if (name == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  std::string result = text ? std::string(text, static_cast<size_t>(length))
                            : std::string("<failed to extract type name>");
  if (text == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return result;
}

void RaiseCannotConvert(PyObject* value, const char* target) {
  std::string message = "'" + TypeName(value) +
                        "' object cannot be converted to '" +
                        std::string(target) + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

void PrefixTypeError(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyObject* text = PyObject_Str(raised);
  PyObject* replacement = nullptr;
  if (text != nullptr) {
    replacement = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
  }
  if (replacement == nullptr) {
    Py_DECREF(raised);
    return;  // the new failure stays pending
  }
  PyObject* exception =
      PyObject_CallFunctionObjArgs(PyExc_TypeError, replacement, nullptr);
  Py_DECREF(replacement);
  if (exception == nullptr) {
    Py_DECREF(raised);
    return;
  }
  PyException_SetCause(
      exception, PyException_GetCause(raised));  // steals the new reference
  Py_DECREF(raised);
  PyErr_SetRaisedException(exception);
}

bool ConvertStrView(PyObject* value, std::string_view* out) {
  if (!PyUnicode_Check(value)) {
    RaiseCannotConvert(value, "PyString");
    return false;
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &length);
  if (text == nullptr) return false;
  *out = std::string_view(text, static_cast<size_t>(length));
  return true;
}

bool ConvertStr(PyObject* value, std::string* out) {
  std::string_view text;
  if (!ConvertStrView(value, &text)) return false;
  out->assign(text);
  return true;
}

namespace {
bool IsNumpyBool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  PyObject* module =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool numpy = PyUnicode_Check(module) &&
               PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  if (!numpy) return false;
  PyObject* name = PyType_GetName(type);
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool match = PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
               PyUnicode_CompareWithASCIIString(name, "bool") == 0;
  Py_DECREF(name);
  return match;
}
}  // namespace

bool ConvertBool(PyObject* value, bool* out) {
  if (value == Py_True || value == Py_False) {
    *out = value == Py_True;
    return true;
  }
  if (!IsNumpyBool(value)) {
    RaiseCannotConvert(value, "PyBool");
    return false;
  }
  PyObject* result = PyObject_CallMethod(value, "__bool__", nullptr);
  if (result == nullptr) return false;
  bool ok = result == Py_True || result == Py_False;
  if (ok) {
    *out = result == Py_True;
  } else {
    RaiseCannotConvert(result, "PyBool");
  }
  Py_DECREF(result);
  return ok;
}

bool ConvertU64(PyObject* value, uint64_t* out) {
  PyObject* number = nullptr;
  if (PyLong_Check(value)) {
    number = Py_NewRef(value);
  } else {
    number = PyNumber_Index(value);
    if (number == nullptr) return false;
  }
  unsigned long long result = PyLong_AsUnsignedLongLong(number);
  Py_DECREF(number);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred())
    return false;
  *out = result;
  return true;
}

bool Args::Str(size_t i, std::string* out, const char* fallback) const {
  if (slots_[i] == nullptr) {
    out->assign(fallback ? fallback : "");
    return true;
  }
  if (ConvertStr(slots_[i], out)) return true;
  PrefixTypeError(spec_->params[i]);
  return false;
}

bool Args::StrView(size_t i, std::string_view* out) const {
  if (ConvertStrView(slots_[i], out)) return true;
  PrefixTypeError(spec_->params[i]);
  return false;
}

bool Args::Bool(size_t i, bool* out, bool fallback) const {
  if (slots_[i] == nullptr) {
    *out = fallback;
    return true;
  }
  if (ConvertBool(slots_[i], out)) return true;
  PrefixTypeError(spec_->params[i]);
  return false;
}

bool Args::U64(size_t i, uint64_t* out, uint64_t fallback) const {
  if (slots_[i] == nullptr) {
    *out = fallback;
    return true;
  }
  if (ConvertU64(slots_[i], out)) return true;
  PrefixTypeError(spec_->params[i]);
  return false;
}

bool Args::OptionalU64(size_t i, std::optional<uint64_t>* out) const {
  if (slots_[i] == nullptr || slots_[i] == Py_None) {
    out->reset();
    return true;
  }
  uint64_t value = 0;
  if (!ConvertU64(slots_[i], &value)) {
    PrefixTypeError(spec_->params[i]);
    return false;
  }
  *out = value;
  return true;
}

bool Args::StrSequence(size_t i, std::vector<std::string>* out) const {
  PyObject* value = slots_[i];
  bool ok = [&] {
    if (PyUnicode_Check(value)) {
      PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
      return false;
    }
    if (!PySequence_Check(value)) {
      RaiseCannotConvert(value, "Sequence");
      return false;
    }
    // The length is a hint (a sequence may report any length): it bounds
    // nothing but the first reservation, and what the iteration yields counts.
    constexpr Py_ssize_t kMaxReserve = 1 << 16;
    Py_ssize_t hint = PySequence_Size(value);
    if (hint < 0) {
      PyErr_Clear();
    } else {
      out->reserve(static_cast<size_t>(std::min(hint, kMaxReserve)));
    }
    PyObject* iterator = PyObject_GetIter(value);
    if (iterator == nullptr) return false;
    while (PyObject* item = PyIter_Next(iterator)) {
      std::string text;
      bool converted = ConvertStr(item, &text);
      Py_DECREF(item);
      if (!converted) {
        Py_DECREF(iterator);
        return false;
      }
      out->push_back(std::move(text));
    }
    Py_DECREF(iterator);
    return !PyErr_Occurred();
  }();
  if (!ok) PrefixTypeError(spec_->params[i]);
  return ok;
}

PyObject* NewStr(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "replace");
}

PyObject* NewStrList(const std::vector<std::string>& items) {
  return NewList(items, NewStr);
}

bool BorrowFlag::AcquireShared() {
  uint64_t current = count_.load(std::memory_order_relaxed);
  for (;;) {
    if (current == kExclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    if (count_.compare_exchange_weak(current, current + 1,
                                     std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return true;
    }
  }
}

bool BorrowFlag::AcquireExclusive() {
  uint64_t expected = 0;
  if (count_.compare_exchange_strong(expected, kExclusive,
                                     std::memory_order_acquire))
    return true;
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return false;
}

}  // namespace tolvane::py
