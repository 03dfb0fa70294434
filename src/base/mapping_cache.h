#ifndef SELVANE_BASE_MAPPING_CACHE_H_
#define SELVANE_BASE_MAPPING_CACHE_H_

#include <cstddef>

namespace selvane {

// MappingCache
//
// Keeps the large mappings that MappedAllocator frees, for the next large
// block to take instead of a fresh mapping. A training call builds and frees
// a merge engine of some 30 MiB per chunk; mapped afresh each time, every
// page of it faults and is zeroed by the kernel again, which took a third of
// the training thread's time on a virtual machine whose host reclaims freed
// memory. Reused, the pages stay where they are; the allocator's users
// initialise what they take, so the old contents never show.
//
// Mappings are kept only while a `MappingCache::Scope` lives (a training
// call holds one), and the last scope to end gives every kept mapping back:
// outside them, memory goes back to the system as soon as it is freed. At
// most `kMaxKept` mappings are kept, the oldest given back first, and a
// mapping taken for a smaller block gives its excess back at once, so the
// cache only holds memory that the call had in use before.
//
// Thread-safe: a helper thread builds the next chunk's engine while the
// calling thread frees the current one.
class MappingCache {
 public:
  // The most mappings kept at once.
  static constexpr std::size_t kMaxKept = 8;

  // While one lives, freed mappings are kept for reuse.
  class Scope {
   public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
  };

  // A kept mapping resized to `size` bytes (a multiple of the page size,
  // not zeroed), or nullptr when none is kept or resizing fails. Prefers
  // the smallest mapping that holds `size`, else grows the largest.
  static void* take(std::size_t size) noexcept;

  // Keeps the mapping of `size` bytes at `block`, or returns false when no
  // scope lives (the caller unmaps it then).
  static bool keep(void* block, std::size_t size) noexcept;

  // How many mappings are kept now.
  static std::size_t kept() noexcept;
};

}  // namespace selvane

#endif  // SELVANE_BASE_MAPPING_CACHE_H_
