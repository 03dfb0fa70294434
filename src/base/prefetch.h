#ifndef SELVANE_BASE_PREFETCH_H_
#define SELVANE_BASE_PREFETCH_H_

namespace selvane {

// Asks the processor to bring `address` into the cache for writing. Only a
// hint: it never faults and changes no result. Always inlined: a function
// that only prefetches has no effect the compiler counts, so once it stands
// apart as a call, the optimiser may judge the call useless and drop it,
// prefetches and all.
#if defined(__GNUC__) || defined(__clang__)
[[gnu::always_inline]] inline void prefetch(const void* address) {
  __builtin_prefetch(address, 1);
}
#else
inline void prefetch(const void* address) { static_cast<void>(address); }
#endif

}  // namespace selvane

#endif  // SELVANE_BASE_PREFETCH_H_
