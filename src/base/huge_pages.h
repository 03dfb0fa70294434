#ifndef SELVANE_BASE_HUGE_PAGES_H_
#define SELVANE_BASE_HUGE_PAGES_H_

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace selvane {

// HugePageAllocator
//
// A standard allocator for large arrays read at random, such as the nodes of
// a merge engine: a block of 2 MiB or more is aligned to 2 MiB and offered
// to the kernel for transparent huge pages, so that walking it costs a few
// address translations instead of one per 4 KiB page, which otherwise miss
// the processor's translation cache on almost every access. Smaller blocks
// come from the ordinary heap. Only a hint: the contents are the same
// either way.
template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) {
      throw std::bad_array_new_length();
    }
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) return std::allocator<T>().allocate(count);
    // aligned_alloc wants a multiple of the alignment; the rounding costs
    // less than one huge page.
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    static_cast<void>(::madvise(block, rounded, MADV_HUGEPAGE));
#endif
    return static_cast<T*>(block);
  }

  void deallocate(T* block, std::size_t count) noexcept {
    if (count * sizeof(T) < kHugePage) {
      std::allocator<T>().deallocate(block, count);
    } else {
      std::free(block);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
};

}  // namespace selvane

#endif  // SELVANE_BASE_HUGE_PAGES_H_
