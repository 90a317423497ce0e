#include "fs/pool/pool.h"

#include <cxxabi.h>
#include <pthread.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "fs/sys/thread.h"

namespace tolvane {
namespace {

// Guards configured_width and the making of the pool.
std::mutex config_mutex;
std::optional<size_t> configured_width;  // guarded by config_mutex

size_t ProcessorCount() {
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

// One ParallelFor call: its indices, handed out one at a time to the caller
// and to the workers that join it. Lives on the caller's stack until no worker
// is inside it.
struct Job {
  Job(internal::IndexTask task, void* body, size_t count)
      : task(task), body(body), count(count) {}

  const internal::IndexTask task;
  void* const body;
  const size_t count;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr fault;       // the first failure; guarded by Pool::mu_
  size_t helpers = 0;             // workers inside; guarded by Pool::mu_
  std::condition_variable empty;  // `helpers` reached 0

  bool handed_out() const {
    return failed.load(std::memory_order_relaxed) ||
           next.load(std::memory_order_relaxed) >= count;
  }
};

class Pool {
 public:
  // Starts up to `wanted` - 1 workers, one at a time, until the system refuses
  // one (or the memory to start it can't be had); a worker that can't be
  // prepared leaves the width at once.
  explicit Pool(size_t wanted) {
    for (size_t started = 1; started < wanted; ++started) {
      try {
        sys::StartThread([this] { Work(); }, [this] { --width_; }).detach();
      } catch (const std::exception&) {
        break;
      }
      ++width_;
    }
  }

  size_t width() const { return width_.load(std::memory_order_relaxed); }

  void Run(Job& job) {
    if (width() > 1 && job.count > 1) {
      {
        std::lock_guard lock(mu_);
        jobs_.push_back(&job);
      }
      posted_.notify_all();
    }
    // However the caller leaves, no worker is inside the job by then.
    struct Leave {
      Pool& pool;
      Job& job;
      ~Leave() {
        std::unique_lock lock(pool.mu_);
        std::erase(pool.jobs_, &job);
        job.empty.wait(lock, [&] { return job.helpers == 0; });
      }
    };
    {
      Leave leave{*this, job};
      Drain(job);
    }
    if (job.fault) std::rethrow_exception(job.fault);
  }

 private:
  // Runs the job's indices until all are handed out or one has failed.
  void Drain(Job& job) {
    while (!job.failed.load(std::memory_order_relaxed)) {
      const size_t index = job.next.fetch_add(1, std::memory_order_relaxed);
      if (index >= job.count) return;
      try {
        job.task(job.body, index);
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        std::lock_guard lock(mu_);
        if (!job.fault) job.fault = std::current_exception();
        job.failed.store(true, std::memory_order_relaxed);
      }
    }
  }

  // A worker's life: join the oldest job with indices left, until the process
  // ends.
  void Work() {
    try {
      std::unique_lock lock(mu_);
      for (;;) {
        posted_.wait(lock, [&] { return !jobs_.empty(); });
        Job& job = *jobs_.front();
        if (job.handed_out()) {
          jobs_.pop_front();
          continue;
        }
        ++job.helpers;
        lock.unlock();
        Drain(job);
        lock.lock();
        if (--job.helpers == 0) job.empty.notify_all();
      }
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // The callers drain their jobs themselves: the pool works on without it.
    }
  }

  std::atomic<size_t> width_{1};
  std::mutex mu_;
  std::condition_variable posted_;
  std::deque<Job*> jobs_;  // guarded by mu_
};

// The process's pool, made at first use; never destroyed: its workers wait on
// it for the life of the process.
std::atomic<Pool*> current_pool{nullptr};

Pool& ThePool() {
  if (Pool* pool = current_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(config_mutex);
  Pool* pool = current_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    pool = new Pool(configured_width.value_or(ProcessorCount()));
    current_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

// Fork happens between two uses of config_mutex, never while a pool is being
// made. A child of fork has none of the parent's workers, and it may have
// copied the pool's lock held and its conditions with waiters: it leaves that
// pool as it is and makes its own at first use, with the width configured.
void LockForFork() { config_mutex.lock(); }
void UnlockAfterFork() { config_mutex.unlock(); }
void ForgetPoolInChild() {
  current_pool.store(nullptr, std::memory_order_relaxed);
  config_mutex.unlock();
}

// Registered when the library is loaded, before any thread can use the pool.
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(LockForFork, UnlockAfterFork, ForgetPoolInChild);

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

size_t WorkerCount() { return ThePool().width(); }

namespace internal {

void RunParallel(size_t count, IndexTask task, void* body) {
  if (count == 0) return;
  Job job(task, body, count);
  ThePool().Run(job);
}

}  // namespace internal

}  // namespace tolvane
