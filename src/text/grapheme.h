#ifndef SELVANE_TEXT_GRAPHEME_H_
#define SELVANE_TEXT_GRAPHEME_H_

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace selvane::text {

// Writes the end offsets of the clusters that follow the boundary `start`
// (below `text.size()`) to `ends`, as many as fit and as the text holds, and
// returns how many it wrote: at least one when `ends` is not empty.
std::size_t next_grapheme_breaks(std::string_view text, std::size_t start,
                                 std::span<std::size_t> ends);

// Calls `visit(cluster)` for each extended grapheme cluster of `text`, in
// order, as views into `text`.
template <typename Visit>
void for_each_grapheme(std::string_view text, Visit&& visit) {
  // Boundaries come in batches, so that the segmenter's loop is not a call
  // per cluster; each call starts with a step of the state machine, which
  // a batch of 256 rather than 64 pays for four times less often.
  std::array<std::size_t, 256> ends;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t count = next_grapheme_breaks(text, start, ends);
    for (std::size_t k = 0; k < count; ++k) {
      visit(text.substr(start, ends[k] - start));
      start = ends[k];
    }
  }
}

}  // namespace selvane::text

#endif  // SELVANE_TEXT_GRAPHEME_H_
