// Debouncer: the event channel from the platform watcher's thread and the
// per-path coalescing of what it carries. Send() is the channel's sending
// end (any thread, never blocks on a poller); poll_events() drains the
// channel, records each event as a change of its path, and releases the
// changes whose path has been quiet for 100 ms. The clock is a parameter, so
// that the rules can be exercised without waiting. Thread-safe: the channel
// has its own mutex; `pending_mutex_` serialises pollers and is taken before
// the channel's.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/path/path.h"
#include "fs/watcher/events.h"

namespace tolvane {

class Debouncer {
 public:
  using Time = std::chrono::steady_clock::time_point;
  using Clock = std::function<Time()>;
  static constexpr std::chrono::nanoseconds kDebounce =
      std::chrono::milliseconds(100);

  explicit Debouncer(Clock clock = std::chrono::steady_clock::now)
      : clock_(std::move(clock)) {}

  // Queues raw events; unbounded. Nothing once closed.
  void Send(WatchEvent event);
  void Send(std::vector<WatchEvent> events);
  // Later events are dropped; those queued stay to be polled.
  void Close();

  // Records every queued event in arrival order, then hands back each change
  // recorded kDebounce or more before this call's clock reading, in no
  // particular order. A released change reaches exactly one poller. The events
  // of one poll are recorded at one clock reading, so that the changes of one
  // batch (a swap of two names, a directory and the entries found in it) are
  // released together.
  std::vector<ChangeEvent> poll_events();

  // Whether a drained event said that events were lost, since the last call.
  // Such an event also drops every change recorded before it: the rebuild
  // that answers the loss supersedes them. Only the index's maintenance asks,
  // so pending_changes() can't take it.
  bool take_rescan_request() { return rescan_.exchange(false); }

 private:
  struct Entry {
    ChangeKind kind;
    std::string to;
    Time since;
    bool replaces = false;   // as in ChangeEvent
    bool moved_dir = false;  // as in ChangeEvent
  };

  void Record(const WatchEvent& event, Time now);
  void record_change(const std::string& path, ChangeKind kind, Time now,
                     const std::string& to = {}, bool moved_dir = false);

  const Clock clock_;
  std::mutex channel_mutex_;
  std::deque<WatchEvent> channel_;  // guarded by channel_mutex_
  bool closed_ = false;             // guarded by channel_mutex_
  std::mutex pending_mutex_;
  // Keys compare component-wise. Guarded by pending_mutex_.
  std::unordered_map<std::string, Entry, PathHasher, PathEq> pending_;
  std::atomic<bool> rescan_{false};
};

}  // namespace tolvane
