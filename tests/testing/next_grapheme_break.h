#ifndef SELVANE_TESTS_TESTING_NEXT_GRAPHEME_BREAK_H_
#define SELVANE_TESTS_TESTING_NEXT_GRAPHEME_BREAK_H_

#include <array>
#include <cstddef>
#include <string_view>

#include "text/grapheme.h"

namespace selvane::text {

// Returns the end offset of the extended grapheme cluster (Unicode 15.0
// rules) that starts at byte offset `start` of the UTF-8 `text`; `start` must
// be a cluster boundary below `text.size()`. Nothing past the end of `text` is
// read; each byte that does not start a well-formed sequence counts as a
// Control code point, and so is a cluster of its own.
//
// One boundary at a time through the batch entry point, so that the checks
// can stop after any cluster.
inline std::size_t next_grapheme_break(std::string_view text,
                                       std::size_t start) {
  std::array<std::size_t, 1> end{};
  next_grapheme_breaks(text, start, end);
  return end[0];
}

}  // namespace selvane::text

#endif  // SELVANE_TESTS_TESTING_NEXT_GRAPHEME_BREAK_H_
