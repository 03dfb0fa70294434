#ifndef SELVANE_TEXT_GRAPHEME_H_
#define SELVANE_TEXT_GRAPHEME_H_

#include <cstddef>
#include <string_view>

namespace selvane::text {

// Returns the end offset of the extended grapheme cluster (Unicode 15.0
// rules) that starts at byte offset `start` of the UTF-8 `text`; `start` must
// be a cluster boundary below `text.size()`. Ill-formed bytes never read past
// the end of `text`: each one counts as a code point of its own.
std::size_t next_grapheme_break(std::string_view text, std::size_t start);

// Calls `visit(cluster)` for each extended grapheme cluster of `text`, in
// order, as views into `text`.
template <typename Visit>
void for_each_grapheme(std::string_view text, Visit&& visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = next_grapheme_break(text, start);
    visit(text.substr(start, end - start));
    start = end;
  }
}

}  // namespace selvane::text

#endif  // SELVANE_TEXT_GRAPHEME_H_
