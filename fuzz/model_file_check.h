#ifndef SELVANE_FUZZ_MODEL_FILE_CHECK_H_
#define SELVANE_FUZZ_MODEL_FILE_CHECK_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/data.h"
#include "model/model_file.h"
#include "property.h"
#include "testing/unicode_lookup_extras.h"

namespace selvane::fuzz {

// The most that one allocation may take while a model decodes, beyond the
// input's own size: the dense `lookup` table grown to the highest id (65,536
// strings, doubled by the vector's growth) is the largest thing a tiny file
// can legitimately ask for. A count or length trusted ahead of the data would
// ask for gigabytes.
inline constexpr std::size_t kDecodeAllocationSlack = std::size_t{4} << 20;

// Returns the entries of `lookup` by ascending id.
inline std::vector<std::pair<model::TokenId, std::string>> lookup_entries(
    const model::Lookup& lookup) {
  std::vector<std::pair<model::TokenId, std::string>> entries;
  lookup.for_each([&entries](model::TokenId id, const std::string& bytes) {
    entries.emplace_back(id, bytes);
  });
  return entries;
}

// Returns whether two models hold the same three maps.
inline bool same_model(const model::Data& a, const model::Data& b) {
  return lookup_entries(a.lookup) == lookup_entries(b.lookup) &&
         a.merges == b.merges && a.unicode_lookup == b.unicode_lookup;
}

// check_model_file()
//
// Decodes `input` as a model file. It either fails with a description (never
// with anything else) or gives a model that encodes to a file which decodes
// to the same model and encodes to the same bytes again. The decoder may not
// allocate more than the input can back plus the fixed slack.
inline void check_model_file(std::string_view input) {
  std::optional<model::Data> data;
  start_allocation_watch();
  try {
    data = model::decode_model(input);
  } catch (const model::ModelFileError& error) {
    require(!error.description().empty(), "a decode error has a description");
  }
  require(largest_allocation() <= input.size() + kDecodeAllocationSlack,
          "decoding allocates no more than the input backs");
  if (!data) return;

  const std::string image = model::encode_model(*data);
  // Every entry of the model came from an entry of the input, and duplicate
  // keys only drop entries, so the image can never be larger.
  require(image.size() <= input.size(),
          "an encoded model is no larger than the file it came from");
  model::Data again;
  try {
    again = model::decode_model(image);
  } catch (const model::ModelFileError&) {
    property_failed("an encoded model decodes");
  }
  require(same_model(*data, again), "decode(encode(model)) is the model");
  require(model::encode_model(again) == image,
          "encoding is deterministic across a round trip");
  // Trailing bytes are ignored.
  std::string extended = image;
  extended.append(input.substr(0, 16));
  require(same_model(model::decode_model(extended), again),
          "bytes after a model are ignored");
}

}  // namespace selvane::fuzz

#endif  // SELVANE_FUZZ_MODEL_FILE_CHECK_H_
