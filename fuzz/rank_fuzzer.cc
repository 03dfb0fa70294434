#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rank_check.h"

// The entry point that libFuzzer calls with each input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  selvane::fuzz::check_rank(
      std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
