#include "base/mapping_cache.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "base/mapped_allocator.h"

namespace selvane {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

using Words = std::vector<std::uint64_t, MappedAllocator<std::uint64_t>>;

// A vector of `bytes` bytes of words, each holding `value`.
Words filled(std::size_t bytes, std::uint64_t value) {
  return Words(bytes / sizeof(std::uint64_t), value);
}

TEST(MappingCache, KeepsNothingWithoutAScope) {
  { Words block = filled(4 * kMiB, 1); }
  EXPECT_EQ(MappingCache::kept(), 0u);
  EXPECT_EQ(MappingCache::take(2 * kMiB), nullptr);
}

// Inside a scope a freed block serves the next request: the smallest one
// that fits, cut to size; else the largest, grown. The contents a new owner
// sees are its own, never the old owner's.
TEST(MappingCache, ReusesFreedBlocksWithinAScope) {
  const MappingCache::Scope scope;
  const std::uint64_t* small_address = nullptr;
  const std::uint64_t* large_address = nullptr;
  {
    Words small = filled(2 * kMiB, 7);
    Words large = filled(6 * kMiB, 9);
    small_address = small.data();
    large_address = large.data();
  }
  EXPECT_EQ(MappingCache::kept(), 2u);

  Words fits = filled(2 * kMiB, 3);
  EXPECT_EQ(fits.data(), small_address);
  // Only the 6 MiB block is left: cut to 4 MiB, in place.
  Words cut = filled(4 * kMiB, 4);
  EXPECT_EQ(cut.data(), large_address);
  EXPECT_EQ(MappingCache::kept(), 0u);
  for (const std::uint64_t word : fits) ASSERT_EQ(word, 3u);
  for (const std::uint64_t word : cut) ASSERT_EQ(word, 4u);

  // Nothing kept fits 8 MiB: the 4 MiB block just freed grows.
  cut = Words();
  Words grown = filled(8 * kMiB, 5);
  EXPECT_EQ(MappingCache::kept(), 0u);
  for (const std::uint64_t word : grown) ASSERT_EQ(word, 5u);
}

TEST(MappingCache, KeepsAtMostTheLimitAndGivesAllBackWithTheLastScope) {
  {
    const MappingCache::Scope outer;
    {
      const MappingCache::Scope inner;
      std::vector<Words> blocks;
      for (std::size_t i = 0; i < MappingCache::kMaxKept + 3; ++i) {
        blocks.push_back(filled(2 * kMiB, i));
      }
    }
    // The inner scope ended, but the outer one still keeps them.
    EXPECT_EQ(MappingCache::kept(), MappingCache::kMaxKept);
  }
  EXPECT_EQ(MappingCache::kept(), 0u);
}

// Whether the page at `address` is still mapped.
bool mapped(const void* address) {
  return ::msync(const_cast<void*>(address), 4096, MS_ASYNC) == 0 ||
         errno != ENOMEM;
}

// The last scope hands the kept mappings to a helper to unmap: they must
// really go back, and soon.
TEST(MappingCache, TheLastScopeUnmapsWhatItKept) {
  const void* address = nullptr;
  {
    const MappingCache::Scope scope;
    Words block = filled(4 * kMiB, 1);
    address = block.data();
  }
  EXPECT_EQ(MappingCache::kept(), 0u);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (mapped(address) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(mapped(address));
}

}  // namespace
}  // namespace selvane
