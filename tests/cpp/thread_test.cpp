// A thread of ours runs its body once prepared, with the thread_locals held
// through OnEachThread made, and keeps what the body throws.
#include "fs/sys/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace tolvane {
namespace {

struct Counted {
  Counted() { made.fetch_add(1); }
  static inline std::atomic<int> made{0};
};

TEST(ThreadTest, ABodyRunsOnAPreparedThread) {
  (void)sys::OnEachThread<Counted>();
  int seen = -1;
  sys::StartThread([&] {
    seen = Counted::made.load();
    throw std::runtime_error("kept by the thread");
  }).join();
  EXPECT_EQ(seen, 2);
}

}  // namespace
}  // namespace tolvane
