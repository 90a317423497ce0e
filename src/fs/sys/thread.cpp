#include "fs/sys/thread.h"

#include <link.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <iterator>

// The ABI's entry that finds, and on a thread's first use allocates, a
// module's thread-local block (glibc's ld.so exports it).
struct TlsIndex {
  unsigned long module;
  unsigned long offset;
};
extern "C" void* __tls_get_addr(TlsIndex* index);

namespace tolvane::sys {
namespace {

// Room for the destructor records of the makers and for what the allocator
// keeps beside each block, on top of the blocks themselves.
constexpr size_t kSlack = 4096;

constexpr size_t kMaxMakers = 8;
void (*makers[kMaxMakers])();
std::atomic<size_t> maker_count{0};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// In the static block: reading it allocates nothing.
thread_local bool prepared = false;

// The modules whose thread-local block this thread doesn't have yet, as many
// as fit at a time.
struct Missing {
  size_t modules[64];
  size_t count = 0;
  size_t bytes = 0;
  bool more = false;
};

int AddMissing(dl_phdr_info* info, size_t size, void* data) {
  auto& missing = *static_cast<Missing*>(data);
  // dlpi_tls_data is null for a block this thread hasn't been given.
  if (size < offsetof(dl_phdr_info, dlpi_tls_data) + sizeof(void*) ||
      info->dlpi_tls_modid == 0 || info->dlpi_tls_data != nullptr) {
    return 0;
  }
  if (missing.count == std::size(missing.modules)) {
    missing.more = true;
    return 1;
  }
  missing.modules[missing.count++] = info->dlpi_tls_modid;
  for (size_t i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type == PT_TLS)
      missing.bytes += header.p_memsz + header.p_align;
  }
  return 0;
}

// Has glibc allocate every block that this thread lacks; false when the room
// for them can't be had.
bool MakeBlocks() {
  // The sanitizers' runtime (GCC 12) records each block that __tls_get_addr
  // returns by guessing at glibc's layout, and misreads some into ranges that
  // its leak checker then faults on. Sanitized runs never run out of memory:
  // their blocks are left to first use.
  if (kSanitized) return true;
  Missing missing;
  do {
    missing = Missing();
    dl_iterate_phdr(AddMissing, &missing);
    // glibc takes each block with malloc and ends the process when it fails:
    // the room for all of them is taken first, and given back just before, so
    // that their small requests are served from it.
    void* room = std::malloc(missing.bytes + kSlack);
    if (room == nullptr) return false;
    std::free(room);
    for (size_t i = 0; i < missing.count; ++i) {
      TlsIndex index{missing.modules[i], 0};
      (void)__tls_get_addr(&index);
    }
  } while (missing.more);
  return true;
}

}  // namespace

bool PrepareThread() noexcept {
  if (prepared) return true;
  if (!MakeBlocks()) return false;
  const size_t count = maker_count.load(std::memory_order_acquire);
  for (size_t i = 0; i < count; ++i) makers[i]();
  prepared = true;
  return true;
}

bool MakeOnEachThread(void (*make)()) noexcept {
  const size_t slot = maker_count.load(std::memory_order_relaxed);
  if (slot == kMaxMakers) return false;
  makers[slot] = make;
  maker_count.store(slot + 1, std::memory_order_release);
  return true;
}

}  // namespace tolvane::sys
