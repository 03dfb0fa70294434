#ifndef SELVANE_BASE_POPULATE_H_
#define SELVANE_BASE_POPULATE_H_

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace selvane {

// populate_for_writing()
//
// Asks the kernel to map in, ready for writing, the whole pages of the
// `bytes` bytes at `block`, which the caller is about to fill. One call
// sets up a fresh block's pages in a batch, where filling it would fault
// on each page in turn; pages already there are left as they are. Only a
// hint: the contents never change, and a kernel without the request, or
// short of memory, leaves the faults to the writes.
inline void populate_for_writing(void* block, std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  constexpr std::uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t begin = (start + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kPage - 1);
  if (end > begin) {
    static_cast<void>(::madvise(reinterpret_cast<void*>(begin), end - begin,
                                MADV_POPULATE_WRITE));
  }
#else
  static_cast<void>(block);
  static_cast<void>(bytes);
#endif
}

}  // namespace selvane

#endif  // SELVANE_BASE_POPULATE_H_
