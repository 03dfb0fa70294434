// What every fuzzer links besides its harness: the failure report and the
// allocation watch, through the sanitizer runtime's allocator hooks.

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "property.h"

namespace selvane::fuzz {
namespace {

std::atomic<std::size_t> largest{0};

void on_malloc(const volatile void*, std::size_t size) {
  std::size_t seen = largest.load(std::memory_order_relaxed);
  while (size > seen && !largest.compare_exchange_weak(
                            seen, size, std::memory_order_relaxed)) {
  }
}

void on_free(const volatile void*) {}

// Installed before the first input, when the fuzzer's globals are built.
const int hooks_installed =
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);

}  // namespace

void property_failed(std::string_view what) {
  std::fprintf(stderr, "property failed: %.*s\n", static_cast<int>(what.size()),
               what.data());
  std::abort();
}

void start_allocation_watch() {
  static_cast<void>(hooks_installed);
  largest.store(0, std::memory_order_relaxed);
}

std::size_t largest_allocation() {
  return largest.load(std::memory_order_relaxed);
}

}  // namespace selvane::fuzz
