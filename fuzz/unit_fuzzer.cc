#include <cstddef>
#include <cstdint>
#include <string_view>

#include "unit_check.h"

// The entry point that libFuzzer calls with each input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  selvane::fuzz::check_unit(
      std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
