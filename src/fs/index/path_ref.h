// PathRef: an immutable, reference-counted path text, so that the index stores
// each path once and `files` and `file_list` share it, with the offset where
// its root-relative part begins (worked out once, when the path is stored).
// Copies are an atomic increment; thread-safe like a shared_ptr.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>

namespace tolvane {

class PathRef {
 public:
  PathRef() = default;
  PathRef(std::string_view text, uint32_t relative_offset);
  PathRef(const PathRef& other) : rep_(other.rep_) {
    if (rep_) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  PathRef(PathRef&& other) noexcept
      : rep_(std::exchange(other.rep_, nullptr)) {}
  PathRef& operator=(PathRef other) noexcept {
    std::swap(rep_, other.rep_);
    return *this;
  }
  ~PathRef() { Release(); }

  std::string_view view() const {
    return rep_ ? std::string_view(Data(rep_), rep_->size) : std::string_view();
  }
  operator std::string_view() const {
    return view();
  }  // NOLINT: used as a transparent key
  // The text after the root's components ("" for the root itself; the whole
  // text for a path that doesn't lie under the root).
  std::string_view relative() const {
    return view().substr(rep_ ? rep_->relative_offset : 0);
  }
  // Whether the text is valid UTF-8 (checked once, when made).
  bool is_utf8() const { return rep_ == nullptr || rep_->utf8; }

 private:
  struct Rep {
    std::atomic<uint32_t> refs;
    uint32_t size;
    uint32_t relative_offset;
    bool utf8;
  };
  static const char* Data(const Rep* rep) {
    return reinterpret_cast<const char*>(rep + 1);
  }
  void Release();

  Rep* rep_ = nullptr;
};

}  // namespace tolvane
