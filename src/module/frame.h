// The calling frame shared by every method: matching positional and keyword
// arguments against an argument description, converting them (with the
// "argument 'x': " prefix rule), the borrow counter of our objects, and
// releasing the interpreter lock around core work. Interpreter lock held,
// except inside WithoutGil.
#pragma once

#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/python.h"

namespace tolvane::py {

inline constexpr int kMaxParams = 8;

// The parameters of one method: all positional-or-keyword, the first `required`
// of them required.
struct ArgSpec {
  const char* class_name;
  const char* method_name;
  std::vector<const char*> params;
  size_t required;
};

// The matched arguments of one call: one borrowed slot per parameter, nullptr
// when not given.
class Args {
 public:
  PyObject* operator[](size_t i) const { return slots_[i]; }

  // Conversions of slot `i`, the parameter its ArgSpec names there;
  // `fallback` when the slot is empty. Each returns false with the Python error
  // set (already prefixed) on failure.
  bool Str(size_t i, std::string* out, const char* fallback = nullptr) const;
  // A required parameter's UTF-8 text as a view, valid while the argument
  // lives (the whole call).
  bool StrView(size_t i, std::string_view* out) const;
  bool Bool(size_t i, bool* out, bool fallback) const;
  bool U64(size_t i, uint64_t* out, uint64_t fallback) const;
  bool OptionalU64(size_t i, std::optional<uint64_t>* out) const;
  bool StrSequence(size_t i, std::vector<std::string>* out) const;

 private:
  friend bool MatchFastcall(const ArgSpec&, PyObject* const*, Py_ssize_t,
                            PyObject*, Args*);
  friend bool MatchTupleDict(const ArgSpec&, PyObject*, PyObject*, Args*);
  const ArgSpec* spec_ = nullptr;
  PyObject* slots_[kMaxParams] = {};
};

// Fill `out` from a vectorcall (METH_FASTCALL | METH_KEYWORDS). False with
// TypeError set on a matching error: too many positional arguments, an
// unexpected or repeated keyword, or missing required parameters.
bool MatchFastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Args* out);
// The same for a tuple and a dictionary (constructors).
bool MatchTupleDict(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                    Args* out);

// Single conversions, without prefix. False with the Python error set.
bool ConvertStr(PyObject* value, std::string* out);
// A view of the string's UTF-8 text, valid while `value` lives.
bool ConvertStrView(PyObject* value, std::string_view* out);
bool ConvertBool(PyObject* value, bool* out);
bool ConvertU64(PyObject* value, uint64_t* out);
// Re-raises a pending exception of exactly TypeError as "argument '<name>':
// <message>", keeping its cause. Other exceptions pass through unchanged.
void PrefixTypeError(const char* name);
// "'<type name>' object cannot be converted to '<target>'" as TypeError.
void RaiseCannotConvert(PyObject* value, const char* target);

// The qualified name of the value's type, or "<failed to extract type name>".
std::string TypeName(PyObject* value);

// The text as str, ill-formed UTF-8 replaced.
PyObject* NewStr(std::string_view text);
PyObject* NewStrList(const std::vector<std::string>& items);

// A list of `make(item)` for each of `items`, in order; `make` returns a new
// reference, or nullptr with the error set, which fails the whole list.
template <typename Items, typename Make>
PyObject* NewList(Items& items, Make&& make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(std::size(items)));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (auto& item : items) {
    PyObject* value = make(item);
    if (value == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, i++, value);
  }
  return list;
}

// A borrow counter: the number of calls inside an object; all ones marks an
// exclusive borrow.
class BorrowFlag {
 public:
  static constexpr uint64_t kExclusive = ~uint64_t{0};
  // False (RuntimeError "Already mutably borrowed" set) when exclusively
  // borrowed.
  bool AcquireShared();
  void ReleaseShared() { count_.fetch_sub(1, std::memory_order_release); }
  // False (RuntimeError "Already borrowed" set) when any borrow is held.
  bool AcquireExclusive();
  void ReleaseExclusive() { count_.store(0, std::memory_order_release); }

 private:
  std::atomic<uint64_t> count_{0};
};

// Runs `work` with the interpreter lock released and returns its result; no
// Python object may be touched inside. The lock is retaken outside any
// unwinding: at interpreter exit PyEval_RestoreThread may end a daemon thread
// by a forced unwind, which must start from a plain call (a noexcept frame or
// an unwind already in progress would turn it into std::terminate). An
// exception of `work` is rethrown once the lock is held again. (The
// undefined-behaviour checks are off for the reason given at Guard.)
template <typename F>
[[gnu::no_sanitize_undefined]] auto WithoutGil(F&& work) {
  using R = std::invoke_result_t<F>;
  static_assert(!std::is_void_v<R> && !std::is_reference_v<R>);
  std::optional<R> result;
  std::exception_ptr fault;
  PyThreadState* state = PyEval_SaveThread();
  try {
    result.emplace(std::forward<F>(work)());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    fault = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (fault) std::rethrow_exception(fault);
  return std::move(*result);
}

}  // namespace tolvane::py
