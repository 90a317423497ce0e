// PerThread<T>: one default-made T for each thread that asks for one, so that
// parallel work collects without a lock per item; enumerated by the owner once
// the threads are done with it. Memory comes from the standard allocator only:
// oneTBB's enumerable_thread_specific takes some of its own from oneTBB's
// scalable allocator, which has no fork handling, so that a child of fork
// could find one of that allocator's locks held for good by a parent's thread.
// local() is thread-safe; enumeration needs the threads' work to be visible
// (a pool call or a join in between).
#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>
#include <thread>
#include <utility>

namespace tolvane {

namespace internal {
// A number no other PerThread of the process has had.
inline uint64_t NextPerThreadSerial() {
  static std::atomic<uint64_t> serial{0};
  return serial.fetch_add(1, std::memory_order_relaxed) + 1;
}
}  // namespace internal

template <typename T>
class PerThread {
  // Its own cache line, so that threads writing their own T don't share one.
  struct alignas(64) Node {
    std::thread::id owner;
    Node* next;
    T value{};
  };

 public:
  PerThread() = default;
  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;
  ~PerThread() {
    for (Node* node = head_.load(std::memory_order_acquire); node != nullptr;) {
      delete std::exchange(node, node->next);
    }
  }

  // The calling thread's T, made on its first call.
  T& local() {
    // The last PerThread this thread used, by serial: a new one at the same
    // address is never taken for it.
    thread_local uint64_t cached_serial = 0;
    thread_local T* cached = nullptr;
    if (cached_serial == serial_) return *cached;
    cached = &Find(std::this_thread::get_id()).value;
    cached_serial = serial_;
    return *cached;
  }

  template <typename V>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = V*;
    using reference = V&;

    Iterator() = default;
    explicit Iterator(Node* node) : node_(node) {}
    V& operator*() const { return node_->value; }
    V* operator->() const { return &node_->value; }
    Iterator& operator++() {
      node_ = node_->next;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      node_ = node_->next;
      return before;
    }
    bool operator==(const Iterator&) const = default;

   private:
    Node* node_ = nullptr;
  };

  Iterator<T> begin() { return Iterator<T>(head_.load()); }
  Iterator<T> end() { return Iterator<T>(); }
  Iterator<const T> begin() const { return Iterator<const T>(head_.load()); }
  Iterator<const T> end() const { return Iterator<const T>(); }

 private:
  // The node of `owner`, added when it has none. Only `owner` adds its node,
  // so a node not found in the list as loaded is not there.
  Node& Find(std::thread::id owner) {
    Node* head = head_.load(std::memory_order_acquire);
    for (Node* node = head; node != nullptr; node = node->next) {
      if (node->owner == owner) return *node;
    }
    Node* mine = new Node{owner, head};
    while (!head_.compare_exchange_weak(mine->next, mine,
                                        std::memory_order_acq_rel)) {
    }
    return *mine;
  }

  const uint64_t serial_ = internal::NextPerThreadSerial();
  std::atomic<Node*> head_{nullptr};
};

}  // namespace tolvane
