#include "fs/pool/pool.h"

#include <tbb/global_control.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

std::mutex config_mutex;
std::optional<size_t> configured_width;  // guarded by config_mutex

size_t ProcessorCount() {
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

// Where the staging tasks of StartWorkers wait until every worker is up.
class Gate {
 public:
  void Arrive() {
    std::unique_lock lock(mu_);
    ++arrived_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
  }
  bool WaitArrived(size_t count) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(2),
                        [&] { return arrived_ >= count; });
  }
  void Open() {
    std::lock_guard lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  size_t arrived_ = 0;
  bool open_ = false;
};

// What the pool owns. Never destroyed: worker threads may still be inside an
// arena while the process exits, after static destructors have run.
struct Pool {
  size_t width = 1;
  // A stage whose launch failed keeps its task queued, so stages stay too.
  std::vector<std::unique_ptr<tbb::task_arena>> stages;
  // Keeps every demand within the workers that exist.
  std::unique_ptr<tbb::global_control> limit;
  // Arenas between calls: as many as calls ever overlapped.
  std::mutex arenas_mutex;
  std::vector<std::unique_ptr<tbb::task_arena>> free_arenas;  // guarded
};

// Starts up to `wanted` oneTBB workers and returns how many came up. Each step
// gives an arena of one worker a task that waits at the gate, so the scheduler
// asks for exactly one more thread and launches it on this thread: a launch the
// system refuses throws here, where it is caught. (Asked for many at once,
// oneTBB launches most of them from its own workers, where a refused launch
// ends the process.) Once up, workers stay for the life of the process and are
// reused, so no launch happens after this.
size_t StartWorkers(Pool& pool, size_t wanted) {
  auto gate = std::make_shared<Gate>();
  size_t started = 0;
  for (; started < wanted; ++started) {
    try {
      pool.stages.push_back(std::make_unique<tbb::task_arena>(2, 1));
      pool.stages.back()->enqueue([gate] { gate->Arrive(); });
    } catch (const std::exception&) {
      break;
    }
    if (!gate->WaitArrived(started + 1)) break;
  }
  gate->Open();
  return started;
}

// Starts the pool's workers once.
Pool* MakePool() {
  size_t wanted;
  {
    std::lock_guard lock(config_mutex);
    wanted = configured_width.value_or(ProcessorCount());
  }
  auto* pool = new Pool;
  // The staging must not be held back by the scheduler's default limit.
  auto staging = std::make_unique<tbb::global_control>(
      tbb::global_control::max_allowed_parallelism, wanted + 1);
  pool->width = 1 + StartWorkers(*pool, wanted - 1);
  pool->limit = std::make_unique<tbb::global_control>(
      tbb::global_control::max_allowed_parallelism, pool->width);
  staging.reset();
  return pool;
}

Pool& GetPool() {
  static Pool* const pool = MakePool();
  return *pool;
}

}  // namespace

std::optional<size_t> ParsePoolWidth(std::string_view text) {
  size_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  // No sign, blank or other character is accepted; out of range is an error.
  if (error != std::errc() || stop != end || value == 0 ||
      value > kMaxPoolThreads) {
    return std::nullopt;
  }
  return value;
}

void ConfigureWorkerPool(const char* rayon_num_threads) {
  std::lock_guard lock(config_mutex);
  if (rayon_num_threads != nullptr)
    configured_width = ParsePoolWidth(rayon_num_threads);
}

size_t WorkerCount() { return GetPool().width; }

namespace internal {

ArenaLease::ArenaLease() {
  Pool& pool = GetPool();
  std::lock_guard lock(pool.arenas_mutex);
  if (pool.free_arenas.empty()) {
    arena_ = new tbb::task_arena(static_cast<int>(pool.width), 1);
  } else {
    arena_ = pool.free_arenas.back().release();
    pool.free_arenas.pop_back();
  }
}

ArenaLease::~ArenaLease() {
  std::unique_ptr<tbb::task_arena> arena(arena_);
  Pool& pool = GetPool();
  std::lock_guard lock(pool.arenas_mutex);
  try {
    pool.free_arenas.push_back(std::move(arena));
  } catch (const std::bad_alloc&) {
    // Lost to reuse; the next lease makes another.
    (void)arena.release();
  }
}

}  // namespace internal

}  // namespace tolvane
