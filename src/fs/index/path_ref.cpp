#include "fs/index/path_ref.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "fs/utf8/utf8.h"

namespace tolvane {

PathRef::PathRef(std::string_view text, uint32_t relative_offset) {
  void* memory = std::malloc(sizeof(Rep) + text.size());
  if (memory == nullptr) throw std::bad_alloc();
  rep_ = new (memory) Rep{
      {1}, static_cast<uint32_t>(text.size()), relative_offset, IsUtf8(text)};
  std::memcpy(reinterpret_cast<char*>(memory) + sizeof(Rep), text.data(),
              text.size());
}

void PathRef::Release() {
  if (rep_ && rep_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    rep_->~Rep();
    std::free(rep_);
  }
  rep_ = nullptr;
}

}  // namespace tolvane
