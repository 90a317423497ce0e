// FsError: the one failure value of every core operation, and the Result alias
// that carries it. The core never throws across its boundary; the binding layer
// turns an FsError into exactly one Python exception (src/module/errors.cpp).
// Plain owned data: safe to move between threads.
#pragma once

#include <cerrno>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace tolvane {

// An I/O failure: either an operating-system error number, or a message made by
// the system itself
// ("stream did not contain valid UTF-8", "Failed to persist file: ...").
class IoError {
 public:
  static IoError FromErrno(int code) { return IoError(code, {}); }
  static IoError Message(std::string text) {
    return IoError(0, std::move(text));
  }
  // errno of the last failed call on this thread.
  static IoError Last();

  // 0 when the error carries a message instead of an error number.
  int code() const { return code_; }
  // "<strerror> (os error N)" for an error number; the message alone otherwise.
  std::string text() const;

 private:
  IoError(int code, std::string message)
      : code_(code), message_(std::move(message)) {}
  int code_;
  std::string message_;
};

// Shared texts of I/O errors that the system makes itself.
inline constexpr char kNulInPathText[] =
    "file name contained an unexpected NUL byte";
inline constexpr char kInvalidUtf8StreamText[] =
    "stream did not contain valid UTF-8";
inline constexpr char kOutOfMemoryText[] = "out of memory";
inline constexpr char kNotRegularFileText[] = "not a regular file";

class FsError {
 public:
  enum class Kind {
    kIo,
    kPathNotFound,
    kTextNotUnique,
    kTextNotFound,
    kIndexBuilding,
    kGlob,
    kRegex,
    kInternal,
  };

  static FsError Io(IoError error) {
    return FsError(Kind::kIo, error.text(), 0, error.code());
  }
  static FsError PathNotFound(std::string path) {
    return FsError(Kind::kPathNotFound, std::move(path));
  }
  static FsError TextNotUnique(uint64_t count) {
    return FsError(Kind::kTextNotUnique, {}, count);
  }
  static FsError TextNotFound() { return FsError(Kind::kTextNotFound, {}); }
  static FsError IndexBuilding() { return FsError(Kind::kIndexBuilding, {}); }
  // `display` is the glob compiler's whole message ("error parsing glob '...':
  // reason").
  static FsError Glob(std::string display) {
    return FsError(Kind::kGlob, std::move(display));
  }
  static FsError Regex(std::string text) {
    return FsError(Kind::kRegex, std::move(text));
  }
  static FsError Internal(std::string text) {
    return FsError(Kind::kInternal, std::move(text));
  }

  Kind kind() const { return kind_; }
  // The payload text (for Io: the I/O error's text).
  const std::string& payload() const { return text_; }
  // The error number of an Io error made from one; 0 otherwise.
  int os_code() const { return os_code_; }
  // The process ran out of memory: the kernel's (ENOMEM) or its own (Io "out
  // of memory").
  bool out_of_memory() const {
    return os_code_ == ENOMEM ||
           (kind_ == Kind::kIo && os_code_ == 0 && text_ == kOutOfMemoryText);
  }
  // The process ran out of descriptors (EMFILE, ENFILE) or memory: a passing
  // state of the process, not a property of the path.
  bool out_of_resources() const {
    return os_code_ == EMFILE || os_code_ == ENFILE || out_of_memory();
  }
  // The exception's message: prefix and payload as the error's variant
  // prescribes.
  std::string message() const;

 private:
  FsError(Kind kind, std::string text, uint64_t count = 0, int os_code = 0)
      : kind_(kind), text_(std::move(text)), count_(count), os_code_(os_code) {}

  Kind kind_;
  std::string text_;
  uint64_t count_;
  int os_code_;
};

template <typename T>
using Result = std::expected<T, FsError>;
using Status = Result<void>;

inline std::unexpected<FsError> Fail(FsError error) {
  return std::unexpected(std::move(error));
}

}  // namespace tolvane
