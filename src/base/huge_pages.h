#ifndef SELVANE_BASE_HUGE_PAGES_H_
#define SELVANE_BASE_HUGE_PAGES_H_

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace selvane {

// HugePageAllocator
//
// A standard allocator for large arrays read at random, such as the nodes of
// a merge engine. A block of 2 MiB or more is mapped from the kernel on its
// own, aligned to 2 MiB and offered for transparent huge pages: walking it
// then costs a few address translations instead of one per 4 KiB page,
// which otherwise miss the processor's translation cache on almost every
// access. Being a mapping of its own, it goes back to the system when freed,
// where the heap would keep it (its threshold for separate mappings rises
// with every large block freed) and a training call's peak memory would
// grow with each chunk. Smaller blocks come from the ordinary heap. The
// contents are the same either way.
template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T) - kHugePage) {
      throw std::bad_array_new_length();
    }
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) return std::allocator<T>().allocate(count);
    return static_cast<T*>(map_aligned(mapped_size(bytes)));
  }

  void deallocate(T* block, std::size_t count) noexcept {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) {
      std::allocator<T>().deallocate(block, count);
    } else {
      ::munmap(block, mapped_size(bytes));
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  static std::size_t mapped_size(std::size_t bytes) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
  }

  // Maps `size` bytes (a multiple of kHugePage) at a kHugePage boundary: maps
  // one huge page more and gives back the parts before and after it.
  static void* map_aligned(std::size_t size) {
    void* mapped = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    char* const start = static_cast<char*>(mapped);
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(start);
    const std::size_t head = (kHugePage - address % kHugePage) % kHugePage;
    if (head != 0) ::munmap(start, head);
    if (kHugePage - head != 0) ::munmap(start + head + size, kHugePage - head);
#ifdef MADV_HUGEPAGE
    // Only a hint: without huge pages the block works the same.
    static_cast<void>(::madvise(start + head, size, MADV_HUGEPAGE));
#endif
    return start + head;
  }
};

}  // namespace selvane

#endif  // SELVANE_BASE_HUGE_PAGES_H_
