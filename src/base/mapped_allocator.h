#ifndef SELVANE_BASE_MAPPED_ALLOCATOR_H_
#define SELVANE_BASE_MAPPED_ALLOCATOR_H_

#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>

#include "base/mapping_cache.h"

namespace selvane {

// MappedAllocator
//
// A standard allocator for large arrays, such as the nodes of a merge
// engine. A block of 2 MiB or more is mapped from the kernel on its own.
// Being a mapping of its own, it goes back to the system when freed, where
// the heap would keep it (its threshold for separate mappings rises with
// every large block freed) and a training call's peak memory would grow with
// each chunk. While a MappingCache::Scope lives, a freed block is kept for
// the next one instead. Smaller blocks come from the ordinary heap. The
// contents are the same either way.
//
// The blocks are not offered for transparent huge pages. Each one is zeroed
// whole by the kernel on its first touch, sparse tables and spare capacity
// included, from the free memory that a virtual machine's host has taken
// back; measured side by side, training on 12 MB took half again as long
// with them, and 300 MB gained nothing.
template <class T>
class MappedAllocator {
 public:
  using value_type = T;

  MappedAllocator() = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U>&) noexcept {}  // NOLINT

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T) - kLargeBlock) {
      throw std::bad_array_new_length();
    }
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kLargeBlock) return std::allocator<T>().allocate(count);
    const std::size_t size = mapped_size(bytes);
    if (void* kept = MappingCache::take(size)) return static_cast<T*>(kept);
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(mapped);
  }

  void deallocate(T* block, std::size_t count) noexcept {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kLargeBlock) {
      std::allocator<T>().deallocate(block, count);
    } else if (!MappingCache::keep(block, mapped_size(bytes))) {
      ::munmap(block, mapped_size(bytes));
    }
  }

  template <class U>
  bool operator==(const MappedAllocator<U>&) const noexcept {
    return true;
  }

 private:
  // The least block mapped on its own, and the unit of the mapped sizes: a
  // mapping's size is what the cache matches requests by.
  static constexpr std::size_t kLargeBlock = std::size_t{2} << 20;

  static std::size_t mapped_size(std::size_t bytes) {
    return (bytes + kLargeBlock - 1) / kLargeBlock * kLargeBlock;
  }
};

}  // namespace selvane

#endif  // SELVANE_BASE_MAPPED_ALLOCATOR_H_
