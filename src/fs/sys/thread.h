// The start of every thread of ours, and of each caller's first call into the
// core: what a thread needs in order to report a failure is made there, where
// a failure can still be refused, and not on first use, where glibc ends the
// process when memory runs out ("cannot allocate memory for thread-local
// data", "failed to register TLS destructor"). That is the thread-local block
// of each library loaded at run time (the C++ runtime's exception storage and
// RE2's among them), which glibc allocates on a thread's first use, and the
// destructor records of our own thread_locals, made on their first use. Our
// own thread-local storage is in the static block that comes with the thread
// (the code is built with -ftls-model=initial-exec). Thread-safe.
#pragma once

#include <cxxabi.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace tolvane::sys {

// Makes the calling thread's thread-local blocks and our thread_locals that
// have destructors, once per thread. False, with nothing made on the road that
// ends the process, when the memory that takes can't be had.
[[nodiscard]] bool PrepareThread() noexcept;

// Registers `make`, which PrepareThread calls on each thread. For static
// initialisation; false when the table is full (it holds every OnEachThread).
bool MakeOnEachThread(void (*make)()) noexcept;

namespace internal {
template <typename T, typename Tag>
T& ThreadValue() {
  thread_local T value;
  return value;
}
template <typename T, typename Tag>
inline const bool thread_value_made =
    MakeOnEachThread([] { (void)ThreadValue<T, Tag>(); });
}  // namespace internal

// The calling thread's T for `Tag` (a type that names its use): a thread_local
// that PrepareThread makes when the thread starts, so that the record of its
// destructor is made then too. Our thread_locals with destructors are these.
template <typename T, typename Tag = T>
T& OnEachThread() {
  (void)internal::thread_value_made<T, Tag>;
  return internal::ThreadValue<T, Tag>();
}

// Starts a thread that runs `body` once PrepareThread has succeeded on it, and
// catches whatever `body` throws but a forced unwind; one that can't be
// prepared runs `refused` instead, which must neither allocate nor throw (it
// tells the starter's other threads that this one won't work). Returns at
// once; a thread that the system refuses is std::system_error, memory for its
// state std::bad_alloc, as with std::thread.
template <typename Body, typename Refused>
std::thread StartThread(Body body, Refused refused) {
  return std::thread(
      [body = std::move(body), refused = std::move(refused)]() mutable {
        if (!PrepareThread()) return refused();
        try {
          body();
        } catch (abi::__forced_unwind&) {
          throw;
        } catch (...) {
        }
      });
}

// The same for a thread that its starter needs running: returns once the
// thread is prepared, and one that can't be prepared is std::system_error
// (EAGAIN) too, as a start the system refuses.
template <typename Body>
std::thread StartThread(Body body) {
  // The thread lets go of it before `body` runs.
  struct Handshake {
    std::mutex mu;
    std::condition_variable cv;
    enum { kPending, kPrepared, kRefused } state = kPending;
    void Set(decltype(state) to) {
      std::lock_guard lock(mu);
      state = to;
      cv.notify_one();
    }
  } handshake;
  std::thread thread = StartThread(
      [&handshake, body = std::move(body)]() mutable {
        handshake.Set(Handshake::kPrepared);
        body();
      },
      [&handshake] { handshake.Set(Handshake::kRefused); });
  std::unique_lock lock(handshake.mu);
  handshake.cv.wait(lock,
                    [&] { return handshake.state != Handshake::kPending; });
  if (handshake.state == Handshake::kRefused) {
    lock.unlock();
    thread.join();
    throw std::system_error(
        std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  return thread;
}

}  // namespace tolvane::sys
