#ifndef SELVANE_FUZZ_PROPERTY_H_
#define SELVANE_FUZZ_PROPERTY_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace selvane::fuzz {

// Reports that `what` does not hold for the current input and ends the run:
// the fuzzer aborts so that the input is kept, the corpus test fails.
// Each binary that uses the checks defines it.
[[noreturn]] void property_failed(std::string_view what);

// Starts counting heap allocations from zero; the fuzzers watch the
// allocator, the corpus replay does not.
void start_allocation_watch();

// Returns the largest single allocation since the watch started, or 0 when
// nothing watches the allocator.
std::size_t largest_allocation();

// Fails the property `what` unless `holds`.
inline void require(bool holds, std::string_view what) {
  if (!holds) property_failed(what);
}

// Reads a little-endian u16 at the front of `input` and removes it; 0 when
// fewer than two bytes are left.
inline std::uint16_t take_u16(std::string_view& input) {
  if (input.size() < 2) {
    input = {};
    return 0;
  }
  const auto low = static_cast<std::uint8_t>(input[0]);
  const auto high = static_cast<std::uint8_t>(input[1]);
  input.remove_prefix(2);
  return static_cast<std::uint16_t>(low | (high << 8));
}

}  // namespace selvane::fuzz

#endif  // SELVANE_FUZZ_PROPERTY_H_
