#include "base/mapping_cache.h"

#include <sys/mman.h>

#include <array>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "base/signal_free_thread.h"

namespace selvane {
namespace {

struct Mapping {
  char* start = nullptr;
  std::size_t size = 0;
};

using Mappings = std::array<Mapping, MappingCache::kMaxKept>;

// The cache's state, behind one lock: taking and keeping are rare (a few
// per chunk) next to the work done on what they hand out.
struct State {
  std::mutex lock;
  std::size_t scopes = 0;
  // Oldest first.
  Mappings kept{};
  std::size_t count = 0;

  void remove(std::size_t index) {
    for (std::size_t i = index + 1; i < count; ++i) kept[i - 1] = kept[i];
    --count;
  }
};

State& state() {
  static State instance;
  return instance;
}

// Resizes the mapping `found` to `size` bytes; nullptr when that fails, the
// mapping having been given back.
char* resize(Mapping found, std::size_t size) noexcept {
  if (found.size > size) {
    // The excess goes back at once: kept, it would only add to the peak.
    ::munmap(found.start + size, found.size - size);
    return found.start;
  }
  if (found.size == size) return found.start;
  // Grown in place when the addresses after it are free, else moved: the
  // kernel moves the pages themselves, without copying or faulting them.
  void* grown = ::mremap(found.start, found.size, size, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) {
    ::munmap(found.start, found.size);
    return nullptr;
  }
  return static_cast<char*>(grown);
}

void unmap(const Mappings& mappings, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    ::munmap(mappings[i].start, mappings[i].size);
  }
}

}  // namespace

MappingCache::Scope::Scope() {
  State& s = state();
  const std::lock_guard<std::mutex> guard(s.lock);
  ++s.scopes;
}

MappingCache::Scope::~Scope() {
  State& s = state();
  Mappings released;
  std::size_t count = 0;
  {
    const std::lock_guard<std::mutex> guard(s.lock);
    if (--s.scopes != 0 || s.count == 0) return;
    released = s.kept;
    count = std::exchange(s.count, 0);
  }
  // Unmapping a training chunk's engine, some 30 MiB of pages, takes over a
  // millisecond that the call ending the scope need not wait for: a helper
  // gives the mappings back while it returns. They are no longer kept, so
  // nothing can take them meanwhile.
  try {
    std::thread helper =
        start_signal_free_thread([released, count] { unmap(released, count); });
    if (helper.joinable()) {
      helper.detach();
      return;
    }
  } catch (...) {
    // No thread to be had: this one gives them back.
  }
  unmap(released, count);
}

void* MappingCache::take(std::size_t size) noexcept {
  State& s = state();
  Mapping found;
  {
    const std::lock_guard<std::mutex> guard(s.lock);
    if (s.count == 0) return nullptr;
    // The smallest that fits, else the largest.
    const auto better = [size](const Mapping& a, const Mapping& b) {
      const bool a_fits = a.size >= size;
      if (a_fits != (b.size >= size)) return a_fits;
      return a_fits ? a.size < b.size : a.size > b.size;
    };
    std::size_t best = 0;
    for (std::size_t i = 1; i < s.count; ++i) {
      if (better(s.kept[i], s.kept[best])) best = i;
    }
    found = s.kept[best];
    s.remove(best);
  }
  char* const block = resize(found, size);
#ifdef _GLIBCXX_ASSERTIONS
  // Checked builds fill a reused mapping with a pattern, so that code that
  // counted on the zeroed pages of a fresh mapping fails its tests.
  if (block != nullptr) std::memset(block, 0xA5, size);
#endif
  return block;
}

bool MappingCache::keep(void* block, std::size_t size) noexcept {
  State& s = state();
  Mapping oldest;
  {
    const std::lock_guard<std::mutex> guard(s.lock);
    if (s.scopes == 0) return false;
    if (s.count == kMaxKept) {
      oldest = s.kept[0];
      s.remove(0);
    }
    s.kept[s.count++] = Mapping{static_cast<char*>(block), size};
  }
  if (oldest.start != nullptr) ::munmap(oldest.start, oldest.size);
  return true;
}

std::size_t MappingCache::kept() noexcept {
  State& s = state();
  const std::lock_guard<std::mutex> guard(s.lock);
  return s.count;
}

}  // namespace selvane
