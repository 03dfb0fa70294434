#include "text/grapheme.h"

namespace selvane::text {

// Placeholder until the Unicode tables land: one byte per cluster.
std::size_t next_grapheme_break(std::string_view, std::size_t start) {
  return start + 1;
}

}  // namespace selvane::text
