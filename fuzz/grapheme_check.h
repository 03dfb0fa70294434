#ifndef SELVANE_FUZZ_GRAPHEME_CHECK_H_
#define SELVANE_FUZZ_GRAPHEME_CHECK_H_

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "property.h"
#include "testing/next_grapheme_break.h"
#include "testing/plain_grapheme.h"
#include "text/grapheme.h"

namespace selvane::fuzz {

// check_grapheme()
//
// Every segmentation entry point, on any bytes, gives boundaries that
// strictly increase and end at the input's end, and all of them give the
// boundaries of the plain rule-by-rule segmenter. The first input byte sets
// the batch size, so small batches get cut at every position.
inline void check_grapheme(std::string_view input) {
  std::size_t batch = 1;
  if (!input.empty()) {
    batch = static_cast<unsigned char>(input[0]) % 8 + 1;
    input.remove_prefix(1);
  }
  const std::vector<std::size_t> expected = text::plain_grapheme_breaks(input);

  std::vector<std::size_t> single;
  for (std::size_t start = 0; start < input.size();) {
    const std::size_t end = text::next_grapheme_break(input, start);
    require(end > start && end <= input.size(),
            "next_grapheme_break moves forward inside the text");
    single.push_back(end);
    start = end;
  }
  require(single == expected, "next_grapheme_break matches the plain rules");

  std::vector<std::size_t> batched;
  std::array<std::size_t, 8> ends{};
  for (std::size_t start = 0; start < input.size();) {
    const std::size_t count = text::next_grapheme_breaks(
        input, start, std::span<std::size_t>(ends.data(), batch));
    require(count >= 1 && count <= batch,
            "a batch holds at least one and at most its room");
    for (std::size_t k = 0; k < count; ++k) {
      require(ends[k] > start && ends[k] <= input.size(),
              "batched boundaries strictly increase inside the text");
      batched.push_back(ends[k]);
      start = ends[k];
    }
  }
  require(batched == expected, "next_grapheme_breaks matches the plain rules");

  std::size_t covered = 0;
  std::vector<std::size_t> visited;
  text::for_each_grapheme(input, [&](std::string_view cluster) {
    require(!cluster.empty(), "no cluster is empty");
    require(cluster.data() == input.data() + covered,
            "clusters follow one another without gaps");
    covered += cluster.size();
    visited.push_back(covered);
  });
  require(covered == input.size(), "the clusters cover the text");
  require(visited == expected, "for_each_grapheme matches the plain rules");
}

}  // namespace selvane::fuzz

#endif  // SELVANE_FUZZ_GRAPHEME_CHECK_H_
